"""Per-row value recording of a DAGTracker; bound into ``DAGTracker``'s class body."""

from __future__ import annotations

from typing import Any

from ._log import logger  # noqa: F401  (one logger for the whole module)


def record_row_value(
    self,
    row_index: int,
    fingerprint: int,
    operation: str,
    value: Any = None,
    column_name: str | None = None,
) -> None:
    """Buffer a per-row value for later persistence."""
    raise NotImplementedError("record_row_value comes with persistence")
