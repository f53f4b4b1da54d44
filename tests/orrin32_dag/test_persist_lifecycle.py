"""A DAGTracker with an API key against the lineage service on loopback: the whole run,
the context manager, and the faults it must survive."""

from __future__ import annotations

import gc
import logging
import warnings

import pandas as pd
import pytest
from persist_helpers import KEY, Service, buffer_values, build_run, closed_port_url

from quorvane.utilities.orrin32_dag import DAGTracker, PersistenceRequiredError
from quorvane.utilities.persistence import StoredNode


@pytest.fixture
def service(tmp_path):
    running = Service(str(tmp_path / "service.db"))
    yield running
    running.stop()


def tracker_for(service, **kw):
    return DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="loans", **kw)


def test_a_run_is_streamed_written_in_bulk_and_reported(service):
    tracker = tracker_for(service)
    writer = tracker._writer
    assert writer and tracker._pipeline_id
    build_run(tracker)
    buffer_values(tracker, 4)
    assert tracker.flush() is True
    pid = tracker._pipeline_id
    store = service.client()
    stored = store.get_nodes(pid)
    distinct = {node.provenance for node in tracker._nodes.values()}
    assert {n.fingerprint for n in stored} == distinct
    assert tracker._nodes_written == len(distinct)
    assert len(store.get_edges(pid)) == tracker._edges_written > 0
    assert len(store.get_row_values(pid)) == 4 and tracker._value_buffer == []
    (sync,) = store.get_dashboard_syncs()
    assert sync["payload"]["pipeline"]["node_count"] == tracker._nodes_written
    stats = tracker.get_persistence_stats()
    assert stats["nodes_written"] == tracker._nodes_written and stats["failed"] == 0
    assert stats["queued"] == stats["written"]
    # a second flush hands over new values but neither writes the DAG nor reports again
    buffer_values(tracker, 2)
    assert tracker.flush() is True
    assert len(store.get_dashboard_syncs()) == 1
    tracker.disable_persistence()
    record = store.get_pipeline(pid)
    assert record["status"] == "completed" and record["git_commit"]
    assert record["config"]["versions"]["pandas"] == pd.__version__
    assert not writer._thread.is_alive()


def test_nodes_reach_storage_as_they_are_created(service):
    tracker = tracker_for(service)
    build_run(tracker)
    tracker._writer.flush(timeout=30)  # only the streamed records, no bulk write yet
    stored = service.client().get_nodes(tracker._pipeline_id)
    source = next(n for n in stored if n.node_type == "SOURCE" and n.column_name == "debt")
    assert (source.table_name, source.is_protected, source.operation) == (
        "applicants",
        True,
        "applicants.debt",
    )
    info = tracker.decode_full(source.fingerprint)
    assert (source.entity_hash, source.chain_hash) == (info.entity, info.chain)
    assert service.client().get_edges(tracker._pipeline_id)
    tracker.disable_persistence()


def test_the_next_source_after_a_flush_opens_a_new_pipeline(service):
    tracker = tracker_for(service)
    build_run(tracker)
    tracker.flush()
    first = tracker._pipeline_id
    tracker.create_source_node("applicants", "income", 1)
    second = tracker._pipeline_id
    store = service.client()
    assert second != first
    assert store.get_pipeline(first)["status"] == "completed"
    assert store.get_pipeline(second)["status"] == "running"
    assert (tracker._dashboard_synced, tracker._nodes_persisted) == (False, False)
    tracker.flush()
    assert len(store.get_dashboard_syncs()) == 2
    tracker.disable_persistence()


def test_row_values_buffered_before_persistence_go_out_with_the_first_flush(service):
    tracker = DAGTracker(service_url=service.url, pipeline_name="late")
    tracker.register("applicants", "income")
    tracker.register("applicants", "gender", protected=True)
    buffer_values(tracker, 3)
    assert tracker.flush() is True and len(tracker._value_buffer) == 3  # no writer: kept
    tracker._api_key = KEY
    tracker.enable_persistence()
    tracker.flush()
    assert tracker._value_buffer == []
    store = service.client()
    assert len(store.get_row_values(0)) == 3
    # the pairs known when persistence started were registered through the writer
    assert store.get_sources(tracker._pipeline_id) == [
        {"pair_id": 0, "table": "applicants", "column": "income", "is_protected": False},
        {"pair_id": 1, "table": "applicants", "column": "gender", "is_protected": True},
    ]
    tracker.disable_persistence()


def test_the_context_manager_completes_the_run(service):
    with tracker_for(service) as tracker:
        build_run(tracker)
        writer, pid = tracker._writer, tracker._pipeline_id
    assert service.client().get_pipeline(pid)["status"] == "completed"
    assert tracker._writer is None and tracker._storage is None
    assert not writer._thread.is_alive()


