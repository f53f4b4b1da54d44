"""The persistence session of a DAGTracker: the one owner of its link to storage.

It keeps the connection settings, the storage and background writer of the current run,
the run's pipeline id, the flags of the closing steps and the counts of the last bulk
write. The tracker's persistence methods delegate here: what the session needs of the
operation log (a node's inputs, the summary rows) the tracker reads and passes in; the
tracker itself is passed for its registry and for the methods a subclass may replace.
"""

from __future__ import annotations

import os
import warnings
from operator import attrgetter
from typing import Any, cast

from . import _bulk, _dashboard
from ._log import logger
from ._run_record import run_record

#: the setting that makes every DAGTracker of a process require its audit trail
REQUIRE_ENV = "QUORVANE_REQUIRE_PERSISTENCE"
_YES, _NO = ("1", "true", "yes", "on"), ("", "0", "false", "no", "off")


class PersistenceRequiredError(RuntimeError):
    """Persistence was required (``require_persistence=True`` or QUORVANE_REQUIRE_PERSISTENCE)
    and the audit trail could not be kept: the store was out of reach at the start, or
    records were lost on the way to it."""


def persistence_required(require_persistence: bool | None) -> bool:
    """The tracker's argument when given, else the QUORVANE_REQUIRE_PERSISTENCE setting."""
    if require_persistence is not None:
        return bool(require_persistence)
    setting = os.environ.get(REQUIRE_ENV, "").strip().lower()
    if setting not in _YES + _NO:
        raise ValueError(f"{REQUIRE_ENV} must be 1 or 0 (true/false, yes/no), not {setting!r}")
    return setting in _YES


def session_field(name: str) -> property:
    """A tracker attribute kept by the tracker's session (``_persistence``), read and set
    through it; one the session does not have reads as absent."""

    def set_field(tracker: Any, value: Any) -> None:
        setattr(tracker._persistence, name, value)

    return property(attrgetter("_persistence." + name), set_field)


