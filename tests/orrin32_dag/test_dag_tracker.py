"""DAGTracker: node creation, logging calls, reconstruction, eviction and statistics."""

import gc
import pickle
import threading
import weakref

import numpy as np
import pytest
from dag_helpers import word

from quorvane.core._engine import NodeLog
from quorvane.utilities.orrin32 import ProvenanceTracker
from quorvane.utilities.orrin32_dag import DAGEdge, DAGTracker, NodeType


@pytest.fixture
def t():
    return DAGTracker()


def check_index(tracker):
    """Every stored node sits exactly once in the list of its own word; nothing else does."""
    listed = [i for ids in tracker._prov_to_nodes.values() for i in ids]
    assert sorted(listed) == sorted(tracker._nodes)
    assert all(tracker._prov_to_nodes.values())
    for nid, n in tracker._nodes.items():
        assert tracker._prov_to_nodes[n.provenance].count(nid) == 1


def chain(t, length, prov=0):
    """A source (id 0) followed by UNARY steps, each reading the previous one."""
    last = t.create_source_node("t", "c", prov)
    for _ in range(length):
        last = t.log_unary("step", last, prov)
    return last


def test_new_tracker(t):
    assert isinstance(t, ProvenanceTracker)
    assert t.dag_stats() == {
        "total_nodes": 0,
        "source_nodes": 0,
        "protected_sources": 0,
        "operation_nodes": 0,
        "operation_counts": {},
        "unique_provenances": 0,
    }
    assert t.get_node(0) is None
    dag = t.get_dag(0)
    assert (dag.root_id, dag.nodes, dag.edges) == (0, {}, [])
    assert (t._max_nodes, t._value_flush_threshold, t._writer, t._service_url) == (
        500000,
        5000,
        None,
        "",
    )
    # the attributes callers have always read
    readable = [
        "_nodes",
        "_next_node_id",
        "_value_buffer",
        "_value_buffer_lock",
        "_value_flush_threshold",
        "_max_nodes",
        "_prov_to_nodes",
        "_source_nodes",
        "_persistence",
    ]
    assert [name for name in readable if not hasattr(t, name)] == []
    persistence = ("_storage", "_pipeline_id", "_pipeline_name", "_api_key", "_tenant_id")
    assert [getattr(t, name) for name in persistence] == [None] * 5
    assert (t._nodes_persisted, t._dashboard_synced) == (False, False)


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"api_key": 5}, "api_key"),
        ({"tenant_id": b"x"}, "tenant_id"),
        ({"service_url": None}, "service_url"),
        ({"pipeline_name": 1.5}, "pipeline_name"),
    ],
)
def test_constructor_argument_types(kwargs, name):
    with pytest.raises(TypeError, match=name):
        DAGTracker(**kwargs)


def test_persistence_is_enabled_only_with_a_key(monkeypatch):
    calls = []
    monkeypatch.setattr(DAGTracker, "enable_persistence", lambda self: calls.append(self))
    DAGTracker()
    DAGTracker(api_key="")
    assert calls == []
    t = DAGTracker(api_key="k", tenant_id="ten", service_url="http://x", pipeline_name="p")
    assert calls == [t]
    assert (t._api_key, t._tenant_id, t._service_url, t._pipeline_name) == (
        "k",
        "ten",
        "http://x",
        "p",
    )


def test_ids_and_source_nodes(t):
    pid = t.register("loans", "income")
    a = t.create_source_node("loans", "income", 11)
    assert a == 0
    assert t.create_source_node("loans", "income", 99) == 0  # no second node
    b = t.log_unary("neg", a, 12)
    assert b == 1
    n = t.get_node(a)
    assert (n.node_type, n.operation, n.inputs, n.provenance) == (
        NodeType.SOURCE,
        "loans.income",
        [],
        11,
    )
    assert (n.table, n.column, n.pair_id, n.is_protected) == ("loans", "income", pid, False)
    assert t.get_node(b).inputs == [0]
    assert t.create_source_node("other", "x", 1) == 2
    assert t.get_node(2).pair_id is None


def test_protected_source_and_tainted_steps(t):
    t.register("p", "age", protected=True)
    s = t.create_source_node("p", "age", 0)
    assert t.get_node(s).is_protected
    u = t.log_unary("neg", s, word(taint=True))
    assert t.get_node(u).is_protected
    clean = t.log_unary("neg", s, word(taint=False, depth=3))
    assert not t.get_node(clean).is_protected


