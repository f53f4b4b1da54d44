"""The storage logic shared by the SQL stores (SQLite and PostgreSQL), written once.

Every statement is parameterised, uses ``?`` placeholders (the PostgreSQL database object
translates them) and names the tenant: a store never reads or changes another tenant's rows.
"""

from __future__ import annotations

import copy
import hmac
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from datetime import UTC, datetime
from functools import partial
from itertools import compress
from typing import Any, Self, TypeVar

from ._auditstore import AuditQueries
from ._backend import EdgeRow, ResultRow, StorageBackend
from ._columns import (
    checked_text,
    column_length,
    columns,
    flag_column,
    float_columns,
    int64,
    int64_column,
    text_column,
)
from ._documents import JSONText, outline
from ._element_store import ElementStore
from ._jsonable import from_json_text, join_float, split_float, to_json_text
from ._records import (
    EDGE_FIELDS,
    NODE_FIELDS,
    ROW_VALUE_FIELDS,
    StoredEdge,
    StoredNode,
    StoredRowValue,
)

#: records as columns: one list per field, all of the same length
Columns = Mapping[str, Sequence[Any]]
Chunk = TypeVar("Chunk")

NO_PIPELINE = 0


def _now() -> str:
    return datetime.now(UTC).isoformat(timespec="microseconds")


