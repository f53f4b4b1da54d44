"""The record types handed to storage: nodes, edges and per-row values."""

from __future__ import annotations

from dataclasses import dataclass, fields
from typing import Any


@dataclass(kw_only=True)
class StoredNode:
    """One DAG node as it is kept in storage, keyed by its fingerprint (the node's word)."""

    fingerprint: int
    node_type: str
    operation: str
    table_name: str | None = None
    column_name: str | None = None
    pair_id: int | None = None
    is_protected: bool = False
    entity_hash: int | None = None
    chain_hash: int | None = None
    metadata: dict[str, Any] | None = None
    pipeline_id: int | None = None


@dataclass(kw_only=True)
class StoredEdge:
    """An input edge between two stored nodes, by fingerprint and input position."""

    parent_fingerprint: int
    child_fingerprint: int
    input_position: int


@dataclass(kw_only=True)
class StoredRowValue:
    """The value of one element, keyed by row position and the element's fingerprint."""

    pipeline_id: int
    row_index: int
    fingerprint: int
    node_operation: str
    value: float | None = None
    column_name: str | None = None
    tenant_id: str | None = None
    text_value: str | None = None


# the fields of each record, in the order bulk writes list them
NODE_FIELDS = tuple(f.name for f in fields(StoredNode))
EDGE_FIELDS = tuple(f.name for f in fields(StoredEdge))
ROW_VALUE_FIELDS = tuple(f.name for f in fields(StoredRowValue))