def test_a_block_left_by_an_exception_stays_failed(service):
    with pytest.raises(ZeroDivisionError), tracker_for(service) as tracker:
        build_run(tracker)
        writer, pid = tracker._writer, tracker._pipeline_id
        raise ZeroDivisionError
    record = service.client().get_pipeline(pid)
    assert record["status"] == "failed"
    assert tracker._writer is None and tracker._storage is None and tracker._pipeline_id is None
    assert not writer._thread.is_alive()
    assert len(service.client().get_nodes(pid)) > 0  # the run's lineage was still flushed


class _Recorder:
    """Stands in for storage and writer to check the order of the closing calls."""

    def __init__(self, calls, flush_error=None):
        self.calls = calls
        self.flush_error = flush_error

    def complete_pipeline(self, pipeline_id, status="completed"):
        self.calls.append(("complete", status))

    def disconnect(self):
        self.calls.append(("disconnect",))

    def stop(self, timeout=None):
        self.calls.append(("stop",) if timeout is None else ("stop", timeout))

    def flush(self, timeout=None):
        self.calls.append(("flush",))
        if self.flush_error:
            raise self.flush_error

    def get_fingerprint_node_map(self, pipeline_id):
        return {}


FAILED_CLOSE = [("flush",), ("complete", "failed"), ("stop",), ("disconnect",)]


@pytest.mark.parametrize(
    ("block_error", "flush_error", "expected"),
    [
        (None, None, [("flush",), ("stop",), ("complete", "completed"), ("disconnect",)]),
        (KeyError, None, FAILED_CLOSE),
        # a flush that fails still closes the run (as failed) and stops the writer
        (None, OSError, FAILED_CLOSE),
        (KeyError, OSError, FAILED_CLOSE),
    ],
)
def test_closing_calls_of_the_context_manager(block_error, flush_error, expected):
    # exception classes, not instances: a raised instance kept in the parameter list would
    # keep this test's frame (and its tracker) alive through its traceback
    calls = []
    tracker = DAGTracker()
    tracker._storage = tracker._writer = _Recorder(calls, flush_error and flush_error("down"))
    tracker._pipeline_id = 5
    tracker._dashboard_synced = True
    raised = flush_error or block_error
    with pytest.raises(raised) if raised else _nothing(), tracker:
        if block_error:
            raise block_error("boom")
    assert calls == expected
    assert (tracker._writer, tracker._storage, tracker._pipeline_id) == (None, None, None)


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_enabling_again_stops_the_running_writer(service):
    tracker = tracker_for(service)
    first = tracker._writer
    tracker.enable_persistence()
    assert tracker._writer is not first
    assert not first._thread.is_alive()
    tracker.disable_persistence()


def _one_warning(caught):
    relevant = [w for w in caught if issubclass(w.category, UserWarning)]
    assert len(relevant) == 1
    text = str(relevant[0].message)
    assert text.startswith("Persistence initialization failed: ")
    assert text.endswith("\nContinuing in memory-only mode.")
    return text


@pytest.mark.parametrize(
    ("where", "key"),
    [
        ("down", KEY),  # the service is not running
        ("none", KEY),  # no service URL at all
        ("service", "sk-wrong-key-0000"),  # the service refuses the key
        ("down", "sk-wrong-key-0000"),
    ],
)
def test_a_failed_start_warns_once_and_the_run_goes_on(service, where, key, caplog):
    url = {"down": closed_port_url(), "none": "", "service": service.url + "/"}[where]
    with warnings.catch_warnings(record=True) as caught, caplog.at_level(logging.DEBUG):
        warnings.simplefilter("always")
        tracker = DAGTracker(api_key=key, service_url=url, pipeline_name="down")
        text = _one_warning(caught)
        assert tracker._writer is None and tracker._storage is not None
        build_run(tracker)  # memory-only mode: the pipeline itself runs to its end
        assert tracker.flush() is True
        assert tracker.get_persistence_stats() is None
        tracker.disable_persistence()
    assert tracker._storage is None
    assert key not in text and key not in caplog.text
    assert len(tracker._nodes) == 8


@pytest.mark.parametrize(
    ("argument", "setting", "where", "key", "raised"),
    [
        (True, None, "down", KEY, "Persistence initialization failed"),
        (None, "1", "service", "sk-wrong-key-0000", "Persistence initialization failed"),
        (None, "yes", "service", None, "no api_key"),
        (None, "maybe", "service", KEY, "must be 1 or 0"),
        (False, "1", "down", KEY, None),  # the argument wins over the setting
        (None, "0", "down", KEY, None),
    ],
)
def test_a_required_trail_raises_at_the_start_instead_of_warning(
    service, monkeypatch, argument, setting, where, key, raised
):
    if setting is not None:
        monkeypatch.setenv("QUORVANE_REQUIRE_PERSISTENCE", setting)
    url = {"down": closed_port_url(), "service": service.url}[where]
    make = lambda: DAGTracker(  # noqa: E731
        api_key=key, service_url=url, pipeline_name="must", require_persistence=argument
    )
    if raised is None:
        with pytest.warns(UserWarning, match="memory-only"):
            assert make()._writer is None
        return
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # raised, not warned
        with pytest.raises((PersistenceRequiredError, ValueError), match=raised):
            make()