@pytest.mark.parametrize(
    "args, message",
    [
        (("", "c", 0), "table and column must be non-empty strings"),
        (("t", "", 0), "table and column must be non-empty strings"),
    ],
)
def test_source_node_needs_names(t, args, message):
    t._dashboard_synced = True  # the name check comes first
    with pytest.raises(ValueError, match=message):
        t.create_source_node(*args)
    assert t._next_node_id == 0 and t._dashboard_synced


class Text(str):
    pass


BAD_CALLS = [
    ("create_source_node", {"table": None, "column": "c", "provenance": 0}, "table"),
    ("create_source_node", {"table": Text("t"), "column": "c", "provenance": 0}, "table"),
    ("create_source_node", {"table": "t", "column": 3, "provenance": 0}, "column"),
    ("create_source_node", {"table": "t", "column": "c", "provenance": "0"}, "provenance"),
    ("log_unary", {"op_name": None, "input_node": 0, "result_prov": 0}, "op_name"),
    ("log_unary", {"op_name": "n", "input_node": "0", "result_prov": 0}, "input_node"),
    ("log_unary", {"op_name": "n", "input_node": 0, "result_prov": None}, "result_prov"),
    ("log_unary", {"op_name": "n", "input_node": 0, "result_prov": 0, "metadata": []}, "metadata"),
    (
        "log_binary",
        {"op_name": "a", "left_node": [0], "right_node": 1, "result_prov": 0},
        "left_node",
    ),
    (
        "log_binary",
        {"op_name": "a", "left_node": 0, "right_node": None, "result_prov": 0},
        "right_node",
    ),
    ("log_merge", {"left_nodes": (0,), "right_nodes": [], "result_prov": 0}, "left_nodes"),
    ("log_merge", {"left_nodes": [], "right_nodes": None, "result_prov": 0}, "right_nodes"),
    (
        "log_merge",
        {"left_nodes": [], "right_nodes": [], "result_prov": 0, "merge_type": None},
        "merge_type",
    ),
    ("log_aggregate", {"op_name": "sum", "input_nodes": {0}, "result_prov": 0}, "input_nodes"),
    (
        "_create_node",
        {"node_type": NodeType.UNARY, "operation": 1, "inputs": [], "provenance": 0},
        "operation",
    ),
    (
        "_create_node",
        {"node_type": NodeType.UNARY, "operation": "x", "inputs": (), "provenance": 0},
        "inputs",
    ),
    ("get_node", {"node_id": "1"}, "node_id"),
    ("get_nodes_for_provenance", {"provenance": None}, "provenance"),
    ("get_dag", {"root_node_id": None}, "root_node_id"),
    ("get_dag_for_provenance", {"provenance": "x"}, "provenance"),
]


@pytest.mark.parametrize("method, kwargs, name", BAD_CALLS)
def test_argument_types(t, method, kwargs, name):
    with pytest.raises(TypeError) as info:
        getattr(t, method)(**kwargs)
    text = str(info.value)
    assert text.startswith(name + " must be "), text
    assert f"not {type(kwargs[name]).__name__}" in text
    assert t._next_node_id == 0 and t._nodes == {}


@pytest.mark.parametrize("value", [np.int64(4), 4.0, np.uint32(4), True])
def test_int_arguments_are_converted(t, value):
    nid = t.log_binary("add", value, value, value)
    n = t.get_node(nid)
    assert n.inputs == [int(value), int(value)] and n.provenance == int(value)
    assert type(n.inputs[0]) is int and type(n.provenance) is int
    assert t.get_node(np.int64(nid)) is n


@pytest.mark.parametrize("keyword", ["node_type", "operation", "inputs", "provenance"])
def test_create_node_refuses_its_own_parameters_as_extra_keywords(t, keyword):
    with pytest.raises(TypeError, match="multiple values"):
        t._create_node(NodeType.CUSTOM, "x", [], 0, **{keyword: 1})
    assert t._next_node_id == 0


@pytest.mark.parametrize("keyword", ["node_id", "colour"])
def test_create_node_bad_field_uses_up_an_id(t, keyword):
    with pytest.raises(TypeError):
        t._create_node(NodeType.CUSTOM, "x", [], 0, **{keyword: 1})
    assert t._next_node_id == 1 and t._nodes == {} and t._prov_to_nodes == {}
    assert t.log_unary("n", 0, 0) == 1
    assert not t._dag_lock.locked()