class SQLStore(AuditQueries, ElementStore, StorageBackend):
    """A tenant's view of a SQL database (``db``: one of the dialect database objects).

    The database object owns the connections; views of several tenants share one.
    """

    keeps_exact_hashes = True

    def __init__(self, db: Any, tenant_id: str):
        self._tenant = _tenant_name(tenant_id)
        self._db = db
        self._current_lock = threading.Lock()
        self._current_pipeline: int | None = None

    @property
    def tenant_id(self) -> str:
        return self._tenant

    @property
    def current_pipeline_id(self) -> int | None:
        return self._current_pipeline

    def for_tenant(self, tenant_id: str) -> Self:
        """The same database seen by another tenant (sharing this object's connections)."""
        other = copy.copy(self)
        other._tenant = _tenant_name(tenant_id)
        other._current_lock = threading.Lock()
        other._current_pipeline = None
        return other

    # -- connection -------------------------------------------------------------------------
    def connect(self) -> None:
        self._db.connect()

    def disconnect(self) -> None:
        self._db.close_all()

    def release_thread_connection(self) -> None:
        """Give back what the calling thread holds; useful at the end of a worker thread."""
        self._db.release_thread()

    # -- tenancy ---------------------------------------------------------------------------
    def _own(self, tenant_id: str | None) -> str:
        if tenant_id is not None and tenant_id != self._tenant:
            raise PermissionError(
                f"this storage belongs to tenant {self._tenant!r}, not {tenant_id!r}"
            )
        return self._tenant

    def _check_pipeline(self, pipeline_id: Any, tx: Any = None) -> int:
        """The pipeline id as an int, after checking that it belongs to this tenant (asking
        through ``tx`` when given: a write transaction must not wait for a second connection)."""
        if type(pipeline_id) is not int:
            try:
                pipeline_id = int64(pipeline_id)
            except (TypeError, ValueError):
                raise TypeError(
                    f"pipeline_id must be an int, not {type(pipeline_id).__name__}"
                ) from None
        if pipeline_id == NO_PIPELINE:
            return NO_PIPELINE
        owner = self._db.pipeline_tenants.get(pipeline_id)
        if owner is None:
            sql, params = "SELECT tenant_id FROM pipelines WHERE id = ?", (pipeline_id,)
            rows = self._db.read(sql, params) if tx is None else tx.execute(sql, params).fetchall()
            if not rows:
                raise LookupError(f"no pipeline with id {pipeline_id}")
            owner = self._db.pipeline_tenants.setdefault(pipeline_id, rows[0][0])
        if owner != self._tenant:
            raise PermissionError(
                f"pipeline {pipeline_id} belongs to another tenant than {self._tenant!r}"
            )
        return pipeline_id

    def _pipeline_or_current(self, pipeline_id: int | None, tx: Any = None) -> int:
        if pipeline_id is None:
            pipeline_id = self._current_pipeline
        return NO_PIPELINE if pipeline_id is None else self._check_pipeline(pipeline_id, tx)

    # -- pipelines -------------------------------------------------------------------------
    def create_pipeline(
        self,
        pipeline_name: str = "unnamed",
        config: Mapping[str, Any] | JSONText | None = None,
        git_commit: str | None = None,
        tenant_id: str | None = None,
    ) -> int:
        tenant = self._own(tenant_id)
        name = checked_text("pipeline_name", pipeline_name)
        if git_commit is not None:
            checked_text("git_commit", git_commit)
        with self._db.write() as tx:
            cursor = tx.execute(
                "INSERT INTO pipelines (tenant_id, name, status, config, git_commit, created_at)"
                " VALUES (?, ?, 'running', ?, ?, ?) RETURNING id",
                (tenant, name, to_json_text(config, "config"), git_commit, _now()),
            )
            pipeline_id = int(cursor.fetchone()[0])
        self._db.pipeline_tenants[pipeline_id] = tenant
        with self._current_lock:
            self._current_pipeline = pipeline_id
        return pipeline_id

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        pipeline_id = self._check_pipeline(pipeline_id)
        if not checked_text("status", status):
            raise ValueError("status must not be empty")
        with self._db.write() as tx:
            tx.execute(
                "UPDATE pipelines SET status = ?, completed_at = ? WHERE id = ? AND tenant_id = ?",
                (status, _now(), pipeline_id, self._tenant),
            )

    def get_pipeline(self, pipeline_id: int) -> dict[str, Any] | None:
        try:
            pipeline_id = self._check_pipeline(pipeline_id)
        except LookupError:
            return None
        rows = self._pipeline_rows("WHERE id = ? AND tenant_id = ?", (pipeline_id, self._tenant))
        return rows[0] if rows else None

    def list_pipelines(self) -> list[dict[str, Any]]:
        return self._pipeline_rows("WHERE tenant_id = ? ORDER BY id", (self._tenant,))

    def _pipeline_rows(self, where: str, params: tuple) -> list[dict[str, Any]]:
        rows = self._db.read(
            "SELECT id, tenant_id, name, status, config, git_commit, created_at, completed_at"
            " FROM pipelines " + where,
            params,
        )
        return [
            {
                "pipeline_id": r[0],
                "tenant_id": r[1],
                "pipeline_name": r[2],
                "status": r[3],
                "config": from_json_text(r[4]),
                "git_commit": r[5],
                "created_at": r[6],
                "completed_at": r[7],
            }
            for r in rows
        ]

    # -- sources ----------------------------------------------------------------------------
    def register_source(
        self,
        pair_id: int,
        table: str,
        column: str,
        is_protected: bool = False,
        *,
        pipeline_id: int | None = None,
    ) -> None:
        pipeline_id = self._pipeline_or_current(pipeline_id)
        with self._db.write() as tx:
            tx.execute(
                "INSERT INTO sources (tenant_id, pipeline_id, pair_id, table_name, column_name,"
                " is_protected, registered_at) VALUES (?, ?, ?, ?, ?, ?, ?)"
                " ON CONFLICT (tenant_id, pipeline_id, pair_id) DO UPDATE SET"
                " table_name = excluded.table_name, column_name = excluded.column_name,"
                " is_protected = excluded.is_protected",
                (
                    self._tenant,
                    pipeline_id,
                    int64(pair_id),
                    checked_text("table", table),
                    checked_text("column", column),
                    int(bool(is_protected)),
                    _now(),
                ),
            )

    def get_sources(self, pipeline_id: int) -> list[dict[str, Any]]:
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT pair_id, table_name, column_name, is_protected FROM sources"
            " WHERE tenant_id = ? AND pipeline_id = ? ORDER BY pair_id",
            (self._tenant, pipeline_id),
        )
        return [
            {"pair_id": r[0], "table": r[1], "column": r[2], "is_protected": bool(r[3])}
            for r in rows
        ]

    # -- nodes ------------------------------------------------------------------------------
    def store_nodes(self, nodes: Sequence[StoredNode]) -> int:
        return self.store_node_columns([columns(nodes, NODE_FIELDS)]) if nodes else 0

    def store_node_columns(self, chunks: Iterable[Columns]) -> int:
        """``store_nodes`` of nodes given as columns (one list per field of ``StoredNode``),
        chunk after chunk in one transaction: the chunks may be read while they are stored,
        and an exception raised by them stores none of them."""
        return self._in_one_transaction(self._insert_nodes, chunks)

    def _in_one_transaction(
        self, insert: Callable[[Any, Chunk], int], chunks: Iterable[Chunk]
    ) -> int:
        with self._db.write() as tx:
            return sum(insert(tx, chunk) for chunk in chunks)

    def _insert_nodes(self, tx: Any, chunk: Columns) -> int:
        count = column_length(chunk)
        if not count:
            return 0
        pipelines = self._pipeline_column(tx, chunk["pipeline_id"])
        metadata = [None if m is None else to_json_text(m, "metadata") for m in chunk["metadata"]]
        return tx.insert_columns(
            "INSERT INTO nodes (tenant_id, pipeline_id, fingerprint, node_type,"
            " operation, table_name, column_name, pair_id, is_protected, entity_hash,"
            " chain_hash, metadata) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
            " ON CONFLICT DO NOTHING",
            [
                [self._tenant] * count,
                pipelines,
                int64_column(chunk["fingerprint"]),
                text_column(chunk["node_type"], "node_type"),
                text_column(chunk["operation"], "operation"),
                text_column(chunk["table_name"], "table_name", optional=True),
                text_column(chunk["column_name"], "column_name", optional=True),
                int64_column(chunk["pair_id"], optional=True),
                flag_column(chunk["is_protected"]),
                int64_column(chunk["entity_hash"], optional=True),
                int64_column(chunk["chain_hash"], optional=True),
                metadata,
            ],
        )

    def _pipeline_column(self, tx: Any, pipeline_ids: Sequence[Any]) -> list[int]:
        """The pipeline of each record (None: the current one), each checked once."""
        checked = {key: self._pipeline_or_current(key, tx) for key in set(pipeline_ids)}
        if len(checked) == 1:
            return [checked.popitem()[1]] * len(pipeline_ids)
        return list(map(checked.__getitem__, pipeline_ids))

    def get_fingerprint_node_map(self, pipeline_id: int) -> dict[int, int]:
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT fingerprint, id FROM nodes WHERE tenant_id = ? AND pipeline_id = ?",
            (self._tenant, pipeline_id),
        )
        return dict(rows)

    def get_nodes(self, pipeline_id: int) -> list[StoredNode]:
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT fingerprint, node_type, operation, table_name, column_name, pair_id,"
            " is_protected, entity_hash, chain_hash, metadata FROM nodes"
            " WHERE tenant_id = ? AND pipeline_id = ? ORDER BY id",
            (self._tenant, pipeline_id),
        )
        return [
            StoredNode(
                fingerprint=r[0],
                node_type=r[1],
                operation=r[2],
                table_name=r[3],
                column_name=r[4],
                pair_id=r[5],
                is_protected=bool(r[6]),
                entity_hash=r[7],
                chain_hash=r[8],
                metadata=from_json_text(r[9]),
                pipeline_id=pipeline_id,
            )
            for r in rows
        ]

    # -- edges ------------------------------------------------------------------------------
    _INSERT_EDGE = (
        "INSERT INTO edges (tenant_id, pipeline_id, parent_node_id, child_node_id,"
        " input_position) VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"
    )

    def _own_node_pipelines(self, tx: Any, low: int, high: int) -> dict[int, int]:
        """Node id -> pipeline id for this tenant's nodes with ids from ``low`` to ``high``."""
        # the ids of one batch are mostly contiguous: one range scan of the primary key
        cursor = tx.execute(
            "SELECT id, pipeline_id FROM nodes WHERE id BETWEEN ? AND ? AND tenant_id = ?",
            (low, high, self._tenant),
        )
        return dict(cursor.fetchall())

    def store_edges_resolved(self, rows: Iterable[EdgeRow]) -> int:
        return self.store_resolved_edge_chunks([rows])

    def store_resolved_edge_chunks(self, chunks: Iterable[Iterable[EdgeRow]]) -> int:
        """``store_edges_resolved`` of rows given chunk after chunk, in one transaction (as
        ``store_node_columns``)."""
        return self._in_one_transaction(self._insert_resolved_edges, chunks)

    def _insert_resolved_edges(self, tx: Any, rows: Iterable[EdgeRow]) -> int:
        triples = [(int64(p), int64(c), int64(i)) for p, c, i in rows]
        if not triples:
            return 0
        low = min(min(p, c) for p, c, _ in triples)
        high = max(max(p, c) for p, c, _ in triples)
        tenant = self._tenant
        owned = self._own_node_pipelines(tx, low, high)
        # ids of another tenant's nodes (or of no node) store nothing
        params = [(tenant, owned[c], p, c, i) for p, c, i in triples if c in owned and p in owned]
        return tx.executemany(self._INSERT_EDGE, params) if params else 0

    def store_edges(self, edges: Sequence[StoredEdge], pipeline_id: int | None = None) -> int:
        pipeline_id = self._pipeline_or_current(pipeline_id)
        return self.store_edge_columns([columns(edges, EDGE_FIELDS)], pipeline_id) if edges else 0

    def store_edge_columns(self, chunks: Iterable[Columns], pipeline_id: int | None = None) -> int:
        """``store_edges`` of edges given as columns, chunk after chunk in one transaction
        (as ``store_node_columns``)."""
        pipeline = self._pipeline_or_current(pipeline_id)
        # stored now or before: the writer counts every other edge as lost
        return self._in_one_transaction(partial(self._insert_edges, pipeline=pipeline), chunks)

    def _insert_edges(self, tx: Any, chunk: Columns, pipeline: int) -> int:
        if not column_length(chunk):
            return 0
        parents = int64_column(chunk["parent_fingerprint"])
        children = int64_column(chunk["child_fingerprint"])
        positions = int64_column(chunk["input_position"])
        ids = self._node_ids_for(tx, pipeline, set(parents).union(children))
        parent_ids = list(map(ids.get, parents))
        child_ids = list(map(ids.get, children))
        if None in parent_ids or None in child_ids:
            # an edge whose nodes are not stored cannot be resolved
            kept = [
                p is not None and c is not None for p, c in zip(parent_ids, child_ids, strict=True)
            ]
            parent_ids, child_ids, positions = (
                list(compress(column, kept)) for column in (parent_ids, child_ids, positions)
            )
        count = len(positions)
        if count:
            tx.insert_columns(
                self._INSERT_EDGE,
                [[self._tenant] * count, [pipeline] * count, parent_ids, child_ids, positions],
            )
        return count

    def _node_ids_for(self, tx: Any, pipeline_id: int, fingerprints: set[int]) -> dict[int, int]:
        found: dict[int, int] = {}
        wanted = list(fingerprints)
        # bounded IN lists keep under SQLite's limit on bound parameters
        for start in range(0, len(wanted), 500):
            chunk = wanted[start : start + 500]
            marks = ", ".join("?" * len(chunk))
            cursor = tx.execute(
                "SELECT fingerprint, id FROM nodes WHERE tenant_id = ? AND pipeline_id = ?"
                f" AND fingerprint IN ({marks})",
                (self._tenant, pipeline_id, *chunk),
            )
            found.update(cursor.fetchall())
        return found

    def get_edges(self, pipeline_id: int) -> list[StoredEdge]:
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT p.fingerprint, c.fingerprint, e.input_position FROM edges e"
            " JOIN nodes p ON p.id = e.parent_node_id JOIN nodes c ON c.id = e.child_node_id"
            " WHERE e.tenant_id = ? AND e.pipeline_id = ? ORDER BY e.id",
            (self._tenant, pipeline_id),
        )
        return [
            StoredEdge(parent_fingerprint=r[0], child_fingerprint=r[1], input_position=r[2])
            for r in rows
        ]

    # -- row values -------------------------------------------------------------------------
    def store_row_values(self, values: Sequence[StoredRowValue]) -> int:
        return self.store_row_value_columns([columns(values, ROW_VALUE_FIELDS)]) if values else 0

    def store_row_value_columns(self, chunks: Iterable[Columns]) -> int:
        """``store_row_values`` of values given as columns, chunk after chunk in one
        transaction (as ``store_node_columns``)."""
        return self._in_one_transaction(self._insert_row_values, chunks)

    def _insert_row_values(self, tx: Any, chunk: Columns) -> int:
        count = column_length(chunk)
        if not count:
            return 0
        for tenant in set(chunk["tenant_id"]):
            self._own(tenant)
        # a record made before any run was opened carries pipeline 0 (or none) and is kept
        pipelines = [p or NO_PIPELINE for p in chunk["pipeline_id"]]
        numbers, nan_flags = float_columns(chunk["value"])
        return tx.insert_columns(
            "INSERT INTO row_values (tenant_id, pipeline_id, row_index, fingerprint,"
            " node_operation, value, value_is_nan, text_value, column_name)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING",
            [
                [self._tenant] * count,
                self._pipeline_column(tx, pipelines),
                int64_column(chunk["row_index"]),
                int64_column(chunk["fingerprint"]),
                text_column(chunk["node_operation"], "node_operation"),
                numbers,
                nan_flags,
                text_column(chunk["text_value"], "text_value", optional=True),
                text_column(chunk["column_name"], "column_name", optional=True),
            ],
        )

    def get_row_values(
        self, pipeline_id: int, row_index: int | None = None
    ) -> list[StoredRowValue]:
        pipeline_id = self._check_pipeline(pipeline_id)
        sql = (
            "SELECT row_index, fingerprint, node_operation, value, value_is_nan, text_value,"
            " column_name FROM row_values WHERE tenant_id = ? AND pipeline_id = ?"
        )
        params: tuple = (self._tenant, pipeline_id)
        if row_index is not None:
            sql += " AND row_index = ?"
            params += (int(row_index),)
        rows = self._db.read(sql + " ORDER BY id", params)
        return [
            StoredRowValue(
                pipeline_id=pipeline_id,
                row_index=r[0],
                fingerprint=r[1],
                node_operation=r[2],
                value=join_float(r[3], r[4]),
                text_value=r[5],
                column_name=r[6],
                tenant_id=self._tenant,
            )
            for r in rows
        ]

    # -- results ----------------------------------------------------------------------------
    def store_results(self, pipeline_id: int, rows: Iterable[ResultRow]) -> int:
        return self.store_result_chunks(pipeline_id, [rows])

    def store_result_chunks(self, pipeline_id: int, chunks: Iterable[Iterable[ResultRow]]) -> int:
        """``store_results`` of rows given chunk after chunk, in one transaction (as
        ``store_node_columns``)."""
        pipeline_id = self._check_pipeline(pipeline_id)
        # persist_results hands over each output's rows in element order: the n-th row of an
        # output is element n, the row index its row values were recorded under
        positions: dict[str, int] = {}
        insert = partial(
            self._insert_results, pipeline_id=pipeline_id, stamp=_now(), positions=positions
        )
        return self._in_one_transaction(insert, chunks)

    def _insert_results(
        self,
        tx: Any,
        rows: Iterable[ResultRow],
        pipeline_id: int,
        stamp: str,
        positions: dict[str, int],
    ) -> int:
        params = []
        for row_key, output_name, fingerprint, value, input_hash, *exact in rows:
            number, is_nan = split_float(value)
            exact_hash = exact[0] if exact else None
            output = checked_text("output_name", str(output_name))
            position = positions.get(output, 0)
            positions[output] = position + 1
            params.append(
                (
                    self._tenant,
                    pipeline_id,
                    checked_text("row_key", str(row_key)),
                    output,
                    int64(fingerprint),
                    number,
                    is_nan,
                    None if input_hash is None else checked_text("input_hash", str(input_hash)),
                    None if exact_hash is None else checked_text("exact_hash", str(exact_hash)),
                    stamp,
                    position,
                )
            )
        if not params:
            return 0
        # a later row for the same key replaces an earlier one, also within one chunk (where
        # one multi-row statement could not update a row twice)
        latest = list({(row[2], row[3]): row for row in params}.values())
        tx.executemany(
            "INSERT INTO pipeline_results (tenant_id, pipeline_id, row_key, output_name,"
            " fingerprint, value, value_is_nan, input_hash, exact_hash, stored_at, row_index)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
            " ON CONFLICT (tenant_id, pipeline_id, row_key, output_name) DO UPDATE SET"
            " fingerprint = excluded.fingerprint, value = excluded.value,"
            " value_is_nan = excluded.value_is_nan, input_hash = excluded.input_hash,"
            " exact_hash = excluded.exact_hash, stored_at = excluded.stored_at,"
            " row_index = excluded.row_index",
            latest,
        )
        return len(params)

    def get_results(
        self,
        row_key: Any | None = None,
        pipeline_id: int | None = None,
        output_name: Any | None = None,
    ) -> list[dict[str, Any]]:
        sql = (
            "SELECT pipeline_id, row_key, output_name, fingerprint, value, value_is_nan,"
            " input_hash, exact_hash FROM pipeline_results WHERE tenant_id = ?"
        )
        params: tuple = (self._tenant,)
        if row_key is not None:
            sql += " AND row_key = ?"
            params += (checked_text("row_key", str(row_key)),)
        if pipeline_id is not None:
            sql += " AND pipeline_id = ?"
            params += (self._check_pipeline(pipeline_id),)
        if output_name is not None:
            sql += " AND output_name = ?"
            params += (checked_text("output_name", str(output_name)),)
        rows = self._db.read(sql + " ORDER BY id", params)
        return [
            {
                "pipeline_id": r[0],
                "row_key": r[1],
                "output_name": r[2],
                "fingerprint": r[3],
                "value": join_float(r[4], r[5]),
                "input_hash": r[6],
                "exact_hash": r[7],
            }
            for r in rows
        ]

    # -- dashboard --------------------------------------------------------------------------
    def store_dashboard_sync(self, payload: Mapping[str, Any] | JSONText) -> int:
        payload, text = _document(payload, "payload")
        pipeline = payload.get("pipeline")
        pipeline = pipeline if isinstance(pipeline, Mapping) else {}
        linked = pipeline.get("provenance_pipeline_id")
        if linked is not None:
            linked = self._check_pipeline(linked)
        name = pipeline.get("pipeline_name")
        with self._db.write() as tx:
            cursor = tx.execute(
                "INSERT INTO dashboard_syncs (tenant_id, received_at, pipeline_name,"
                " provenance_pipeline_id, payload) VALUES (?, ?, ?, ?, ?) RETURNING id",
                (
                    self._tenant,
                    _now(),
                    None if name is None else checked_text("pipeline.pipeline_name", str(name)),
                    linked,
                    text,
                ),
            )
            return int(cursor.fetchone()[0])

    def get_dashboard_syncs(self) -> list[dict[str, Any]]:
        rows = self._db.read(
            "SELECT id, received_at, pipeline_name, provenance_pipeline_id, payload"
            " FROM dashboard_syncs WHERE tenant_id = ? ORDER BY id",
            (self._tenant,),
        )
        return [
            {
                "sync_id": r[0],
                "received_at": r[1],
                "pipeline_name": r[2],
                "provenance_pipeline_id": r[3],
                "payload": from_json_text(r[4]),
            }
            for r in rows
        ]

    # -- OpenLineage run events ---------------------------------------------------------------
    def store_lineage_event(self, event: Mapping[str, Any] | JSONText) -> int:
        """Keep one OpenLineage run event as sent (checked for its run, job and time); as
        its JSON text, it is kept byte for byte."""
        event, text = _document(event, "event")
        run, job = event.get("run"), event.get("job")
        if not isinstance(run, Mapping) or not isinstance(job, Mapping):
            raise ValueError("an OpenLineage run event needs a run and a job")
        event_type = event.get("eventType")
        with self._db.write() as tx:
            cursor = tx.execute(
                "INSERT INTO lineage_events (tenant_id, received_at, run_id, event_type,"
                " event_time, job_namespace, job_name, payload)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                (
                    self._tenant,
                    _now(),
                    checked_text("run.runId", run.get("runId")),
                    None if event_type is None else checked_text("eventType", event_type),
                    checked_text("eventTime", event.get("eventTime")),
                    checked_text("job.namespace", job.get("namespace")),
                    checked_text("job.name", job.get("name")),
                    text,
                ),
            )
            return int(cursor.fetchone()[0])

    def get_lineage_events(
        self, run_id: str | None = None, job_name: str | None = None, limit: int | None = None
    ) -> list[dict[str, Any]]:
        """This tenant's OpenLineage run events as received: of one run, of one job (a
        pipeline's name), or all; the latest ``limit`` of them when given, oldest first."""
        sql = "SELECT payload FROM lineage_events WHERE tenant_id = ?"
        params: tuple = (self._tenant,)
        if run_id is not None:
            sql += " AND run_id = ?"
            params += (checked_text("run_id", run_id),)
        if job_name is not None:
            sql += " AND job_name = ?"
            params += (checked_text("job_name", job_name),)
        if limit is None:
            return [from_json_text(r[0]) for r in self._db.read(sql + " ORDER BY id", params)]
        rows = self._db.read(sql + " ORDER BY id DESC LIMIT ?", params + (int(limit),))
        return [from_json_text(r[0]) for r in reversed(list(rows))]

    # -- API keys ---------------------------------------------------------------------------
    # Keys are looked up before any tenant is known, so these calls are the operator's (the
    # service and the `quorvane keys` command), never a tenant's over HTTP. Only SHA-256
    # digests of keys are kept.
    def add_api_key_digest(self, key_sha256: str, move: bool = False) -> str | None:
        """Let the holder of the key with this SHA-256 digest act as this tenant; returns the
        tenant it acted as before, if any. A key acting for another tenant is refused
        (PermissionError) unless ``move``: moving it hands that tenant's data to whoever holds
        the key, which must never happen by a slip."""
        digest = checked_text("key_sha256", key_sha256)
        with self._db.write() as tx:
            found = tx.execute(
                "SELECT tenant_id FROM api_keys WHERE key_sha256 = ?", (digest,)
            ).fetchone()
            before = found[0] if found else None
            if before not in (None, self._tenant) and not move:
                raise PermissionError(
                    f"the key {digest[:12]} already acts for tenant {before!r}; it was not "
                    f"added for {self._tenant!r} (to move it there, add it again with --move)"
                )
            tx.execute(
                "INSERT INTO api_keys (key_sha256, tenant_id, created_at) VALUES (?, ?, ?)"
                " ON CONFLICT (key_sha256) DO UPDATE SET tenant_id = excluded.tenant_id",
                (digest, self._tenant, _now()),
            )
        return before

    def tenant_for_key_digest(self, key_sha256: str) -> str | None:
        # found by its key id, then compared whole in constant time: how long an answer takes
        # tells nothing about how much of a guess matched a stored digest
        key_id = checked_text("key_sha256", key_sha256)[:12]
        rows = self._db.read(
            "SELECT key_sha256, tenant_id FROM api_keys WHERE key_sha256 >= ? AND key_sha256 < ?",
            (key_id, key_id + "g"),
        )
        wanted = key_sha256.encode()
        return next((t for d, t in rows if hmac.compare_digest(d.encode(), wanted)), None)

    def revoke_api_key_digests(self, digest_prefix: str) -> int:
        """Remove the keys whose digest starts with ``digest_prefix`` (hex); returns how many."""
        prefix = checked_text("digest_prefix", digest_prefix).lower()
        if len(prefix) < 8 or any(ch not in "0123456789abcdef" for ch in prefix):
            raise ValueError("a key id is at least 8 hexadecimal digits of the key's digest")
        with self._db.write() as tx:
            # a range instead of LIKE: nothing in the prefix needs escaping
            cursor = tx.execute(
                "DELETE FROM api_keys WHERE key_sha256 >= ? AND key_sha256 < ?",
                (prefix, prefix + "g"),
            )
            return max(0, cursor.rowcount)

    # -- page sessions ----------------------------------------------------------------------
    # Like keys, sessions are looked up before a tenant is known: operator calls, by digest.
    def open_page_session(self, session_sha256: str, key_sha256: str, expires_at: str) -> None:
        """Keep a login session of this tenant until ``expires_at`` (ISO time, UTC); the
        sessions that have expired are dropped on the way."""
        now = _now()
        with self._db.write() as tx:
            tx.execute("DELETE FROM page_sessions WHERE expires_at <= ?", (now,))
            tx.execute(
                "INSERT INTO page_sessions"
                " (session_sha256, tenant_id, key_sha256, created_at, expires_at)"
                " VALUES (?, ?, ?, ?, ?)",
                (
                    checked_text("session_sha256", session_sha256),
                    self._tenant,
                    checked_text("key_sha256", key_sha256),
                    now,
                    checked_text("expires_at", expires_at),
                ),
            )

    def tenant_for_page_session(self, session_sha256: str) -> str | None:
        """The tenant of a session that has not expired and whose key is still valid for
        that tenant; None otherwise."""
        rows = self._db.read(
            "SELECT s.tenant_id FROM page_sessions s"
            " JOIN api_keys k ON k.key_sha256 = s.key_sha256 AND k.tenant_id = s.tenant_id"
            " WHERE s.session_sha256 = ? AND s.expires_at > ?",
            (checked_text("session_sha256", session_sha256), _now()),
        )
        return rows[0][0] if rows else None

    def close_page_session(self, session_sha256: str) -> bool:
        """End a session; whether there was one."""
        with self._db.write() as tx:
            cursor = tx.execute(
                "DELETE FROM page_sessions WHERE session_sha256 = ?",
                (checked_text("session_sha256", session_sha256),),
            )
            return cursor.rowcount > 0

    def list_api_keys(self) -> list[dict[str, Any]]:
        """Every tenant's keys as key id (first 12 digits of the digest), tenant and date."""
        rows = self._db.read(
            "SELECT key_sha256, tenant_id, created_at FROM api_keys ORDER BY tenant_id, created_at"
        )
        return [{"key_id": r[0][:12], "tenant_id": r[1], "created_at": r[2]} for r in rows]


def _document(value: Any, where: str) -> tuple[Mapping[str, Any], str]:
    """A free-form document and its JSON text: a mapping, or the text of a JSON object
    (outlined for the members a store reads, never built whole)."""
    if isinstance(value, JSONText):
        members = outline(value.text)
        if not isinstance(members, dict):
            raise TypeError(f"{where} must be a JSON object")
        return members, value.text
    if not isinstance(value, Mapping):
        raise TypeError(f"{where} must be a mapping, not {type(value).__name__}")
    return value, to_json_text(dict(value), where)  # type: ignore[return-value]


def _tenant_name(tenant_id: Any) -> str:
    if not checked_text("tenant_id", tenant_id):
        raise ValueError("tenant_id must not be empty")
    return tenant_id


__all__ = ["SQLStore"]
