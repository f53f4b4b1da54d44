"""The support matrix in docs/pandas-support.md names, for every operation, the test rows
that check it: each one must exist."""

import re
import sys
from pathlib import Path

DOC = Path(__file__).resolve().parents[2] / "docs" / "pandas-support.md"
sys.path.insert(0, str(DOC.parents[1] / "tests" / "orrin32"))

import test_idiom_matrix as matrix  # noqa: E402
import test_series_ops as series_ops  # noqa: E402

ROWS = {
    "MOVES": [m[0] for m in matrix.MOVES],
    "ARITHMETIC": [a[0] for a in matrix.ARITHMETIC],
    "EVERY_INPUT": [e[0] for e in matrix.EVERY_INPUT],
    "FRAME_AS_COLUMNS": [f[0] for f in matrix.FRAME_AS_COLUMNS],
    "SORTS": [s[0] for s in matrix.SORTS],
    "UNKNOWN": [u[0] for u in matrix.UNKNOWN],
    "UNKNOWN_STAYS": [u[0] for u in matrix.UNKNOWN_STAYS],
    "RESHAPES": [r[0] for r in matrix.RESHAPES],
    "MERGE": matrix.MERGE,
    "UNARY": [u[0] for u in series_ops.UNARY],
}


def test_every_operation_names_test_rows_that_exist():
    rows = [line for line in DOC.read_text().splitlines() if line.startswith("| ")][2:]
    assert len(rows) > 20
    for row in rows:
        cells = re.split(r"(?<!\\)\|", row)
        named = re.findall(r"`([A-Z_]+)/([a-z0-9_]+)`", cells[3])
        assert named, f"no test named for: {row}"
        for table, row_id in named:
            assert row_id in ROWS[table], f"{table}/{row_id} is not a test row"


def test_what_the_notes_say_of_get_dummies_and_pivot_table_holds():
    import pandas as pd

    from quorvane.utilities.orrin32 import ProvenanceTracker, column_risk_report, wrap_dataframe

    frame = pd.DataFrame({"g": ["a", "b", "a"], "h": ["x", "x", "y"], "v": [1.0, 2.0, 3.0]})
    tracked = wrap_dataframe(frame, ProvenanceTracker(), "t", protected=["g"])
    assert type(pd.get_dummies(tracked["g"])) is pd.DataFrame  # plain: no words at all
    risk = {r["column"]: r["risk_level"] for r in column_risk_report(tracked)}
    named = {  # pandas' own names for the indicators tell the column they encode
        r["column"]: r["risk_level"]
        for r in column_risk_report(pd.get_dummies(tracked, prefix={"g": "g", "h": "is"}))
    }
    assert named == {"v": risk["v"], "g_a": risk["g"], "g_b": risk["g"]} | {
        "is_x": "UNKNOWN",  # named otherwise: unknown, never clean
        "is_y": "UNKNOWN",
    }
    pivot = tracked.pivot_table(index="g", columns="h", values="v", aggfunc="sum")
    assert {r["risk_level"] for r in column_risk_report(pivot)} == {"MEDIUM"}  # made from g
