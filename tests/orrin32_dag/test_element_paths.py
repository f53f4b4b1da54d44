"""The containers take shortcuts (the engine's batch word kernels, one native call that
logs a whole operation, one buffer lock per operation) only while the tracker's own
methods are in place. Each test runs the same work on a plain tracker and on one whose
methods are replaced by pass-through overrides (which forces one public call per element)
and requires identical nodes, indexes, words, node ids, records, stored rows and warnings."""

import logging
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag
from quorvane.utilities.persistence import AsyncWriter, SQLiteStorage, WriterConfig

LOGGER = "quorvane.utilities.orrin32_dag"


class PublicCalls(DAGTracker):
    """Overrides that change nothing but make the containers call each method."""

    def combine(self, prov_a, prov_b, op=1):
        return super().combine(prov_a, prov_b, op)

    def update_chain(self, provenance, op):
        return super().update_chain(provenance, op)

    def log_unary(self, *args, **kwargs):
        return super().log_unary(*args, **kwargs)

    def log_binary(self, *args, **kwargs):
        return super().log_binary(*args, **kwargs)

    def log_aggregate(self, *args, **kwargs):
        return super().log_aggregate(*args, **kwargs)

    def record_row_value(self, *args, **kwargs):
        return super().record_row_value(*args, **kwargs)


class Writer:
    def __init__(self, fail_at=()):
        self.batches = []
        self.stored = []  # nodes and edges, as they are handed over under the lock
        self.calls = 0
        self.fail_at = set(fail_at)

    def write_node(self, node):
        self.stored.append(node)

    def write_edges(self, edges):
        self.stored.append(list(edges))

    def write_row_values(self, records):
        self.calls += 1
        if self.calls in self.fail_at:
            raise RuntimeError(f"write {self.calls} failed")
        self.batches.append(records)


FRAME = pd.DataFrame(
    {
        "f": [1.5, np.nan, -2.0, 4.25, 0.0, 7.0],
        "i": [1, 2, 3, 4, 5, 2**62 + 1],
        "age": [30, 41, 52, 63, 74, 85],
    },
    index=[f"r{i}" for i in range(6)],
)

OPERATIONS = {
    "add": lambda d: d["f"] + d["i"],
    "truediv": lambda d: d["i"] / d["age"],
    "gt": lambda d: d["f"] > d["age"],
    "neg": lambda d: -d["i"],
    "clip": lambda d: d["f"].clip(0, 3),
    "fillna": lambda d: d["f"].fillna(9),
    "replace": lambda d: d["i"].replace(3, "three"),
    "chain": lambda d: ((d["f"] * d["age"]).fillna(0) - d["i"]).clip(-5, 5),
    "broadcast": lambda d: d["f"] + d["age"].iloc[:1],
    "merge": lambda d: d.merge(d[["age"]].reset_index(), on="age")["f"] + d["i"],
}


def state(tracker, result=None):
    out = {
        "nodes": dict(tracker._nodes),
        "index": {k: list(v) for k, v in tracker._prov_to_nodes.items()},
        "next": tracker._next_node_id,
        "buffer": list(tracker._value_buffer),
    }
    if result is not None:
        out["words"] = result._prov.tolist()
        out["node_ids"] = result._node_ids.tolist()
    return out


def run(kind, work, setup=lambda t: None):
    tracker = kind(tenant_id="acme")
    setup(tracker)
    frame = wrap_dataframe_dag(FRAME, tracker, "loans", protected=["age"])
    return tracker, work(frame)


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_operations_match_the_public_calls(name):
    fast_tracker, fast = run(DAGTracker, OPERATIONS[name])
    slow_tracker, slow = run(PublicCalls, OPERATIONS[name])
    assert state(fast_tracker, fast) == state(slow_tracker, slow)
    assert any(node.is_protected for node in fast_tracker._nodes.values())


@pytest.mark.parametrize(
    "setup",
    [
        pytest.param(lambda t: setattr(t, "_value_buffer_cap", 10), id="cap"),
        pytest.param(lambda t: setattr(t, "_value_flush_threshold", 4), id="no-writer"),
        pytest.param(
            lambda t: (setattr(t, "_value_flush_threshold", 4), setattr(t, "_writer", Writer())),
            id="writer",
        ),
        pytest.param(
            lambda t: (
                setattr(t, "_value_flush_threshold", 5),
                setattr(t, "_writer", Writer(fail_at={2, 3})),
            ),
            id="failing-writer",
        ),
        pytest.param(lambda t: setattr(t, "_pipeline_id", 17), id="pipeline"),
    ],
)
def test_buffering_matches_the_public_calls(setup, caplog):
    def work(frame):
        return (frame["f"] + frame["i"]).fillna(0)

    logs = []
    states = []
    for kind in (DAGTracker, PublicCalls):
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger=LOGGER):
            tracker, result = run(kind, work, setup)
        logs.append([r.getMessage() for r in caplog.records])
        writer = tracker._writer
        batches = (writer.batches, writer.stored) if writer else None
        states.append((state(tracker, result), batches, getattr(tracker, "_values_dropped", 0)))
        tracker._writer = None
    assert states[0] == states[1]
    assert logs[0] == logs[1]


