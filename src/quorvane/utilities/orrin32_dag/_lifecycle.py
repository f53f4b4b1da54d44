"""Persistence lifecycle of a DAGTracker: switching persistence on and off, handing new
nodes to the writer, ending a run, context manager and finalizer.

The functions are bound into ``DAGTracker``'s class body.
"""

from __future__ import annotations

import contextlib
import warnings
from typing import Any, Literal

from .._checks import as_float
from ._log import logger


def enable_persistence(self) -> None:
    """Enable persistence to Quorvane hosted service.

    Starts background writer thread that batches writes for performance.
    """
    from ..persistence import AsyncWriter, HostedStorage, WriterConfig

    # a writer still running from an earlier call would keep its thread forever
    _stop_running_writer(self)
    self._storage = HostedStorage(
        api_url=self._service_url, api_key=self._api_key, tenant_id=self._tenant_id or "default"
    )
    try:
        self._storage.connect()
        self._pipeline_id = self._storage.create_pipeline(
            pipeline_name=self._pipeline_name or "unnamed_pipeline",
            config=None,
            git_commit=None,
            tenant_id=self._tenant_id,
        )
        config = WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000)
        self._writer = AsyncWriter(self._storage, config)
        self._writer.start()
        for (table, column), pair_id in self._name_to_id.items():
            is_prot = self.is_protected(table, column)
            self._writer.register_source(pair_id, table, column, is_prot)
    except Exception as exc:  # noqa: BLE001 - best effort: warn, go on in memory-only mode
        warnings.warn(
            f"Persistence initialization failed: {exc}\nContinuing in memory-only mode.",
            UserWarning,
            stacklevel=2,
        )


def _stop_running_writer(self) -> None:
    writer = self._writer
    if writer:
        self._writer = None
        writer.stop()


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
    with self._value_buffer_lock:
        if self._value_buffer:
            self._writer.write_row_values(self._value_buffer.records())
            self._value_buffer.clear()
    self._writer.flush(timeout=timeout)
    if not self._nodes_persisted and self._storage and self._pipeline_id:
        self._persist_dag_to_storage()
        self._nodes_persisted = True
    if not self._dashboard_synced:
        self._sync_to_dashboard()
        self._dashboard_synced = True
    return True


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


def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> Literal[False]:
    """Ensure flush on context exit."""
    failed = exc_type is not None
    try:
        self.flush()
    except BaseException:
        failed = True
        raise
    finally:
        if failed:
            _close_failed_run(self)
        else:
            self.disable_persistence()
    return False


def _close_failed_run(self) -> None:
    """Complete the run once, as "failed", then stop the writer and disconnect.

    A block left by an exception must not be reported as completed afterwards, and its
    writer thread and connection must not outlive it.
    """
    pipeline_id = self._pipeline_id if self._storage else None
    try:
        if pipeline_id:
            self._storage.complete_pipeline(pipeline_id, status="failed")
    finally:
        self._pipeline_id = None  # disable_persistence must not complete it again
        self.disable_persistence()


def __del__(self) -> None:
    """Ensure cleanup on garbage collection."""
    # a finalizer must never raise (half-built trackers too)
    with contextlib.suppress(Exception):
        self.disable_persistence()


def _persist_node(self, node: Any) -> None:
    """Persist a node to database (called from _create_node)."""
    try:
        from ..persistence import StoredEdge, StoredNode
    except ImportError:
        logger.error(
            "Persistence module unavailable — provenance data is NOT being saved to storage. "
            "Install quorvane with persistence extras or check your installation."
        )
        return
    info = self.decode_full(node.provenance)
    stored_node = StoredNode(
        fingerprint=node.provenance,
        node_type=node.node_type.name,
        operation=node.operation,
        table_name=node.table,
        column_name=node.column,
        pair_id=node.pair_id,
        is_protected=node.is_protected,
        entity_hash=info.entity,
        chain_hash=info.chain,
        metadata=node.metadata,
        pipeline_id=self._pipeline_id,
    )
    self._writer.write_node(stored_node)
    edges = []
    for i, input_id in enumerate(node.inputs):
        input_node = self._nodes.get(input_id)
        if input_node:
            edges.append(
                StoredEdge(
                    parent_fingerprint=input_node.provenance,
                    child_fingerprint=node.provenance,
                    input_position=i,
                )
            )
    if edges:
        self._writer.write_edges(edges)


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
