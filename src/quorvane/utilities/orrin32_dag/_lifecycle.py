"""Persistence lifecycle of a DAGTracker: switching persistence on and off, handing new
nodes to the writer, ending a run, context manager and finalizer.

The functions are bound into ``DAGTracker``'s class body. Persistence proper comes with
the persistence component; until then enabling it leaves the tracker memory-only.
"""

from __future__ import annotations

import warnings
from typing import Any

from ._checks import as_float
from ._log import logger  # noqa: F401  (one logger for the whole module)


def enable_persistence(self) -> None:
    """Enable persistence to Quorvane hosted service.

    Starts background writer thread that batches writes for performance.
    """
    try:
        raise NotImplementedError("enable_persistence comes with persistence")
    except Exception as exc:  # noqa: BLE001  (a failed start is best effort: warn, stay memory-only)
        warnings.warn(
            f"Persistence initialization failed: {exc}\nContinuing in memory-only mode.",
            UserWarning,
            stacklevel=2,
        )


def disable_persistence(self) -> None:
    """Disable persistence and close connections."""
    if self._writer:
        self._writer.stop()
        self._writer = None
    if self._storage:
        if self._pipeline_id:
            self._storage.complete_pipeline(self._pipeline_id, status="completed")
        self._storage.disconnect()
        self._storage = None
    self._pipeline_id = None


def flush(self, timeout: float = 30.0) -> bool:
    """Flush all pending writes to database."""
    timeout = as_float("timeout", timeout)
    if not self._writer:
        return True
    raise NotImplementedError("flush with a writer comes with persistence")


def get_persistence_stats(self) -> dict | None:
    """Get statistics about persistence operations."""
    if not self._writer:
        return None
    stats = self._writer.get_stats()
    if stats is not None and type(stats) is not dict:
        raise TypeError(f"writer stats must be dict or None, not {type(stats).__name__}")
    if stats:
        stats["nodes_written"] = getattr(self, "_nodes_written", 0)
        stats["edges_written"] = getattr(self, "_edges_written", 0)
    return stats


def __enter__(self):
    """Context manager support."""
    return self


def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> bool:
    """Ensure flush on context exit."""
    self.flush()
    if exc_type is not None and self._storage and self._pipeline_id:
        self._storage.complete_pipeline(self._pipeline_id, status="failed")
    self.disable_persistence()
    return False


def __del__(self) -> None:
    """Ensure cleanup on garbage collection."""
    try:
        self.disable_persistence()
    except Exception:  # noqa: BLE001, S110  (a finalizer must never raise, half-built trackers included)
        pass


def _persist_node(self, node: Any) -> None:
    """Persist a node to database (called from _create_node)."""
    raise NotImplementedError("_persist_node comes with persistence")


def _start_new_pipeline(self) -> None:
    """Start a new pipeline for the next run after a flush/sync cycle."""
    if not self._storage or not self._pipeline_id:
        return
    self._storage.complete_pipeline(self._pipeline_id, status="completed")
    self._pipeline_id = self._storage.create_pipeline(
        pipeline_name=self._pipeline_name or "unnamed_pipeline",
        config=None,
        git_commit=None,
        tenant_id=self._tenant_id,
    )
    self._dashboard_synced = False
    self._nodes_persisted = False
    self._source_nodes.clear()
    self._nodes_written = 0
    self._edges_written = 0
