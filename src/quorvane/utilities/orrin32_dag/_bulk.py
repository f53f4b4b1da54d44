"""Deduplicated bulk write of a DAGTracker's DAG; bound into ``DAGTracker``'s class body."""

from __future__ import annotations

from typing import Any

from ._log import logger  # noqa: F401  (one logger for the whole module)


def _persist_dag_to_storage(self) -> None:
    """Persist deduplicated nodes and edges to storage."""
    raise NotImplementedError("_persist_dag_to_storage comes with persistence")


def persist_to_storage(self, storage: Any, pipeline_id: int | None = None) -> int:
    """Persist all in-memory nodes and edges to storage in bulk.

    Works with any StorageBackend implementation.

    Returns:
        The pipeline_id used for persistence.
    """
    raise NotImplementedError("persist_to_storage comes with persistence")