def test_create_node_keeps_the_given_inputs_and_fields(t):
    inputs = [3, -1]
    nid = t._create_node(NodeType.FILTER, "f", inputs, 0, table="t", is_protected=True)
    n = t.get_node(nid)
    assert n.inputs is inputs and n.table == "t" and n.is_protected


def test_logging_calls(t):
    meta = {"k": 1}
    u = t.get_node(t.log_unary("neg", 0, 1, meta))
    assert (u.node_type, u.operation, u.inputs, u.metadata) == (NodeType.UNARY, "neg", [0], meta)
    assert u.metadata is meta
    empty = {}
    b = t.get_node(t.log_binary("add", 0, 1, 2, empty))
    assert (b.node_type, b.inputs) == (NodeType.BINARY, [0, 1])
    assert b.metadata == {} and b.metadata is not empty
    nodes = [5, 6]
    a = t.get_node(t.log_aggregate("sum", nodes, 3))
    assert (a.node_type, a.operation, a.provenance) == (NodeType.AGGREGATE, "sum", 3)
    assert a.inputs is nodes


@pytest.mark.parametrize(
    "kwargs, operation, metadata",
    [
        ({"metadata": {"on": "id"}}, "merge_inner", {"merge_type": "inner", "on": "id"}),
        ({"merge_type": "left"}, "merge_left", {"merge_type": "left"}),
        (
            {"metadata": {"on": "id", "merge_type": "x"}},
            "merge_inner",
            {"merge_type": "x", "on": "id"},
        ),
    ],
)
def test_log_merge(t, kwargs, operation, metadata):
    left, right = [1, 2], [3]
    n = t.get_node(t.log_merge(left, right, 0, **kwargs))
    assert (n.node_type, n.operation, n.inputs) == (NodeType.MERGE, operation, [1, 2, 3])
    assert n.metadata == metadata and list(n.metadata) == list(metadata)
    assert n.inputs is not left and left == [1, 2]


def test_get_dag_diamond_and_repeated_input(t):
    s = t.create_source_node("t", "c", 1)
    a = t.log_unary("neg", s, 2)
    b = t.log_unary("abs", s, 3)
    top = t.log_binary("add", a, b, 4)
    dag = t.get_dag(top)
    assert list(dag.nodes) == [top, a, b, s]
    assert dag.nodes[s] is t.get_node(s)
    assert dag.edges == [DAGEdge(a, top, 0), DAGEdge(b, top, 1), DAGEdge(s, a, 0), DAGEdge(s, b, 0)]
    assert dag.depth == 2
    twice = t.log_binary("mul", a, a, 5)
    dag = t.get_dag(twice)
    assert list(dag.nodes) == [twice, a, s]
    assert dag.edges[:2] == [DAGEdge(a, twice, 0), DAGEdge(a, twice, 1)]


def test_get_dag_of_unknown_inputs(t):
    n = t.log_binary("add", -1, 77, 0)
    dag = t.get_dag(n)
    assert list(dag.nodes) == [n]
    assert dag.edges == [DAGEdge(-1, n, 0), DAGEdge(77, n, 1)]


def test_get_dag_for_provenance(t):
    ids = [t.log_unary("n", 0, w) for w in (5, 6, 5, 7, 5)]
    assert [n.node_id for n in t.get_nodes_for_provenance(5)] == [ids[0], ids[2], ids[4]]
    assert t.get_dag_for_provenance(5).root_id == ids[4]
    assert t.get_dag_for_provenance(8) is None
    assert t.get_nodes_for_provenance(8) == []


def test_eviction_with_a_bound_of_twenty(t):
    t._max_nodes = 20
    last = chain(t, 19)
    assert len(t._nodes) == 20
    last = t.log_unary("step", last, 0)
    assert last == 20
    assert list(t._nodes) == [0] + list(range(3, 21))
    assert 1 not in t._prov_to_nodes[0] and 2 not in t._prov_to_nodes[0]
    check_index(t)
    dag = t.get_dag(20)
    assert list(dag.nodes) == list(range(20, 2, -1))
    assert DAGEdge(2, 3, 0) in dag.edges and 2 not in dag.nodes
    with pytest.raises(KeyError):
        _ = dag.depth
    assert t._source_nodes == {("t", "c"): 0} and t._next_node_id == 21


