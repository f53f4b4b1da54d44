"""The JSON forms of records as they travel between HostedStorage and the service.

Both ends read and write the NaN and Infinity tokens of Python's json module, which carry
non-finite floats. Bulk writes travel as newline-delimited JSON: each line a chunk of the
records as columns (one list per field), which the service checks and stores one after the
other, so that it never holds a whole body's records as objects at once.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import asdict, fields
from typing import Any

from ._columns import columns
from ._element_log import ElementLineage, LineageStep
from ._jsonable import json_default, jsonable
from ._records import StoredEdge, StoredNode, StoredRowValue

orjson: Any
try:
    import orjson
except ImportError:  # the json module writes every line
    orjson = None

DASHBOARD_SYNC_PATH = "/v1/dashboard/sync"

NDJSON = "application/x-ndjson"
#: records a line of a bulk body: a line of some hundred kilobytes costs the service little
#: memory, and little time to start on
LINE_RECORDS = 1000


def bulk_body(records: Sequence[Any], names: tuple[str, ...], **fields: Any) -> bytes:
    """The records as NDJSON lines of ``{"columns": {field: [...]}, **fields}``."""
    return b"\n".join(
        _encode_line({"columns": columns(records[start : start + LINE_RECORDS], names), **fields})
        for start in range(0, len(records), LINE_RECORDS)
    )


_encode = json.JSONEncoder(ensure_ascii=False, default=json_default).encode


def row_lines(rows: Sequence[Any]) -> bytes:
    """Rows (lists of plain values) as NDJSON lines of ``{"rows": [...]}``."""
    return b"\n".join(
        _encode({"rows": rows[start : start + LINE_RECORDS]}).encode("utf-8")
        for start in range(0, len(rows), LINE_RECORDS)
    )


# the values orjson writes as the json module does (it writes a non-finite float as null)
_PLAIN = frozenset({int, str, bool, type(None)})


def _encode_line(line: dict[str, Any]) -> bytes:
    """One line as JSON: by orjson (when installed) if it holds only plain values, for
    it writes them in a tenth of the time; else by the json module."""
    if orjson is not None and all(map(_plain, line["columns"].values())):
        try:
            return orjson.dumps(line)
        except TypeError:  # what it cannot write: an integer past 64 bits, a lone surrogate
            pass
    return _encode(line).encode("utf-8")


def _plain(column: Sequence[Any]) -> bool:
    """Whether ``column`` holds only plain values, or mappings of texts to such (metadata)."""
    kinds = set(map(type, column))
    if dict in kinds:
        kinds.discard(dict)
        if not all(_plain_mapping(value) for value in column if type(value) is dict):
            return False
    return kinds <= _PLAIN


def _plain_mapping(mapping: dict[Any, Any]) -> bool:
    return set(map(type, mapping)) <= {str} and _plain(list(mapping.values()))


def _fields(record: Any) -> dict[str, Any]:
    # a shallow copy of the record's fields; values json cannot write as they are (numpy
    # scalars in metadata, say) are converted when the body is serialised
    fields = getattr(record, "__dict__", None)
    return dict(fields) if fields is not None else jsonable(asdict(record))


def node_to_wire(node: StoredNode) -> dict[str, Any]:
    return _fields(node)


def node_from_wire(data: dict[str, Any]) -> StoredNode:
    return StoredNode(**_known(StoredNode, data))


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


def lineage_from_wire(wire: dict[str, Any]) -> ElementLineage:
    """An element's lineage from its JSON form (lists where the record has tuples)."""
    steps = tuple(
        LineageStep(
            **{**step, "inputs": tuple(step["inputs"]), "identity": tuple(step["identity"])}
        )
        for step in wire["steps"]
    )
    return ElementLineage(root=wire["root"], key=wire["key"], steps=steps, exact=wire["exact"])
