"""Audits of tracked containers on realistic data, and the column risk report."""

import math
from collections import Counter

import numpy as np
import pandas as pd
import pytest

from quorvane.utilities.orrin32 import (
    ProvenanceTracker,
    TrackedSeries,
    audit,
    audit_series_diversity,
    column_risk_report,
    provenance_entropy,
    wrap_dataframe,
)
from quorvane.utilities.orrin32_dag import dag_audit

ERROR = {"error": "No tracker or empty series"}


@pytest.fixture
def tracker():
    return ProvenanceTracker()


@pytest.fixture
def loans(tracker):
    df = pd.DataFrame(
        {
            "income": [52000.0, 61000.0, 47000.0, 38000.0, 45500.0, 70500.0],
            "debt": [12000.0, 3000.0, 9000.0, 15000.0, 2000.0, 8000.0],
            "age": [34, 51, 29, 42, 38, 61],
            "zip": ["10115", "20095", "10115", "80331", "50667", "20095"],
        },
        index=pd.Index(["A-17", "A-18", "A-19", "A-20", "A-21", "A-22"], name="loan_id"),
    )
    wrapped = wrap_dataframe(df, tracker, "loans", protected=["age"])
    wrapped["dti"] = wrapped["debt"] / wrapped["income"]
    wrapped["age_adj"] = wrapped["age"] * wrapped["dti"]
    return wrapped


def test_audit_explains_the_first_element(loans, tracker):
    result = audit(loans["age_adj"])
    assert list(result) == [
        "provenance",
        "mode",
        "pair_count",
        "pair_ids",
        "columns",
        "tables",
        "entity",
        "chain",
        "taint",
        "depth",
        "risk",
        "has_protected",
        "unknown",
    ]
    word = int(loans._col_prov["age_adj"][0])
    info = tracker.decode_full(word)
    assert result["provenance"] == f"0x{word:08X}" and len(result["provenance"]) == 10
    assert result["mode"] == "EXACT-3" and result["pair_count"] == 3
    assert result["pair_ids"] == [0, 1, 2]
    assert result["columns"] == [("loans", "income"), ("loans", "debt"), ("loans", "age")]
    assert result["tables"] == ["loans"]
    assert (result["entity"], result["chain"]) == (info.entity, info.chain)
    assert result["taint"] is True and result["depth"] == 2
    assert result["risk"] == pytest.approx(1 / 3) and result["has_protected"] is True


def test_audit_reads_only_the_first_word(tracker):
    pid = tracker.register("t", "c", True)
    words = [tracker.encode({pid}, taint=True, depth=2)] + [0] * 4
    result = audit(TrackedSeries(range(5), _prov=np.array(words, np.uint32), _tracker=tracker))
    assert result["taint"] is True and result["risk"] == pytest.approx(1 / 3)


@pytest.mark.parametrize("with_tracker, values", [(False, [1, 2]), (True, [])])
def test_audits_of_series_without_data(tracker, with_tracker, values):
    series = TrackedSeries(values, dtype=float, _tracker=tracker if with_tracker else None)
    assert audit(series) == ERROR
    assert audit_series_diversity(series) == ERROR


@pytest.mark.parametrize("value", [np.float64(2.5), pd.Series([1.0])], ids=["scalar", "plain"])
@pytest.mark.parametrize("check", [audit, audit_series_diversity, dag_audit])
def test_audits_refuse_values_without_provenance(check, value):
    with pytest.raises(TypeError, match="carries no provenance"):
        check(value)


@pytest.mark.parametrize(
    "build, same_as",
    [
        (lambda t: pd.DataFrame({"age": t["age"], "dti": t["dti"]}), lambda t: t[["age", "dti"]]),
        (lambda t: pd.DataFrame({"dti": pd.Series(t["dti"])}), lambda t: t[["dti"]]),
        # rows a sort placed, set at labels by position: only the sort key says which
        (
            lambda t: pd.DataFrame({"debt": t.sort_values("age")["debt"].values}, t.index),
            lambda t: t[["debt"]],
        ),
        # the protected key on the second level of the column labels alone
        (lambda t: pd.crosstab(t["zip"], [t["zip"], t["age"] > 40]), None),
        # numpy's array of the sorted rows, set at labels by position
        (lambda t: _at_labels(t.sort_values("age")["debt"].to_numpy(), t), lambda t: t[["debt"]]),
    ],
    ids=["frame", "series", "placed_by_position", "crosstab", "array_by_position"],
)
def test_plain_containers_holding_words_are_audited_as_tracked_data(loans, build, same_as):
    # pandas' own constructors and functions keep the words arrays they are given, but not
    # what decided where their values went: unknown, never clean, and naming at least the
    # sources those arrays carried (``same_as``'s)
    built = build(loans)
    report = column_risk_report(built)
    assert report and all(r["unknown"] and r["risk_level"] != "CLEAN" for r in report)
    if same_as is None:
        assert all(r["tainted"] for r in report)
        return
    tracked = same_as(loans)
    for label in built.columns:
        exact, read = audit(tracked[label]), audit(built[label])
        assert set(exact["columns"]) <= set(read["columns"])
        assert read["taint"] >= exact["taint"]


