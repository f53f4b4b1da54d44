"""The records of the computation DAG: node types, nodes and edges."""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import Enum, auto
from typing import Any

from ._export import node_to_dict
from ._log import logger  # noqa: F401  (one logger for the whole module)


class NodeType(Enum):
    """Types of nodes in the computation DAG."""

    SOURCE = auto()
    CONSTANT = auto()
    UNARY = auto()
    BINARY = auto()
    AGGREGATE = auto()
    MERGE = auto()
    FILTER = auto()
    CUSTOM = auto()


# slots: the tracker keeps up to half a million nodes, and a slotted record is about half
# the size of one with an instance dict.
@dataclass(slots=True)
class DAGNode:
    """A node in the computation DAG.

    Each node is either a source column (leaf) or a computation step (internal node).
    """

    node_id: int
    node_type: NodeType
    operation: str
    inputs: list[int]
    provenance: int
    metadata: dict[str, Any] = field(default_factory=dict)
    table: str | None = None
    column: str | None = None
    pair_id: int | None = None
    is_protected: bool = False

    @property
    def is_source(self) -> bool:
        return self.node_type == NodeType.SOURCE

    @property
    def is_leaf(self) -> bool:
        return not self.inputs

    def to_dict(self) -> dict[str, Any]:
        """Convert to dictionary for JSON serialization."""
        return node_to_dict(self)


@dataclass(slots=True)
class DAGEdge:
    """An edge in the computation DAG."""

    source_id: int
    target_id: int
    input_index: int

    def to_dict(self) -> dict[str, Any]:
        return {
            "source": self.source_id,
            "target": self.target_id,
            "input_index": self.input_index,
        }
