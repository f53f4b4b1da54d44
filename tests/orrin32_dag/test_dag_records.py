"""Node types, node and edge records, and the analyses of a reconstructed DAG."""

import sys

import pytest
from dag_helpers import dag_of, node, source, word

from quorvane.utilities.orrin32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType


def test_node_type_members_are_numbered_from_one_in_order():
    assert [m.name for m in NodeType] == [
        "SOURCE",
        "CONSTANT",
        "UNARY",
        "BINARY",
        "AGGREGATE",
        "MERGE",
        "FILTER",
        "CUSTOM",
    ]
    assert [m.value for m in NodeType] == list(range(1, 9))


def test_node_defaults_and_fresh_metadata():
    a = DAGNode(0, NodeType.SOURCE, "t.c", [], 5)
    b = DAGNode(0, NodeType.SOURCE, "t.c", [], 5)
    assert (a.metadata, a.table, a.column, a.pair_id, a.is_protected) == (
        {},
        None,
        None,
        None,
        False,
    )
    assert a.is_source and a.is_leaf
    assert a.metadata is not b.metadata
    assert a == b


def test_node_holds_given_objects_and_is_mutable_but_unhashable():
    inputs, meta = [1, 2], {"k": 1}
    n = DAGNode(3, NodeType.BINARY, "add", inputs, 0, meta)
    assert n.inputs is inputs and n.metadata is meta
    n.is_protected = True
    assert n != DAGNode(3, NodeType.BINARY, "add", [1, 2], 0, {"k": 1})
    with pytest.raises(TypeError):
        hash(n)


@pytest.mark.parametrize(
    "kind, inputs, is_source, is_leaf",
    [
        (NodeType.UNARY, [], False, True),
        (NodeType.UNARY, [0], False, False),
        (NodeType.SOURCE, [], True, True),
        ("SOURCE", [], False, True),  # not a member: simply not a source
    ],
)
def test_node_kind_properties(kind, inputs, is_source, is_leaf):
    n = DAGNode(1, kind, "x", inputs, 0)
    assert (n.is_source, n.is_leaf) == (is_source, is_leaf)


def test_edge_equality_and_order():
    assert DAGEdge(1, 2, 0) == DAGEdge(source_id=1, target_id=2, input_index=0)
    assert DAGEdge(1, 2, 0) != DAGEdge(1, 2, 1)


def test_diamond(diamond):
    assert diamond.depth == 2
    assert [n.node_id for n in diamond.source_nodes] == [0]
    assert diamond.operation_counts == {"add": 1, "neg": 2, "t.c": 1}
    assert bool(ComputationDAG(0, {}, []))


@pytest.mark.parametrize(
    "nodes, root, depth",
    [
        # chain: source 0, unary 1 of 0, binary 2 of 1 and 0
        ([source(0), node(1, inputs=[0]), node(2, NodeType.BINARY, [1, 0])], 2, 2),
        # repeated input: 1 reads 0 twice
        ([source(0), node(1, NodeType.BINARY, [0, 0])], 1, 1),
        # a root that is itself a leaf
        ([source(0)], 0, 0),
        ([node(4, inputs=[])], 4, 0),
        # unbalanced: the longest branch wins whatever its position
        (
            [source(0), node(1, inputs=[0]), node(2, inputs=[1]), node(3, NodeType.BINARY, [0, 2])],
            3,
            3,
        ),
    ],
)
def test_depth_shapes(nodes, root, depth):
    assert dag_of(root, *nodes).depth == depth


def test_depth_of_a_chain_beyond_the_recursion_limit():
    n = sys.getrecursionlimit() * 3
    nodes = [source(0)] + [node(i, inputs=[i - 1]) for i in range(1, n)]
    assert dag_of(n - 1, *reversed(nodes)).depth == n - 1


def test_depth_accepts_convertible_input_ids():
    import numpy as np

    dag = dag_of(1, node(1, inputs=[np.int64(0)]), source(0))
    assert dag.depth == 1


@pytest.mark.parametrize(
    "dag, missing",
    [
        (ComputationDAG(7, {}, []), 7),
        # ancestor 2 evicted: 3 still names it
        (dag_of(4, node(4, inputs=[3]), node(3, inputs=[2])), 2),
        # the first missing input in input order is the one reported
        (dag_of(5, node(5, NodeType.BINARY, [9, 8])), 9),
    ],
)
def test_depth_with_a_missing_node_raises_key_error(dag, missing):
    with pytest.raises(KeyError) as info:
        _ = dag.depth
    assert info.value.args == (missing,)


@pytest.mark.parametrize(
    "bad, type_name", [(None, "NoneType"), (float("inf"), "float"), (float("nan"), "float")]
)
def test_depth_refuses_non_integer_inputs(bad, type_name):
    dag = dag_of(1, node(1, inputs=[bad]))
    with pytest.raises(TypeError, match=f"int.*{type_name}"):
        _ = dag.depth


def test_depth_reports_a_cycle_instead_of_looping():
    dag = dag_of(1, node(1, inputs=[2]), node(2, inputs=[1]))
    with pytest.raises(ValueError, match="lead back"):
        _ = dag.depth


def test_analyses_that_ignore_missing_nodes():
    dag = dag_of(4, node(4, inputs=[3], operation="neg", provenance=word(True, 1), column="c"))
    assert dag.source_nodes == [] and dag.protected_sources == []
    assert dag.operation_counts == {"neg": 1}
    assert dag.column_taint_risks() == {"c": 0.5}


def test_protected_sources_only_count_sources():
    dag = dag_of(
        2,
        node(2, NodeType.BINARY, [0, 1], is_protected=True),
        source(0, "t", "a"),
        source(1, "t", "b", protected=True),
    )
    assert [n.node_id for n in dag.protected_sources] == [1]
    assert dag.has_protected
    only_steps = dag_of(1, node(1, inputs=[0], is_protected=True), source(0))
    assert not only_steps.has_protected


@pytest.mark.parametrize(
    "specs, expected",
    [
        ([("age", word(True, 0)), ("age", word(True, 3))], {"age": 1.0}),
        ([("age", word(True, 3)), ("age", word(True, 0))], {"age": 1.0}),
        ([("age", word(True, 1))], {"age": 0.5}),
        ([("age", word(False, 0)), (None, word(True, 0)), ("", word(True, 0))], {}),
        (
            [("b", word(True, 7)), ("a", word(True, 1)), ("b", word(True, 2))],
            {"b": 1 / 3, "a": 0.5},
        ),
    ],
)
def test_column_taint_risks(specs, expected):
    nodes = [node(i, provenance=p, column=c) for i, (c, p) in enumerate(specs)]
    risks = dag_of(0, *nodes).column_taint_risks()
    assert risks == expected and list(risks) == list(expected)


def test_column_taint_risks_share_bare_column_names_across_tables():
    dag = dag_of(
        0,
        source(0, "t1", "x", provenance=word(True, 2)),
        source(1, "t2", "x", provenance=word(True, 0)),
    )
    assert dag.column_taint_risks() == {"x": 1.0}
