"""ComputationDAG: the lineage of one result value, and its analyses."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from ..orrin32 import ProvenanceTracker
from . import _export
from ._log import logger  # noqa: F401  (one logger for the whole module)
from ._records import DAGEdge, DAGNode


def _input_id(value: Any) -> int:
    if isinstance(value, int):
        return value
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError):  # OverflowError: an infinite float
        raise TypeError(f"input node id must be int, not {type(value).__name__}") from None


def longest_depth(nodes: dict[int, DAGNode], root_id: int) -> int:
    """Longest path, in edges, from ``root_id`` down to a leaf.

    Walks depth-first with an explicit stack so that chains longer than the interpreter's
    recursion limit work; each node is evaluated once. Visits inputs in the same order as
    a recursive walk would, so the first missing node raises the same ``KeyError``.
    """
    memo: dict[int, int] = {}
    root = nodes[root_id]
    if root.is_leaf:
        return 0
    on_path = {root_id}
    # frame: [node id, inputs, next input position, deepest input so far]
    stack: list[list] = [[root_id, root.inputs, 0, 0]]
    while stack:
        frame = stack[-1]
        nid, inputs, pos, best = frame
        if pos == len(inputs):
            stack.pop()
            on_path.discard(nid)
            memo[nid] = best + 1
            if stack:
                parent = stack[-1]
                parent[3] = max(parent[3], best + 1)
            continue
        frame[2] = pos + 1
        child = _input_id(inputs[pos])
        if child in memo:
            frame[3] = max(best, memo[child])
            continue
        if child in on_path:
            raise ValueError(f"the inputs of node {child} lead back to itself")
        node = nodes[child]
        if node.is_leaf:
            memo[child] = 0
            continue
        on_path.add(child)
        stack.append([child, node.inputs, 0, 0])
    return memo[root_id]


@dataclass
class ComputationDAG:
    """Complete computation graph for a result value.

    Contains all nodes and edges needed to reconstruct how a value was derived from
    source data.
    """

    root_id: int
    nodes: dict[int, DAGNode]
    edges: list[DAGEdge]

    @property
    def depth(self) -> int:
        """Maximum depth from root to any leaf."""
        return longest_depth(self.nodes, self.root_id)

    @property
    def source_nodes(self) -> list[DAGNode]:
        """All source (leaf) nodes."""
        return [n for n in self.nodes.values() if n.is_source]

    @property
    def protected_sources(self) -> list[DAGNode]:
        """Source nodes from protected tables."""
        return [n for n in self.source_nodes if n.is_protected]

    @property
    def has_protected(self) -> bool:
        """Whether any protected data was used."""
        return len(self.protected_sources) > 0

    @property
    def operation_counts(self) -> dict[str, int]:
        """Count of each operation type."""
        counts: dict[str, int] = {}
        for node in self.nodes.values():
            counts[node.operation] = counts.get(node.operation, 0) + 1
        return counts

    def column_taint_risks(self) -> dict[str, float]:
        """Return {column_name: max_risk_score} for all tainted columns.

        Scans every node and computes risk = taint * 1/(1 + depth) from the ORRIN-32
        header bits. Only tainted columns appear.
        """
        risks: dict[str, float] = {}
        for node in self.nodes.values():
            if not node.column:
                continue
            if not ProvenanceTracker.is_tainted(node.provenance):
                continue
            risk = ProvenanceTracker.risk_score(node.provenance)
            if node.column not in risks or risk > risks[node.column]:
                risks[node.column] = risk
        return risks

    def to_dict(self) -> dict[str, Any]:
        """Convert to dictionary for JSON serialization."""
        return _export.dag_to_dict(self)

    def to_json(self, indent: int = 2) -> str:
        """Export as JSON string."""
        return _export.dag_to_json(self, indent)

    def to_graphviz(self) -> str:
        """Export as Graphviz DOT format."""
        return _export.dag_to_graphviz(self)
