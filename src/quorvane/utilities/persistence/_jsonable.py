"""JSON text for the free-form parts of records (metadata, config, dashboard payloads)."""

from __future__ import annotations

import json
import math
from typing import Any

from ._documents import JSONText, refuse_nul


def json_default(obj: Any) -> Any:
    """Values json cannot write as they are: numpy scalars and arrays, sets, the rest as text."""
    # numpy scalars and arrays, sets and anything else a pipeline may put into metadata
    item = getattr(obj, "item", None)
    if callable(item):
        try:
            return item()
        except (TypeError, ValueError):
            pass
    tolist = getattr(obj, "tolist", None)
    if callable(tolist):
        return tolist()
    if isinstance(obj, (set, frozenset)):
        return sorted(obj, key=repr)
    return str(obj)


def to_json_text(value: Any, where: str = "value") -> str | None:
    """JSON text of ``value`` (a ``JSONText`` is that already); None stays None (SQL NULL).

    U+0000 is refused in the document's strings as in every other text (``where`` names
    the field), so that a store keeps the same on SQLite and on PostgreSQL."""
    if value is None:
        return None
    if isinstance(value, JSONText):
        return value.text
    text = _dumps(value)
    refuse_nul(text, where)
    return text


def _dumps(value: Any) -> str:
    return json.dumps(value, default=json_default, ensure_ascii=False, allow_nan=True)


def from_json_text(text: str | None) -> Any:
    return None if text is None else json.loads(text)


def jsonable(value: Any) -> Any:
    """``value`` reduced to what the standard json module writes (for HTTP bodies)."""
    return None if value is None else json.loads(_dumps(value))


def split_float(value: float | None) -> tuple[float | None, int]:
    """(value for a REAL column, NaN flag): SQLite turns NaN into NULL, so keep it apart."""
    if value is None:
        return None, 0
    value = float(value)
    if math.isnan(value):
        return None, 1
    return value, 0


def join_float(value: float | None, is_nan: int) -> float | None:
    return math.nan if is_nan else value
