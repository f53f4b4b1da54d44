"""PostgresStorage: the store for a team, in a PostgreSQL database through psycopg 3.

Connections come from a pool shared by the views of all tenants of one storage object.
Several service processes may share one database: identities number the rows, every write
is one transaction, and the schema is migrated under an advisory lock.
"""

from __future__ import annotations

import contextlib
import re
import threading
from collections.abc import Iterator, Sequence
from typing import Any

from ._schema import POSTGRES_MIGRATIONS, pending_migrations, statements
from ._sqlstore import SQLStore

# any constant: the lock that lets one process at a time migrate the schema
_MIGRATION_LOCK = 0x71756F72


def _drivers() -> tuple[Any, Any]:
    try:
        import psycopg
        import psycopg_pool
    except ImportError:
        raise ImportError(
            "PostgresStorage needs psycopg and psycopg_pool: pip install 'quorvane[server]'"
        ) from None
    return psycopg, psycopg_pool


_PLACEHOLDER = re.compile(r"\?")


def _pg(sql: str) -> str:
    """The shared SQL (``?`` placeholders) in psycopg's parameter style."""
    if "%" in sql:
        raise ValueError("shared SQL must not contain '%'")
    return _PLACEHOLDER.sub("%s", sql)


# the PostgreSQL types of the columns the shared SQL inserts many rows into at once (as the
# schema has them: a binary COPY must name them exactly)
_COLUMN_TYPES = {
    **dict.fromkeys(
        [
            "pipeline_id",
            "fingerprint",
            "pair_id",
            "entity_hash",
            "chain_hash",
            "parent_node_id",
            "child_node_id",
            "input_position",
            "row_index",
        ],
        "bigint",
    ),
    **dict.fromkeys(
        [
            "tenant_id",
            "node_type",
            "operation",
            "table_name",
            "column_name",
            "metadata",
            "node_operation",
            "text_value",
            "row_key",
            "output_name",
            "input_hash",
            "exact_hash",
            "stored_at",
        ],
        "text",
    ),
    **dict.fromkeys(["is_protected", "value_is_nan"], "integer"),
    "value": "double precision",
}
_INSERT_VALUES = re.compile(r"INSERT INTO (\w+) \(([\w, ]+)\) VALUES \([?, ]+\)(.*)", re.S)


class _Transaction:
    """The statements of one transaction, each answering with the cursor."""

    def __init__(self, cursor: Any):
        self._cursor = cursor

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Any:
        return self._cursor.execute(_pg(sql), params)

    def insert_columns(self, sql: str, columns: Sequence[Sequence[Any]]) -> int:
        """``executemany`` of rows given as columns (one list per placeholder)."""
        return self.executemany(sql, list(zip(*columns, strict=True)))

    def executemany(self, sql: str, rows: Sequence[Sequence[Any]]) -> int:
        """Many rows of one INSERT ... VALUES; returns how many rows it changed.

        The rows are copied into a staging table of this session (COPY costs this process a
        fifth of the work of binding them as parameters), and one INSERT moves them from
        there, under the statement's ON CONFLICT rule. The staging table empties itself at
        the end of the transaction, and is emptied by each move already.
        """
        insert = _INSERT_VALUES.fullmatch(sql)
        if insert is None:
            raise ValueError("only INSERT ... VALUES statements take many rows")
        if not rows:
            return 0
        table, names, rest = insert.groups()
        staged = f"staged_{table}"
        cursor = self._cursor
        cursor.execute(
            f"CREATE TEMP TABLE IF NOT EXISTS {staged} ON COMMIT DELETE ROWS"
            f" AS SELECT * FROM {table} WITH NO DATA"
        )
        with cursor.copy(f"COPY {staged} ({names}) FROM STDIN (FORMAT BINARY)") as copy:
            copy.set_types([_COLUMN_TYPES[name.strip()] for name in names.split(",")])
            for row in rows:
                copy.write_row(row)
        cursor.execute(
            f"WITH moved AS (DELETE FROM {staged} RETURNING {names})"
            f" INSERT INTO {table} ({names}) SELECT {names} FROM moved{rest}"
        )
        return max(0, cursor.rowcount)


