"""The deduplicated bulk write of a tracker's DAG, straight into a SQLite file."""

from __future__ import annotations

import sys

import pytest
from persist_helpers import build_run

from quorvane.recording import code_version, git_commit, run_record
from quorvane.utilities.orrin32_dag import DAGTracker, NodeType
from quorvane.utilities.orrin32_dag._element_view import element_log_parts
from quorvane.utilities.persistence import SQLiteStorage


@pytest.fixture
def store(tmp_path):
    storage = SQLiteStorage(str(tmp_path / "lineage.db"))
    storage.connect()
    yield storage
    storage.disconnect()


def edges_of(store, pid):
    return sorted(
        (e.parent_fingerprint, e.child_fingerprint, e.input_position) for e in store.get_edges(pid)
    )


def test_persist_to_storage_writes_the_whole_dag(store, tmp_path):
    tracker = DAGTracker(pipeline_name="loans", max_nodes=9_000)
    build_run(tracker)
    pid = tracker.persist_to_storage(store)
    pipeline = store.get_pipeline(pid)
    assert (pipeline["pipeline_name"], pipeline["status"]) == ("loans", "completed")
    # how the run was made: the code's commit (this checkout's) and the tracker's settings
    assert pipeline["git_commit"] == code_version() is not None
    assert git_commit(tmp_path) is None  # outside a repository there is no commit to name
    assert pipeline["config"]["max_nodes"] == 9_000 and pipeline["config"]["strict"] is False
    assert store.get_sources(pid) == [
        {"pair_id": 0, "table": "applicants", "column": "income", "is_protected": False},
        {"pair_id": 1, "table": "applicants", "column": "debt", "is_protected": True},
    ]
    nodes = store.get_nodes(pid)
    distinct = list(dict.fromkeys(n.provenance for n in tracker._nodes.values()))
    assert [n.fingerprint for n in nodes] == distinct  # first occurrence order
    expected_edges = {
        (tracker._nodes[i].provenance, node.provenance, pos)
        for node in tracker._nodes.values()
        for pos, i in enumerate(node.inputs)
    }
    assert set(edges_of(store, pid)) == expected_edges
    assert not hasattr(tracker, "_nodes_written")  # the public variant leaves the counts


def test_an_unnamed_tracker_and_a_given_pipeline(store):
    tracker = DAGTracker()
    build_run(tracker)
    pid = tracker.persist_to_storage(store)
    assert store.get_pipeline(pid)["pipeline_name"] == "unnamed"
    given = store.create_pipeline("given")
    assert tracker.persist_to_storage(store, float(given)) == given
    assert len(store.list_pipelines()) == 2
    with pytest.raises(TypeError):
        tracker.persist_to_storage(store, "7")


def test_without_the_persistence_package_nothing_is_written(store, monkeypatch):
    tracker = DAGTracker(pipeline_name="loans")
    build_run(tracker)
    monkeypatch.setitem(sys.modules, "quorvane.utilities.persistence.storage", None)
    with pytest.raises(ImportError):
        tracker.persist_to_storage(store)
    assert store.list_pipelines() == []


def test_an_empty_tracker_still_opens_and_completes_a_pipeline(store):
    pid = DAGTracker(pipeline_name="empty").persist_to_storage(store)
    assert store.get_pipeline(pid)["status"] == "completed"
    assert store.get_nodes(pid) == [] and store.get_edges(pid) == []


def test_shared_fingerprints_repeated_inputs_and_evicted_inputs(store):
    tracker = DAGTracker(pipeline_name="edges")
    a = tracker.create_source_node("t", "a", 101)
    b = tracker.create_source_node("t", "b", 102)
    tracker.log_binary("add", a, a, 201)  # x + x: positions 0 and 1
    tracker.log_binary("mul", a, b, 202)
    tracker.log_binary("mul", b, a, 202)  # same fingerprint, other inputs
    gone = tracker.log_unary("neg", a, 203)
    last = tracker.log_binary("sub", gone, b, 204)
    del tracker._nodes[gone]  # as eviction leaves it: the input id stays in `inputs`
    pid = tracker.persist_to_storage(store)
    assert sorted(n.fingerprint for n in store.get_nodes(pid)) == [101, 102, 201, 202, 204]
    assert edges_of(store, pid) == [
        (101, 201, 0),
        (101, 201, 1),
        (101, 202, 0),
        (101, 202, 1),
        (102, 202, 0),
        (102, 202, 1),
        (102, 204, 1),
    ]
    assert tracker._nodes[last].inputs[0] == gone