def _at_labels(values, t):
    return pd.Series(values, t.index, name="debt").to_frame()


def test_diversity_of_a_derived_column(loans):
    result = audit_series_diversity(loans["dti"])
    assert list(result) == [
        "total_rows",
        "unique_provenances",
        "unique_pair_sets",
        "unique_entities",
        "unique_chains",
        "entity_diversity",
        "tainted_provenances",
        "taint_ratio",
        "max_depth",
    ]
    assert result["total_rows"] == 6 and result["unique_pair_sets"] == 2
    assert result["tainted_provenances"] == 0 and result["taint_ratio"] == 0.0
    assert result["max_depth"] == 1
    assert result["entity_diversity"] == result["unique_entities"] / 6


def test_diversity_of_one_repeated_word(tracker):
    pid = tracker.register("t", "c", True)
    word = tracker.encode({pid}, entity=3, taint=True, depth=4)
    result = audit_series_diversity(
        TrackedSeries(range(10), _prov=np.full(10, word, np.uint32), _tracker=tracker)
    )
    assert result == {
        "total_rows": 10,
        "unique_provenances": 1,
        "unique_pair_sets": 1,
        "unique_entities": 1,
        "unique_chains": 1,
        "entity_diversity": 0.1,
        "tainted_provenances": 1,
        "taint_ratio": 1.0,
        "max_depth": 4,
    }


def test_unique_pair_sets_counts_the_union_of_pair_ids(tracker):
    ids = [tracker.register("t", c) for c in "abcd"]
    words = [tracker.encode({ids[1], ids[2]}), tracker.encode({ids[2], ids[3]})]
    series = TrackedSeries([1, 2], _prov=np.array(words, np.uint32), _tracker=tracker)
    assert audit_series_diversity(series)["unique_pair_sets"] == 3


def _reference_entropy(words):
    counts = {}
    for w in words:
        counts[int(w)] = counts.get(int(w), 0) + 1
    h = 0.0
    for c in counts.values():
        p = c / len(words)
        if p > 0:
            h = h - p * math.log2(p)
    return h


@pytest.mark.parametrize(
    "words, expected",
    [([7] * 5, 0.0), ([1, 2, 3, 4], 2.0), ([], 0.0), ([5, 5, 6, 6], 1.0)],
)
def test_entropy_of_simple_distributions(words, expected):
    series = TrackedSeries(range(len(words)), _prov=np.array(words, np.uint32))
    result = provenance_entropy(series)
    assert result == expected and math.copysign(1.0, result) == 1.0


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_entropy_equals_the_running_sum_in_order_of_first_appearance(seed):
    rng = np.random.default_rng(seed)
    words = rng.choice(
        rng.integers(0, 2**32, 300, dtype=np.uint32), size=5000, p=rng.dirichlet(np.ones(300) * 0.3)
    )
    series = TrackedSeries(np.zeros(len(words)), _prov=words.astype(np.uint32))
    assert provenance_entropy(series) == _reference_entropy(words)  # bit for bit


def test_entropy_of_a_wrapped_column(loans):
    # Source words differ only by the row's entity (its label's hash modulo 256); string
    # hashes change between interpreter runs and six labels may share an entity.
    entities = [hash(label) % 256 for label in loans.index]
    counts = [entities.count(e) for e in dict.fromkeys(entities)]
    expected = -sum(c / 6 * math.log2(c / 6) for c in counts)
    assert provenance_entropy(loans["zip"]) == pytest.approx(expected)


def _column(tracker, depths, taint=True):
    pid = tracker.register("risk", f"c{len(tracker._id_to_name)}", taint)
    return np.array([tracker.encode({pid}, taint=taint, depth=d) for d in depths], np.uint32)


