"""Engine batch kernels against plain pandas/numpy on the same arrays, in the same run.

Prints ns/element for 10^6-element arrays of ``combine_batch``, ``update_chain_batch`` and
``encode_source_column`` beside pandas ``a + b`` (float64 Series) and numpy ``a | b`` (the
same uint32 arrays), for three kinds of columns:

  (i)   two source columns: mode-00 words, 256 entity values
  (ii)  a mix whose results reach modes 01 and 10: a column stacked from rows derived from
        two sources and rows from one (as after a concat), combined with a third source
  (ii-r) the same mix shuffled row by row: the worst case for the kernel (no target)
  (iii) dense-mode words (four and more pairs)

Targets: combine_batch at most 1.5x pandas a+b on (i), 3x on (ii), 20 ns/element on (iii).
Run: ``make bench`` or ``PYTHONPATH=src python benchmarks/bench_engine.py [--n N]``.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

import numpy as np
import pandas as pd

from quorvane._orrin32 import (
    RustProvenanceTracker,
    combine_batch,
    encode_source_column,
    update_chain_batch,
)

ADD, MUL = 1, 3
TARGETS = {"(i)": ("x pandas", 1.5), "(ii)": ("x pandas", 3.0), "(iii)": ("ns", 20.0)}
NO_TARGET = ("", 0.0)


def best_seconds(fn: Callable[[], object], repeats: int) -> float:
    fn()  # warm caches and allocator
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def scenarios(engine: RustProvenanceTracker, n: int, rng: np.random.Generator):
    def source(pair_id: int, taint: bool) -> np.ndarray:
        entities = rng.integers(0, 256, n, dtype=np.uint32)
        return encode_source_column(engine, pair_id, entities, taint)

    s0, s1, s2, s3, s4 = (source(i, i == 1) for i in range(5))
    two = combine_batch(engine, s0, s1, ADD)  # mode 01
    stacked = np.concatenate([two[: n // 2], s0[n // 2 :]])  # mode 01 rows, then mode 00 rows
    shuffled = rng.permutation(stacked)
    three = combine_batch(engine, two, s2, MUL)  # mode 10
    dense_a = combine_batch(engine, three, s3, ADD)  # 4 pairs
    dense_b = combine_batch(engine, np.where(rng.random(n) < 0.5, dense_a, three), s4, ADD)
    return {
        "(i)": (s0, s1),
        "(ii)": (stacked, s2),
        "(ii-r)": (shuffled, s2),
        "(iii)": (dense_a, dense_b),
    }


def measure(
    engine: RustProvenanceTracker, a: np.ndarray, b: np.ndarray, entities: np.ndarray, repeats: int
) -> dict[str, float]:
    fa, fb = pd.Series(a.astype(np.float64)), pd.Series(b.astype(np.float64))
    return {
        "combine": best_seconds(lambda: combine_batch(engine, a, b, ADD), repeats),
        "update": best_seconds(lambda: update_chain_batch(engine, a, MUL), repeats),
        "encode": best_seconds(lambda: encode_source_column(engine, 7, entities, False), repeats),
        "pandas": best_seconds(lambda: fa + fb, repeats),
        "numpy": best_seconds(lambda: a | b, repeats),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description="engine batch kernels vs pandas/numpy")
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    n, rng = args.n, np.random.default_rng(2024)
    engine = RustProvenanceTracker()
    entities = rng.integers(0, 256, n, dtype=np.uint32)

    header = (
        f"{'columns':8} {'combine':>9} {'update':>9} {'encode':>9} {'pd a+b':>9} {'np a|b':>9}"
        f" {'combine/pd':>11} {'target':>14}"
    )
    print(f"ns/element, n = {n:,}, best of {args.repeats}")
    print(header)
    print("-" * len(header))
    for name, (a, b) in scenarios(engine, n, rng).items():
        times = measure(engine, a, b, entities, args.repeats)
        ns = {k: v / n * 1e9 for k, v in times.items()}
        ratio = times["combine"] / times["pandas"]
        unit, limit = TARGETS.get(name, NO_TARGET)
        met = (ratio if unit == "x pandas" else ns["combine"]) <= limit
        target = f"<= {limit:g}{'x' if unit == 'x pandas' else ' ns'} {'ok' if met else 'MISSED'}"
        target = target if unit else "-"
        print(
            f"{name:8} {ns['combine']:9.2f} {ns['update']:9.2f} {ns['encode']:9.2f}"
            f" {ns['pandas']:9.2f} {ns['numpy']:9.2f} {ratio:11.2f} {target:>14}"
        )


if __name__ == "__main__":
    main()
