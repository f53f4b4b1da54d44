"""Real backends for the persistence tests: SQLite files and a loopback service."""

from __future__ import annotations

import threading

import pytest
from servers import KEYS, start_service

from quorvane.utilities.persistence import HostedStorage, PostgresStorage, SQLiteStorage


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "lineage.db")


@pytest.fixture
def service(tmp_path):
    running = start_service(str(tmp_path / "service.db"), KEYS)
    yield running
    running.stop()


@pytest.fixture(params=["sqlite", "postgres", "hosted"])
def backends(request, tmp_path):
    """A pair (storage of tenant acme, storage of tenant beta) on the same real store."""
    if request.param == "hosted":
        running = start_service(str(tmp_path / "service.db"), KEYS)
        acme, beta = (
            HostedStorage(running.url, "key-acme-7f3a"),
            HostedStorage(running.url, "key-beta-91c2"),
        )
        yield acme, beta
        acme.disconnect()
        beta.disconnect()
        running.stop()
        return
    if request.param == "sqlite":
        acme = SQLiteStorage(str(tmp_path / "shared.db"), "acme")
    else:
        acme = PostgresStorage(request.getfixturevalue("pg_url"), "acme")
    yield acme, acme.for_tenant("beta")
    acme.disconnect()


@pytest.fixture
def backend(backends):
    storage = backends[0]
    storage.connect()
    return storage


class RecordingStorage(SQLiteStorage):
    """A real SQLite store that notes each write call (kind, thread) and can be slowed,
    blocked or made to fail for a number of calls."""

    def __init__(self, path, *, fail_first=0, delay=0.0, gate=None):
        super().__init__(path)
        self.calls: list[tuple[str, int, str]] = []
        self.fail_left = fail_first
        self.delay = delay
        self.gate = gate
        self.changed = threading.Condition()

    def _note(self, kind, count):
        if self.gate is not None:
            self.gate.wait(30)
        if self.delay:
            threading.Event().wait(self.delay)
        with self.changed:
            if self.fail_left:
                self.fail_left -= 1
                raise OSError("storage temporarily unavailable")
            self.calls.append((kind, count, threading.current_thread().name))
            self.changed.notify_all()

    def wait_for(self, predicate, timeout=30.0):
        with self.changed:
            return self.changed.wait_for(lambda: predicate(self), timeout)

    def stored(self, kind):
        return sum(count for k, count, _ in self.calls if k == kind)

    def store_nodes(self, nodes):
        self._note("nodes", len(nodes))
        return super().store_nodes(nodes)

    def store_edges(self, edges, pipeline_id=None):
        self._note("edges", len(edges))
        return super().store_edges(edges, pipeline_id)

    def store_row_values(self, values):
        self._note("row_values", len(values))
        return super().store_row_values(values)

    def register_source(self, pair_id, table, column, is_protected=False, *, pipeline_id=None):
        self._note("source", 1)
        return super().register_source(
            pair_id, table, column, is_protected, pipeline_id=pipeline_id
        )


@pytest.fixture
def recording_storage(db_path):
    storage = RecordingStorage(db_path)
    storage.connect()
    yield storage
    storage.disconnect()
