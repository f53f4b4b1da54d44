"""The checker itself: what it counts as a dependency, how it matches rows, what it says."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from quorvane import check_lineage
from quorvane.lineage_check import KINDS
from quorvane.lineage_check._elements import compare
from quorvane.lineage_check._perturb import perturbations

FRAME = pd.DataFrame(
    {"a": [1.0, 2.0, 3.0, 4.0], "b": [1, 1, 1, 0], "c": ["x", "y", "y", "z"]},
    index=["r1", "r2", "r3", "r4"],
)


def hidden_branch(d):
    # a Python `if` on a tracked value: its sources cannot follow into the result
    return (d.a + (1.0 if d.b.sum() > 2 else 0.0)).rename("y")


def kept_rows(d):
    return d[d.b == 1][["a"]]


def renumbered(d):
    # rows sorted by `a` and numbered afresh: only the `id` column says whose row it is
    ranked = (d if "id" in d else d.reset_index(names="id")).sort_values("a", ascending=False)
    return ranked.reset_index(drop=True)[["id", "c"]]


def labelled_by_flag(d):
    # labels repeated, the source's rows in order: matched by position, b moves no value
    return d.set_index("b")[["a"]]


def three_flags(d):
    if d.b.sum() != 3:
        raise ValueError("exactly three flags expected")
    return d.a * 2


@pytest.mark.parametrize("road", ["words", "dag"])
@pytest.mark.parametrize(
    "pipeline, recall, under, untainted, moved, failures",
    [
        # b decides every value and is not reported: found, listed, and it is protected
        (hidden_branch, 0.5, {("r1", ("b",)), ("r4", ("b",))}, 4, 0, 0),
        # a filter drops and adds rows: counted apart, the kept values judged alone
        (kept_rows, 1.0, set(), 0, 1, 0),
        (labelled_by_flag, 1.0, set(), 0, 0, 0),
        # runs that raise are reported as failures and tell nothing
        (three_flags, 1.0, set(), 0, 0, 1),
    ],
)
def test_what_the_check_finds(road, pipeline, recall, under, untainted, moved, failures):
    report = check_lineage(pipeline, FRAME, protected=["b"], road=road, seed=3)
    assert report.recall == pytest.approx(recall)
    assert under <= {(e.row, e.sources) for e in report.under_reported}
    assert len(report.protected_untainted) == untainted
    assert (report.membership["b"] > 0) == bool(moved)
    assert len(report.failures) >= failures
    assert report.ok == (not under)
    text = report.to_text()
    assert "lower bound of the true dependencies" in text
    assert ("INCOMPLETE" in text) == bool(under)


@pytest.mark.parametrize(
    "before, after, changed, membership",
    [
        ([1.0, 2.0], [1.0, 2.5], [False, True], 0),
        ([1.0, np.nan], [1.0 + 1e-12, np.nan], [False, False], 0),  # rounding, two NaN
        (
            pd.Series([1, 2, 3], index=list("xyz")),
            pd.Series([3, 1], index=list("zx")),
            [False, False, False],
            1,
        ),  # reordered, y dropped
        (
            pd.Series([1, 2], index=["k", "k"]),
            pd.Series([1, 5, 7], index=["k", "k", "m"]),
            [False, True],
            1,
        ),  # the n-th repeat of a label matches the n-th
        (["a", None], ["b", None], [True, False], 0),
        ([1, 2], [1.0, np.nan], [False, True], 0),
    ],
)
def test_elements_match_by_label(before, after, changed, membership):
    comparison = compare(pd.Series(before), pd.Series(after))
    assert comparison.changed.tolist() == changed
    assert comparison.membership == membership


COLUMNS = {
    "flag": pd.Series([0, 1] * 10),
    "band": pd.Series(pd.Categorical(list("abc") * 7)[:20]),
    "amount": pd.Series(np.arange(20) * 10, dtype="int64"),
    "rate": pd.Series(np.linspace(0.1, 2.0, 20)),
}


@pytest.mark.parametrize("name", COLUMNS)
def test_perturbations_keep_the_column_plausible(name):
    column = COLUMNS[name]
    made = dict(perturbations(column, KINDS, np.random.default_rng(0)))
    numeric = name in ("amount", "rate")
    assert set(made) == {"permute", "redraw", "noise" if numeric else "flip"}
    for kind, values in made.items():
        assert values.dtype == column.dtype and values.index.equals(column.index), kind
    assert sorted(made["permute"]) == sorted(column)
    assert set(made["redraw"]) <= set(column)
    if "flip" in made:
        assert (made["flip"] != column).all() and set(made["flip"]) <= set(column)
    if numeric:
        assert (made["noise"] != column).any()


@pytest.mark.parametrize("road", ["words", "dag"])
@pytest.mark.parametrize("key", [None, "id"])
@pytest.mark.parametrize("frame", [FRAME, FRAME.reset_index(names="id")], ids=["index", "column"])
def test_rows_renumbered_by_the_pipeline_match_by_their_key(road, key, frame):
    # by position, a perturbed sort key pairs one applicant's `c` with another's; a key
    # column of the source is the rows' identity, never perturbed as a value
    report = check_lineage(renumbered, frame, road=road, seed=3, key=key)
    assert report.ok == (report.recall == 1.0) == (key is not None)
    assert set(report.columns) == ({"c"} if key else {"id", "c"})


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"road": "graph"}, ValueError),
        ({"protected": ["sex"]}, ValueError),
        ({"kinds": ("shuffle",)}, ValueError),
        ({"rounds": 0}, ValueError),
        ({"pipeline": lambda d: 3}, TypeError),
        ({"key": "applicant"}, ValueError),
        ({"pipeline": lambda d: d.set_index("b").sort_values("a", ascending=False)}, ValueError),
    ],
)
def test_refuses_what_it_cannot_check(kwargs, error):
    arguments = {"pipeline": kept_rows, "frame": FRAME} | kwargs
    with pytest.raises(error):
        check_lineage(**arguments)
