"""Dictionary, JSON and DOT exports of DAG records."""

import json
import shutil
import subprocess

import numpy as np
import pytest
from dag_helpers import dag_of, node, source, word

from quorvane.utilities.orrin32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType


@pytest.fixture
def small():
    """One unprotected source (id 0) and one UNARY root step (id 1)."""
    return dag_of(
        1,
        node(1, inputs=[0], operation="neg", provenance=word(True, 1)),
        source(0, "loans", "income", provenance=word(True, 0)),
    )


def test_source_node_to_dict():
    n = DAGNode(
        0,
        NodeType.SOURCE,
        "loans.income",
        [],
        536870912,
        table="loans",
        column="income",
        pair_id=3,
        is_protected=True,
    )
    d = n.to_dict()
    assert d == {
        "id": 0,
        "name": "loans.income",
        "type": "SOURCE",
        "operation": "loans.income",
        "inputs": [],
        "provenance": "0x20000000",
        "table": "loans",
        "column": "income",
        "pair_id": 3,
        "is_protected": True,
        "metadata": {},
    }
    assert list(d) == [
        "id",
        "name",
        "type",
        "operation",
        "inputs",
        "provenance",
        "table",
        "column",
        "pair_id",
        "is_protected",
        "metadata",
    ]
    assert d["inputs"] is n.inputs and d["metadata"] is n.metadata


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"table": "t", "column": "c", "operation": "op"}, "t.c"),
        ({"table": "t", "column": "", "operation": "op"}, "op"),
        ({"table": None, "column": "c", "operation": "op"}, "op"),
        ({"operation": ""}, "node_12"),
    ],
)
def test_display_name(kwargs, name):
    operation = kwargs.pop("operation")
    assert DAGNode(12, NodeType.UNARY, operation, [], 0, **kwargs).to_dict()["name"] == name


@pytest.mark.parametrize(
    "provenance, text",
    [(0, "0x00000000"), (255, "0x000000FF"), (0xDEADBEEF, "0xDEADBEEF")],
)
def test_provenance_text(provenance, text):
    assert node(0, provenance=provenance).to_dict()["provenance"] == text


def test_edge_to_dict():
    d = DAGEdge(4, 9, 1).to_dict()
    assert d == {"source": 4, "target": 9, "input_index": 1}
    assert list(d) == ["source", "target", "input_index"]


def test_dag_to_dict(small):
    d = small.to_dict()
    assert list(d) == [
        "root_id",
        "depth",
        "node_count",
        "edge_count",
        "has_protected",
        "taint_risks",
        "sources",
        "protected_sources",
        "operation_counts",
        "nodes",
        "edges",
    ]
    assert (d["root_id"], d["depth"], d["node_count"], d["edge_count"]) == (1, 1, 2, 1)
    assert d["has_protected"] is False
    assert d["taint_risks"] == {"income": 1.0}
    assert [s["id"] for s in d["sources"]] == [0]
    assert d["protected_sources"] == []
    assert d["operation_counts"] == {"neg": 1, "loans.income": 1}
    assert list(d["nodes"]) == ["1", "0"]
    assert d["edges"] == [{"source": 0, "target": 1, "input_index": 0}]
    # each occurrence of a source is a dict of its own
    assert d["sources"][0] == d["nodes"]["0"] and d["sources"][0] is not d["nodes"]["0"]


def test_dag_to_dict_with_missing_ancestor_raises_key_error():
    with pytest.raises(KeyError):
        dag_of(2, node(2, inputs=[1])).to_dict()


@pytest.mark.parametrize("indent", [2, 0, 4, -1, 3.0, np.int64(1), True])
def test_to_json_is_json_dumps_of_to_dict(small, indent):
    assert small.to_json(indent) == json.dumps(small.to_dict(), indent=int(indent))


def test_to_json_default_indent_and_zero_indent(small):
    text = small.to_json()
    assert text == json.dumps(small.to_dict(), indent=2)
    assert text.splitlines()[1] == '  "root_id": 1,' and not text.endswith("\n")
    flat = small.to_json(indent=0).splitlines()
    assert flat[:3] == ["{", '"root_id": 1,', '"depth": 1,']


