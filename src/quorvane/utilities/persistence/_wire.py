"""The JSON forms of records as they travel between HostedStorage and the service.

Both ends use Python's json module, whose NaN and Infinity tokens carry non-finite floats.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import asdict, fields
from typing import Any

from ._jsonable import jsonable
from ._records import StoredEdge, StoredNode, StoredRowValue

API_PREFIX = "/v1"

# the fields of each record as bulk writes send them: one list per field
NODE_FIELDS = tuple(f.name for f in fields(StoredNode))
EDGE_FIELDS = tuple(f.name for f in fields(StoredEdge))
ROW_VALUE_FIELDS = tuple(f.name for f in fields(StoredRowValue))


def columns(records: Sequence[Any], names: tuple[str, ...]) -> dict[str, list[Any]]:
    """The records as one list per field, in record order."""
    return {name: [getattr(record, name) for record in records] for name in names}


DASHBOARD_SYNC_PATH = "/v1/dashboard/sync"


def _fields(record: Any) -> dict[str, Any]:
    # a shallow copy of the record's fields; values json cannot write as they are (numpy
    # scalars in metadata, say) are converted when the body is serialised
    fields = getattr(record, "__dict__", None)
    return dict(fields) if fields is not None else jsonable(asdict(record))


def node_to_wire(node: StoredNode) -> dict[str, Any]:
    return _fields(node)


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
    return _fields(value)


def row_value_from_wire(data: dict[str, Any]) -> StoredRowValue:
    return StoredRowValue(**_known(StoredRowValue, data))


def _known(
    cls: type[StoredNode | StoredEdge | StoredRowValue], data: dict[str, Any]
) -> dict[str, Any]:
    if not isinstance(data, dict):
        raise TypeError(f"a {cls.__name__} must be a JSON object")
    names = {field.name for field in fields(cls)}
    return {k: v for k, v in data.items() if k in names}
