"""What is particular to the SQLite file: WAL, durability settings, threads, atomic batches."""

from __future__ import annotations

import sqlite3
import threading

import pytest

from quorvane.utilities.persistence import SQLiteStorage, StoredNode
from quorvane.utilities.persistence.storage import StoredNode as StoredNodeFromStorage


def node(fp, pid=None):
    return StoredNode(fingerprint=fp, node_type="SOURCE", operation="t.c", pipeline_id=pid)


def test_records_are_importable_from_both_modules():
    assert StoredNodeFromStorage is StoredNode
    with pytest.raises(TypeError):
        StoredNode(1, "SOURCE", "t.c")  # keyword arguments only


@pytest.mark.parametrize(("level", "code"), [("FULL", 2), ("normal", 1), ("EXTRA", 3)])
def test_wal_with_an_explicit_synchronous_level(db_path, level, code):
    storage = SQLiteStorage(db_path, synchronous=level)
    storage.create_pipeline("p")
    conn = storage._db.conn()
    assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    assert conn.execute("PRAGMA synchronous").fetchone()[0] == code
    storage.disconnect()


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"path": ":memory:"}, ValueError),
        ({"path": ""}, ValueError),
        ({"path": 3}, TypeError),
        ({"synchronous": "FULL; DROP TABLE nodes"}, ValueError),
        ({"tenant_id": ""}, ValueError),
        ({"tenant_id": None}, TypeError),
    ],
)
def test_bad_arguments_are_refused(db_path, kwargs, error):
    kwargs = {"path": db_path, **kwargs}
    with pytest.raises(error):
        SQLiteStorage(**kwargs)


def test_what_was_stored_outlives_the_storage_object(db_path):
    first = SQLiteStorage(db_path)
    pid = first.create_pipeline("kept")
    first.store_nodes([node(1, pid), node(2, pid)])
    first.complete_pipeline(pid, "completed")
    first.disconnect()
    second = SQLiteStorage(db_path)
    assert second.get_pipeline(pid)["status"] == "completed"
    assert second.get_fingerprint_node_map(pid).keys() == {1, 2}
    # and a plain sqlite3 connection sees the same tables
    with sqlite3.connect(db_path) as conn:
        assert conn.execute("SELECT count(*) FROM nodes").fetchone()[0] == 2


def test_a_failing_batch_stores_nothing(db_path):
    storage = SQLiteStorage(db_path)
    pid = storage.create_pipeline("p")
    with pytest.raises(OverflowError):
        storage.store_nodes([node(1, pid), node(2**70, pid)])
    assert storage.get_nodes(pid) == []


def test_each_thread_has_its_own_connection(db_path):
    storage = SQLiteStorage(db_path)
    pid = storage.create_pipeline("p")
    connections = {}

    def work(n):
        storage.store_nodes([node(100 + n, pid)])
        connections[n] = storage._db.conn()
        storage.release_thread_connection()

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len({id(c) for c in connections.values()}) == 4
    assert storage.get_fingerprint_node_map(pid).keys() == {100, 101, 102, 103}


def test_disconnect_then_use_again(db_path):
    storage = SQLiteStorage(db_path)
    pid = storage.create_pipeline("p")
    storage.disconnect()
    storage.store_nodes([node(5, pid)])  # opens a fresh connection
    assert storage.get_fingerprint_node_map(pid).keys() == {5}


def test_the_current_pipeline_is_the_last_created(db_path):
    storage = SQLiteStorage(db_path)
    storage.create_pipeline("old")
    pid = storage.create_pipeline("new")
    storage.register_source(0, "t", "c", is_protected=False)
    storage.store_nodes([node(1)])  # no pipeline id on the record
    assert storage.get_sources(pid)[0]["table"] == "t"
    assert storage.get_fingerprint_node_map(pid).keys() == {1}


def test_a_version_one_file_is_migrated_and_a_newer_one_refused(db_path):
    from quorvane.utilities.persistence._schema import (
        SCHEMA_VERSION,
        SQLITE_MIGRATIONS,
        statements,
    )

    with sqlite3.connect(db_path) as conn:
        for statement in statements(SQLITE_MIGRATIONS[0][1]):
            conn.execute(statement)
        conn.execute(
            "INSERT INTO pipelines VALUES (1, 'acme', 'p', 'completed', NULL, NULL, 'now', NULL)"
        )
        conn.execute(
            "INSERT INTO pipeline_results VALUES (1, 'acme', 1, 'r', 'o', 9, 1.0, 0, NULL, 'now')"
        )
        conn.execute("PRAGMA user_version=1")
    acme = SQLiteStorage(db_path, "acme")
    assert acme.get_results("r")[0]["fingerprint"] == 9
    # a run of before per-element logs cannot name one applicant's lineage
    assert acme.read_element_lineage(1, "o", "r") is None and acme.element_results(1) == []
    acme.for_tenant("beta").store_results(0, [("r", "o", 5, 2.0, None)])
    acme.store_results(0, [("r", "o", 6, 2.0, None)])
    assert sorted(r["fingerprint"] for r in acme.get_results("r")) == [6, 9]
    acme.disconnect()
    with sqlite3.connect(db_path) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
        conn.execute("PRAGMA user_version=99")
    with pytest.raises(RuntimeError, match="newer"):
        SQLiteStorage(db_path).list_pipelines()
