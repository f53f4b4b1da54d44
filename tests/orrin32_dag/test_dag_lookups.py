"""Lineage look-ups for single values: combine_provenances, get_dag_for_series, dag_audit."""

import numpy as np
import pytest

from quorvane.utilities.orrin32 import OpCode
from quorvane.utilities.orrin32_dag import (
    DAGTracker,
    combine_provenances,
    dag_audit,
    get_dag_for_series,
)


class Series:
    """Anything carrying a tracker, one word and one node id per element will do."""

    def __init__(self, tracker, words, node_ids):
        self._tracker = tracker
        self._prov = np.asarray(words, dtype=np.uint32)
        self._node_ids = np.asarray(node_ids, dtype=np.int64)

    def __len__(self):
        return len(self._prov)


@pytest.fixture
def t():
    return DAGTracker()


@pytest.fixture
def wrapped(t):
    """Two source columns, one protected, and their elementwise sum."""
    inc = t.register("loans", "income")
    age = t.register("people", "age", protected=True)
    w_inc = t.encode({inc}, entity=7)
    w_age = t.encode({age}, entity=9, taint=True)
    s_inc = t.create_source_node("loans", "income", w_inc)
    s_age = t.create_source_node("people", "age", w_age)
    w_sum = t.combine(w_inc, w_age, OpCode.ADD)
    n_sum = t.log_binary("add", s_inc, s_age, w_sum)
    return {
        "income": Series(t, [w_inc, w_inc], [s_inc, s_inc]),
        "sum": Series(t, [w_sum, w_sum], [n_sum, -1]),
        "ids": (inc, age, s_inc, s_age, n_sum),
    }


def test_combine_provenances(t):
    a = t.log_unary("n", -1, t.encode({1}, entity=3))
    b = t.log_unary("n", -1, t.encode({2}, entity=5, taint=True))
    wa, wb = t.get_node(a).provenance, t.get_node(b).provenance
    assert combine_provenances(t, []) == 0
    assert combine_provenances(t, [999, -1]) == 0
    assert combine_provenances(t, [a]) == wa
    assert combine_provenances(t, iter([a, 999])) == wa
    assert combine_provenances(t, [a, b]) == t.combine(wa, wb, OpCode.CUSTOM)
    assert combine_provenances(t, [a, b], OpCode.MERGE) == t.combine(wa, wb, OpCode.MERGE)


def test_combine_provenances_takes_the_next_word_after_a_zero(t):
    zero = t.log_unary("n", -1, 0)
    b = t.log_unary("n", -1, 12345)
    assert combine_provenances(t, [zero, b]) == 12345


def test_combine_provenances_skips_evicted_nodes(t):
    t._max_nodes = 10
    first = t.log_unary("n", -1, 77)
    for _ in range(10):
        t.log_unary("n", -1, 1)
    assert t.get_node(first) is None
    assert combine_provenances(t, [first]) == 0


@pytest.mark.parametrize(
    "tracker, node_ids, row",
    [
        (None, [0], 0),  # no tracker
        ("t", [-1, 0], 0),  # element without a node
        ("t", [-7, 0], 0),
        ("t", [0, 0], 2),  # row at the length
        ("t", [0, 0], 9),
    ],
)
def test_get_dag_for_series_without_a_dag(t, tracker, node_ids, row):
    t.create_source_node("t", "c", 0)
    s = Series(t if tracker == "t" else None, [0, 0], node_ids)
    assert get_dag_for_series(s, row) is None


def test_get_dag_for_series(wrapped):
    dag = get_dag_for_series(wrapped["sum"])
    _, _, s_inc, s_age, n_sum = wrapped["ids"]
    assert (dag.root_id, list(dag.nodes)) == (n_sum, [n_sum, s_inc, s_age])
    assert get_dag_for_series(wrapped["sum"], 1) is None
    assert get_dag_for_series(wrapped["income"], np.int64(-1)).root_id == s_inc
    assert get_dag_for_series(wrapped["income"], 1.0).root_id == s_inc


def test_get_dag_for_series_needs_node_ids(t):
    class Bare:
        _tracker = t

    assert get_dag_for_series(Bare()) is None
    with pytest.raises(AttributeError):
        get_dag_for_series(object())


@pytest.mark.parametrize("func", [get_dag_for_series, dag_audit])
@pytest.mark.parametrize("row", ["0", None, [0]])
def test_row_index_type(wrapped, func, row):
    with pytest.raises(TypeError, match="row_index"):
        func(wrapped["sum"], row)


@pytest.mark.parametrize("tracker, words", [(None, [1]), ("t", [])])
def test_dag_audit_without_tracker_or_elements(t, tracker, words):
    s = Series(t if tracker == "t" else None, words, [0] * len(words))
    assert dag_audit(s) == {"error": "No tracker or empty series"}


def test_dag_audit_of_a_source_element(wrapped):
    inc = wrapped["ids"][0]
    audit = dag_audit(wrapped["income"])
    w = int(wrapped["income"]._prov[0])
    assert list(audit) == [
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
        "dag",
    ]
    assert audit["provenance"] == f"0x{w:08X}"
    assert (audit["pair_count"], audit["pair_ids"]) == (1, [inc])
    assert (audit["columns"], audit["tables"]) == ([("loans", "income")], ["loans"])
    assert (audit["taint"], audit["depth"], audit["risk"], audit["has_protected"]) == (
        False,
        0,
        0.0,
        False,
    )
    assert audit["dag"] == {
        "depth": 0,
        "node_count": 1,
        "operation_counts": {"loans.income": 1},
        "sources": [("loans", "income")],
        "protected_sources": [],
    }


def test_dag_audit_of_a_derived_element(wrapped):
    inc, age = wrapped["ids"][:2]
    audit = dag_audit(wrapped["sum"])
    assert audit["pair_ids"] == sorted([inc, age]) and audit["pair_count"] == 2
    assert audit["taint"] and audit["depth"] == 1 and audit["risk"] == 0.5
    assert audit["has_protected"] and not audit["unknown"]
    assert audit["dag"] == {
        "depth": 1,
        "node_count": 3,
        "operation_counts": {"add": 1, "loans.income": 1, "people.age": 1},
        "sources": [("loans", "income"), ("people", "age")],
        "protected_sources": [("people", "age")],
    }
    # no node for the second element: the twelve word keys only
    assert "dag" not in dag_audit(wrapped["sum"], 1) and len(dag_audit(wrapped["sum"], 1)) == 13


def test_dag_audit_errors(wrapped, t):
    with pytest.raises(IndexError):
        dag_audit(wrapped["sum"], 2)
    t._nodes.pop(wrapped["ids"][2])  # an ancestor gone from the table
    with pytest.raises(KeyError):
        dag_audit(wrapped["sum"])