class PersistenceSession:
    """A DAGTracker's persistence: on exactly while ``writer`` holds a writer."""

    # counts of the last bulk write: absent until one has been made (readers take 0)
    nodes_written: int
    edges_written: int

    def __init__(
        self,
        api_key: str | None = None,
        tenant_id: str | None = None,
        service_url: str = "",
        pipeline_name: str | None = None,
        required: bool = False,
    ) -> None:
        self.api_key = api_key
        self.tenant_id = tenant_id
        self.service_url = service_url
        self.pipeline_name = pipeline_name
        self.storage: Any = None
        self.writer: Any = None
        self.pipeline_id: Any = None
        self.nodes_persisted = False
        self.dashboard_synced = False
        # set on a copy unpickled from a session that persisted: what it could not bring
        self.dropped = False
        # an audit trail that cannot be kept raises instead of warning
        self.required = required

    # -- switching on and off ---------------------------------------------------------------

    def enable(self, tracker: Any) -> None:
        """Connect to the hosted service, open a run and start the writer; on failure warn
        and go on in memory-only mode (what was set before the failure stays set)."""
        from ..utilities.persistence import AsyncWriter, HostedStorage, WriterConfig

        # a writer still running from an earlier call would keep its thread forever
        self._stop_running_writer()
        self.storage = HostedStorage(
            api_url=self.service_url,
            api_key=cast(str, self.api_key),  # a missing key is the storage's to refuse
            tenant_id=self.tenant_id or "default",
        )
        try:
            self.storage.connect()
            self.pipeline_id = self._create_pipeline(tracker)
            config = WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000)
            self.writer = AsyncWriter(self.storage, config)
            self.writer.start()
            for (table, column), pair_id in tracker._name_to_id.items():
                is_prot = tracker.is_protected(table, column)
                self.writer.register_source(pair_id, table, column, is_prot)
        except Exception as exc:  # a required trail raises; otherwise warn, go on in memory
            if self.required:
                raise PersistenceRequiredError(
                    f"Persistence initialization failed: {exc} (persistence is required)"
                ) from exc
            warnings.warn(
                f"Persistence initialization failed: {exc}\nContinuing in memory-only mode.",
                UserWarning,
                stacklevel=3,  # the caller of the tracker's enable_persistence
            )

    def _create_pipeline(self, tracker: Any) -> Any:
        return self.storage.create_pipeline(
            pipeline_name=self.pipeline_name or "unnamed_pipeline",
            tenant_id=self.tenant_id,
            **run_record(tracker),
        )

    def _stop_running_writer(self) -> None:
        writer = self.writer
        if writer:
            self.writer = None
            writer.stop()

    def disable(self) -> None:
        """Stop the writer (it stores what it was handed), complete the run, disconnect."""
        if self.writer:
            self.writer.stop()
            self.writer = None
        if self.storage:
            if self.pipeline_id:
                self.storage.complete_pipeline(self.pipeline_id, status="completed")
            self.storage.disconnect()
            self.storage = None
        self.pipeline_id = None

    def close_block(self, tracker: Any, failed: bool) -> None:
        """The end of a ``with`` block: flush, then close the run; a block left by an
        exception, or whose flush failed, completes its run once, as "failed"."""
        try:
            tracker.flush()
        except BaseException:
            failed = True
            raise
        finally:
            try:
                if failed:
                    self._complete_as_failed()
            finally:
                tracker.disable_persistence()

    def _complete_as_failed(self) -> None:
        pipeline_id = self.pipeline_id if self.storage else None
        try:
            if pipeline_id:
                self.storage.complete_pipeline(pipeline_id, status="failed")
        finally:
            self.pipeline_id = None  # closing must not complete it again

    def abandon(self) -> bool:
        """Let go of the run without a request of its own (a finalizer may not block on
        the network): the writer is told to stop and its thread ends once it has stored
        what it holds; the run is neither completed nor disconnected here. True when a
        run was open."""
        writer, self.writer = self.writer, None
        was_open = bool(writer or (self.storage and self.pipeline_id))
        if writer:
            writer.stop(timeout=0)
        return was_open

    # -- the run ----------------------------------------------------------------------------

    def flush(self, tracker: Any, timeout: float) -> bool:
        """Hand over the buffered row values, wait for the writer, then (once per run)
        write the deduplicated DAG and report the run to the dashboard."""
        if not self.writer:
            return True
        with tracker._value_buffer_lock:
            if tracker._value_buffer:
                self.writer.write_row_values(tracker._value_buffer.records())
                tracker._value_buffer.clear()
        stored = self.writer.flush(timeout=timeout)
        if not self.nodes_persisted and self.storage and self.pipeline_id:
            tracker._persist_dag_to_storage()
            self.nodes_persisted = True
        if not self.dashboard_synced:
            tracker._sync_to_dashboard()
            self.dashboard_synced = True
        if self.required and stored is False:
            raise PersistenceRequiredError(self._lost(timeout))
        return True

    def _lost(self, timeout: float) -> str:
        stats = self.writer.get_stats() or {}
        return (
            f"records were lost on the way to the store: {stats.get('failed', 0)} given up, "
            f"{stats.get('pending', 0)} not stored within {timeout:g} s (persistence is "
            "required)"
        )

    def persist_node(self, tracker: Any, node: Any, inputs: list) -> None:
        """Hand a new node and the edges from its inputs to the writer. ``inputs``: per
        input, the node the summary has of it (a cell: its column; a step that keeps its
        input's word: that input), or None where it gives no edge (a constant, which
        derives from no source, or a node that has left the table)."""
        try:
            from ..utilities.persistence import StoredEdge, StoredNode
        except ImportError:
            logger.error(
                "Persistence module unavailable — provenance data is NOT being saved to "
                "storage. Install quorvane with persistence extras or check your installation."
            )
            return
        info = tracker.decode_full(node.provenance)
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
            pipeline_id=self.pipeline_id,
        )
        self.writer.write_node(stored_node)
        edges = []
        for i, input_node in enumerate(inputs):
            # a step with a constant keeps its input's word: no edge from a fingerprint to
            # itself
            if input_node and input_node.provenance != node.provenance:
                edges.append(
                    StoredEdge(
                        parent_fingerprint=input_node.provenance,
                        child_fingerprint=node.provenance,
                        input_position=i,
                    )
                )
        if edges:
            self.writer.write_edges(edges)

    def start_new_pipeline(self, tracker: Any) -> bool:
        """Complete the closed run and open the next one; True when a run was opened (the
        tracker then starts its source nodes anew; its node table stays)."""
        if not self.storage or not self.pipeline_id:
            return False
        self.storage.complete_pipeline(self.pipeline_id, status="completed")
        self.pipeline_id = self._create_pipeline(tracker)
        self.dashboard_synced = False
        self.nodes_persisted = False
        self.nodes_written = 0
        self.edges_written = 0
        return True

    def persist_dag(self, tracker: Any, summary: _bulk.Summary) -> None:
        """Write the tracker's DAG, deduplicated (``summary``: see ``write_dag``), into the
        run; keep the counts written."""
        nodes, edges = _bulk.write_dag(tracker, self.storage, self.pipeline_id, summary)
        if nodes:
            self.nodes_written = nodes
        if edges:
            self.edges_written = edges

    def sync_dashboard(self, nodes: Any) -> None:
        """Post the summary of the run, whose node table is ``nodes``, to the dashboard
        (best effort)."""
        _dashboard.sync(self, nodes)

    def stats(self) -> dict | None:
        if not self.writer:
            return None
        stats = self.writer.get_stats()
        if stats is not None and type(stats) is not dict:
            raise TypeError(f"writer stats must be dict or None, not {type(stats).__name__}")
        if stats:
            stats["nodes_written"] = getattr(self, "nodes_written", 0)
            stats["edges_written"] = getattr(self, "edges_written", 0)
        return stats

    def status(self) -> str:
        if self.writer is not None:
            return "on"
        if self.dropped:
            return (
                "off: this tracker was unpickled from one that persisted; connections, "
                "writer threads and credentials are not pickled (set the API key and call "
                "enable_persistence() to persist from here)"
            )
        return "off"

    # -- pickling: settings and counts travel; connections, threads and credentials do not

    def __getstate__(self) -> dict:
        state = dict(vars(self))
        state["dropped"] = self.dropped or self.writer is not None or self.storage is not None
        state.update(api_key=None, storage=None, writer=None, pipeline_id=None)
        return state

    def __setstate__(self, state: dict) -> None:
        vars(self).update(state)
