"""The background writer, against a real SQLite store that can be slowed down or made to fail."""

from __future__ import annotations

import logging
import threading

import pytest

from quorvane.utilities.persistence import (
    AsyncWriter,
    SQLiteStorage,
    StoredEdge,
    StoredNode,
    StoredRowValue,
    WriterConfig,
)

LONG = 1000.0  # an interval that never elapses during a test


def node(fp, pid):
    return StoredNode(fingerprint=fp, node_type="BINARY", operation="add", pipeline_id=pid)


def value(i, pid):
    return StoredRowValue(
        pipeline_id=pid, row_index=i, fingerprint=i, node_operation="add", value=float(i)
    )


@pytest.fixture
def store(recording_storage):
    return recording_storage


def config(**kw):
    base = {
        "batch_size": 10,
        "flush_interval": LONG,
        "queue_size": 10000,
        "retry_backoff": 0.001,
        "max_backoff": 0.002,
    }
    base.update(kw)
    return WriterConfig(**base)


def assert_counts_add_up(stats):
    assert stats["queued"] == stats["written"] + stats["failed"] + stats["pending"]


def test_a_full_batch_wakes_the_worker_before_the_interval(store):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config(batch_size=5))
    writer.start()
    for fp in range(4):
        writer.write_node(node(fp, pid))
    writer.write_node(node(4, pid))
    assert store.wait_for(lambda s: s.stored("nodes") == 5)
    writer.stop()


def test_a_partial_batch_goes_out_when_the_interval_elapses(store):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config(batch_size=1000, flush_interval=0.02))
    writer.start()
    writer.write_node(node(1, pid))
    assert store.wait_for(lambda s: s.stored("nodes") == 1)
    writer.stop()


def test_flush_stores_everything_in_order(store):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config(batch_size=23))
    writer.start()
    writer.register_source(0, "loans", "income", False)
    for fp in range(1, 301):
        writer.write_node(node(fp, pid))
        if fp > 1:  # edges need their nodes to be stored first
            writer.write_edges(
                [StoredEdge(parent_fingerprint=fp - 1, child_fingerprint=fp, input_position=0)]
            )
    writer.write_row_values([value(i, pid) for i in range(50)])
    assert writer.flush(timeout=60) is True
    assert len(store.get_nodes(pid)) == 300
    assert len(store.get_edges(pid)) == 299
    assert len(store.get_row_values(pid)) == 50
    assert store.get_sources(pid)[0]["column"] == "income"
    stats = writer.get_stats()
    assert stats["written"] == stats["queued"] == 1 + 300 + 299 + 50
    assert stats["pending"] == stats["failed"] == 0
    # the writer stored from its own thread, never the caller's
    assert {thread for _, _, thread in store.calls} == {"quorvane-async-writer"}
    writer.stop()


def test_flush_without_a_started_thread_stores_in_the_caller(store):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config())
    writer.write_node(node(1, pid))
    assert writer.flush(timeout=10) is True
    assert store.get_fingerprint_node_map(pid).keys() == {1}


def test_stop_drains_what_was_handed_over(store):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config(batch_size=3))
    writer.start()
    for fp in range(20):
        writer.write_node(node(fp, pid))
    assert writer.stop() is True
    assert len(store.get_nodes(pid)) == 20


def test_stop_with_a_slow_backend_is_bounded_and_loses_nothing(store, caplog):
    pid = store.create_pipeline("p")
    gate = threading.Event()
    store.gate = gate
    writer = AsyncWriter(store, config(batch_size=2))
    writer.start()
    for fp in range(6):
        writer.write_node(node(fp, pid))
    with caplog.at_level(logging.ERROR, logger="quorvane.utilities.persistence.writer"):
        assert writer.stop(timeout=0.05) is False
    assert "not yet stored" in caplog.text
    gate.set()  # the backend recovers: the thread finishes its work in the background
    assert store.wait_for(lambda s: s.stored("nodes") == 6)
    writer._thread.join(30)
    assert writer.get_stats()["written"] == 6


def test_back_pressure_blocks_instead_of_dropping(store):
    pid = store.create_pipeline("p")
    gate = threading.Event()
    store.gate = gate
    writer = AsyncWriter(store, config(batch_size=1, queue_size=2, flush_interval=0.01))
    writer.start()
    done = threading.Event()

    def produce():
        for fp in range(10):
            writer.write_node(node(fp, pid))
        done.set()

    producer = threading.Thread(target=produce)
    producer.start()
    # with the backend stuck, the producer can hand over at most the queue and the batch in
    # flight (which took what had piled up: at most a queue's worth)
    assert not done.wait(0.3)
    assert writer.get_stats()["queued"] <= 4
    gate.set()
    producer.join(30)
    assert done.is_set()
    assert writer.flush(timeout=30) is True
    assert len(store.get_nodes(pid)) == 10
    writer.stop()