def test_eviction_keeps_sources_and_empties_provenance_lists(t):
    t._max_nodes = 20
    for i in range(5):
        t.create_source_node("t", f"c{i}", 1000 + i)
    ids = [t.log_unary("n", 0, 500 + i) for i in range(16)]  # the 21st entry evicts 2
    assert [i for i in ids if i not in t._nodes] == ids[:2]
    assert 500 not in t._prov_to_nodes and 501 not in t._prov_to_nodes
    assert t.get_dag_for_provenance(500) is None
    assert all(t.get_node(i) is not None for i in range(5))
    check_index(t)


def test_eviction_with_only_sources_above_the_bound(t):
    t._max_nodes = 3
    for i in range(6):
        t.create_source_node("t", f"c{i}", i)
    assert len(t._nodes) == 6
    check_index(t)


def test_repeated_eviction_stays_bounded(t):
    t._max_nodes = 50
    chain(t, 500, prov=9)
    assert len(t._nodes) <= 50
    assert t._prov_to_nodes[9] == list(t._nodes)
    check_index(t)


def test_dag_stats(t):
    t.create_source_node("t", "c", 1)
    t.log_binary("add", 0, 0, word(taint=True))
    t.log_binary("add", 1, 0, word(taint=True))
    assert t.dag_stats() == {
        "total_nodes": 3,
        "source_nodes": 1,
        "protected_sources": 2,
        "operation_nodes": 2,
        "operation_counts": {"add": 2},
        "unique_provenances": 2,
    }


def test_persist_node_is_called_under_the_lock_when_a_writer_is_set(t):
    seen = []
    t._persist_node = lambda node: seen.append((node.node_id, t._dag_lock.locked()))
    t.log_unary("n", 0, 0)
    t._writer = object()
    t.log_unary("n", 0, 5)
    t.log_unary("n", 1, 5)  # keeps its input's word: the summary has that input's node
    assert seen == [(1, True)]


def test_persist_failure_propagates_after_the_node_is_stored(t):
    def fail(node):
        raise RuntimeError("down")

    t._persist_node = fail
    t._writer = object()
    with pytest.raises(RuntimeError, match="down"):
        t.log_unary("n", 0, 4)
    assert t.get_node(0) is not None and t._prov_to_nodes == {4: [0]}
    assert not t._dag_lock.locked()


def test_a_completed_sync_starts_a_new_pipeline_on_the_next_source(t):
    calls = []
    t._start_new_pipeline = lambda: calls.append(1)
    t.create_source_node("t", "c", 0)
    t._dashboard_synced = True
    t.create_source_node("t", "c", 0)
    assert calls == [1]


def test_trivial_lifecycle_members(t):
    assert t.flush() is True and t.flush(timeout=1) is True
    with pytest.raises(TypeError, match="timeout"):
        t.flush(timeout="soon")
    assert t.get_persistence_stats() is None
    t._pipeline_id = 5
    t.disable_persistence()
    assert t._pipeline_id is None
    with t as entered:
        assert entered is t
    assert t.__exit__(ValueError, ValueError("x"), None) is False
    t._start_new_pipeline()  # no storage: nothing to do
    assert t._source_nodes == {}


def test_finalizer_never_raises():
    half = DAGTracker.__new__(DAGTracker)  # attributes never set
    half.__del__()
    t = DAGTracker()

    class Broken:
        def stop(self):
            raise RuntimeError("stop failed")

    t._writer = Broken()
    t.__del__()


N_THREADS, PER_THREAD = 8, 1500


def test_concurrent_creation_gives_unique_gapless_ids():
    t = DAGTracker()
    src = t.create_source_node("t", "c", 1)
    made = [[] for _ in range(N_THREADS)]
    errors = []
    start = threading.Barrier(N_THREADS + 2)
    done = threading.Event()

    def write(k):
        start.wait()
        for i in range(PER_THREAD):
            made[k].append(t.log_binary("add", src, src, i % 37))

    def read():
        start.wait()
        while not done.is_set():
            try:
                last = t._next_node_id - 1
                t.get_dag(last)
                t.get_nodes_for_provenance(last % 37)
                t.get_dag_for_provenance(5)
                t.dag_stats()
            except Exception as exc:  # noqa: BLE001  (a reader must never fail)
                errors.append(exc)
                return

    writers = [threading.Thread(target=write, args=(k,)) for k in range(N_THREADS)]
    reader = threading.Thread(target=read)
    for th in [*writers, reader]:
        th.start()
    start.wait()
    for th in writers:
        th.join()
    done.set()
    reader.join()
    assert errors == []
    ids = sorted(i for ids in made for i in ids)
    assert ids == list(range(1, N_THREADS * PER_THREAD + 1))
    assert all(m == sorted(m) for m in made)
    check_index(t)
    for p in range(37):
        assert t._prov_to_nodes[p] == sorted(t._prov_to_nodes[p])