@pytest.mark.parametrize("indent", [None, "2", [2]])
def test_to_json_refuses_non_numeric_indent(small, indent):
    with pytest.raises(TypeError, match="indent"):
        small.to_json(indent)


def test_to_json_escapes_like_the_json_module():
    dag = dag_of(0, node(0, operation='é"\\\n😀', metadata={"x": float("nan"), 1: (1, 2)}))
    assert dag.to_json() == json.dumps(dag.to_dict(), indent=2)
    assert "\\u00e9" in dag.to_json() and "NaN" in dag.to_json()


@pytest.mark.parametrize(
    "value, type_name", [(np.int64(3), "int64"), ({1, 2}, "set"), (object(), "object")]
)
def test_to_json_refuses_unserialisable_metadata(value, type_name):
    dag = dag_of(0, node(0, metadata={"bad": value}))
    with pytest.raises(TypeError, match=f"{type_name} is not JSON serializable"):
        dag.to_json()


def test_graphviz_lines(small):
    assert small.to_graphviz().split("\n") == [
        "digraph ComputationDAG {",
        "  rankdir=BT;",
        "  node [shape=box, style=filled];",
        "",
        '  n1 [label="neg", fillcolor="#c084fc"];',
        '  n0 [label="loans\\nincome", fillcolor="#22d3ee"];',
        "",
        "  n0 -> n1;",
        "}",
    ]


def test_graphviz_colours_and_evicted_inputs():
    dag = dag_of(
        12,
        node(12, NodeType.BINARY, [5, 3], "add"),
        node(5, inputs=[0], operation="neg"),
        source(0, "p", "age", protected=True),
    )
    lines = dag.to_graphviz().split("\n")
    assert lines[4:7] == [
        '  n12 [label="add", fillcolor="#c084fc"];',
        '  n5 [label="neg", fillcolor="#4ade80"];',
        '  n0 [label="p\\nage", fillcolor="#f59e0b"];',
    ]
    # input 3 is gone from the table but its edge is still drawn
    assert lines[8:] == ["  n5 -> n12;", "  n3 -> n12;", "  n0 -> n5;", "}"]


def test_graphviz_root_source_keeps_source_colour():
    assert '  n0 [label="t\\nc", fillcolor="#22d3ee"];' in dag_of(0, source(0)).to_graphviz()


def test_graphviz_of_an_empty_dag():
    text = ComputationDAG(3, {}, []).to_graphviz()
    assert text.split("\n") == [
        "digraph ComputationDAG {",
        "  rankdir=BT;",
        "  node [shape=box, style=filled];",
        "",
        "",
        "}",
    ]


INJECTION = 'x", fillcolor="red'


@pytest.mark.parametrize(
    "table, column, operation, line",
    [
        ('lo"ans', "in\\come", None, '  n0 [label="lo\\"ans\\nin\\\\come", fillcolor="#22d3ee"];'),
        (None, None, INJECTION, '  n0 [label="x\\", fillcolor=\\"red", fillcolor="#c084fc"];'),
        (None, None, "a\\nb", '  n0 [label="a\\\\nb", fillcolor="#c084fc"];'),
    ],
)
def test_graphviz_escapes_quotes_and_backslashes(table, column, operation, line):
    n = source(0, table, column) if operation is None else node(0, operation=operation)
    assert dag_of(0, n).to_graphviz().split("\n")[4] == line


def _dot_json(text):
    done = subprocess.run(
        ["dot", "-Tjson"], check=False, input=text, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot is not installed")
def test_graphviz_output_is_accepted_by_dot():
    dag = dag_of(
        3,
        node(3, NodeType.BINARY, [1, 2], INJECTION),
        node(1, inputs=[0], operation="back\\slash"),
        node(2, inputs=[9], operation='say "hi"'),
        source(0, 'ta"ble', "col", protected=True),
    )
    graph = _dot_json(dag.to_graphviz())
    by_name = {o["name"]: o for o in graph["objects"]}
    # the undeclared evicted input 9 shows as a node of its own
    assert set(by_name) == {"n3", "n1", "n2", "n0", "n9"}
    assert by_name["n3"]["fillcolor"] == "#c084fc"
    assert by_name["n0"]["fillcolor"] == "#f59e0b"
    assert len(graph["edges"]) == 4