def test_a_step_with_a_constant_stands_for_its_input_after_it_left_memory(store):
    # the scaled column keeps the source's word; once evicted and compacted away, a step
    # over it must still be summarised as a step over the source
    tracker = DAGTracker(pipeline_name="departed", max_nodes=50)
    a = tracker.create_source_node("t", "a", 101)
    scaled = tracker.log_binary("mul", a, tracker.log_constant(20.0), 101)
    for _ in range(6_000):  # enough evictions for the log to drop the rows they left
        tracker.log_unary("neg", a, 202)
    assert scaled not in tracker._log and tracker._log.evictions > 4_096
    tracker.log_unary("abs", scaled, 303)
    pid = tracker.persist_to_storage(store)
    assert (101, 303, 0) in edges_of(store, pid)


def test_a_node_without_pair_id_is_stored_without_one(store):
    tracker = DAGTracker()
    a = tracker.create_source_node("t", "unregistered", 5)
    tracker._create_node(NodeType.CUSTOM, "custom", [a], 6, metadata={"k": 1})
    pid = tracker.persist_to_storage(store)
    assert [n.pair_id for n in store.get_nodes(pid)] == [None, None]


class _Calls:
    """A backend that notes its calls, to check their order and argument forms."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if name == "create_pipeline":
                return 3
            if name == "get_fingerprint_node_map":
                return {}
            return None

        return call


def test_the_calls_made_on_a_backend():
    tracker = DAGTracker(pipeline_name="calls")
    tracker.register("t", "a", protected=True)
    tracker.create_source_node("t", "a", 7)
    backend = _Calls()
    assert tracker.persist_to_storage(backend) == 3
    names = [(name, args, kwargs) for name, args, kwargs in backend.calls]
    assert names[0] == ("create_pipeline", ("calls",), run_record(tracker))
    assert names[1] == ("register_source", (0, "t", "a"), {"is_protected": True})
    assert names[2][0] == "store_nodes" and len(names[2][1][0]) == 1
    assert names[3] == ("get_fingerprint_node_map", (3,), {})
    assert names[4] == ("store_edges_resolved", ([],), {})
    # a backend that keeps per-element logs gets one, before the run is complete
    assert names[5][0] == "write_element_log" and names[5][1][1].size == 1
    assert names[6] == ("complete_pipeline", (3, "completed"), {})


def entity_and_chain_of(word):
    """The word layout alone: modes 00 and 01 keep both fields, the others none."""
    mode = word >> 30
    if mode == 0:
        return (word >> 8) & 0xFF, word & 0xFF
    if mode == 1:
        return (word >> 4) & 0x1F, word & 0xF
    return 0, 0


def test_the_bulk_write_leaves_out_only_what_the_fingerprint_holds(store):
    tracker = DAGTracker(pipeline_name="both")
    build_run(tracker)
    bulk_nodes = store.get_nodes(tracker.persist_to_storage(store))
    tracker._storage, tracker._pipeline_id = store, store.create_pipeline("session")
    tracker._persist_dag_to_storage()
    session_nodes = store.get_nodes(tracker._pipeline_id)
    assert [n.fingerprint for n in bulk_nodes] == [n.fingerprint for n in session_nodes]
    assert {(n.entity_hash, n.chain_hash) for n in bulk_nodes} == {(None, None)}
    assert [(n.entity_hash, n.chain_hash) for n in session_nodes] == [
        entity_and_chain_of(n.fingerprint) for n in session_nodes
    ]
    assert any(n.entity_hash or n.chain_hash for n in session_nodes)  # fields were there to lose


def test_a_log_read_in_parts_is_the_log_when_it_was_asked_for():
    tracker = DAGTracker(max_nodes=60)
    a = tracker.create_source_node("t", "a", 101)
    for _ in range(10):
        tracker.log_unary("neg", a, 202)
    read = element_log_parts(tracker, rows=4).parts()
    first = next(read)
    tracker.log_unary("abs", a, 303)  # logged between two parts: not in this log
    ids = [n for part in (first, *read) for n in part.node_id.tolist()]
    assert ids == list(range(11))
    # an eviction moves the rows not read yet: the reading is refused, nothing is skipped
    read = element_log_parts(tracker, rows=4).parts()
    next(read)
    for _ in range(100):
        tracker.log_unary("neg", a, 202)
    with pytest.raises(RuntimeError, match="evicted"):
        list(read)
