"""Review findings: DOT names of unusual node ids, eviction keyed by the node table."""

import pytest

from quorvane.utilities.orrin32_dag import DAGTracker


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
