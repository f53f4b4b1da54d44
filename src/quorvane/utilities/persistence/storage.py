"""Stored record types and storage backends."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional


@dataclass(kw_only=True)
class StoredNode:
    """One DAG node as it is kept in storage, keyed by its fingerprint (the node's word)."""

    fingerprint: int
    node_type: str
    operation: str
    table_name: Optional[str] = None
    column_name: Optional[str] = None
    pair_id: Optional[int] = None
    is_protected: bool = False
    entity_hash: Optional[int] = None
    chain_hash: Optional[int] = None
    metadata: Optional[dict[str, Any]] = None
    pipeline_id: Optional[int] = None


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
    value: Optional[float] = None
    column_name: Optional[str] = None
    tenant_id: Optional[str] = None
    text_value: Optional[str] = None