class _LosingWriter:
    """A writer that had to give records up."""

    def write_node(self, node):
        pass

    def write_edges(self, edges):
        pass

    def flush(self, timeout):
        return False

    def get_stats(self):
        return {"failed": 2, "pending": 1}

    def stop(self, timeout=None):
        pass


@pytest.mark.parametrize("required", [True, False])
def test_a_required_trail_raises_at_flush_when_records_were_lost(service, required):
    tracker = tracker_for(service, require_persistence=required)
    running, tracker._writer = tracker._writer, _LosingWriter()
    running.stop()
    build_run(tracker)
    if required:
        with pytest.raises(PersistenceRequiredError, match="2 given up, 1 not stored"):
            tracker.flush(timeout=1)
    else:
        assert tracker.flush(timeout=1) is True
    # the run itself was still written in bulk: what could be kept was kept
    assert tracker._nodes_persisted and tracker._nodes_written > 0
    tracker.disable_persistence()


@pytest.mark.parametrize("middle", ["evicted", "constant"])
def test_an_input_without_an_edge_keeps_the_positions_of_the_others(middle):
    written = []

    class Writer:
        def write_node(self, node):
            written.append(node)

        def write_edges(self, edges):
            written.append(edges)

    tracker = DAGTracker()
    a = tracker.create_source_node("t", "a", 11)
    b = (
        tracker.log_constant(2.5)
        if middle == "constant"
        else tracker.create_source_node("t", "b", 12)
    )
    c = tracker.create_source_node("t", "c", 13)
    tracker._writer = Writer()
    node_id = tracker._create_node(tracker._nodes[a].node_type, "f", [a, b, c], 99)
    if middle == "evicted":
        del tracker._nodes[b]  # as eviction would leave it
    written.clear()
    tracker._persist_node(tracker._nodes[node_id])
    stored, edges = written
    assert isinstance(stored, StoredNode) and stored.fingerprint == 99
    assert [(e.parent_fingerprint, e.input_position) for e in edges] == [(11, 0), (13, 2)]
    tracker._writer = None


def test_a_wrapped_frame_pipeline_end_to_end(service):
    import pandas as pd

    from quorvane.utilities.orrin32_dag import wrap_dataframe_dag

    df = pd.DataFrame({"income": [5200.0, 3100.0], "debt": [800.0, 1500.0], "gender": ["f", "m"]})
    with tracker_for(service, tenant_id="acme") as tracker:
        frame = wrap_dataframe_dag(df, tracker, "applicants", protected=["gender"])
        ratio = frame["debt"] / frame["income"]
        pid = tracker._pipeline_id
    store = service.client()
    assert store.get_pipeline(pid)["status"] == "completed"
    stored = store.get_fingerprint_node_map(pid)
    assert {int(w) for w in ratio._prov} <= set(stored)
    values = store.get_row_values(pid, row_index=1)
    assert {v.node_operation for v in values} >= {"applicants.income", "div"}
    assert any(v.text_value == "m" for v in values)
    (sync,) = store.get_dashboard_syncs()
    assert sync["payload"]["fairness"]["protected_attributes"] == ["applicants.gender"]


def _collect(tracker_ref):
    """Drop the last reference to a tracker; the ResourceWarnings its finalizer gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tracker_ref.clear()
        gc.collect()
    return [str(w.message) for w in caught if w.category is ResourceWarning]


@pytest.mark.parametrize(
    ("writer", "storage", "pipeline_id", "warned"),
    [
        (True, True, 5, True),
        (True, False, None, True),
        (False, True, 5, True),
        (False, True, None, False),
    ],
)
def test_a_collected_tracker_makes_no_request_and_reports_an_open_run(
    writer, storage, pipeline_id, warned
):
    calls = []
    held = [DAGTracker(pipeline_name="loans")]
    recorder = _Recorder(calls)
    held[0]._writer, held[0]._storage = (writer and recorder), (storage and recorder)
    held[0]._pipeline_id = pipeline_id
    messages = _collect(held)
    assert calls == ([("stop", 0)] if writer else [])  # never complete_pipeline, disconnect
    assert len(messages) == warned and all("'loans' left open" in m for m in messages)


def test_a_collected_tracker_leaves_its_run_open_and_its_writer_ends(service):
    held = [tracker_for(service)]
    build_run(held[0])
    writer, pid = held[0]._writer, held[0]._pipeline_id
    assert len(_collect(held)) == 1
    writer._thread.join(30)
    assert not writer._thread.is_alive()
    store = service.client()
    assert store.get_pipeline(pid)["status"] == "running"
    assert store.get_nodes(pid)  # what the writer held still reached the service
