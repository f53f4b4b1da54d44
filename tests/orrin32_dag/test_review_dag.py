"""Review findings: DOT names of unusual node ids, eviction keyed by the node table."""

import json
import shutil
import subprocess

import pytest
from dag_helpers import dag_of, node, source

from quorvane.utilities.orrin32_dag import DAGTracker, NodeType


@pytest.mark.parametrize(
    "input_id, edge",
    [
        (7, "  n7 -> n1;"),
        (-1, '  "n-1" -> n1;'),
        ("a b", '  "na b" -> n1;'),
        ('0"]; x [', '  "n0\\"]; x [" -> n1;'),
    ],
)
def test_graphviz_quotes_ids_that_are_not_plain_numbers(input_id, edge):
    # log_aggregate and log_merge store input ids as given, negative ones included
    dag = dag_of(1, node(1, NodeType.AGGREGATE, [input_id], "sum"))
    assert dag.to_graphviz().split("\n")[-2] == edge


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot is not installed")
def test_graphviz_negative_input_is_one_node_for_dot():
    t = DAGTracker()
    src = t.create_source_node("t", "c", 0)
    root = t.log_aggregate("sum", [src, -1], 0)
    done = subprocess.run(
        ["dot", "-Tjson"],
        check=False,
        input=t.get_dag(root).to_graphviz(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    graph = json.loads(done.stdout)
    assert {o["name"] for o in graph["objects"]} == {"n0", "n1", "n-1"}
    assert len(graph["edges"]) == 2


def test_graphviz_node_lines_quote_unusual_ids():
    text = dag_of(-3, node(-3, operation="neg"), source(4)).to_graphviz()
    assert text.split("\n")[4:6] == [
        '  "n-3" [label="neg", fillcolor="#c084fc"];',
        '  n4 [label="t\\nc", fillcolor="#22d3ee"];',
    ]


@pytest.mark.parametrize("renumbered_to", [15, 99])
def test_eviction_removes_the_oldest_table_entries_even_if_a_node_was_renumbered(
    renumbered_to,
):
    t = DAGTracker()
    t._max_nodes = 20
    last = t.create_source_node("t", "c", 1000)
    for i in range(19):
        last = t.log_unary("step", last, 100 + i)
    # nodes are the tracker's own mutable records; a caller may change one
    t.get_node(1).node_id = renumbered_to
    t.log_unary("step", last, 200)
    assert list(t._nodes) == [0] + list(range(3, 21))
    assert 100 not in t._prov_to_nodes and 101 not in t._prov_to_nodes
    listed = sorted(i for ids in t._prov_to_nodes.values() for i in ids)
    assert listed == sorted(t._nodes)
