"""Cost of words columns (values and words in one pandas extension array) against plain
pandas, measured in the same run, and of the engine's combine kernel against numpy.

Run: ``.venv/bin/python benchmarks/bench_words_array.py`` (``--quick``: 10^6 rows only).
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable

import numpy as np
import pandas as pd

from quorvane import _orrin32
from quorvane.tracking import WordsArray
from quorvane.utilities.orrin32 import OpCode, ProvenanceTracker

QUICK = "--quick" in sys.argv
SIZES = [10**6] if QUICK else [10**6, 10**7]


def _once(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def pair(words: Callable[[], object], plain: Callable[[], object], repeats: int):
    """Best times of both, measured alternately so that machine noise hits both alike."""
    words(), plain()
    w_times, p_times = [], []
    for _ in range(repeats):
        w_times.append(_once(words))
        p_times.append(_once(plain))
    return min(w_times), min(p_times)


def column(tracker: ProvenanceTracker, name: str, values: np.ndarray) -> WordsArray:
    pair_id = tracker.register("bench", name, protected=name == "b")
    entities = (np.arange(len(values)) & 0xFF).astype(np.uint32)
    words = _orrin32.encode_source_column(
        tracker._rust, pair_id, entities, tracker.is_protected("bench", name)
    )
    return WordsArray.from_values(values, words, tracker)


def frames(n: int):
    rng = np.random.default_rng(0)
    a = rng.normal(50, 20, n)
    a[::10] = np.nan
    plain = pd.DataFrame({"a": a, "b": rng.normal(10, 5, n), "k": rng.integers(0, 20, n)})
    tracker = ProvenanceTracker()
    words = pd.DataFrame(
        {"a": column(tracker, "a", plain["a"].to_numpy()),
         "b": column(tracker, "b", plain["b"].to_numpy()),
         "k": plain["k"]}
    )  # fmt: skip
    rates = np.linspace(0.1, 2.0, 20)
    plain_rates = pd.DataFrame({"k": np.arange(20), "rate": rates})
    words_rates = pd.DataFrame({"k": np.arange(20), "rate": column(tracker, "rate", rates)})
    return plain, words, plain_rates, words_rates


def rows(n: int) -> list[tuple[str, float, float]]:
    plain, words, plain_rates, words_rates = frames(n)
    cases = {
        "a + b": (lambda f, r: f["a"] + f["b"]),
        "a > b": (lambda f, r: f["a"] > f["b"]),
        "fillna": (lambda f, r: f["a"].fillna(0)),
        "filter": (lambda f, r: f[f["k"] > 9]),
        "sort": (lambda f, r: f.sort_values("b")),
        "merge": (lambda f, r: f.merge(r, on="k")),
        "concat": (lambda f, r: pd.concat([f, f])),
        "groupby transform": (lambda f, r: f.groupby("k")["a"].transform("sum")),
    }
    repeats = 5 if n <= 10**6 else 3
    out = []
    for name, op in cases.items():
        w, p = pair(lambda op=op: op(words, words_rates), lambda op=op: op(plain, plain_rates),
                    repeats)  # fmt: skip
        out.append((f"{name} @ {n:,}", w, p))
    return out


def kernel_rows(n: int) -> list[tuple[str, float, float]]:
    tracker = ProvenanceTracker()
    a = column(tracker, "a", np.zeros(n)).words
    b = column(tracker, "b", np.zeros(n)).words
    w, p = pair(lambda: _orrin32.combine_batch(tracker._rust, a, b, OpCode.ADD),
                lambda: np.bitwise_or(a, b), 5)  # fmt: skip
    return [(f"combine_batch vs bitwise_or @ {n:,} (ns/elem)", w / n * 1e9, p / n * 1e9)]


def main() -> None:
    table = []
    for n in SIZES:
        table += rows(n)
        table += kernel_rows(n)
    print(f"{'operation':<52} {'words':>10} {'plain':>10} {'ratio':>7}")
    for name, w, p in table:
        unit = "" if "ns/elem" in name else "s"
        print(f"{name:<52} {w:>9.4f}{unit} {p:>9.4f}{unit} {w / p:>6.2f}x")


if __name__ == "__main__":
    main()
