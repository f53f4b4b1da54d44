"""Cost of recording the row values of one operation on the DAG road, per element.

Each line records the values of a 10^6-element result (as the containers do after every
operation) into a fresh tracker without a writer, beside the cost of copying the same
array in the same run; then one public ``record_row_value`` call per value, and the cost of
building the stored records from the buffer, which is paid when a writer takes them (or the
buffer is read), and the memory the buffer holds per value (tracemalloc).

    .venv/bin/python benchmarks/bench_row_values.py
"""

from __future__ import annotations

import gc
import time
import tracemalloc

import numpy as np

from quorvane.recording import record_values
from quorvane.utilities.orrin32_dag import DAGTracker

N = 1_000_000


def best_of(fn, setup, repeat=5):
    times = []
    for _ in range(repeat):
        arg = setup()
        gc.collect()
        start = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    rng = np.random.default_rng(0)
    floats = rng.normal(size=N)
    with_nan = floats.copy()
    with_nan[::10] = np.nan
    words = rng.integers(0, 2**32, N, dtype=np.uint32)
    cases = {
        "float64": (floats, words),
        "float64, a tenth NaN": (with_nan, words),
        "int64": (rng.integers(0, 1000, N), words),
        "float64, words as a list": (floats, words.tolist()),
        "object, 100 distinct texts": (np.array([f"v{i % 100}" for i in range(N)], object), words),
    }
    copy = best_of(lambda a: a.copy(), lambda: floats)
    print(f"{N:,} elements; copying the float64 array: {copy * 1e9 / N:.2f} ns/element")
    print(f"{'values':28s} {'ns/element':>11s} {'x copy':>8s}")
    for name, (values, element_words) in cases.items():
        took = best_of(
            lambda tracker, v=values, w=element_words: record_values(tracker, v, w, "add"),
            DAGTracker,
        )
        print(f"{name:28s} {took * 1e9 / N:11.1f} {took / copy:8.1f}")
    calls = N // 10
    took = best_of(
        lambda tracker: [tracker.record_row_value(i, i, "add", 1.5) for i in range(calls)],
        DAGTracker,
        2,
    )
    per_value = took / calls
    print(f"{'record_row_value, per call':28s} {per_value * 1e9:11.1f} {per_value * N / copy:8.1f}")
    tracker = DAGTracker()
    tracemalloc.start()
    record_values(tracker, with_nan, words, "add")
    held = tracemalloc.get_traced_memory()[0] / len(tracker._value_buffer)
    tracemalloc.stop()
    print(f"buffer memory: {held:.1f} B per buffered value (float64, a tenth NaN)")
    tracker = DAGTracker()
    record_values(tracker, floats, words, "add")
    took = best_of(lambda t: t._value_buffer.records(), lambda: tracker, 2)
    print(f"{'records built from buffer':28s} {took * 1e9 / N:11.1f} {took / copy:8.1f}")


if __name__ == "__main__":
    main()
