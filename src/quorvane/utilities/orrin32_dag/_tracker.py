"""DAGTracker: a provenance tracker that logs every operation as a DAG node."""

from __future__ import annotations

import contextlib
import threading
import warnings
from collections import deque
from typing import Any, Literal

from .. import orrin32 as _orrin32
from .._checks import as_float, as_int, exact
from ..orrin32 import ProvenanceTracker
from ..orrin32._tracker import UNKNOWN_SOURCE
from . import _bulk, _results, _row_values
from ._dag import ComputationDAG
from ._log import logger  # noqa: F401  (one logger for the whole module)
from ._records import DAGEdge, DAGNode, NodeType
from ._session import PersistenceSession, session_field
from ._value_buffer import RowValueBuffer


def _metadata_or_new(metadata: dict | None) -> dict:
    # An empty dict passed in is deliberately not the one stored.
    return metadata if metadata else {}


class DAGTracker(ProvenanceTracker):
    """Extended ORRIN-32 provenance tracker with full DAG reconstruction.

    Adds:
    - Complete operation logging: every source column and computation step is a node
    - DAG reconstruction from any provenance value
    - Export to dict, JSON and Graphviz DOT
    - Optional database persistence
    """

    def __init__(
        self,
        api_key: str | None = None,
        tenant_id: str | None = None,
        service_url: str = "",
        pipeline_name: str | None = None,
    ) -> None:
        """Initialize DAG tracker."""
        exact("api_key", api_key, str, optional=True)
        exact("tenant_id", tenant_id, str, optional=True)
        exact("service_url", service_url, str)
        exact("pipeline_name", pipeline_name, str, optional=True)
        super().__init__()
        self._dag_lock = threading.Lock()
        self._nodes: dict[int, DAGNode] = {}
        self._next_node_id = 0
        self._value_buffer = RowValueBuffer()
        self._value_buffer_lock = threading.Lock()
        self._value_flush_threshold = 5000
        self._max_nodes = 500000
        self._prov_to_nodes: dict[int, list[int]] = {}
        self._source_nodes: dict[tuple[str, str], int] = {}
        self._persistence = PersistenceSession(api_key, tenant_id, service_url, pipeline_name)
        if api_key:
            self.enable_persistence()

    # -- pickling: the log travels; connections, threads and credentials do not --------

    def __getstate__(self) -> dict:
        state = super().__getstate__()
        with self._dag_lock:
            state["_nodes"] = dict(self._nodes)
            state["_prov_to_nodes"] = {word: list(ids) for word, ids in self._prov_to_nodes.items()}
        with self._value_buffer_lock:
            state["_value_buffer"] = self._value_buffer.copy()
        for name in ("_dag_lock", "_value_buffer_lock"):
            state.pop(name, None)
        return state

    def __setstate__(self, state: dict) -> None:
        if "_persistence" not in state:  # pickled when the settings were attributes
            state["_persistence"] = PersistenceSession.from_tracker_state(state)
        super().__setstate__(state)
        self._dag_lock = threading.Lock()
        self._value_buffer_lock = threading.Lock()
        if not isinstance(self._value_buffer, RowValueBuffer):  # pickled as a list of records
            self._value_buffer = RowValueBuffer(self._value_buffer)

    record_row_value = _row_values.record_row_value
    persist_results = staticmethod(_results.persist_results)

    # -- persistence: owned by the session in ``_persistence`` ------------------------------

    _api_key = session_field("api_key")
    _tenant_id = session_field("tenant_id")
    _service_url = session_field("service_url")
    _pipeline_name = session_field("pipeline_name")
    _storage = session_field("storage")
    _writer = session_field("writer")
    _pipeline_id = session_field("pipeline_id")
    _nodes_persisted = session_field("nodes_persisted")
    _dashboard_synced = session_field("dashboard_synced")
    _nodes_written = session_field("nodes_written")
    _edges_written = session_field("edges_written")

    def persistence_status(self) -> str:
        """Whether this tracker persists, in words: "on", "off", or why it is off."""
        return self._persistence.status()

    def enable_persistence(self) -> None:
        """Enable persistence to Quorvane hosted service.

        Starts background writer thread that batches writes for performance.
        """
        self._persistence.enable(self)

    def disable_persistence(self) -> None:
        """Disable persistence and close connections."""
        self._persistence.disable()

    def flush(self, timeout: float = 30.0) -> bool:
        """Flush all pending writes to database."""
        return self._persistence.flush(self, as_float("timeout", timeout))

    def get_persistence_stats(self) -> dict | None:
        """Get statistics about persistence operations."""
        return self._persistence.stats()

    def _persist_node(self, node: DAGNode) -> None:
        """Persist a node to database (called from _create_node)."""
        self._persistence.persist_node(self, node)

    def _start_new_pipeline(self) -> None:
        """Start a new pipeline for the next run after a flush/sync cycle."""
        self._persistence.start_new_pipeline(self)

    def _persist_dag_to_storage(self) -> None:
        """Persist deduplicated nodes and edges to storage."""
        self._persistence.persist_dag(self)

    def _sync_to_dashboard(self) -> None:
        """Sync pipeline results to dashboard tables via the API."""
        self._persistence.sync_dashboard(self)

    def persist_to_storage(self, storage: Any, pipeline_id: int | None = None) -> int | None:
        """Persist all in-memory nodes and edges to storage in bulk.

        Works with any StorageBackend implementation. Call it after the pipeline has
        finished: tracking happens in memory during the run, and this one call writes
        everything.

        Unlike the write that ``flush`` makes, it leaves ``entity_hash`` and ``chain_hash``
        empty: both are bit fields of the stored fingerprint (zero where the word has no
        room for them), so a reader recovers them from it, and the bulk write needs no
        decode per node.

        Args:
            storage: A connected storage backend.
            pipeline_id: The pipeline to write into; None opens a new one.

        Returns:
            The pipeline_id used for persistence.
        """
        return _bulk.persist_to_storage(self, storage, pipeline_id, self._pipeline_name)

    def __enter__(self) -> DAGTracker:
        """Context manager support."""
        return self

    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> Literal[False]:
        """Ensure flush on context exit."""
        self._persistence.close_block(self, failed=exc_type is not None)
        return False

    def __del__(self) -> None:
        """Ensure cleanup on garbage collection."""
        # A finalizer makes no request and never raises (half-built trackers too): the
        # writer is told to stop, and a run still open is reported, for its owner to
        # close with disable_persistence() or a with block.
        with contextlib.suppress(Exception):
            if self._persistence.abandon():
                warnings.warn(
                    f"DAGTracker garbage-collected with its persistence run "
                    f"{self._pipeline_name or 'unnamed_pipeline'!r} left open; close it with "
                    "disable_persistence() or a with block",
                    ResourceWarning,
                    source=self,
                    stacklevel=2,
                )

    def _create_node(
        self, node_type: Any, operation: str, inputs: list, provenance: int, **kwargs: Any
    ) -> int:
        """Create a new DAG node and return its ID.

        Thread-safe: id allocation, the node tables, persistence hand-over and eviction
        are protected by ``_dag_lock``.
        """
        exact("operation", operation, str)
        exact("inputs", inputs, list)
        provenance = as_int("provenance", provenance)
        with self._dag_lock:
            node_id = self._next_node_id
            self._next_node_id += 1
            node = DAGNode(
                node_id=node_id,
                node_type=node_type,
                operation=operation,
                inputs=inputs,
                provenance=provenance,
                **kwargs,
            )
            if not node.is_protected and provenance and self.is_tainted(provenance):
                node.is_protected = True
            self._store_node(node_id, node, provenance)
        return node_id

    def _store_node(self, node_id: int, node: DAGNode, provenance: int) -> None:
        """Steps after a node is built: table, provenance index, writer, eviction.

        Runs with ``_dag_lock`` held by the caller.
        """
        self._nodes[node_id] = node
        ids = self._prov_to_nodes.get(provenance)
        if ids is None:
            ids = self._prov_to_nodes[provenance] = []
        ids.append(node_id)
        if self._writer:
            self._persist_node(node)
        if len(self._nodes) > self._max_nodes:
            self._evict_oldest_nodes()

    def _element_node_logger(self):
        """A node-logging function for the containers' per-element loops, or None.

        The function takes (node_type, operation, inputs, provenance) with arguments the
        caller already knows to be exact (operation a str, inputs a new list of ints,
        provenance an int) and makes the same node, under the same lock, as ``log_unary``
        and ``log_binary`` with no metadata: new empty metadata, the protected mark from
        the word's taint bit, then ``_store_node``. None when any method on that road is
        replaced on the class or on this tracker; callers then use the public methods.
        """
        cls = type(self)
        own = self.__dict__
        for name, stock in _STOCK_LOGGING.items():
            if getattr(cls, name, None) is not stock or name in own:
                return None
        lock = self._dag_lock
        taint_shift = _orrin32.TAINT_SHIFT
        make = DAGNode

        # The body of _store_node is repeated here: a method call per node is a tenth of
        # the cost of logging it.
        def log_node(node_type, operation: str, inputs: list, provenance: int) -> int:
            with lock:
                node_id = self._next_node_id
                self._next_node_id = node_id + 1
                node = make(node_id, node_type, operation, inputs, provenance, {})
                if provenance and (provenance >> taint_shift) & 1:
                    node.is_protected = True
                nodes = self._nodes
                nodes[node_id] = node
                ids = self._prov_to_nodes.get(provenance)
                if ids is None:
                    ids = self._prov_to_nodes[provenance] = []
                ids.append(node_id)
                if self._writer:
                    self._persist_node(node)
                if len(nodes) > self._max_nodes:
                    self._evict_oldest_nodes()
            return node_id

        return log_node

    def _evict_oldest_nodes(self) -> None:
        """Remove the oldest 10% of non-source nodes to stay under memory bound."""
        evict_count = len(self._nodes) // 10
        if evict_count <= 0:
            return
        # Victims are named by their key in the table, not by the node's own node_id,
        # which a caller holding the node may have changed.
        victims: list[tuple[int, DAGNode]] = []
        for item in self._nodes.items():  # oldest first; the caller holds _dag_lock
            if len(victims) >= evict_count:
                break
            if item[1].node_type is not NodeType.SOURCE:
                victims.append(item)
        # Drop the victims from each provenance list in one pass per list: removing them
        # one at a time costs a scan and a shift of the list each, quadratic when many
        # nodes share one word.
        by_prov: dict[int, set] = {}
        for node_id, node in victims:
            del self._nodes[node_id]
            by_prov.setdefault(node.provenance, set()).add(node_id)
        for provenance, gone in by_prov.items():
            ids = self._prov_to_nodes.get(provenance)
            if ids is None:
                continue
            kept = [i for i in ids if i not in gone]
            if kept:
                self._prov_to_nodes[provenance] = kept
            else:
                del self._prov_to_nodes[provenance]

    def create_source_node(self, table: str, column: str, provenance: int) -> int:
        """Create a source (leaf) node for a table column."""
        exact("table", table, str)
        exact("column", column, str)
        provenance = as_int("provenance", provenance)
        if not table or not column:
            raise ValueError("table and column must be non-empty strings")
        if self._dashboard_synced:
            self._start_new_pipeline()
        key = (table, column)
        known = self._source_nodes.get(key)
        if known is not None:
            return known
        node_id = self._create_node(
            node_type=NodeType.SOURCE,
            operation=table + "." + column,
            inputs=[],
            provenance=provenance,
            table=table,
            column=column,
            pair_id=self.get_id(table, column),
            is_protected=self.is_protected(table, column),
        )
        self._source_nodes[key] = node_id
        return node_id

    def unknown_node(self) -> int:
        """The source node of values whose provenance cannot be followed: one per tracker,
        made the first time such a value appears, so their lineage ends there and not in
        "no node"."""
        known = self._source_nodes.get(UNKNOWN_SOURCE)
        if known is not None:
            return known
        return self.create_source_node(*UNKNOWN_SOURCE, self.unknown_word())

    def log_unary(
        self, op_name: str, input_node: int, result_prov: int, metadata: dict | None = None
    ) -> int:
        """Log a unary operation (single input)."""
        exact("op_name", op_name, str)
        input_node = as_int("input_node", input_node)
        result_prov = as_int("result_prov", result_prov)
        exact("metadata", metadata, dict, optional=True)
        return self._create_node(
            node_type=NodeType.UNARY,
            operation=op_name,
            inputs=[input_node],
            provenance=result_prov,
            metadata=_metadata_or_new(metadata),
        )

    def log_binary(
        self,
        op_name: str,
        left_node: int,
        right_node: int,
        result_prov: int,
        metadata: dict | None = None,
    ) -> int:
        """Log a binary operation (two inputs)."""
        exact("op_name", op_name, str)
        left_node = as_int("left_node", left_node)
        right_node = as_int("right_node", right_node)
        result_prov = as_int("result_prov", result_prov)
        exact("metadata", metadata, dict, optional=True)
        return self._create_node(
            node_type=NodeType.BINARY,
            operation=op_name,
            inputs=[left_node, right_node],
            provenance=result_prov,
            metadata=_metadata_or_new(metadata),
        )

    def log_merge(
        self,
        left_nodes: list,
        right_nodes: list,
        result_prov: int,
        merge_type: str = "inner",
        metadata: dict | None = None,
    ) -> int:
        """Log a merge/join operation."""
        exact("left_nodes", left_nodes, list)
        exact("right_nodes", right_nodes, list)
        result_prov = as_int("result_prov", result_prov)
        exact("merge_type", merge_type, str)
        exact("metadata", metadata, dict, optional=True)
        merged_metadata = {"merge_type": merge_type}
        if metadata:
            merged_metadata.update(metadata)
        return self._create_node(
            node_type=NodeType.MERGE,
            operation="merge_" + merge_type,
            inputs=left_nodes + right_nodes,
            provenance=result_prov,
            metadata=merged_metadata,
        )

    def log_aggregate(
        self,
        op_name: str,
        input_nodes: list,
        result_prov: int,
        metadata: dict | None = None,
    ) -> int:
        """Log an aggregation operation."""
        exact("op_name", op_name, str)
        exact("input_nodes", input_nodes, list)
        result_prov = as_int("result_prov", result_prov)
        exact("metadata", metadata, dict, optional=True)
        return self._create_node(
            node_type=NodeType.AGGREGATE,
            operation=op_name,
            inputs=input_nodes,
            provenance=result_prov,
            metadata=_metadata_or_new(metadata),
        )

    # Readers take no lock: each single table operation is atomic, and they copy a list
    # before walking it, so a concurrent creation or eviction cannot break them.

    def get_node(self, node_id: int) -> DAGNode | None:
        """Get a node by ID."""
        return self._nodes.get(as_int("node_id", node_id))

    def get_nodes_for_provenance(self, provenance: int) -> list[DAGNode]:
        """Get all nodes with a given provenance."""
        ids = list(self._prov_to_nodes.get(as_int("provenance", provenance), ()))
        found = (self._nodes.get(i) for i in ids)
        return [node for node in found if node is not None]

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        """Reconstruct the full computation DAG from a result node.

        Walks backward from the root to collect all ancestor nodes.
        """
        root_node_id = as_int("root_node_id", root_node_id)
        visited = set()
        queue = deque([root_node_id])
        nodes: dict[int, DAGNode] = {}
        edges: list[DAGEdge] = []
        while queue:
            node_id = queue.popleft()
            if node_id in visited:
                continue
            visited.add(node_id)
            node = self._nodes.get(node_id)
            if node is None:
                continue
            nodes[node_id] = node
            for i, input_id in enumerate(list(node.inputs)):
                edges.append(DAGEdge(source_id=input_id, target_id=node_id, input_index=i))
                if input_id not in visited:
                    queue.append(input_id)
        return ComputationDAG(root_id=root_node_id, nodes=nodes, edges=edges)

    def get_dag_for_provenance(self, provenance: int) -> ComputationDAG | None:
        """Get DAG for the most recent node with given provenance."""
        nodes = self.get_nodes_for_provenance(provenance)
        if not nodes:
            return None
        return self.get_dag(max(node.node_id for node in nodes))

    def dag_stats(self) -> dict[str, Any]:
        """Get DAG statistics."""
        nodes = _snapshot_values(self._nodes)
        sources = 0
        protected = 0
        counts: dict[str, int] = {}
        for node in nodes:
            if node.is_protected:
                protected += 1
            if node.is_source:
                sources += 1
            else:
                counts[node.operation] = counts.get(node.operation, 0) + 1
        return {
            "total_nodes": len(nodes),
            "source_nodes": sources,
            "protected_sources": protected,
            "operation_nodes": len(nodes) - sources,
            "operation_counts": counts,
            "unique_provenances": len(self._prov_to_nodes),
        }


# The methods whose own code the containers' fast node logging reproduces; replacing any
# of them (on a subclass or a tracker) sends the containers through the public calls.
_STOCK_LOGGING = {
    "log_unary": DAGTracker.log_unary,
    "log_binary": DAGTracker.log_binary,
    "_create_node": DAGTracker._create_node,
    "is_tainted": ProvenanceTracker.is_tainted,
    "_store_node": DAGTracker._store_node,
}


def _snapshot_values(table: dict) -> list:
    """The values of a dict that other threads may be changing."""
    while True:
        try:
            return list(table.values())
        except RuntimeError:  # changed size while copying: take the copy again
            continue
