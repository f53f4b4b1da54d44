"""Cost per element of the DAG-tracked containers against plain pandas, measured in one run.

Prints ns per element and the ratio to the same operation on plain pandas objects, the
ratio of row operations (which move node ids and words and log nothing), then where the
time of each tracked operation goes (words, nodes, recorded values), from a
cProfile run. The DAG road works element by element by design.

    .venv/bin/python benchmarks/bench_dag_containers.py
"""

from __future__ import annotations

import cProfile
import gc
import pstats
import time
from functools import partial

import numpy as np
import pandas as pd

from quorvane.utilities.orrin32_dag import DAGTrackedDataFrame, DAGTracker, wrap_dataframe_dag

SIZES = (10_000, 100_000)
WRAP_SHAPE = (100_000, 10)
ROW_OPS_SIZE = 1_000_000

# Tracker methods the containers call per element, by what they pay for.
# The containers call the engine's word functions and the tracker's per-element node
# logger directly when the tracker's own methods are not replaced, and record the values
# of a whole operation in one batch. cProfile does not see the engine's functions, so in
# operations the word time shows under "rest".
PARTS = {
    "word": ("combine", "update_chain", "encode", "entity_from_row"),
    "node": ("log_binary", "log_unary", "create_source_node", "log_node"),
    "value record": ("record_row_value", "_record_batch", "_record_each"),
}


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def tracked_pair(n):
    tracker = DAGTracker()
    rng = np.random.default_rng(0)
    df = pd.DataFrame(
        {"a": rng.normal(size=n), "b": rng.normal(size=n)}, index=[f"r{i}" for i in range(n)]
    )
    df.loc[df.index[::10], "a"] = np.nan
    frame = wrap_dataframe_dag(df, tracker, "bench")
    return tracker, df, frame["a"], frame["b"]


def fresh(a, b):
    """Empty the tracker's tables so that every measurement starts from the same state."""
    tracker = a._tracker
    tracker._nodes.clear()
    tracker._prov_to_nodes.clear()
    with tracker._value_buffer_lock:
        tracker._value_buffer.clear()


def fresh_then(op, a, b):
    fresh(a, b)
    op(a, b)


OPS = {
    "a + b": (lambda a, b: a + b),
    "-a": (lambda a, b: -a),
    "a.fillna(0)": (lambda a, b: a.fillna(0)),
}


def profile_parts(call):
    """Share of the run spent inside each kind of per-element tracker call."""
    profiler = cProfile.Profile()
    profiler.enable()
    call()
    profiler.disable()
    stats = pstats.Stats(profiler).stats
    total = sum(tt for (_cc, _nc, tt, _ct, _callers) in stats.values())
    shares = {}
    for part, names in PARTS.items():
        spent = sum(
            ct
            for (file, _line, name), (_cc, _nc, _tt, ct, _c) in stats.items()
            if name in names and "quorvane" in file  # the tracker's methods, not the engine's
        )
        shares[part] = spent / total
    shares["rest (loop, arrays, pandas)"] = 1.0 - sum(shares.values())
    return shares


def row_ops(n):
    """Row operations log nothing: node ids and words are gathered beside pandas' gather.

    Their cost does not depend on what the entries are, so the frame gets arbitrary ones
    instead of a wrap, which would record a million values per column.
    """
    rng = np.random.default_rng(3)
    df = pd.DataFrame({"a": rng.normal(size=n), "b": rng.integers(0, n, size=n)})
    frame = DAGTrackedDataFrame(
        df,
        _tracker=DAGTracker(),
        _col_prov={c: rng.integers(0, 2**32, size=n, dtype=np.uint32) for c in df},
        _col_nodes={c: rng.integers(0, n, size=n, dtype=np.int64) for c in df},
    )
    half_p, half_t = df.iloc[: n // 2], frame.iloc[: n // 2]
    cases = {
        "boolean filter": (lambda d: d[d["a"] > 0], df, frame),
        "sort_values": (lambda d: d.sort_values("a"), df, frame),
        "concat": (lambda d: pd.concat([d, d]), half_p, half_t),
        "rename": (lambda d: d.rename(columns={"a": "x"}), df, frame),
        "drop_duplicates": (lambda d: d.drop_duplicates("b"), df, frame),
    }
    out = []
    for label, (op, plain_input, tracked_input) in cases.items():
        plain = best_of(partial(op, plain_input), 5)
        tracked = best_of(partial(op, tracked_input), 5)
        out.append((label, n, tracked / plain))
    return out


def main():
    rows = []
    breakdown = {}
    for n in SIZES:
        tracker, df, a, b = tracked_pair(n)
        plain_a, plain_b = df["a"], df["b"]
        repeat = 3 if n <= 10_000 else 1
        for label, op in OPS.items():
            plain = best_of(partial(op, plain_a, plain_b), 20)
            dag = best_of(partial(fresh_then, op, a, b), repeat)
            rows.append((label, n, plain / n * 1e9, dag / n * 1e9, dag / plain))
            if n == SIZES[0]:
                fresh(a, b)
                breakdown[label] = profile_parts(partial(op, a, b))
        del tracker, a, b

    n_rows, n_cols = WRAP_SHAPE
    rng = np.random.default_rng(1)
    wide = pd.DataFrame(rng.normal(size=(n_rows, n_cols)), columns=[f"c{j}" for j in range(n_cols)])
    wide["c0"] = rng.integers(0, 100, size=n_rows)  # an int column beside floats
    plain = best_of(lambda: wide.copy(), 5)
    dag = best_of(lambda: wrap_dataframe_dag(wide, DAGTracker(), "wide"), 1)
    cells = n_rows * n_cols
    rows.append(
        (f"wrap {n_rows}x{n_cols}", cells, plain / cells * 1e9, dag / cells * 1e9, dag / plain)
    )
    small = wide.iloc[:10_000]
    breakdown["wrap_dataframe_dag"] = profile_parts(
        lambda: wrap_dataframe_dag(small, DAGTracker(), "wide")
    )

    print(f"pandas {pd.__version__}, numpy {np.__version__}")
    print(f"{'operation':<18}{'elements':>10}{'pandas ns/el':>14}{'DAG ns/el':>12}{'ratio':>10}")
    for label, n, plain_ns, dag_ns, ratio in rows:
        print(f"{label:<18}{n:>10}{plain_ns:>14.1f}{dag_ns:>12.0f}{ratio:>10.0f}")
    print(f"\n{'row operation':<18}{'rows':>10}{'DAG/pandas':>12}")
    for label, n, ratio in row_ops(ROW_OPS_SIZE):
        print(f"{label:<18}{n:>10}{ratio:>12.2f}")
    print("\nwhere the time goes (cProfile, 10^4 elements; shares of profiled time;")
    print("engine word calls made directly by the containers count under rest)")
    parts = list(next(iter(breakdown.values())))
    print(f"{'operation':<20}" + "".join(f"{p:>30}" for p in parts))
    for label, shares in breakdown.items():
        print(f"{label:<20}" + "".join(f"{shares[p]:>30.0%}" for p in parts))


if __name__ == "__main__":
    main()
