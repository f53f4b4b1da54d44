"""The JSON forms of records as they travel between HostedStorage and the service.

Both ends use Python's json module, whose NaN and Infinity tokens carry non-finite floats.
"""

from __future__ import annotations

from dataclasses import asdict
from typing import Any

from ._jsonable import jsonable
from ._records import StoredEdge, StoredNode, StoredRowValue

API_PREFIX = "/v1"
DASHBOARD_SYNC_PATH = "/v1/dashboard/sync"


def node_to_wire(node: StoredNode) -> dict[str, Any]:
    return jsonable(asdict(node)) if hasattr(node, "__dataclass_fields__") else jsonable(node)


def node_from_wire(data: dict[str, Any]) -> StoredNode:
    return StoredNode(**_known(StoredNode, data))


def edge_to_wire(edge: StoredEdge) -> dict[str, Any]:
    return {
        "parent_fingerprint": int(edge.parent_fingerprint),
        "child_fingerprint": int(edge.child_fingerprint),
        "input_position": int(edge.input_position),
    }


def edge_from_wire(data: dict[str, Any]) -> StoredEdge:
    return StoredEdge(**_known(StoredEdge, data))


def row_value_to_wire(value: StoredRowValue) -> dict[str, Any]:
    return jsonable(asdict(value))


def row_value_from_wire(data: dict[str, Any]) -> StoredRowValue:
    return StoredRowValue(**_known(StoredRowValue, data))


def _known(cls: type, data: dict[str, Any]) -> dict[str, Any]:
    if not isinstance(data, dict):
        raise TypeError(f"a {cls.__name__} must be a JSON object")
    names = cls.__dataclass_fields__.keys()
    return {k: v for k, v in data.items() if k in names}
