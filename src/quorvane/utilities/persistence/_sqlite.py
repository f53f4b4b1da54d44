"""SQLiteStorage: the embedded default backend, a SQLite file on local disk."""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable, Mapping, Sequence
from datetime import UTC, datetime
from typing import Any

from ._backend import EdgeRow, ResultRow, StorageBackend
from ._connections import Database
from ._jsonable import from_json_text, join_float, split_float, to_json_text
from ._records import StoredEdge, StoredNode, StoredRowValue

NO_PIPELINE = 0


def _inserted_id(cursor: Any) -> int:
    """The id SQLite gave the row an INSERT just wrote."""
    row_id = cursor.lastrowid
    if row_id is None:
        raise RuntimeError("SQLite reported no id for the row just inserted")
    return int(row_id)


def _now() -> str:
    return datetime.now(UTC).isoformat(timespec="microseconds")


def _text(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


class SQLiteStorage(StorageBackend):
    """Lineage kept in a SQLite file (WAL mode), scoped to one tenant.

    Every thread gets its own connection, so the background writer can store while the
    pipeline's thread reads. ``synchronous`` is the SQLite durability level ("FULL" by
    default: a committed batch survives a power loss). Names and texts are stored as given,
    with parameterised SQL only.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        tenant_id: str = "default",
        *,
        synchronous: str = "FULL",
        timeout: float = 30.0,
        _database: Database | None = None,
    ):
        self._tenant = _text("tenant_id", tenant_id)
        if not tenant_id:
            raise ValueError("tenant_id must not be empty")
        self._db = _database or Database(path, synchronous, timeout)
        self._current_lock = threading.Lock()
        self._current_pipeline: int | None = None

    def __repr__(self) -> str:
        return f"SQLiteStorage({self._db.path!r}, tenant_id={self._tenant!r})"

    @property
    def path(self) -> str:
        return self._db.path

    @property
    def tenant_id(self) -> str:
        return self._tenant

    @property
    def current_pipeline_id(self) -> int | None:
        return self._current_pipeline

    def for_tenant(self, tenant_id: str) -> SQLiteStorage:
        """The same file seen by another tenant (sharing this object's connections)."""
        return SQLiteStorage(self._db.path, tenant_id, _database=self._db)

    # -- connection -------------------------------------------------------------------------
    def connect(self) -> None:
        self._db.conn()

    def disconnect(self) -> None:
        self._db.close_all()

    def release_thread_connection(self) -> None:
        """Close the calling thread's connection; useful at the end of a worker thread."""
        self._db.release_thread()

    # -- tenancy ---------------------------------------------------------------------------
    def _own(self, tenant_id: str | None) -> str:
        if tenant_id is not None and tenant_id != self._tenant:
            raise PermissionError(
                f"this storage belongs to tenant {self._tenant!r}, not {tenant_id!r}"
            )
        return self._tenant

    def _check_pipeline(self, pipeline_id: Any) -> int:
        """The pipeline id as an int, after checking that it belongs to this tenant."""
        if isinstance(pipeline_id, bool) or not isinstance(pipeline_id, int):
            try:
                pipeline_id = int(pipeline_id)
            except (TypeError, ValueError):
                raise TypeError(
                    f"pipeline_id must be an int, not {type(pipeline_id).__name__}"
                ) from None
        if pipeline_id == NO_PIPELINE:
            return NO_PIPELINE
        owner = self._db.pipeline_tenants.get(pipeline_id)
        if owner is None:
            row = (
                self._db.conn()
                .execute("SELECT tenant_id FROM pipelines WHERE id = ?", (pipeline_id,))
                .fetchone()
            )
            if row is None:
                raise LookupError(f"no pipeline with id {pipeline_id}")
            owner = self._db.pipeline_tenants.setdefault(pipeline_id, row[0])
        if owner != self._tenant:
            raise PermissionError(
                f"pipeline {pipeline_id} belongs to another tenant than {self._tenant!r}"
            )
        return pipeline_id

    def _pipeline_or_current(self, pipeline_id: int | None) -> int:
        if pipeline_id is None:
            pipeline_id = self._current_pipeline
        return NO_PIPELINE if pipeline_id is None else self._check_pipeline(pipeline_id)

    # -- pipelines -------------------------------------------------------------------------
    def create_pipeline(
        self,
        pipeline_name: str = "unnamed",
        config: Mapping[str, Any] | None = None,
        git_commit: str | None = None,
        tenant_id: str | None = None,
    ) -> int:
        tenant = self._own(tenant_id)
        name = _text("pipeline_name", pipeline_name)
        if git_commit is not None:
            _text("git_commit", git_commit)
        with self._db.write() as conn:
            cursor = conn.execute(
                "INSERT INTO pipelines (tenant_id, name, status, config, git_commit, created_at)"
                " VALUES (?, ?, 'running', ?, ?, ?)",
                (tenant, name, to_json_text(config), git_commit, _now()),
            )
            pipeline_id = _inserted_id(cursor)
        self._db.pipeline_tenants[pipeline_id] = tenant
        with self._current_lock:
            self._current_pipeline = pipeline_id
        return pipeline_id

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        pipeline_id = self._check_pipeline(pipeline_id)
        if not _text("status", status):
            raise ValueError("status must not be empty")
        with self._db.write() as conn:
            conn.execute(
                "UPDATE pipelines SET status = ?, completed_at = ? WHERE id = ?",
                (status, _now(), pipeline_id),
            )

    def get_pipeline(self, pipeline_id: int) -> dict[str, Any] | None:
        try:
            pipeline_id = self._check_pipeline(pipeline_id)
        except LookupError:
            return None
        rows = self._pipeline_rows("WHERE id = ?", (pipeline_id,))
        return rows[0] if rows else None

    def list_pipelines(self) -> list[dict[str, Any]]:
        return self._pipeline_rows("WHERE tenant_id = ? ORDER BY id", (self._tenant,))

    def _pipeline_rows(self, where: str, params: tuple) -> list[dict[str, Any]]:
        cursor = self._db.conn().execute(
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
            for r in cursor.fetchall()
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
        with self._db.write() as conn:
            conn.execute(
                "INSERT INTO sources (tenant_id, pipeline_id, pair_id, table_name, column_name,"
                " is_protected, registered_at) VALUES (?, ?, ?, ?, ?, ?, ?)"
                " ON CONFLICT (tenant_id, pipeline_id, pair_id) DO UPDATE SET"
                " table_name = excluded.table_name, column_name = excluded.column_name,"
                " is_protected = excluded.is_protected",
                (
                    self._tenant,
                    pipeline_id,
                    int(pair_id),
                    _text("table", table),
                    _text("column", column),
                    int(bool(is_protected)),
                    _now(),
                ),
            )

    def get_sources(self, pipeline_id: int) -> list[dict[str, Any]]:
        pipeline_id = self._check_pipeline(pipeline_id)
        cursor = self._db.conn().execute(
            "SELECT pair_id, table_name, column_name, is_protected FROM sources"
            " WHERE tenant_id = ? AND pipeline_id = ? ORDER BY pair_id",
            (self._tenant, pipeline_id),
        )
        return [
            {"pair_id": r[0], "table": r[1], "column": r[2], "is_protected": bool(r[3])}
            for r in cursor.fetchall()
        ]

    # -- nodes ------------------------------------------------------------------------------
    def store_nodes(self, nodes: Sequence[StoredNode]) -> int:
        rows = []
        checked: dict[Any, int] = {}
        tenant = self._tenant
        for node in nodes:
            key = node.pipeline_id
            pipeline_id = checked.get(key)
            if pipeline_id is None:
                pipeline_id = checked[key] = self._pipeline_or_current(key)
            pair_id, entity, chain, metadata = (
                node.pair_id,
                node.entity_hash,
                node.chain_hash,
                node.metadata,
            )
            rows.append(
                (
                    tenant,
                    pipeline_id,
                    int(node.fingerprint),
                    str(node.node_type),
                    str(node.operation),
                    node.table_name,
                    node.column_name,
                    None if pair_id is None else int(pair_id),
                    1 if node.is_protected else 0,
                    None if entity is None else int(entity),
                    None if chain is None else int(chain),
                    None if metadata is None else to_json_text(metadata),
                )
            )
        if not rows:
            return 0
        with self._db.write() as conn:
            before = conn.total_changes
            conn.executemany(
                "INSERT OR IGNORE INTO nodes (tenant_id, pipeline_id, fingerprint, node_type,"
                " operation, table_name, column_name, pair_id, is_protected, entity_hash,"
                " chain_hash, metadata) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                rows,
            )
            return conn.total_changes - before

    def get_fingerprint_node_map(self, pipeline_id: int) -> dict[int, int]:
        pipeline_id = self._check_pipeline(pipeline_id)
        cursor = self._db.conn().execute(
            "SELECT fingerprint, id FROM nodes WHERE tenant_id = ? AND pipeline_id = ?",
            (self._tenant, pipeline_id),
        )
        return dict(cursor.fetchall())

    def get_nodes(self, pipeline_id: int) -> list[StoredNode]:
        pipeline_id = self._check_pipeline(pipeline_id)
        cursor = self._db.conn().execute(
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
            for r in cursor.fetchall()
        ]

    # -- edges ------------------------------------------------------------------------------
    _INSERT_EDGE = (
        "INSERT OR IGNORE INTO edges (pipeline_id, parent_node_id, child_node_id, input_position)"
        " VALUES (?, ?, ?, ?)"
    )

    def _own_node_pipelines(self, conn, low: int, high: int) -> dict[int, int]:
        """Node id -> pipeline id for this tenant's nodes with ids from ``low`` to ``high``."""
        # the ids of one batch are mostly contiguous: one range scan of the primary key
        cursor = conn.execute(
            "SELECT id, pipeline_id FROM nodes WHERE id BETWEEN ? AND ? AND tenant_id = ?",
            (low, high, self._tenant),
        )
        return dict(cursor)

    def store_edges_resolved(self, rows: Iterable[EdgeRow]) -> int:
        triples = [
            (p if type(p) is int else int(p), c if type(c) is int else int(c), int(i))
            for p, c, i in rows
        ]
        if not triples:
            return 0
        low = min(min(p, c) for p, c, _ in triples)
        high = max(max(p, c) for p, c, _ in triples)
        with self._db.write() as conn:
            owned = self._own_node_pipelines(conn, low, high)
            # ids of another tenant's nodes (or of no node) store nothing
            params = [(owned[c], p, c, i) for p, c, i in triples if c in owned and p in owned]
            before = conn.total_changes
            conn.executemany(self._INSERT_EDGE, params)
            return conn.total_changes - before

    def store_edges(self, edges: Sequence[StoredEdge], pipeline_id: int | None = None) -> int:
        pipeline_id = self._pipeline_or_current(pipeline_id)
        if not edges:
            return 0
        with self._db.write() as conn:
            wanted = {int(e.parent_fingerprint) for e in edges}
            wanted |= {int(e.child_fingerprint) for e in edges}
            ids = self._node_ids_for(conn, pipeline_id, wanted)
            params = [
                (pipeline_id, ids[parent], ids[child], int(e.input_position))
                for e in edges
                if (parent := int(e.parent_fingerprint)) in ids
                and (child := int(e.child_fingerprint)) in ids
            ]
            conn.executemany(self._INSERT_EDGE, params)
            # stored now or before: the writer counts every other edge as lost
            return len(params)

    def _node_ids_for(self, conn, pipeline_id: int, fingerprints: set[int]) -> dict[int, int]:
        found: dict[int, int] = {}
        wanted = list(fingerprints)
        # bounded IN lists keep under SQLite's limit on bound parameters
        for start in range(0, len(wanted), 500):
            chunk = wanted[start : start + 500]
            marks = ", ".join("?" * len(chunk))
            cursor = conn.execute(
                "SELECT fingerprint, id FROM nodes WHERE tenant_id = ? AND pipeline_id = ?"
                f" AND fingerprint IN ({marks})",
                (self._tenant, pipeline_id, *chunk),
            )
            found.update(cursor)
        return found

    def get_edges(self, pipeline_id: int) -> list[StoredEdge]:
        pipeline_id = self._check_pipeline(pipeline_id)
        cursor = self._db.conn().execute(
            "SELECT p.fingerprint, c.fingerprint, e.input_position FROM edges e"
            " JOIN nodes p ON p.id = e.parent_node_id JOIN nodes c ON c.id = e.child_node_id"
            " WHERE e.pipeline_id = ? AND c.tenant_id = ? ORDER BY e.id",
            (pipeline_id, self._tenant),
        )
        return [
            StoredEdge(parent_fingerprint=r[0], child_fingerprint=r[1], input_position=r[2])
            for r in cursor.fetchall()
        ]

    # -- row values -------------------------------------------------------------------------
    def store_row_values(self, values: Sequence[StoredRowValue]) -> int:
        rows = []
        checked: dict[Any, int] = {}
        for rv in values:
            self._own(rv.tenant_id)
            key = rv.pipeline_id
            if key not in checked:
                # a record made before any run was opened carries pipeline 0 and is kept
                checked[key] = self._check_pipeline(key if key else NO_PIPELINE)
            number, is_nan = split_float(rv.value)
            rows.append(
                (
                    self._tenant,
                    checked[key],
                    int(rv.row_index),
                    int(rv.fingerprint),
                    str(rv.node_operation),
                    number,
                    is_nan,
                    rv.text_value,
                    rv.column_name,
                )
            )
        if not rows:
            return 0
        with self._db.write() as conn:
            before = conn.total_changes
            conn.executemany(
                "INSERT OR IGNORE INTO row_values (tenant_id, pipeline_id, row_index, fingerprint,"
                " node_operation, value, value_is_nan, text_value, column_name)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                rows,
            )
            return conn.total_changes - before

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
        cursor = self._db.conn().execute(sql + " ORDER BY id", params)
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
            for r in cursor.fetchall()
        ]

    # -- results ----------------------------------------------------------------------------
    def store_results(self, pipeline_id: int, rows: Iterable[ResultRow]) -> int:
        pipeline_id = self._check_pipeline(pipeline_id)
        stamp = _now()
        params = []
        for row_key, output_name, fingerprint, value, input_hash in rows:
            number, is_nan = split_float(value)
            params.append(
                (
                    self._tenant,
                    pipeline_id,
                    str(row_key),
                    str(output_name),
                    int(fingerprint),
                    number,
                    is_nan,
                    None if input_hash is None else str(input_hash),
                    stamp,
                )
            )
        if not params:
            return 0
        with self._db.write() as conn:
            conn.executemany(
                "INSERT INTO pipeline_results (tenant_id, pipeline_id, row_key, output_name,"
                " fingerprint, value, value_is_nan, input_hash, stored_at)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"
                " ON CONFLICT (pipeline_id, row_key, output_name) DO UPDATE SET"
                " fingerprint = excluded.fingerprint, value = excluded.value,"
                " value_is_nan = excluded.value_is_nan, input_hash = excluded.input_hash,"
                " stored_at = excluded.stored_at",
                params,
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
            " input_hash FROM pipeline_results WHERE tenant_id = ?"
        )
        params: tuple = (self._tenant,)
        if row_key is not None:
            sql += " AND row_key = ?"
            params += (str(row_key),)
        if pipeline_id is not None:
            sql += " AND pipeline_id = ?"
            params += (self._check_pipeline(pipeline_id),)
        if output_name is not None:
            sql += " AND output_name = ?"
            params += (str(output_name),)
        cursor = self._db.conn().execute(sql + " ORDER BY id", params)
        return [
            {
                "pipeline_id": r[0],
                "row_key": r[1],
                "output_name": r[2],
                "fingerprint": r[3],
                "value": join_float(r[4], r[5]),
                "input_hash": r[6],
            }
            for r in cursor.fetchall()
        ]

    # -- dashboard --------------------------------------------------------------------------
    def store_dashboard_sync(self, payload: Mapping[str, Any]) -> int:
        if not isinstance(payload, Mapping):
            raise TypeError(f"payload must be a mapping, not {type(payload).__name__}")
        pipeline = payload.get("pipeline")
        pipeline = pipeline if isinstance(pipeline, Mapping) else {}
        linked = pipeline.get("provenance_pipeline_id")
        if linked is not None:
            linked = self._check_pipeline(linked)
        name = pipeline.get("pipeline_name")
        with self._db.write() as conn:
            cursor = conn.execute(
                "INSERT INTO dashboard_syncs (tenant_id, received_at, pipeline_name,"
                " provenance_pipeline_id, payload) VALUES (?, ?, ?, ?, ?)",
                (
                    self._tenant,
                    _now(),
                    None if name is None else str(name),
                    linked,
                    to_json_text(dict(payload)),
                ),
            )
            return _inserted_id(cursor)

    def get_dashboard_syncs(self) -> list[dict[str, Any]]:
        cursor = self._db.conn().execute(
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
            for r in cursor.fetchall()
        ]

    # -- API keys (used by the reference service) -------------------------------------------
    def add_api_key_digest(self, key_sha256: str) -> None:
        """Let the holder of the key with this SHA-256 digest act as this tenant."""
        with self._db.write() as conn:
            conn.execute(
                "INSERT INTO api_keys (key_sha256, tenant_id, created_at) VALUES (?, ?, ?)"
                " ON CONFLICT (key_sha256) DO UPDATE SET tenant_id = excluded.tenant_id",
                (_text("key_sha256", key_sha256), self._tenant, _now()),
            )

    def tenant_for_key_digest(self, key_sha256: str) -> str | None:
        row = (
            self._db.conn()
            .execute("SELECT tenant_id FROM api_keys WHERE key_sha256 = ?", (key_sha256,))
            .fetchone()
        )
        return None if row is None else row[0]


__all__ = ["SQLiteStorage"]