def test_concurrent_creation_with_eviction_keeps_the_index_consistent():
    t = DAGTracker()
    t._max_nodes = 300
    src = t.create_source_node("t", "c", 1)

    def write():
        for i in range(1000):
            t.log_unary("n", src, i % 11)

    threads = [threading.Thread(target=write) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert t._next_node_id == 4001 and len(t._nodes) <= 300
    assert 0 in t._nodes
    check_index(t)


def test_a_tracker_goes_with_its_last_reference():
    # no reference cycle: its log is freed, and its finalizer runs, when the last user lets go
    t = DAGTracker()
    t.log_unary("n", t.create_source_node("t", "c", 1), 1)
    assert len(t._nodes) == 2 and list(t._prov_to_nodes) == [1]
    gone = weakref.ref(t)
    gc.disable()
    try:
        del t
        assert gone() is None
    finally:
        gc.enable()


@pytest.mark.parametrize(
    "kept",
    [
        lambda n: np.ones(n, bool),  # the nodes before, in order
        lambda n: np.arange(n) % 3 != 1,  # some keep their input's word, some do not
        lambda n: np.zeros(n, bool),  # none
    ],
    ids=["all", "some", "none"],
)
@pytest.mark.parametrize("inputs", ["in order", "one node", "reversed"])
@pytest.mark.parametrize("removed", [False, True])
@pytest.mark.parametrize("chained", [False, True])
def test_a_step_that_keeps_its_inputs_word_stands_for_that_input(kept, inputs, removed, chained):
    """In the per-fingerprint summary, a node that keeps the word of an input (a step with
    a constant) stands for what that input stands for (``chained``: the input itself such a
    step), whether a batch's nodes stand for nodes one after another, all for one, or each
    for its own."""
    log, n = NodeLog(100_000), 1_000
    source = log.append(0, 0, 7, 8, [])
    constant = log.append(2, 1, 0, 32, [])
    cells = log.append_columns(0, 0, np.full(n, 7), [np.full(n, source)], 31, flags=8 | 16)
    before = log.append_columns(3, 2, np.arange(n) + 100, [cells], 31)
    if chained:
        before = log.append_columns(3, 4, np.arange(n) + 100, [before, np.full(n, constant)], 31)
    stands = np.array([log.summary_as(int(i)) for i in before])
    picked = {"in order": np.arange(n), "one node": np.full(n, 5), "reversed": np.arange(n)[::-1]}
    operand = before[picked[inputs]]
    words = np.where(kept(n), np.arange(n) + 100, -5)[picked[inputs]]
    if removed:  # out of the table: a node over it stands for itself
        log.remove(int(before[7]))
    made = log.append_columns(3, 3, words, [operand, np.full(n, constant)], 31)
    standing = kept(n)[picked[inputs]] & ((operand != before[7]) | (not removed))
    expected = np.where(standing, stands[picked[inputs]], made)
    assert [log.summary_as(int(i)) for i in made] == expected.tolist()


@pytest.mark.parametrize("bound", [1_001, 1_300, 1_910])
def test_a_batch_eviction_strikes_in_leaves_the_log_as_nodes_made_one_by_one(bound):
    """A batch that takes the table beyond its bound is made in parts that end where
    eviction strikes: the nodes made, evicted and kept, their rows and what they stand for
    in the summary are those of the same nodes logged one call each."""
    n = 1_000

    def build(batched: bool) -> tuple:
        log = NodeLog(10**6)
        source, constant = log.append(0, 0, 7, 8, []), log.append(2, 1, 0, 32, [])
        cells = log.append_columns(0, 0, np.arange(n) % 7, [np.full(1, source)], 31, flags=24)
        first = log.append_columns(3, 2, np.full(n, 500), [cells], 31)
        log.max_nodes = bound
        words = np.where(np.arange(n) % 3, 500, 9)  # most keep their input's word
        inputs = np.where(np.arange(n) % 11 == 0, -1, first)  # some lack their input
        if batched:
            ids = log.append_columns(3, 3, words, [inputs, np.full(1, constant)], 31).tolist()
        else:
            pairs = zip(words.tolist(), inputs.tolist(), strict=True)
            ids = [log.append(3, 3, w, 0, [i, constant]) if i >= 0 else -1 for w, i in pairs]
        return log, ids

    (batch, ids), (one_by_one, expected) = build(True), build(False)
    assert ids == expected and batch.evictions == one_by_one.evictions > 0
    assert batch.table_ids().tolist() == one_by_one.table_ids().tolist()
    for read in (lambda log, i: log.row(i, cells=True), lambda log, i: log.summary_as(i)):
        assert [read(batch, i) for i in range(batch.next_id)] == [
            read(one_by_one, i) for i in range(one_by_one.next_id)
        ]


@pytest.mark.parametrize("after", ["made", "pickled", "compacted"])
def test_nodes_of_a_batch_that_share_one_word_read_back_with_it(after):
    """A batch whose nodes share one word keeps it once until a reader needs every word:
    each node reads back with it, stands for its input where it keeps that input's word,
    and is found by it, as made, pickled, and after eviction compacted the rows."""
    log, n = NodeLog(10**6), 3_000
    source, constant = log.append(0, 0, 7, 8, []), log.append(2, 1, 0, 32, [])
    cells = log.append_columns(0, 0, np.arange(n) % 7, [np.full(1, source)], 31, flags=24)
    first = log.append_columns(3, 2, np.full(n, 500), [cells], 31)
    inputs = [first[::-1].copy(), np.full(1, constant)]  # kept per node, not implied
    kept = log.append_columns(3, 3, np.full(n, 500), inputs, 31)
    last = log.append_columns(3, 4, np.full(n, 600), [kept[::-1].copy()], 31)
    one = log.append(3, 5, 600, 0, [int(last[0])])  # keeps the word of a node of a batch
    assert [log.summary_as(int(i)) for i in kept] == first[::-1].tolist()
    assert log.summary_as(one) == last[0]
    if after == "pickled":
        log = pickle.loads(pickle.dumps(log))
    removed = int(kept[50])  # out of the table, not evicted: its row kept by compaction
    if after == "compacted":  # the next batch evicts in parts, the oldest first
        log.remove(removed)
        log.max_nodes = 2 * n
        log.append_columns(3, 6, np.arange(n) + 700, [last], 31)
        assert log.row_count < 5 * n + 3
    words = {500: [*first, *kept], 600: [*last, one]}
    held = {w: [i for i in map(int, ids) if log.row(i)] for w, ids in words.items()}
    assert all(log.row(i)[2] == w for w, ids in held.items() for i in ids)  # before written
    found = {w: log.ids_for_word(w).tolist() for w in words}
    assert held[600] and found == {500: sorted({*held[500], removed}), 600: held[600]}
    # every row held, in the table or not, with the word and inputs it was made with
    made = {int(f): (500, [int(c)]) for f, c in zip(first, cells, strict=True)}
    made |= {int(k): (500, [int(f), constant]) for k, f in zip(kept, first[::-1], strict=True)}
    made |= {int(k): (600, [int(f)]) for k, f in zip(last, kept[::-1], strict=True)}
    made[one] = (600, [int(last[0])])
    ids, stored, start, inputs = (np.asarray(a) for a in log.rows_state(0, 10**9)[:4])
    rows = [j for j, i in enumerate(ids.tolist()) if i in made]
    assert len(rows) >= len(held[500]) + len(held[600])
    assert [(int(stored[j]), inputs[start[j] : start[j + 1]].tolist()) for j in rows] == [
        made[int(ids[j])] for j in rows
    ]


@pytest.mark.parametrize("pickled", [False, True])
def test_a_log_of_columns_of_megabytes_reads_back_as_made_through_growth_and_compaction(pickled):
    """Columns of megabytes live in memory of their own, grown and cut back by remapping
    it: every node still in the table reads back as made, after the columns grew batch
    by batch, were compacted by eviction, and rebuilt from their state."""
    log, n = NodeLog(10**8), 300_000
    source = log.append(0, 0, 7, 8, [])
    batches = [log.append_columns(0, 0, np.arange(n) % 256, [np.full(1, source)], 31, flags=24)]
    words = [np.arange(n) % 256]
    for step in range(4):  # each over the one before, reversed: its inputs kept per node
        words.append(np.arange(n) * 3 + step)
        inputs = [batches[-1][::-1].copy(), np.full(1, source)]
        batches.append(log.append_columns(3, 1 + step, words[-1], inputs, 31))
    log.max_nodes = n  # the next batch evicts node by node: compaction drops most rows
    words.append(np.arange(n) + 7)
    batches.append(log.append_columns(3, 9, words[-1], [batches[-1]], 31))
    if pickled:
        log = pickle.loads(pickle.dumps(log))
    ids, held_words, start, inputs, ops = (np.asarray(a) for a in log.rows_state(0, 10**9)[:5])
    made = np.concatenate(batches)
    order = np.argsort(made)
    at = order[np.searchsorted(made, ids[1:], sorter=order)]  # the source aside
    assert log.evictions and len(ids) < len(made) and (made[at] == ids[1:]).all()
    assert (np.concatenate(words)[at] == held_words[1:]).all()
    batch = at // n  # each node's first input: the node of the batch before, reversed
    first = np.where(batch == 0, source, made[(batch - 1) * n + (n - 1 - at % n)])
    first[batch == 5] = made[4 * n + at[batch == 5] % n]
    assert (inputs[start[1:-1]] == first).all()
    assert (ops[1:] == np.r_[0, 1, 2, 3, 4, 9][batch]).all()


@pytest.mark.parametrize("word_type", [np.int64, np.uint32])
@pytest.mark.parametrize(("pickled", "spread"), [(False, False), (True, False), (False, True)])
def test_a_log_of_batches_reads_every_node_as_made_through_gaps_and_compaction(
    pickled, spread, word_type
):
    """Nodes made in batches share their operation, type and the place of their inputs, and
    an operand that is one node for all or the nodes of the step before in order is not kept
    per node; a node read back must be the one made, where ids were skipped, nodes of a
    batch missing, taken out, or dropped by eviction, and after the log is rebuilt from its
    state. ``spread``: an operand that is one node for all is given as that one entry."""
    log, n = NodeLog(100_000), 2_000
    made = {}

    def batch(kind, op, columns, flags=0):
        words = (np.arange(n) + 100 * len(made)).astype(word_type)
        given = [c[:1] if spread and (c == c[0]).all() else c for c in columns]
        ids = np.asarray(log.append_columns(kind, op, words, given, 31, flags=flags))
        for i in np.flatnonzero(ids >= 0).tolist():
            made[int(ids[i])] = (kind, op, int(words[i]), [int(c[i]) for c in columns])
        return ids

    source = log.append(0, 9, 7, 8, [])
    made[source] = (0, 9, 7, [])
    # cells (never evicted, moved by every compaction): their column's node implied
    previous = batch(0, 9, [np.full(n, source, np.int64)], flags=8 | 16)
    for step in range(5):
        log.next_id = log.next_id + step % 2  # an id given to no node
        left = np.where(np.arange(n) % 7 == step, -1, previous)  # no node where -1
        columns = [left, previous[::-1].copy()] if step % 3 else [previous, left]
        previous = np.where((ids := batch(3, step % 2, columns)) >= 0, ids, previous)
        log.remove(int(ids[ids >= 0][5]))
    # the step before, in order, and constants: all implied; kept through what follows
    every = batch(3, 6, [previous[::-1].copy()])  # a node for every element
    last = batch(3, 7, [every, np.full(n, source, np.int64), np.full(n, 1, np.int64)])
    log.max_nodes = 4_500  # the next batch is made node by node: eviction, then compaction
    batch(3, 8, [last, np.where(np.arange(n) % 5 == 0, -1, last[::-1])])
    if pickled:
        log = pickle.loads(pickle.dumps(log))
    kept = log.table_ids().tolist()
    assert len(kept) <= 4_500 and kept[0] == source and set(last) <= set(kept)
    for node_id, (kind, op, made_word, inputs) in made.items():
        row = log.row(node_id, cells=True)
        assert (row is None) == (node_id not in kept and kind != 0)
        assert row is None or (row[0], row[1], row[2], row[4]) == (kind, op, made_word, inputs)
