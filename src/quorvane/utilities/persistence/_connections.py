"""One SQLite connection per thread for one database file, and write transactions."""

from __future__ import annotations

import contextlib
import os
import re
import sqlite3
import threading
from collections.abc import Iterator, Sequence
from itertools import chain
from typing import Any

from ._schema import SQLITE_MIGRATIONS, pending_migrations, statements

# the bound parameters of one statement: within what every SQLite build allows
_MAX_PARAMETERS = 999
_VALUES = re.compile(r"(INSERT INTO .*? VALUES )(\([?, ]+\))(.*)", re.S)


class Transaction:
    """The statements of one write transaction, on the connection that holds it."""

    def __init__(self, conn: sqlite3.Connection):
        self._conn = conn

    def execute(self, sql: str, params: Sequence[Any] = ()) -> sqlite3.Cursor:
        return self._conn.execute(sql, params)

    def insert_columns(self, sql: str, columns: Sequence[Sequence[Any]]) -> int:
        """``executemany`` of rows given as columns (one list per placeholder)."""
        return self.executemany(sql, list(zip(*columns, strict=True)))

    def executemany(self, sql: str, rows: Sequence[Sequence[Any]]) -> int:
        """One INSERT ... VALUES of many rows; returns how many rows it changed. The rows go
        in statements of many rows each, which costs SQLite a third less than a statement
        per row."""
        values = _VALUES.fullmatch(sql)
        if values is None:
            raise ValueError("only INSERT ... VALUES statements take many rows")
        shape = values.groups()
        per = max(1, _MAX_PARAMETERS // len(shape[1].split(",")))
        whole = len(rows) - len(rows) % per
        return self._insert(shape, rows[:whole], per) + self._insert(shape, rows[whole:], None)

    def _insert(
        self, shape: tuple[str, ...], rows: Sequence[Sequence[Any]], per: int | None
    ) -> int:
        """``rows`` in statements of ``per`` rows each (None: all in one statement)."""
        if not rows:
            return 0
        head, row, tail = shape
        per = per or len(rows)
        statement = head + ", ".join([row] * per) + tail
        groups = (
            tuple(chain.from_iterable(rows[at : at + per])) for at in range(0, len(rows), per)
        )
        return max(0, self._conn.executemany(statement, groups).rowcount)


# PRAGMA values cannot be bound as parameters, so the setting is checked against this list.
SYNCHRONOUS_LEVELS = ("OFF", "NORMAL", "FULL", "EXTRA")


class Database:
    """A SQLite file in WAL mode; every thread that uses it gets a connection of its own.

    The background writer's thread therefore owns its own connection, and request threads
    of the service theirs. ``close_all`` closes every connection handed out; a thread that
    asks again afterwards gets a fresh one.
    """

    def __init__(self, path: str | os.PathLike[str], synchronous: str, timeout: float):
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
        path = os.fspath(path)
        if path in ("", ":memory:") or path.startswith("file:"):
            raise ValueError(
                "SQLiteStorage needs the path of a database file "
                "(an in-memory database cannot be shared between threads)"
            )
        level = str(synchronous).upper()
        if level not in SYNCHRONOUS_LEVELS:
            raise ValueError(
                f"synchronous must be one of {SYNCHRONOUS_LEVELS}, not {synchronous!r}"
            )
        self.path = path
        self.synchronous = level
        self.timeout = float(timeout)
        self._local = threading.local()
        self._lock = threading.Lock()
        self._write_turn = threading.Lock()
        self._open: dict[int, sqlite3.Connection] = {}
        self._generation = 0
        self._schema_ready = False
        # pipelines never change tenant, so ownership checks can be answered from memory
        self.pipeline_tenants: dict[int, str] = {}

    def conn(self) -> sqlite3.Connection:
        held = getattr(self._local, "held", None)
        if held is not None and held[0] == self._generation:
            return held[1]
        conn = self._connect()
        with self._lock:
            self._open[id(conn)] = conn
            self._local.held = (self._generation, conn)
        return conn

    def _connect(self) -> sqlite3.Connection:
        # autocommit mode: transactions are opened explicitly with BEGIN IMMEDIATE, so that
        # two writers never deadlock upgrading a read lock
        conn = sqlite3.connect(
            self.path, timeout=self.timeout, isolation_level=None, check_same_thread=False
        )
        try:
            mode = conn.execute("PRAGMA journal_mode=WAL").fetchone()[0]
            if str(mode).lower() != "wal":
                raise sqlite3.OperationalError(f"cannot switch {self.path!r} to WAL mode")
            conn.execute(f"PRAGMA synchronous={self.synchronous}")
            # bulk writes touch large indexes: a 64 MiB page cache keeps them in memory
            conn.execute("PRAGMA cache_size=-65536")
            self._ensure_schema(conn)
        except BaseException:
            conn.close()
            raise
        return conn

    def _ensure_schema(self, conn: sqlite3.Connection) -> None:
        with self._lock:
            if self._schema_ready:
                return
            # SQLite runs DDL inside transactions: a migration is applied whole or not at all
            conn.execute("BEGIN IMMEDIATE")
            try:
                current = conn.execute("PRAGMA user_version").fetchone()[0]
                for version, script in pending_migrations(SQLITE_MIGRATIONS, current):
                    for statement in statements(script):
                        conn.execute(statement)
                    conn.execute(f"PRAGMA user_version={int(version)}")
                conn.execute("COMMIT")
            except BaseException:
                conn.execute("ROLLBACK")
                raise
            self._schema_ready = True

    def read(self, sql: str, params: Sequence[Any] = ()) -> list[tuple]:
        return self.conn().execute(sql, params).fetchall()

    def connect(self) -> None:
        self.conn()

    @contextlib.contextmanager
    def write(self) -> Iterator[Transaction]:
        """A write transaction: all of it is stored, or (on an exception) none of it.

        SQLite has one writer at a time. The threads of this process wait for their turn on
        a lock, woken as soon as it is free; waiting on SQLite's own lock instead means
        sleeping and polling, which let a few writers starve the others for seconds.
        """
        conn = self.conn()
        if not self._write_turn.acquire(timeout=self.timeout):
            raise sqlite3.OperationalError("database is locked")
        try:
            conn.execute("BEGIN IMMEDIATE")
            try:
                yield Transaction(conn)
            except BaseException:
                conn.execute("ROLLBACK")
                raise
            conn.execute("COMMIT")
        finally:
            self._write_turn.release()

    def release_thread(self) -> None:
        """Close the calling thread's connection (for short-lived threads)."""
        held = getattr(self._local, "held", None)
        self._local.held = None
        if held is not None:
            with self._lock:
                self._open.pop(id(held[1]), None)
            held[1].close()

    def close_all(self) -> None:
        with self._lock:
            conns = list(self._open.values())
            self._open.clear()
            self._generation += 1
        for conn in conns:
            conn.close()
