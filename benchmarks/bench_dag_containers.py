"""The DAG road against plain pandas, measured in one run.

Prints, at 10^4, 10^5 and 10^6 rows:
- ns per element of element-wise operations (``a + b``, ``-a``, ``fillna``), a filter and a
  merge, tracked (node logged and value recorded per element) and plain, with the ratio;
- ``wrap_dataframe_dag`` per cell;
- bytes per node: the engine's own count of its log, and what tracemalloc sees Python
  allocate while the nodes are made (arrays of node ids and words, recorded values);
then, for a 10-operation pipeline on 10^6 rows: ``get_dag`` of one value and the peak RSS
of the process that ran it; and element-operations per second end to end with persistence
into SQLite (an ``AsyncWriter`` on a ``SQLiteStorage``), with the writer's counts.

    .venv/bin/python benchmarks/bench_dag_containers.py [--sizes 10000,100000,1000000]
"""

from __future__ import annotations

import argparse
import gc
import logging
import multiprocessing
import resource
import tempfile
import time
import tracemalloc
from functools import partial
from pathlib import Path

import numpy as np
import pandas as pd

from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag
from quorvane.utilities.persistence import AsyncWriter, SQLiteStorage, WriterConfig

OPS = {
    "a + b": lambda d: d["a"] + d["b"],
    "-a": lambda d: -d["a"],
    "a.fillna(0)": lambda d: d["a"].fillna(0),
    "filter a[a > 0]": lambda d: d["a"][d["a"] > 0],
    "merge on key": lambda d: d.merge(d[["key", "b"]].iloc[::2], on="key"),
}


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def frame(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(0)
    df = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n), "key": rng.permutation(n)})
    df.loc[df.index[::10], "a"] = np.nan
    return df


def new_tracker() -> DAGTracker:
    tracker = DAGTracker(max_nodes=50_000_000)
    tracker._value_buffer_cap = 100_000_000  # every value recorded, none dropped
    return tracker


def operations(n: int) -> list[tuple]:
    df = frame(n)
    tracked = wrap_dataframe_dag(df, new_tracker(), "bench")
    repeat = 5 if n <= 100_000 else 2
    rows = []
    for label, op in OPS.items():
        plain = best_of(partial(op, df), 10)
        dag = best_of(partial(op, tracked), repeat)
        rows.append((label, n, plain / n * 1e9, dag / n * 1e9, dag / plain))
    plain = best_of(lambda: df.copy(), 5)
    dag = best_of(lambda: wrap_dataframe_dag(df, new_tracker(), "bench"), repeat)
    cells = n * df.shape[1]
    rows.append(("wrap per cell", cells, plain / cells * 1e9, dag / cells * 1e9, dag / plain))
    return rows


def traced_peak(call) -> int:
    tracemalloc.start()
    result = call()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del result
    return peak


def bytes_per_node(n: int) -> tuple[float, float]:
    """The log's own bytes per node, and what Python allocates per node beyond what plain
    pandas allocates for the same two operations (the elements' words and node ids)."""
    df = frame(n)
    tracker = new_tracker()
    tracker._value_buffer_cap = 0  # values are not nodes: keep them out of this count
    logging.disable(logging.WARNING)  # the full buffer says so once
    tracked = wrap_dataframe_dag(df, tracker, "bench")
    before = len(tracker._nodes)
    dag = traced_peak(lambda: -(tracked["a"] + tracked["b"]))
    plain = traced_peak(lambda: -(df["a"] + df["b"]))
    logging.disable(logging.NOTSET)
    made = len(tracker._nodes) - before
    return tracker._log.bytes / len(tracker._nodes), (dag - plain) / made


def pipeline(n: int, tracker: DAGTracker) -> pd.Series:
    """Ten operations a credit score might take."""
    d = wrap_dataframe_dag(frame(n), tracker, "applications", protected=["key"])
    s = d["a"].fillna(0)  # 1
    s = s + d["b"]  # 2
    s = s * 0.5  # 3
    s = s.where(d["key"] % 2 == 0, 0.0)  # 4, 5 (the condition), 6 (where)
    s = np.log1p(s.abs())  # 7, 8
    s = s.clip(0, 3)  # 9
    return s - d["b"]  # 10


def _pipeline_in_child(n: int, answer) -> None:
    tracker = new_tracker()
    start = time.perf_counter()
    result = pipeline(n, tracker)
    built = time.perf_counter() - start
    node = int(result._node_ids[n // 2])
    start = time.perf_counter()
    dag = tracker.get_dag(node)
    lineage = time.perf_counter() - start
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    answer.send((built, lineage, len(dag.nodes), len(tracker._nodes), peak_mb))


def pipeline_figures(n: int) -> tuple:
    """Run in a fresh process, so that its peak RSS is the pipeline's own."""
    receive, send = multiprocessing.Pipe(duplex=False)
    child = multiprocessing.get_context("fork").Process(target=_pipeline_in_child, args=(n, send))
    child.start()
    figures = receive.recv()
    child.join()
    return figures


def persisted(n: int) -> tuple:
    with tempfile.TemporaryDirectory() as folder:
        storage = SQLiteStorage(str(Path(folder) / "bench.db"))
        tracker = new_tracker()
        tracker._pipeline_id = storage.create_pipeline("bench")
        writer = tracker._writer = AsyncWriter(storage, WriterConfig(batch_size=5000))
        writer.start()
        before = len(tracker._nodes)
        start = time.perf_counter()
        d = wrap_dataframe_dag(frame(n), tracker, "bench")
        s = (d["a"] + d["b"]).fillna(0) * 2
        tracker._writer = None
        stored = writer.stop(timeout=600)
        elapsed = time.perf_counter() - start
        element_ops = len(tracker._nodes) - before
        stats = writer.get_stats()
        del s
        return element_ops / elapsed, stored, stats


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10000,100000,1000000")
    sizes = [int(x) for x in parser.parse_args().sizes.split(",")]
    print(f"pandas {pd.__version__}, numpy {np.__version__}")
    print(f"{'operation':<18}{'elements':>10}{'pandas ns/el':>14}{'DAG ns/el':>12}{'ratio':>10}")
    for n in sizes:
        for label, count, plain_ns, dag_ns, ratio in operations(n):
            print(f"{label:<18}{count:>10}{plain_ns:>14.1f}{dag_ns:>12.1f}{ratio:>10.1f}")
    largest = sizes[-1]
    engine, python = bytes_per_node(largest)
    print(f"\nbytes per node at {largest} rows: log {engine:.1f}, Python beside it {python:.1f}")
    built, lineage, reached, total, peak_mb = pipeline_figures(largest)
    print(
        f"10-operation pipeline, {largest} rows: built in {built:.2f} s, {total} nodes; "
        f"get_dag of one value {lineage * 1e3:.3f} ms ({reached} nodes); peak RSS {peak_mb:.0f} MB"
    )
    rate, stored, stats = persisted(largest)
    print(
        f"with persistence into SQLite: {rate:,.0f} element-ops/s end to end; "
        f"all stored: {stored}; writer counts {stats}"
    )


if __name__ == "__main__":
    main()
