"""DAGTracker: a provenance tracker that logs every operation as a DAG node."""

from __future__ import annotations

import threading
import warnings
from collections.abc import Mapping
from typing import Any, Literal

import numpy as np

from ...core._checks import as_float, as_int, exact
from ...core._engine import NodeLog
from ...core._tracker import UNKNOWN_SOURCE
from ...recording import (
    PersistenceRequiredError,
    PersistenceSession,
    RowValueBuffer,
    hand_over_batch,
    persist_results,
    persist_to_storage,
    persistence_required,
    record_row_value,
    session_field,
)
from ..orrin32 import TAINT_SHIFT, ProvenanceTracker
from . import _element_view
from ._dag import ComputationDAG
from ._elements import CONSTANT_OPERATION, ElementStore
from ._log import logger  # noqa: F401  (one logger for the whole module)
from ._node_table import (
    CELL,
    CONSTANT,
    PROTECTED,
    SOURCE,
    Interned,
    NodeTable,
    ProvenanceIndex,
    node_types,
)
from ._records import DAGEdge, DAGNode, NodeType
from ._runs import noted
from ._summary import dag_summary


def _an_id(value: Any) -> bool:
    return isinstance(value, (int, np.integer)) and bool(-(2**63) <= value < 2**63)


def _check_results(results: Any) -> None:
    if results is not None and not isinstance(results, Mapping):
        raise TypeError(f"results must be a mapping or None, not {type(results).__name__}")


def _native_words(words: Any, narrow: bool) -> np.ndarray:
    """Words as the native log takes them: int64, or (``narrow``: a call that takes them
    so) uint32 words as they are, without a widened copy of each operation's words."""
    array = np.asarray(words)
    if narrow and array.dtype == np.uint32:
        return np.ascontiguousarray(array)
    return np.ascontiguousarray(array, dtype=np.int64)


