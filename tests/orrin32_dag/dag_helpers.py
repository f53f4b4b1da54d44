"""Record builders shared by the DAG tests."""

from quorvane.utilities.orrin32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType

TAINT = 1 << 29


def word(taint: bool = False, depth: int = 0, low: int = 0) -> int:
    """A word with the given header and an arbitrary payload."""
    return (TAINT if taint else 0) | (depth << 26) | low


def node(nid, kind=NodeType.UNARY, inputs=(), operation="op", provenance=0, **kw):
    return DAGNode(nid, kind, operation, list(inputs), provenance, **kw)


def source(nid, table="t", column="c", provenance=0, protected=False):
    return DAGNode(
        nid,
        NodeType.SOURCE,
        f"{table}.{column}",
        [],
        provenance,
        table=table,
        column=column,
        is_protected=protected,
    )


def dag_of(root_id, *nodes):
    """A DAG with one edge per input slot, as the tracker's reconstruction makes them."""
    edges = [DAGEdge(i, n.node_id, pos) for n in nodes for pos, i in enumerate(n.inputs)]
    return ComputationDAG(root_id, {n.node_id: n for n in nodes}, edges)