def test_a_full_queue_without_a_thread_is_drained_by_the_caller(store):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config(batch_size=2, queue_size=3))
    for fp in range(10):
        writer.write_node(node(fp, pid))
    stats = writer.get_stats()
    assert stats["pending"] <= 3 and stats["written"] + stats["pending"] == 10
    assert writer.stop() is True
    assert len(store.get_nodes(pid)) == 10


def test_a_backend_failing_for_a_while_is_retried(store, caplog):
    pid = store.create_pipeline("p")
    store.fail_left = 3
    writer = AsyncWriter(store, config(batch_size=100, max_retries=5))
    writer.start()
    for fp in range(30):
        writer.write_node(node(fp, pid))
    writer.write_row_values([value(i, pid) for i in range(5)])
    with caplog.at_level(logging.WARNING, logger="quorvane.utilities.persistence.writer"):
        assert writer.flush(timeout=30) is True
    stats = writer.get_stats()
    assert (stats["written"], stats["failed"], stats["retried"]) == (35, 0, 3)
    assert_counts_add_up(stats)
    assert caplog.text.count("retrying") == 3
    assert len(store.get_nodes(pid)) == 30 and len(store.get_row_values(pid)) == 5
    writer.stop()


def test_a_backend_that_keeps_failing_is_counted_and_logged(store, caplog):
    pid = store.create_pipeline("p")
    store.fail_left = 10**6
    writer = AsyncWriter(store, config(max_retries=2))
    writer.start()
    for fp in range(4):
        writer.write_node(node(fp, pid))
    with caplog.at_level(logging.ERROR, logger="quorvane.utilities.persistence.writer"):
        assert writer.flush(timeout=30) is False
    stats = writer.get_stats()
    assert (stats["failed"], stats["written"], stats["retried"]) == (4, 0, 2)
    assert_counts_add_up(stats)
    assert "gave up storing 4 nodes record(s) after 3 attempts" in caplog.text
    store.fail_left = 0  # once the backend is back, later records are stored
    writer.write_node(node(9, pid))
    assert writer.flush(timeout=30) is True
    assert store.get_fingerprint_node_map(pid).keys() == {9}
    writer.stop()


def test_writes_after_stop_are_refused_and_reported(store, caplog):
    writer = AsyncWriter(store, config())
    writer.start()
    assert writer.stop() is True
    with (
        caplog.at_level(logging.ERROR, logger="quorvane.utilities.persistence.writer"),
        pytest.raises(RuntimeError, match="stopped"),
    ):
        writer.write_node(node(1, None))
    assert writer.get_stats()["failed"] == 1
    assert "were not stored" in caplog.text
    assert writer.flush(timeout=5) is False
    with pytest.raises(RuntimeError):
        writer.start()


def test_stop_reports_records_that_failed(store):
    pid = store.create_pipeline("p")
    store.fail_left = 10**6
    writer = AsyncWriter(store, config(max_retries=0))
    writer.start()
    writer.write_node(node(1, pid))
    assert writer.stop(timeout=30) is False


def test_concurrent_flushes_both_report_a_failure(store):
    pid = store.create_pipeline("p")
    store.fail_left, store.gate = 10**6, threading.Event()
    writer = AsyncWriter(store, config(max_retries=0))
    writer.start()
    writer.write_node(node(1, pid))
    results = []
    flushes = [threading.Thread(target=lambda: results.append(writer.flush(30))) for _ in "ab"]
    for flush in flushes:
        flush.start()
    for _ in range(500):  # both flushes are waiting before the batch fails
        if writer._flush_waiters == 2:
            break
        threading.Event().wait(0.01)
    store.gate.set()
    for flush in flushes:
        flush.join(30)
    assert results == [False, False]
    store.fail_left = 0
    writer.write_node(node(2, pid))
    assert writer.flush(timeout=30) is True  # the failure was reported; new records are fine
    writer.stop()