def _native_column(column: np.ndarray) -> np.ndarray:
    """An input column as the native log takes it: contiguous int64. A column that is one
    node for every element (a constant's, a view repeating one entry) goes as that one
    entry, which the log spreads over memory it keeps, instead of a new array per step."""
    if len(column) > 1 and column.strides[0] == 0:
        return np.ascontiguousarray(column[:1])
    return np.ascontiguousarray(column)


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
        *,
        max_nodes: int = 500_000,
        require_persistence: bool | None = None,
    ) -> None:
        """Initialize DAG tracker.

        ``max_nodes`` bounds the node table: beyond it the oldest tenth of the nodes that
        are not sources is evicted. ``require_persistence`` (by default the
        QUORVANE_REQUIRE_PERSISTENCE setting, 1 or 0) makes a missing audit trail an error:
        ``PersistenceRequiredError`` when the tracker has no key or cannot reach the store
        at the start, and from ``flush`` when records were lost, instead of a warning and
        memory-only tracking.
        """
        exact("api_key", api_key, str, optional=True)
        exact("tenant_id", tenant_id, str, optional=True)
        exact("service_url", service_url, str)
        exact("pipeline_name", pipeline_name, str, optional=True)
        max_nodes = as_int("max_nodes", max_nodes)
        required = persistence_required(require_persistence)
        if required and not api_key:
            raise PersistenceRequiredError(
                "persistence is required, but the tracker was given no api_key"
            )
        super().__init__()
        self._dag_lock = threading.Lock()
        self._log = NodeLog(max_nodes)
        self._node_types = node_types()
        self._operations = Interned()
        self._node_cache: dict[int, DAGNode] = {}
        self._nodes = NodeTable(self)
        self._value_buffer = RowValueBuffer()
        self._value_buffer_lock = threading.Lock()
        self._value_flush_threshold = 5000
        self._prov_to_nodes = ProvenanceIndex(self)
        self._source_nodes: dict[tuple[str, str], int] = {}
        self._elements = ElementStore()
        self._persistence = PersistenceSession(
            api_key, tenant_id, service_url, pipeline_name, required
        )
        if api_key:
            self.enable_persistence()

    # The log holds the counters; these names are what callers have always read and set.

    @property
    def _next_node_id(self) -> int:
        return self._log.next_id

    @_next_node_id.setter
    def _next_node_id(self, value: int) -> None:
        self._log.next_id = as_int("_next_node_id", value)

    @property
    def _max_nodes(self) -> int:
        return self._log.max_nodes

    @_max_nodes.setter
    def _max_nodes(self, value: int) -> None:
        self._log.max_nodes = as_int("_max_nodes", value)

    # -- pickling: the log travels; connections, threads and credentials do not --------

    def __getstate__(self) -> dict:
        state = super().__getstate__()
        with self._dag_lock:
            log = self._log
            state["_node_cache"] = {i: n for i, n in self._node_cache.items() if i in log}
            state["_log"] = log.__getstate__()
        with self._value_buffer_lock:
            state["_value_buffer"] = self._value_buffer.copy()
        for name in ("_dag_lock", "_value_buffer_lock"):
            state.pop(name, None)
        for name in ("_nodes", "_prov_to_nodes"):
            state.pop(name, None)
        return state

    def __setstate__(self, state: dict) -> None:
        log = NodeLog.__new__(NodeLog)
        log.__setstate__(state.pop("_log"))
        super().__setstate__(state)
        self._log = log
        self._nodes = NodeTable(self)
        self._prov_to_nodes = ProvenanceIndex(self)
        self._dag_lock = threading.Lock()
        self._value_buffer_lock = threading.Lock()

    record_row_value = record_row_value
    persist_results = staticmethod(persist_results)

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
        # an input stands for what the summary has of it (a cell: its column; a step that
        # keeps its input's word: that input); a constant derives from no source
        summary_as = self._log.summary_as
        inputs = [self._nodes.get(summary_as(i) if _an_id(i) else i) for i in node.inputs]
        inputs = [n if n and n.node_type is not NodeType.CONSTANT else None for n in inputs]
        self._persistence.persist_node(self, node, inputs)

    def _start_new_pipeline(self) -> None:
        """Start a new pipeline for the next run after a flush/sync cycle."""
        if self._persistence.start_new_pipeline(self):
            self._source_nodes.clear()

    def _persist_dag_to_storage(self) -> None:
        """Persist deduplicated nodes and edges to storage."""
        self._persistence.persist_dag(self, dag_summary(self))

    def _sync_to_dashboard(self) -> None:
        """Sync pipeline results to dashboard tables via the API."""
        self._persistence.sync_dashboard(self._nodes)

    def persist_to_storage(
        self, storage: Any, pipeline_id: int | None = None, *, results: Mapping | None = None
    ) -> int | None:
        """Persist all in-memory nodes and edges to storage in bulk, and the per-element
        log (``element_log(results)``) to a storage that keeps one (``write_element_log``).

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
            results: The output series an auditor asks about, by name (the decision
                columns), each element keyed by the business key of its row.

        Returns:
            The pipeline_id used for persistence.
        """
        _check_results(results)
        elements = None
        if getattr(storage, "takes_element_log_parts", False) is True:
            # read part by part as it is written: no copy of every node at once
            elements = lambda: _element_view.element_log_parts(self, results)  # noqa: E731
        elif getattr(storage, "write_element_log", None) is not None:
            elements = lambda: self.element_log(results)  # noqa: E731
        summary = lambda: dag_summary(self)  # noqa: E731
        return persist_to_storage(
            self, storage, pipeline_id, self._pipeline_name, summary, elements
        )

    def element_log(self, results: Mapping[str, Any] | None = None) -> Any:
        """A snapshot of the per-element log (an ``ElementLog``): every node in the log
        with its operation, inputs in operand order, word, own value and the row it
        belongs to, the source cells included; ``results`` names output series whose
        elements are listed by the business key of their row."""
        _check_results(results)
        return _element_view.element_log(self, results)

    def element_lineage(self, node_id: int, key: str = "", *, full: bool = False) -> Any:
        """The exact lineage of one element (an ``ElementLineage``): every node its node
        ``node_id`` was made from, down to the source cells it read, each with its own
        value. ``key``: the business key it is asked for (by default its row's). An
        aggregate over a group of rows is one step with its value, group key and member
        count, of whose inputs only the element's own are followed; ``full`` follows
        every member."""
        node_id = as_int("node_id", node_id)
        exact("key", key, str)
        exact("full", full, bool)
        return _element_view.element_lineage(self, node_id, key, full)

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
        # close with disable_persistence() or a with block. A plain try, not
        # contextlib.suppress: at interpreter exit the module's globals may already be None.
        try:
            if self._persistence.abandon():
                warnings.warn(
                    f"DAGTracker garbage-collected with its persistence run "
                    f"{self._pipeline_name or 'unnamed_pipeline'!r} left open; close it with "
                    "disable_persistence() or a with block",
                    ResourceWarning,
                    source=self,
                    stacklevel=2,
                )
        except Exception:  # noqa: BLE001, S110
            pass

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
            node_id = self._log.next_id
            try:
                # a source cell stands for its column in the table (see ``_log_cells``)
                seen = [self._log.seen_as(i) if _an_id(i) else i for i in inputs]
                seen = inputs if seen == inputs else seen
                node = DAGNode(
                    node_id=node_id,
                    node_type=node_type,
                    operation=operation,
                    inputs=seen,
                    provenance=provenance,
                    **kwargs,
                )
            except BaseException:
                self._log.next_id = node_id + 1  # the id is used up, as by a node made
                raise
            if not node.is_protected and provenance and self.is_tainted(provenance):
                node.is_protected = True
            self._raw_inputs = inputs  # the log keeps the cells read (see _store_node)
            self._store_node(node_id, node, provenance)
            if node_id in self._log:  # its row, from the cells it read
                self._elements.made_one(node_id, node.node_type, inputs)
        return node_id

    def _store_node(self, node_id: int, node: DAGNode, provenance: int) -> None:
        """Steps after a node is built: the writer, then the log (table, provenance index,
        eviction). The node object is kept, so that its id gives it back.

        Runs with ``_dag_lock`` held by the caller.
        """
        log = self._log
        raw = self.__dict__.pop("_raw_inputs", None)
        if node_id < log.next_id:
            raise ValueError(f"node id {node_id} is not above the ids already given")
        try:
            inputs = [as_int("input node id", i) for i in node.inputs]
            if raw is not None and len(raw) == len(inputs):  # the cells, where it read some
                inputs = [as_int("input node id", i) for i in raw]
        except TypeError:
            log.next_id = node_id + 1
            raise
        flags = (
            (PROTECTED if node.is_protected else 0)
            | (SOURCE if node.node_type is NodeType.SOURCE else 0)
            | (CONSTANT if node.node_type is NodeType.CONSTANT else 0)
        )
        type_code = self._node_types.code(node.node_type)
        op_code = self._operations.code(node.operation)
        try:
            if self._writer and self._summarised(node, inputs):
                self._persist_node(node)
        finally:
            log.next_id = node_id
            evictions = log.evictions
            log.append(type_code, op_code, provenance, flags, inputs)
            self._node_cache[node_id] = node
            if log.evictions != evictions:
                self._forget_evicted()

    def _summarised(self, node: DAGNode, inputs: list) -> bool:
        """Whether the per-fingerprint summary has a node of its own for ``node``: not a
        constant (whose word is no fingerprint), nor a step that keeps the word of one of
        its inputs (a step with a constant), which is that input's node there."""
        if node.node_type is NodeType.CONSTANT:
            return False
        for input_id in inputs:
            row = self._log.row(input_id, cells=True) if _an_id(input_id) else None
            if row is not None and not row[3] & CONSTANT and row[2] == node.provenance:
                return False
        return True

    def _forget_evicted(self) -> None:
        """Drop the kept node objects of evicted nodes once they are many."""
        cache, log = self._node_cache, self._log
        if len(cache) > len(log) + 4096:
            self._node_cache = {i: n for i, n in cache.items() if i in log}

    def _node_at(self, node_id: Any) -> DAGNode | None:
        """The node of an id in the table, built from the log when first asked for."""
        node_id = as_int("node_id", node_id)
        log, cache = self._log, self._node_cache
        if not -(2**63) <= node_id < 2**63 or node_id not in log:
            cache.pop(node_id, None)
            return None
        node = cache.get(node_id)
        if node is None:
            row = log.row(node_id)
            if row is None:  # evicted by another thread just now
                return None
            type_code, op_code, word, flags, inputs = row
            node = DAGNode(
                node_id,
                self._node_types.values[type_code],
                self._operations.values[op_code],
                inputs,
                word,
                {},
                is_protected=bool(flags & PROTECTED),
                **self._cell_source(flags, inputs),
            )
            node = cache.setdefault(node_id, node)
        return node

    def _cell_source(self, flags: int, inputs: list) -> dict:
        """The table and column of a source cell (those of its column's node)."""
        if not flags & CELL or not inputs:
            return {}
        column = self._node_at(inputs[0])
        if column is None:
            return {}
        return {"table": column.table, "column": column.column, "pair_id": column.pair_id}

    # -- batches: one native call logs a whole operation of the containers -------------

    def _batch_log(self) -> Any:
        """The native log when the containers may log a whole operation into it in one
        call, else None: then they make one public call per node. Batches need the
        stock logging methods: a subclass or tracker that replaces one sees every node."""
        cls = type(self)
        own = self.__dict__
        for name, stock in _STOCK_LOGGING.items():
            if getattr(cls, name, None) is not stock or name in own:
                return None
        return self._log

    def _log_batch(
        self, append: str, node_type: NodeType, operation: str, words: Any, *arrays: Any
    ) -> np.ndarray | None:
        """Node ids of one native ``append`` call over ``words`` and its input arrays, the
        nodes and edges handed to the writer if there is one; None when batches are off."""
        log = self._batch_log()
        if log is None:
            return None
        words = _native_words(words, append == "append_columns" and not self._writer)
        with self._dag_lock:
            codes = self._node_types.code(node_type), self._operations.code(operation)
            call = getattr(log, append)
            if not self._writer:
                return noted(call(*codes, words, *arrays, TAINT_SHIFT))
            ids, edges = call(*codes, words, *arrays, TAINT_SHIFT, edges=True)
            ids = noted(ids)
            made = np.flatnonzero(ids >= 0)
            # a step that keeps its input's word (a step with a constant) is that input's node
            made = made[log.in_summary(np.ascontiguousarray(ids[made])) != 0]
            hand_over_batch(self, node_type, operation, words, made, edges)
            return ids

    def _log_columns(
        self, node_type: NodeType, operation: str, words: Any, columns: list
    ) -> np.ndarray | None:
        """One node per element i with inputs (columns[0][i], columns[1][i], ...), where
        all exist; -1 elsewhere. None when batches are off (see ``_batch_log``)."""
        columns = [np.asarray(c, dtype=np.int64) for c in columns]
        native = [_native_column(c) for c in columns]
        ids = self._log_batch("append_columns", node_type, operation, words, native)
        if ids is not None:
            self._elements.made_elementwise(ids, columns, operation)
        return ids

    def _log_segments(
        self, operation: str, words: Any, offsets: np.ndarray, flat: np.ndarray
    ) -> np.ndarray | None:
        """One AGGREGATE node per segment s over inputs flat[offsets[s]:offsets[s+1]];
        -1 for an empty segment. None when batches are off."""
        arrays = [np.ascontiguousarray(a, dtype=np.int64) for a in (offsets, flat)]
        ids = self._log_batch("append_ragged", NodeType.AGGREGATE, operation, words, *arrays)
        if ids is not None:
            self._elements.made_segments(ids, *arrays)
        return ids

    def _log_windows(
        self, operation: str, words: Any, members: Any, span: int
    ) -> np.ndarray | None:
        """One AGGREGATE node per element over the existing nodes of its window (see
        ``window_nodes``). None when batches are off."""
        members = np.ascontiguousarray(members, dtype=np.int64)
        ids = self._log_batch("append_windows", NodeType.AGGREGATE, operation, words, members, span)
        if ids is not None:
            self._elements.made_windows(ids, members)
        return ids

    def _log_cells(self, column_node: int, words: Any, rows: np.ndarray) -> np.ndarray:
        """One cell node per element of a wrapped column: its word, the source row
        identity ``rows[i]``, the column's node as its one input. Cells lie beside the
        node table (see the native log's kCell), so no writer is handed them."""
        words = _native_words(words, True)
        column = _native_column(np.broadcast_to(np.int64(column_node), len(words)))
        with self._dag_lock:
            source = self._log.row(column_node)
            if source is None:
                raise ValueError(f"node {column_node} is not a node of this tracker")
            codes = self._node_types.code(NodeType.SOURCE), source[1]
            made = self._log.append_columns(
                *codes, words, [column], TAINT_SHIFT, flags=SOURCE | CELL
            )
            ids = noted(np.asarray(made))
            self._elements.source_cells(ids, column_node, rows)
        return ids

    def log_constant(self, value: Any) -> int:
        """Log a constant operand (a scalar, a threshold, a table of a ``map`` or the bins
        of a ``cut``) as a CONSTANT node with its value; returns its id. An operation logs
        its constants once and every element that uses one takes it as an input."""
        node_id = self._create_node(
            node_type=NodeType.CONSTANT, operation=CONSTANT_OPERATION, inputs=[], provenance=0
        )
        self._elements.record_constant(node_id, value)
        return node_id

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
        return self._node_at(node_id)

    def get_nodes_for_provenance(self, provenance: int) -> list[DAGNode]:
        """Get all nodes with a given provenance."""
        provenance = as_int("provenance", provenance)
        found = (self._node_at(i) for i in self._prov_to_nodes._ids_for(provenance))
        return [node for node in found if node is not None]

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        """Reconstruct the full computation DAG from a result node.

        Walks backward from the root to collect all ancestor nodes (natively; only the
        nodes of this lineage are built).
        """
        root_node_id = as_int("root_node_id", root_node_id)
        if not -(2**63) <= root_node_id < 2**63:
            return ComputationDAG(root_id=root_node_id, nodes={}, edges=[])
        ids, edge_ids = self._log.lineage(root_node_id)
        nodes: dict[int, DAGNode] = {}
        for node_id in ids.tolist():
            node = self._node_at(node_id)
            if node is not None:
                nodes[node_id] = node
        flat = edge_ids.tolist()
        edges = [DAGEdge(flat[k], flat[k + 1], flat[k + 2]) for k in range(0, len(flat), 3)]
        if root_node_id not in nodes and len(nodes) == 1:
            # a source cell: the walk shows a cell as its column, the root included
            (root_node_id,) = nodes
        return ComputationDAG(root_id=root_node_id, nodes=nodes, edges=edges)

    def get_dag_for_provenance(self, provenance: int) -> ComputationDAG | None:
        """Get DAG for the most recent node with given provenance."""
        nodes = self.get_nodes_for_provenance(provenance)
        if not nodes:
            return None
        return self.get_dag(max(node.node_id for node in nodes))

    def dag_stats(self) -> dict[str, Any]:
        """Get DAG statistics."""
        with self._dag_lock:
            log = self._log
            counts, sources, protected = log.table_summary()
            total = len(log)
            unique = log.distinct_indexed_words()
        names = self._operations.values
        operation_counts: dict[str, int] = {}
        for code in np.flatnonzero(counts).tolist():
            name = names[code]
            operation_counts[name] = operation_counts.get(name, 0) + int(counts[code])
        return {
            "total_nodes": total,
            "source_nodes": sources,
            "protected_sources": protected,
            "operation_nodes": total - sources,
            "operation_counts": operation_counts,
            "unique_provenances": unique,
        }


# The methods whose work the containers' batches do in one native call; replacing any of
# them (on a subclass or a tracker) sends the containers through the public calls.
_STOCK_LOGGING = {
    "log_unary": DAGTracker.log_unary,
    "log_binary": DAGTracker.log_binary,
    "log_aggregate": DAGTracker.log_aggregate,
    "_create_node": DAGTracker._create_node,
    "is_tainted": ProvenanceTracker.is_tainted,
    "_store_node": DAGTracker._store_node,
    "_persist_node": DAGTracker._persist_node,
}
