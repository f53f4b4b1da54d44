"""The DAG road's per-element log against plain pandas, measured in one run.

A 10-operation pipeline on 10^6 rows (a filter, arithmetic with constants, a threshold,
``where``, ``clip``, ``np.where``): plain pandas, tracked with the per-element log switched
off (the DAG road as it was, near enough), then tracked with it on (every
node's value and row, constants as nodes, source cells), then with the log taken as an
``ElementLog`` and stored with the DAG (``persist_to_storage(results=...)`` into SQLite; a
store without ``write_element_log`` stores the DAG only, and the line says so). Also one
applicant's ``element_lineage``.

    .venv/bin/python benchmarks/bench_element_log.py [--rows 1000000]
"""

from __future__ import annotations

import argparse
import gc
import tempfile
import time
from functools import partial
from pathlib import Path

import numpy as np
import pandas as pd

from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag
from quorvane.utilities.persistence import SQLiteStorage


def frame(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(0)
    df = pd.DataFrame(
        {
            "income": rng.lognormal(8, 0.5, size=n),
            "debt": rng.lognormal(6, 1.0, size=n),
            "married": rng.integers(0, 2, size=n),
        },
        index=pd.RangeIndex(n, name="applicant"),
    )
    df.loc[df.index[::10], "debt"] = np.nan
    return df


def pipeline(d: pd.DataFrame) -> pd.Series:
    """Ten element-wise operations a credit decision might take, after a ``dropna``, on
    plain or tracked frames."""
    d = d.dropna()
    ratio = d["debt"] / d["income"]  # 1
    score = 800 - ratio * 250  # 2, 3
    score = score + d["married"] * 20  # 4, 5
    score = score.where(ratio < 2, 300.0).clip(0, 1000)  # 6, 7, 8
    d = d.assign(score=score)
    d["approved"] = np.where(d["score"] >= 650, 1, 0)  # 9, 10
    return d["approved"]


def without_element_log(tracker: DAGTracker) -> DAGTracker:
    """The same tracker with the per-element log switched off, as near as a benchmark can:
    no values or rows kept, no source cells (elements start at their column's node), no
    constants (a step with one has the other operands only)."""
    tracker._log_cells = lambda column, words, rows: np.full(len(words), column, np.int64)
    tracker.log_constant = lambda value: -1
    store = tracker._elements
    for name in ("made_elementwise", "made_segments", "made_windows", "record"):
        setattr(store, name, lambda *args, **kwargs: None)
    return tracker


def bare_run(source: pd.DataFrame, tracker: DAGTracker) -> pd.Series:
    return pipeline(wrap_dataframe_dag(source, tracker, "applications", protected=["married"]))


def timed(call) -> tuple[float, object]:
    gc.collect()
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    n = parser.parse_args().rows
    source = frame(n)
    plain, _ = min((timed(lambda: pipeline(source)) for _ in range(3)), key=lambda t: t[0])

    tracker = DAGTracker(max_nodes=50_000_000)
    tracker._value_buffer_cap = 0  # the per-row value buffer of the stored summary: off

    def tracked_run():
        return pipeline(wrap_dataframe_dag(source, tracker, "applications", protected=["married"]))

    bare = without_element_log(DAGTracker(max_nodes=50_000_000))
    bare._value_buffer_cap = 0
    baseline, _ = timed(partial(bare_run, source, bare))
    bare = None  # its log's memory back before the next run
    tracked, approved = timed(tracked_run)
    snapshot, log = timed(lambda: tracker.element_log({"approved": approved}))
    with tempfile.TemporaryDirectory() as folder:
        storage = SQLiteStorage(str(Path(folder) / "bench.db"))
        stored, _ = timed(
            lambda: tracker.persist_to_storage(storage, results={"approved": approved})
        )
        kept = "per-element log stored" if hasattr(storage, "write_element_log") else "DAG only"
    node = int(approved._node_ids[n // 3])
    lineage_time, lineage = timed(lambda: tracker.element_lineage(node))

    print(f"pandas {pd.__version__}, numpy {np.__version__}, {n:,} rows, {log.size:,} nodes")
    print(f"{'':<44}{'seconds':>10}{'x pandas':>10}")
    print(f"{'plain pandas':<44}{plain:>10.3f}{1:>10.1f}")
    print(f"{'tracked, per-element log off':<44}{baseline:>10.3f}{baseline / plain:>10.1f}")
    print(f"{'tracked, per-element log in memory':<44}{tracked:>10.3f}{tracked / plain:>10.1f}")
    with_log = tracked + snapshot
    print(f"{'  + element_log() snapshot':<44}{with_log:>10.3f}{with_log / plain:>10.1f}")
    total = tracked + stored
    label = f"  + persist_to_storage, SQLite ({kept})"
    print(f"{label:<44}{total:>10.3f}{total / plain:>10.1f}")
    print(
        f"element_lineage of one applicant: {lineage_time * 1e3:.2f} ms, "
        f"{len(lineage.steps)} steps; element-ops/s tracked: {log.size / tracked:,.0f}"
    )


if __name__ == "__main__":
    main()