@pytest.mark.parametrize("kind", ["nodes", "row_values"])
def test_a_refused_record_is_set_apart_from_the_good_ones(store, caplog, kind):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config(batch_size=100, max_retries=5))
    bad = 2**70  # no 64-bit column holds it: the backend refuses the record
    for fp in [*range(50), bad, *range(50, 99)]:
        if kind == "nodes":
            writer.write_node(node(fp, pid))
        else:
            writer.write_row_values([value(fp, pid)])
    with caplog.at_level(logging.ERROR, logger="quorvane.utilities.persistence.writer"):
        assert writer.flush(timeout=30) is False
    stats = writer.get_stats()
    assert (stats["written"], stats["failed"], stats["retried"]) == (99, 1, 0)
    assert "refused" in caplog.text and "64-bit" in caplog.text
    stored = store.get_nodes(pid) if kind == "nodes" else store.get_row_values(pid)
    assert len(stored) == 99


def test_back_pressure_with_a_timeout_refuses_loudly(store):
    pid = store.create_pipeline("p")
    store.gate = threading.Event()
    writer = AsyncWriter(store, config(batch_size=1, queue_size=1, put_timeout=0.05))
    writer.start()
    with pytest.raises(TimeoutError, match="queue stayed full"):
        for fp in range(10):
            writer.write_node(node(fp, pid))
    store.gate.set()
    assert writer.flush(timeout=30) is False
    stats = writer.get_stats()
    assert stats["failed"] == 1 and stats["written"] == stats["queued"] - 1
    writer.stop()


def test_edges_whose_nodes_were_not_stored_count_as_failed(store, caplog):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config(max_retries=0))
    writer.write_node(node(1, pid))
    assert writer.flush(timeout=30) is True
    store.fail_left = 1  # the next call, the batch's nodes, fails for good
    writer.write_node(node(2, pid))
    writer.write_edges([StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=0)])
    writer.write_edges([StoredEdge(parent_fingerprint=1, child_fingerprint=1, input_position=0)])
    with caplog.at_level(logging.ERROR, logger="quorvane.utilities.persistence.writer"):
        assert writer.flush(timeout=30) is False
    stats = writer.get_stats()
    # stored: node 1 and the edge 1 -> 1; lost: node 2 and the edge 1 -> 2
    assert (stats["written"], stats["failed"]) == (2, 2)
    assert_counts_add_up(stats)
    assert "1 of 2 edges record(s) could not be stored" in caplog.text
    assert len(store.get_edges(pid)) == 1
    writer.stop()


def test_edges_resolve_in_the_pipeline_of_their_node(store):
    first = store.create_pipeline("first")
    writer = AsyncWriter(store, config())
    writer.start()
    writer.write_node(node(1, first))
    writer.write_node(node(2, first))
    writer.write_edges([StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=0)])
    store.create_pipeline("second")  # becomes the store's current pipeline meanwhile
    assert writer.flush(timeout=30)
    assert len(store.get_edges(first)) == 1
    writer.stop()


def test_the_writer_thread_uses_its_own_connection(db_path):
    storage = SQLiteStorage(db_path)
    pid = storage.create_pipeline("p")
    main_conn = storage._db.conn()
    seen = []
    original = storage.store_nodes

    def store_nodes(nodes):
        seen.append(storage._db.conn())
        return original(nodes)

    storage.store_nodes = store_nodes
    writer = AsyncWriter(storage, config())
    writer.start()
    writer.write_node(node(1, pid))
    writer.flush(timeout=30)
    writer.stop()
    assert seen and seen[0] is not main_conn
    storage.disconnect()


@pytest.mark.parametrize(
    "kw",
    [
        {"batch_size": 0},
        {"queue_size": 0},
        {"flush_interval": 0},
        {"max_retries": -1},
        {"retry_backoff": -1.0},
        {"stop_timeout": 0},
    ],
)
def test_bad_writer_settings_are_refused(kw):
    with pytest.raises(ValueError):
        WriterConfig(**kw)


def test_a_batch_is_one_backend_call_per_kind(store):
    pid = store.create_pipeline("p")
    writer = AsyncWriter(store, config(batch_size=100))
    writer.register_source(0, "t", "c", False)
    for fp in range(1, 41):  # node, edge, node, edge, ... as a tracker hands them over
        writer.write_node(node(fp, pid))
        writer.write_edges(
            [StoredEdge(parent_fingerprint=fp, child_fingerprint=fp, input_position=0)]
        )
    writer.write_row_values([value(0, pid)])
    assert writer.flush(timeout=30) is True
    assert [(kind, count) for kind, count, _ in store.calls] == [
        ("source", 1),
        ("nodes", 40),
        ("edges", 40),
        ("row_values", 1),
    ]
    assert len(store.get_edges(pid)) == 40