class PostgresDatabase:
    def __init__(self, url: str, min_connections: int, max_connections: int, timeout: float):
        if not isinstance(url, str) or not url.startswith(("postgresql://", "postgres://")):
            raise ValueError("PostgresStorage needs a postgresql:// URL")
        if not 1 <= min_connections <= max_connections:
            raise ValueError("need 1 <= min_connections <= max_connections")
        self.url = url
        self._sizes = (min_connections, max_connections)
        self._timeout = float(timeout)
        self._lock = threading.Lock()
        self._pool: Any = None
        # pipelines never change tenant, so ownership checks can be answered from memory
        self.pipeline_tenants: dict[int, str] = {}

    def pool(self) -> Any:
        with self._lock:
            if self._pool is None:
                psycopg, psycopg_pool = _drivers()
                # one plain connection first: a wrong URL fails at once with the server's
                # reason, where the pool would retry until its timeout and then say less
                psycopg.connect(self.url, connect_timeout=max(1, int(self._timeout))).close()
                pool = psycopg_pool.ConnectionPool(
                    self.url,
                    min_size=self._sizes[0],
                    max_size=self._sizes[1],
                    timeout=self._timeout,
                    kwargs={"autocommit": True},
                    open=False,
                )
                pool.open(wait=True, timeout=self._timeout)
                try:
                    self._migrate(pool)
                except BaseException:
                    pool.close()
                    raise
                self._pool = pool
            return self._pool

    def _migrate(self, pool: Any) -> None:
        with pool.connection() as conn, conn.transaction():
            conn.execute("SELECT pg_advisory_xact_lock(%s)", (_MIGRATION_LOCK,))
            conn.execute("CREATE TABLE IF NOT EXISTS quorvane_schema (version INTEGER NOT NULL)")
            row = conn.execute("SELECT max(version) FROM quorvane_schema").fetchone()
            current = row[0] or 0
            for version, script in pending_migrations(POSTGRES_MIGRATIONS, current):
                for statement in statements(script):
                    conn.execute(statement)
                conn.execute("INSERT INTO quorvane_schema (version) VALUES (%s)", (version,))

    def connect(self) -> None:
        self.pool()

    def read(self, sql: str, params: Sequence[Any] = ()) -> list[tuple]:
        with self.pool().connection() as conn:
            return conn.execute(_pg(sql), params).fetchall()

    @contextlib.contextmanager
    def write(self) -> Iterator[_Transaction]:
        """A transaction: all of it is stored, or (on an exception) none of it."""
        with self.pool().connection() as conn, conn.transaction(), conn.cursor() as cursor:
            yield _Transaction(cursor)

    def release_thread(self) -> None:
        """Connections go back to the pool after each call; a thread holds none."""

    def close_all(self) -> None:
        with self._lock:
            pool, self._pool = self._pool, None
        if pool is not None:
            pool.close()


class PostgresStorage(SQLStore):
    """Lineage in a PostgreSQL database (``url``: ``postgresql://user@host/db``), scoped to
    one tenant, through a pool of ``min_connections`` to ``max_connections`` connections.

    The same tables and answers as ``SQLiteStorage``; the database may be shared by several
    processes. The URL's password, if any, never shows in this object's repr.
    """

    def __init__(
        self,
        url: str,
        tenant_id: str = "default",
        *,
        min_connections: int = 1,
        max_connections: int = 8,
        timeout: float = 30.0,
    ):
        super().__init__(
            PostgresDatabase(url, min_connections, max_connections, timeout), tenant_id
        )

    def _node_ids_for(self, tx: Any, pipeline_id: int, fingerprints: set[int]) -> dict[int, int]:
        # one array parameter joined to the nodes: IN lists of bound parameters would be
        # compared row by row wherever the planner chooses a scan of a table it has not
        # analysed yet, which made each call slower than the last
        cursor = tx.execute(
            "SELECT n.fingerprint, n.id FROM nodes n JOIN unnest(?::bigint[]) AS f(fp)"
            " ON n.fingerprint = f.fp WHERE n.tenant_id = ? AND n.pipeline_id = ?",
            (list(fingerprints), self._tenant, pipeline_id),
        )
        return dict(cursor.fetchall())

    def __repr__(self) -> str:
        shown = re.sub(r"//([^:@/]*):[^@/]*@", r"//\1:***@", self._db.url)
        return f"PostgresStorage({shown!r}, tenant_id={self._tenant!r})"


__all__ = ["PostgresStorage"]