LEVELS = [
    (0, "HIGH", 1.0),
    (1, "MEDIUM", 0.5),
    (2, "MEDIUM", 0.3333),
    (3, "MEDIUM", 0.25),
    (4, "LOW", 0.2),
    (5, "LOW", 0.1667),
    (6, "LOW", 0.1429),
    (7, "LOW", 0.125),
]


@pytest.mark.parametrize("depth, level, risk", LEVELS)
def test_risk_level_at_every_depth(tracker, depth, level, risk):
    frame = pd.DataFrame({"x": [1, 2, 3]})
    col_prov = {"x": _column(tracker, [7, depth, 7])}
    df = type("Frame", (), {"columns": frame.columns, "_col_prov": col_prov, "_tracker": tracker})
    assert column_risk_report(df) == [
        {
            "column": "x",
            "tainted": True,
            "max_risk": risk,
            "min_depth": depth,
            "risk_level": level,
            "unknown": False,
        }
    ]


def test_report_entries_and_stable_order(tracker):
    from quorvane.utilities.orrin32 import TrackedDataFrame

    df = TrackedDataFrame(
        {"a": [1, 2], "b": [3, 4], "c": [5, 6], "d": [7, 8], "e": [0, 0]}, _tracker=tracker
    )
    df._col_prov.update(
        {
            "a": _column(tracker, [4, 6]),
            "b": _column(tracker, [0, 5]),
            "c": _column(tracker, [4, 4]),
            "d": _column(tracker, [0, 0], taint=False),
        }
    )
    report = column_risk_report(df)
    assert [r["column"] for r in report] == ["b", "a", "c", "d", "e"]
    assert report[1] == {
        "column": "a",
        "tainted": True,
        "max_risk": 0.2,
        "min_depth": 4,
        "risk_level": "LOW",
        "unknown": False,
    }
    assert report[3] == {
        "column": "d",
        "tainted": False,
        "max_risk": 0.0,
        "min_depth": None,
        "risk_level": "CLEAN",
        "unknown": False,
    }
    assert report[4] == {
        "column": "e",
        "tainted": False,
        "max_risk": 0.0,
        "min_depth": None,
        "risk_level": "UNKNOWN",  # never given words: not clean
        "unknown": True,
    }


def test_report_tracker_resolution(loans, tracker):
    loans._tracker = None
    assert column_risk_report(loans) == []
    report = column_risk_report(loans, tracker)
    assert [r["column"] for r in report[:2]] == ["age", "age_adj"]
    assert [r["risk_level"] for r in report] == [
        "HIGH",
        "MEDIUM",
        "CLEAN",
        "CLEAN",
        "CLEAN",
        "CLEAN",
    ]


def test_report_matches_word_by_word_reading(tracker):
    rng = np.random.default_rng(7)
    pid = tracker.register("t", "mixed", True)
    words = np.array(
        [
            tracker.encode({pid}, entity=int(e), taint=bool(t), depth=int(d))
            for e, t, d in zip(
                rng.integers(0, 256, 400),
                rng.integers(0, 2, 400),
                rng.integers(2, 8, 400),
                strict=True,
            )
        ],
        np.uint32,
    )
    df = type(
        "Frame", (), {"columns": pd.Index(["m"]), "_col_prov": {"m": words}, "_tracker": tracker}
    )
    tainted = [int(w) for w in words if ProvenanceTracker.is_tainted(w)]
    (entry,) = column_risk_report(df)
    assert entry["min_depth"] == min(ProvenanceTracker.get_depth(w) for w in tainted)
    assert entry["max_risk"] == round(max(ProvenanceTracker.risk_score(w) for w in tainted), 4)


def test_empty_frames_and_series(tracker):
    empty = wrap_dataframe(pd.DataFrame({"a": [], "b": []}), tracker, "t", protected=True)
    assert [r["risk_level"] for r in column_risk_report(empty)] == ["CLEAN", "CLEAN"]
    assert provenance_entropy(empty["a"]) == 0.0
    assert audit(empty["a"]) == ERROR
    assert Counter(r["min_depth"] for r in column_risk_report(empty)) == {None: 2}


def test_report_depth_follows_the_trackers_depth_read(tracker, monkeypatch):
    from quorvane.utilities import orrin32

    frame = wrap_dataframe(pd.DataFrame({"a": [1, 2]}), tracker, "t", protected=True)
    frame._col_prov["a"] = np.array([(1 << 29) | 5, (1 << 29) | 6], dtype=np.uint32)
    monkeypatch.setattr(orrin32, "DEPTH_SHIFT", 0)
    assert ProvenanceTracker.get_depth(5) == 5
    assert column_risk_report(frame)[0]["min_depth"] == 5