def test_an_override_on_the_tracker_itself_is_called():
    tracker = DAGTracker()
    frame = wrap_dataframe_dag(FRAME, tracker, "loans")
    seen = []
    tracker.log_binary = lambda *args: seen.append(args) or 99
    result = frame["f"] + frame["i"]
    assert result._node_ids.tolist() == [99] * len(FRAME) and len(seen) == len(FRAME)


@pytest.mark.parametrize(
    "values",
    [
        np.array([0, -1, 2**53 + 1, -(2**63), 2**63 - 1], dtype=np.int64),
        np.array([True, False, True]),
        np.array([0, 2**64 - 1, 2**53 + 1], dtype=np.uint64),
        np.array([7, 250], dtype=np.uint8),
    ],
    ids=["int64", "bool", "uint64", "uint8"],
)
def test_integer_cells_record_the_floats_of_float(values):
    tracker = DAGTracker()
    wrap_dataframe_dag(pd.DataFrame({"c": values}), tracker, "t")
    assert [r.value for r in tracker._value_buffer] == [float(v) for v in values.tolist()]


# -- random pipelines: the native batches against one public call per node ------------------

STEPS = {
    "add": lambda d, s: s + d["y"],
    "mul": lambda d, s: s * 2,
    "neg": lambda d, s: -s,
    "fillna": lambda d, s: s.fillna(0.5),
    "where": lambda d, s: s.where(d["g"] > 0, d["y"]),
    "ufunc": lambda d, s: np.maximum(s, d["y"]),
    "transform": lambda d, s: s.groupby(d["g"]).transform("mean"),
    "agg": lambda d, s: s.groupby(d["g"]).sum(),
    "rolling": lambda d, s: s.rolling(2, min_periods=1).sum(),
    "cumsum": lambda d, s: s.cumsum(),
    "filter": lambda d, s: s[d["g"] != 1],
    "merge": lambda d, s: d.merge(d[["g"]].drop_duplicates(), on="g")["y"] + s.iloc[0],
}

CELLS = st.one_of(st.floats(-4, 4, allow_nan=False), st.just(np.nan))
FRAMES = st.integers(1, 7).flatmap(
    lambda n: st.fixed_dictionaries(
        {
            "x": st.lists(CELLS, min_size=n, max_size=n),
            "y": st.lists(CELLS, min_size=n, max_size=n),
            "g": st.lists(st.integers(0, 2), min_size=n, max_size=n),
        }
    )
)


def run_pipeline(kind, data, steps, bound, folder):
    tracker = kind(tenant_id="acme", max_nodes=bound)
    storage = writer = None
    if folder is not None:
        storage = SQLiteStorage(str(Path(folder) / f"{kind.__name__}.db"), tenant_id="acme")
        tracker._pipeline_id = storage.create_pipeline("random")
        writer = tracker._writer = AsyncWriter(storage, WriterConfig(batch_size=7))
        writer.start()
        tracker._value_flush_threshold = 9
    frame = wrap_dataframe_dag(pd.DataFrame(data), tracker, "loans", protected=["g"])
    series = frame["x"]
    error = None
    try:
        for name in steps:
            series = STEPS[name](frame, series)
    except Exception as exc:  # noqa: BLE001 - both paths must fail alike
        series, error = None, type(exc).__name__
    outcome = state(tracker, series)
    outcome["error"] = error
    outcome["evictions"] = tracker._log.evictions
    if series is not None and len(series):
        dag = tracker.get_dag(int(series._node_ids[-1]))
        outcome["dag"] = (dag.nodes, dag.edges, tracker.dag_stats())
    if writer is not None:
        tracker._writer = None
        assert writer.stop(timeout=30)
        outcome["stored"] = (
            storage.get_nodes(tracker._pipeline_id),
            storage.get_edges(tracker._pipeline_id),
        )
        storage.disconnect()
    return outcome


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    data=FRAMES,
    steps=st.lists(st.sampled_from(sorted(STEPS)), min_size=1, max_size=5),
    bound=st.integers(8, 80),
    persist=st.booleans(),
)
# a batch whose later rows evict its first, among them a comparison with a constant
@example(
    data={
        "x": [0.0, 0.0, np.nan, 0.0, np.nan, 0.0, np.nan],
        "y": [np.nan, 0.0, 0.0, np.nan, np.nan, 0.0, np.nan],
        "g": [0] * 7,
    },
    steps=["merge", "where"],
    bound=8,
    persist=True,
)
def test_random_pipelines_match_the_public_calls(data, steps, bound, persist):
    with tempfile.TemporaryDirectory() as folder:
        where = folder if persist else None
        fast = run_pipeline(DAGTracker, data, steps, bound, where)
        slow = run_pipeline(PublicCalls, data, steps, bound, where)
    assert fast == slow
