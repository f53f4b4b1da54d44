"""Reads for the audit pages, a page at a time, and the record of tamper checks.

A mixin of ``SQLStore``: like the rest of it, every statement is parameterised and names the
tenant, and every pipeline id is checked to be the tenant's before it is read.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from datetime import UTC, datetime
from typing import Any

from ._columns import checked_text
from ._jsonable import from_json_text, join_float, to_json_text

#: ids per IN list: well under SQLite's limit on bound parameters
_CHUNK = 500


def _marks(count: int) -> str:
    return ", ".join("?" * count)


def _like_pattern(text: str) -> str:
    """A LIKE pattern matching ``text`` anywhere, its own % and _ taken literally."""
    escaped = (
        checked_text("search", text)
        .lower()
        .replace("\\", "\\\\")
        .replace("%", "\\%")
        .replace("_", "\\_")
    )
    return "%" + escaped + "%"


class AuditQueries:
    """Paged and counted reads of one tenant's runs (the store supplies ``_db``, the tenant
    and the pipeline check)."""

    _db: Any
    _tenant: str

    def _check_pipeline(self, pipeline_id: Any) -> int:
        raise NotImplementedError

    def get_sources(self, pipeline_id: int) -> list[dict[str, Any]]:
        raise NotImplementedError

    # -- runs -------------------------------------------------------------------------------
    def find_pipelines(
        self, name: str = "", status: str = "", offset: int = 0, limit: int = 50
    ) -> tuple[list[dict[str, Any]], int]:
        """This tenant's runs, newest first, whose name contains ``name`` (any case) and whose
        status is ``status`` (when given); one page of them and how many match in all."""
        where = " WHERE tenant_id = ?"
        params: tuple = (self._tenant,)
        if name:
            where += " AND lower(name) LIKE ? ESCAPE '\\'"
            params += (_like_pattern(name),)
        if status:
            where += " AND status = ?"
            params += (checked_text("status", status),)
        total = self._db.read("SELECT count(*) FROM pipelines" + where, params)[0][0]
        rows = self._db.read(
            "SELECT id, name, status, created_at, completed_at FROM pipelines"
            + where
            + " ORDER BY id DESC LIMIT ? OFFSET ?",
            (*params, int(limit), int(offset)),
        )
        keys = ("pipeline_id", "pipeline_name", "status", "created_at", "completed_at")
        return [dict(zip(keys, row, strict=True)) for row in rows], int(total)

    def tenants_with_runs(self) -> dict[str, int]:
        """How many runs each tenant of the database has. Across tenants: for the store's
        operator (the command line, which holds the whole database anyway), never for the
        service's callers."""
        rows = self._db.read(
            "SELECT tenant_id, count(*) FROM pipelines GROUP BY tenant_id ORDER BY tenant_id"
        )
        return {tenant: int(count) for tenant, count in rows}

    def pipeline_statuses(self) -> list[str]:
        rows = self._db.read(
            "SELECT DISTINCT status FROM pipelines WHERE tenant_id = ? ORDER BY status",
            (self._tenant,),
        )
        return [r[0] for r in rows]

    def count_run_parts(self, pipeline_ids: Sequence[int]) -> dict[int, dict[str, int]]:
        """Nodes, edges and result rows stored for each of ``pipeline_ids`` (this tenant's)."""
        counts = {pid: {"nodes": 0, "edges": 0, "results": 0} for pid in pipeline_ids}
        for part, table in (
            ("nodes", "nodes"),
            ("edges", "edges"),
            ("results", "pipeline_results"),
        ):
            for chunk in _chunks(list(counts)):
                rows = self._db.read(
                    "SELECT pipeline_id, count(*) FROM " + table + " WHERE tenant_id = ?"
                    " AND pipeline_id IN (" + _marks(len(chunk)) + ") GROUP BY pipeline_id",
                    (self._tenant, *chunk),
                )
                for pid, count in rows:
                    counts[pid][part] = int(count)
        return counts

    # -- a run ------------------------------------------------------------------------------
    def get_source_nodes(self, pipeline_id: int) -> list[dict[str, Any]]:
        """The source nodes of a run: table, column, pair id, protection and word."""
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT table_name, column_name, pair_id, is_protected, fingerprint FROM nodes"
            " WHERE tenant_id = ? AND pipeline_id = ? AND node_type = 'SOURCE' ORDER BY id",
            (self._tenant, pipeline_id),
        )
        keys = ("table", "column", "pair_id", "is_protected", "fingerprint")
        return [dict(zip(keys, row, strict=True)) | {"is_protected": bool(row[3])} for row in rows]

    def run_sources(self, pipeline_id: int) -> list[dict[str, Any]]:
        """A run's source columns, protected first: those registered with it and those its
        DAG starts from (a column protected in either is protected)."""
        found: dict[tuple[str, str], dict[str, Any]] = {}
        for source in [*self.get_sources(pipeline_id), *self.get_source_nodes(pipeline_id)]:
            key = (source["table"], source["column"])
            entry = found.setdefault(
                key,
                {
                    "table": key[0],
                    "column": key[1],
                    "pair_id": source["pair_id"],
                    "is_protected": False,
                },
            )
            entry["is_protected"] = entry["is_protected"] or bool(source["is_protected"])
        return sorted(
            found.values(), key=lambda s: (not s["is_protected"], s["table"], s["column"])
        )

    def operation_counts(self, pipeline_id: int) -> dict[str, int]:
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT operation, count(*) FROM nodes WHERE tenant_id = ? AND pipeline_id = ?"
            " AND node_type <> 'SOURCE' GROUP BY operation ORDER BY count(*) DESC, operation",
            (self._tenant, pipeline_id),
        )
        return {op: int(count) for op, count in rows}

    def result_words(self, pipeline_id: int) -> dict[str, list[int]]:
        """The distinct words of each output of a run (output name -> fingerprints)."""
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT DISTINCT output_name, fingerprint FROM pipeline_results"
            " WHERE tenant_id = ? AND pipeline_id = ? ORDER BY output_name",
            (self._tenant, pipeline_id),
        )
        words: dict[str, list[int]] = {}
        for output, fingerprint in rows:
            words.setdefault(output, []).append(int(fingerprint))
        return words

    def dashboard_payload(self, pipeline_id: int) -> dict[str, Any] | None:
        """The last dashboard summary posted for a run, or None."""
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT payload FROM dashboard_syncs WHERE tenant_id = ?"
            " AND provenance_pipeline_id = ? ORDER BY id DESC LIMIT 1",
            (self._tenant, pipeline_id),
        )
        return from_json_text(rows[0][0]) if rows else None

    # -- results ----------------------------------------------------------------------------
    def find_result_keys(
        self, pipeline_id: int, search: str = "", offset: int = 0, limit: int = 50
    ) -> tuple[list[str], int]:
        """Row keys of a run's results containing ``search`` (any case), in key order: one
        page of them and how many match in all."""
        pipeline_id = self._check_pipeline(pipeline_id)
        where = " FROM pipeline_results WHERE tenant_id = ? AND pipeline_id = ?"
        params: tuple = (self._tenant, pipeline_id)
        if search:
            where += " AND lower(row_key) LIKE ? ESCAPE '\\'"
            params += (_like_pattern(search),)
        # one pass for the page and the count of all matches
        rows = self._db.read(
            "SELECT row_key, count(*) OVER () FROM (SELECT DISTINCT row_key"
            + where
            + ") AS matching ORDER BY row_key LIMIT ? OFFSET ?",
            (*params, int(limit), int(offset)),
        )
        if rows:
            return [r[0] for r in rows], int(rows[0][1])
        total = self._db.read("SELECT count(DISTINCT row_key)" + where, params)[0][0]
        return [], int(total)

    def results_for_keys(self, pipeline_id: int, row_keys: Iterable[str]) -> list[dict[str, Any]]:
        """The result rows of ``row_keys`` in a run, each with its row index (None when it
        was stored without one)."""
        pipeline_id = self._check_pipeline(pipeline_id)
        found = []
        for chunk in _chunks([checked_text("row_key", str(k)) for k in row_keys]):
            found += self._db.read(
                "SELECT row_key, output_name, fingerprint, value, value_is_nan, input_hash,"
                " row_index FROM pipeline_results WHERE tenant_id = ? AND pipeline_id = ?"
                " AND row_key IN (" + _marks(len(chunk)) + ") ORDER BY row_key, output_name",
                (self._tenant, pipeline_id, *chunk),
            )
        return [
            {
                "row_key": r[0],
                "output_name": r[1],
                "fingerprint": int(r[2]),
                "value": join_float(r[3], r[4]),
                "input_hash": r[5],
                "row_index": r[6],
            }
            for r in found
        ]

    # -- one result's lineage ---------------------------------------------------------------
    def lineage_of(
        self, pipeline_id: int, fingerprint: int, limit: int = 300
    ) -> tuple[list[dict[str, Any]], list[tuple[int, int, int]], bool]:
        """The node with word ``fingerprint`` and its ancestors, nearest first, at most
        ``limit`` of them: (nodes, edges between them as (parent id, child id, input
        position), whether more ancestors were left out)."""
        pipeline_id = self._check_pipeline(pipeline_id)
        # Edges join nodes of one tenant only (the store refuses others), so the walk from
        # this tenant's node needs no tenant test, which would steer SQLite's planner away
        # from the index on child ids; what it finds is filtered by tenant below all the same.
        rows = self._db.read(
            "WITH RECURSIVE lineage(id) AS ("
            " SELECT id FROM nodes WHERE tenant_id = ? AND pipeline_id = ? AND fingerprint = ?"
            " UNION SELECT e.parent_node_id FROM edges e JOIN lineage l"
            " ON e.child_node_id = l.id"
            ") SELECT id FROM lineage LIMIT ?",
            (self._tenant, pipeline_id, int(fingerprint), int(limit) + 1),
        )
        ids = [int(r[0]) for r in rows]
        truncated = len(ids) > limit
        ids = ids[:limit]
        nodes: list[dict[str, Any]] = []
        edges: list[tuple[int, int, int]] = []
        for chunk in _chunks(ids):
            marks = _marks(len(chunk))
            nodes += [
                {
                    "id": r[0],
                    "fingerprint": int(r[1]),
                    "node_type": r[2],
                    "operation": r[3],
                    "table": r[4],
                    "column": r[5],
                    "pair_id": r[6],
                    "is_protected": bool(r[7]),
                    "metadata": from_json_text(r[8]),
                }
                for r in self._db.read(
                    "SELECT id, fingerprint, node_type, operation, table_name, column_name,"
                    " pair_id, is_protected, metadata, tenant_id FROM nodes"
                    " WHERE id IN (" + marks + ")",
                    chunk,
                )
                if r[9] == self._tenant
            ]
            edges += [
                r[:3]
                for r in self._db.read(
                    "SELECT parent_node_id, child_node_id, input_position, tenant_id FROM edges"
                    " WHERE child_node_id IN (" + marks + ") ORDER BY id",
                    chunk,
                )
                if r[3] == self._tenant
            ]
        order = {n["id"]: rank for rank, n in enumerate(nodes)}
        order = {node_id: rank for rank, node_id in enumerate(ids) if node_id in order}
        edges = [(int(p), int(c), int(i)) for p, c, i in edges if p in order and c in order]
        nodes.sort(key=lambda n: order[n["id"]])
        return nodes, edges, truncated

    # -- tamper checks ----------------------------------------------------------------------
    def store_source_check(
        self,
        pipeline_id: int,
        source: str,
        report: Any,
        *,
        source_sha256: str | None = None,
        key_column: str | None = None,
    ) -> int:
        """Add the outcome of a tamper check of a run (a ``SourceCheck``) against the source
        file ``source`` (its path, and its digest when given) to the run's checks; earlier
        checks stay as they were."""
        pipeline_id = self._check_pipeline(pipeline_id)
        changed, missing = list(report.changed), list(report.missing)
        with self._db.write() as tx:
            cursor = tx.execute(
                "INSERT INTO source_checks (tenant_id, pipeline_id, checked_at, source,"
                " checked, changed, missing, changed_keys, missing_keys, source_sha256,"
                " key_column, expected, hash_kind, outcome)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                (
                    self._tenant,
                    pipeline_id,
                    datetime.now(UTC).isoformat(timespec="seconds"),
                    checked_text("source", str(source)),
                    int(report.checked),
                    len(changed),
                    len(missing),
                    to_json_text([str(k) for k in changed]),
                    to_json_text([str(k) for k in missing]),
                    source_sha256,
                    key_column,
                    int(report.expected),
                    str(report.hash_kind),
                    str(report.outcome),
                ),
            )
            return int(cursor.fetchone()[0])

    def latest_source_checks(
        self, pipeline_ids: Sequence[int], with_keys: bool = False
    ) -> dict[int, dict[str, Any]]:
        """The last tamper check of each of ``pipeline_ids`` that has one; the changed and
        missing row keys only ``with_keys``."""
        found: dict[int, dict[str, Any]] = {}
        for chunk in _chunks(list(pipeline_ids)):
            rows = self._db.read(
                "SELECT " + _check_columns(with_keys) + " FROM source_checks WHERE id IN"
                " (SELECT max(id) FROM source_checks WHERE tenant_id = ? AND pipeline_id IN ("
                + _marks(len(chunk))
                + ") GROUP BY pipeline_id)",
                (self._tenant, *chunk),
            )
            for row in rows:
                found[int(row[1])] = _check_of(row, with_keys)
        return found

    def source_checks(
        self, pipeline_id: int, limit: int | None = 50, with_keys: bool = False
    ) -> list[dict[str, Any]]:
        """A run's tamper checks, the latest first, at most ``limit`` of them (None: all)."""
        pipeline_id = self._check_pipeline(pipeline_id)
        sql = (
            "SELECT " + _check_columns(with_keys) + " FROM source_checks"
            " WHERE tenant_id = ? AND pipeline_id = ? ORDER BY id DESC"
        )
        params: tuple = (self._tenant, pipeline_id)
        if limit is not None:
            sql += " LIMIT ?"
            params += (int(limit),)
        rows = self._db.read(sql, params)
        return [_check_of(row, with_keys) for row in rows]


_CHECK_COLUMNS = (
    "id, pipeline_id, checked_at, source, checked, changed, missing, source_sha256,"
    " key_column, expected, hash_kind, outcome"
)


def _check_columns(with_keys: bool) -> str:
    return _CHECK_COLUMNS + (", changed_keys, missing_keys" if with_keys else "")


def _check_of(row: Sequence[Any], with_keys: bool) -> dict[str, Any]:
    check = {
        "checked_at": row[2],
        "source": row[3],
        "checked": int(row[4]),
        "changed": int(row[5]),
        "missing": int(row[6]),
        "source_sha256": row[7],
        "key_column": row[8],
        "expected": None if row[9] is None else int(row[9]),
        "hash_kind": row[10],
        # checks kept before outcomes were recorded: told apart by their counts alone
        "outcome": row[11] or ("changed" if row[5] or row[6] else "match"),
    }
    if with_keys:
        check["changed_keys"] = from_json_text(row[12])
        check["missing_keys"] = from_json_text(row[13])
    return check


def _chunks(items: list) -> Iterable[list]:
    for start in range(0, len(items), _CHUNK):
        yield items[start : start + _CHUNK]
