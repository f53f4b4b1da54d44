"""Cost of the tracked containers against plain pandas, measured in the same run.

Prints one table: for each operation the best-of-N time of the tracked call, of the plain
pandas call it replaces, and their ratio. Run: ``.venv/bin/python benchmarks/bench_containers.py``
(``--quick`` for fewer repeats; ``--large`` for the rows the targets are set for, at 10^6 and
10^7 elements; ``--storages`` for those rows with the words in the columns' arrays and beside
them, side by side, at 10^6, and with ``--large`` also at 10^7).
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable

import numpy as np
import pandas as pd

from quorvane.tracking import storing_words_in_arrays
from quorvane.utilities.orrin32 import (
    ProvenanceTracker,
    column_risk_report,
    provenance_entropy,
    wrap_dataframe,
)

REPEATS = 3 if "--quick" in sys.argv else 7


def _once(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def best(fn: Callable[[], object]) -> float:
    fn()  # warm caches (engine memo, pandas dispatch)
    return min(_once(fn) for _ in range(REPEATS))


def pair(tracked: Callable[[], object], base: Callable[[], object]) -> tuple[float, float]:
    """Best times of both, measured alternately so that machine noise hits both alike."""
    tracked(), base()
    t_times, b_times = [], []
    for _ in range(REPEATS):
        t_times.append(_once(tracked))
        b_times.append(_once(base))
    return min(t_times), min(b_times)


def frames(n: int, tracker: ProvenanceTracker, seed: int = 0):
    rng = np.random.default_rng(seed)
    plain = pd.DataFrame(
        {
            "a": rng.normal(50, 20, n),
            "b": rng.normal(10, 5, n),
            "k": rng.integers(0, 20, n),
        }
    )
    plain.loc[plain.index[::10], "a"] = np.nan
    wrapped = wrap_dataframe(plain, tracker, f"t{n}_{seed}", protected=["b"])
    return plain, wrapped


def series_rows(n: int) -> list[tuple[str, float, float]]:
    tracker = ProvenanceTracker()
    plain, wrapped = frames(n, tracker)
    pa, pb, pk = plain["a"], plain["b"], plain["k"]
    ta, tb, tk = wrapped["a"], wrapped["b"], wrapped["k"]
    mapping = {i: i * 2 for i in range(20)}
    cases = [
        ("a + b", lambda: ta + tb, lambda: pa + pb),
        ("a * b", lambda: ta * tb, lambda: pa * pb),
        ("a > b", lambda: ta > tb, lambda: pa > pb),
        ("a > 0.5", lambda: ta > 0.5, lambda: pa > 0.5),
        ("-a", lambda: -ta, lambda: -pa),
        ("clip", lambda: ta.clip(0, 60), lambda: pa.clip(0, 60)),
        ("fillna", lambda: ta.fillna(0), lambda: pa.fillna(0)),
        ("map", lambda: tk.map(mapping), lambda: pk.map(mapping)),
        ("replace", lambda: tk.replace(3, 30), lambda: pk.replace(3, 30)),
    ]
    return [(f"{name} @ {n:,}", *pair(tracked, base)) for name, tracked, base in cases]


def merge_row(n: int) -> tuple[str, float, float]:
    tracker = ProvenanceTracker()
    rng = np.random.default_rng(1)
    left = pd.DataFrame({"key": rng.permutation(n), "x": rng.normal(size=n)})
    right = pd.DataFrame({"key": rng.permutation(n), "y": rng.normal(size=n)})
    tl = wrap_dataframe(left, tracker, "left")
    tr = wrap_dataframe(right, tracker, "right")
    return (
        f"merge {n:,} x {n:,}",
        *pair(lambda: tl.merge(tr, on="key"), lambda: left.merge(right, on="key")),
    )


def row_rows(n: int) -> list[tuple[str, float, float]]:
    """Row operations: the words are gathered beside pandas' own gather."""
    tracker = ProvenanceTracker()
    plain, wrapped = frames(n, tracker, seed=4)
    rng = np.random.default_rng(5)
    shuffled = rng.permutation(n)
    plain_b = plain["b"].iloc[shuffled]
    tracked_b = wrapped["b"].iloc[shuffled]
    half_p, half_t = plain.iloc[: n // 2], wrapped.iloc[: n // 2]
    cases = [
        ("boolean filter", lambda: wrapped[wrapped["a"] > 50], lambda: plain[plain["a"] > 50]),
        ("sort_values", lambda: wrapped.sort_values("a"), lambda: plain.sort_values("a")),
        ("concat", lambda: pd.concat([half_t, half_t]), lambda: pd.concat([half_p, half_p])),
        (
            "rename",
            lambda: wrapped.rename(columns={"a": "x"}),
            lambda: plain.rename(columns={"a": "x"}),
        ),
        ("a + b, other order", lambda: wrapped["a"] + tracked_b, lambda: plain["a"] + plain_b),
    ]
    return [(f"{name} @ {n:,}", *pair(tracked, base)) for name, tracked, base in cases]


def every_input_rows(n: int) -> list[tuple[str, float, float]]:
    """Operations whose words combine every input: operators, ufuncs, conditions, groups,
    windows and rows."""
    tracker = ProvenanceTracker()
    plain, wrapped = frames(n, tracker, seed=6)
    rng = np.random.default_rng(7)
    plain["g"] = rng.integers(0, 1000, n)
    wrapped["g"] = wrap_dataframe(plain[["g"]], tracker, f"groups{n}")["g"]
    pa, pb, pg = plain["a"], plain["b"], plain["g"]
    ta, tb = wrapped["a"], wrapped["b"]
    small_p, small_t = plain.iloc[: n // 100], wrapped.iloc[: n // 100]
    sorted_pa, sorted_ta = plain.sort_values("b")["a"], wrapped.sort_values("b")["a"]
    pf, tf = plain[["a", "b"]], wrapped[["a", "b"]]
    cases = [
        ("a == b", lambda: ta == tb, lambda: pa == pb),
        ("frame + frame", lambda: tf + tf[::-1], lambda: pf + pf[::-1]),
        ("frame.mul(g, axis=0)", lambda: tf.mul(wrapped["g"], axis=0), lambda: pf.mul(pg, axis=0)),
        ("frame.mean()", tf.mean, pf.mean),
        ("frame.sum(axis=1)", lambda: tf.sum(axis=1), lambda: pf.sum(axis=1)),
        ("(a > 0) & (b > 0)", lambda: (ta > 0) & (tb > 0), lambda: (pa > 0) & (pb > 0)),
        ("np.log(a)", lambda: np.log(ta), lambda: np.log(pa)),
        ("a.where(b > 10, 0)", lambda: ta.where(tb > 10, 0.0), lambda: pa.where(pb > 10, 0.0)),
        (
            "groupby transform mean, 1000 groups",
            lambda: wrapped.groupby("g")["a"].transform("mean"),
            lambda: plain.groupby(pg)["a"].transform("mean"),
        ),
        ("rolling(30).mean()", lambda: ta.rolling(30).mean(), lambda: pa.rolling(30).mean()),
        (
            "rolling(30).mean() in b's order",
            lambda: sorted_ta.rolling(30).mean(),
            lambda: sorted_pa.rolling(30).mean(),
        ),
        ("cumsum() in b's order", lambda: sorted_ta.cumsum(), lambda: sorted_pa.cumsum()),
        (
            "filter by b, then rolling(30).mean()",
            lambda: wrapped[tb > 10]["a"].rolling(30).mean(),
            lambda: plain[pb > 10]["a"].rolling(30).mean(),
        ),
        (
            "filter by b, then groupby transform mean",
            lambda: wrapped[tb > 10].groupby("g")["a"].transform("mean"),
            lambda: plain[pb > 10].groupby("g")["a"].transform("mean"),
        ),
        (
            f"apply(axis=1) @ {n // 100:,} rows",
            lambda: small_t.apply(lambda r: r["a"] * r["b"], axis=1),
            lambda: small_p.apply(lambda r: r["a"] * r["b"], axis=1),
        ),
    ]
    return [(f"{name} @ {n:,}", *pair(tracked, base)) for name, tracked, base in cases]


def wrap_row(n: int) -> list[tuple[str, float, float]]:
    rng = np.random.default_rng(2)
    df = pd.DataFrame({f"c{i}": rng.normal(size=n) for i in range(10)})
    tracker = ProvenanceTracker()
    counter = iter(range(10**6))
    wrap, copy = pair(lambda: wrap_dataframe(df, tracker, f"w{next(counter) % 40}"), df.copy)
    hash_pass = best(lambda: [hash(label) for label in df.index])
    return [
        (f"wrap_dataframe 10 cols @ {n:,} vs copy", wrap, copy),
        (f"wrap_dataframe 10 cols @ {n:,} vs 3*copy+hash", wrap, 3 * copy + hash_pass),
    ]


def audit_rows(n: int) -> list[tuple[str, float, float]]:
    tracker = ProvenanceTracker()
    _, wrapped = frames(n, tracker, seed=3)
    wrapped["ab"] = wrapped["a"] * wrapped["b"]
    wrapped["abk"] = wrapped["ab"] + wrapped["k"]
    series = wrapped["abk"]
    columns = len(wrapped.columns)
    # Baselines: the plain numpy cost of reading each column once (a sum).
    arrays = [np.asarray(wrapped._col_prov[c]) for c in wrapped.columns]
    return [
        (
            f"column_risk_report {columns} cols @ {n:,}",
            *pair(lambda: column_risk_report(wrapped), lambda: [a.sum() for a in arrays]),
        ),
        (
            f"provenance_entropy @ {n:,}",
            *pair(lambda: provenance_entropy(series), lambda: series._prov.sum()),
        ),
    ]


def text_rows(n: int) -> list[tuple[str, float, float]]:
    """Row operations keyed by a text column (a protected attribute held as text)."""
    tracker = ProvenanceTracker()
    rng = np.random.default_rng(7)
    names = np.array([f"g{i}" for i in range(20)], dtype=object)
    plain = pd.DataFrame({"race": names[rng.integers(0, 20, n)], "a": rng.normal(50, 20, n)})
    wrapped = wrap_dataframe(plain, tracker, f"text{n}", protected=["race"])
    rates = plain.groupby("race", as_index=False)["a"].mean().rename(columns={"a": "rate"})
    tracked_rates = wrap_dataframe(rates, tracker, f"rates{n}")

    def made(frame: pd.DataFrame) -> pd.DataFrame:
        # columns the containers make: a text method's, a conversion's, a mapping's
        codes = {f"g{i}": i % 3 for i in range(20)}
        return frame.assign(
            up=frame["race"].str.upper(), a32=frame["a"].astype("float32"),
            code=frame["race"].map(codes),
        )  # fmt: skip

    made_t, made_p = made(wrapped), made(plain)
    cases = [
        (
            "text .str.upper()",
            lambda: wrapped["race"].str.upper(),
            lambda: plain["race"].str.upper(),
        ),
        (
            "astype(float32)",
            lambda: wrapped["a"].astype("float32"),
            lambda: plain["a"].astype("float32"),
        ),
        (
            "filter, made columns",
            lambda: made_t[made_t["a"] > 50],
            lambda: made_p[made_p["a"] > 50],
        ),
        (
            "sort, made columns",
            lambda: made_t.sort_values("a32"),
            lambda: made_p.sort_values("a32"),
        ),
        (
            "text filter",
            lambda: wrapped[wrapped["race"] == "g1"],
            lambda: plain[plain["race"] == "g1"],
        ),
        (
            "text-key merge",
            lambda: wrapped.merge(tracked_rates, on="race"),
            lambda: plain.merge(rates, on="race"),
        ),
        (
            "text-key groupby transform",
            lambda: wrapped.groupby("race")["a"].transform("mean"),
            lambda: plain.groupby("race")["a"].transform("mean"),
        ),
    ]
    return [(f"{name} @ {n:,}", *pair(tracked, base)) for name, tracked, base in cases]


def large_rows(n: int) -> list[tuple[str, float, float]]:
    """The rows the targets are set for, at one size: element-wise operators, row operations
    and a group transform; then the same by a text column."""
    rows = [
        r for r in series_rows(n) if r[0].split(" @ ")[0] in ("a + b", "a > b", "a > 0.5", "fillna")
    ]
    rows += [r for r in row_rows(n) if r[0].split(" @ ")[0] in ("boolean filter", "sort_values")]
    rows.append(merge_row(n))
    rows += [r for r in row_rows(n) if r[0].startswith("concat")]
    tracker = ProvenanceTracker()
    plain, wrapped = frames(n, tracker, seed=6)
    rows.append(
        (
            f"groupby transform @ {n:,}",
            *pair(
                lambda: wrapped.groupby("k")["a"].transform("mean"),
                lambda: plain.groupby("k")["a"].transform("mean"),
            ),
        )
    )
    return rows + text_rows(n)


def storages_rows(n: int) -> list[tuple[str, float, float, float]]:
    """The target rows at ``n``, with the words in the columns' arrays (the default) and
    beside them: (operation, in arrays, beside, plain pandas)."""
    with storing_words_in_arrays(True):
        inside = large_rows(n)
    with storing_words_in_arrays(False):
        beside = large_rows(n)
    return [
        (name, t_in, t_beside, min(b_in, b_beside))
        for (name, t_in, b_in), (_, t_beside, b_beside) in zip(inside, beside, strict=True)
    ]


def main() -> None:
    rows: list[tuple[str, float, float]] = []
    if "--storages" in sys.argv:  # the target rows with each storage of the words, side by side
        sizes = (10**6, 10**7) if "--large" in sys.argv else (10**6,)
        _print_storages([r for n in sizes for r in storages_rows(n)])
        return
    if "--large" in sys.argv:  # the target rows at 10^6 and 10^7
        for n in (10**6, 10**7):
            rows += large_rows(n)
        _print(rows)
        return
    for n in (10**5, 10**6):
        rows += series_rows(n)
    rows.append(merge_row(10**5))
    rows.append(merge_row(10**6))
    rows += row_rows(10**6)
    rows += every_input_rows(10**6)
    for n in (10**5, 10**6):
        rows += wrap_row(n)
    rows += audit_rows(10**6)
    rows += text_rows(10**6)
    _print(rows)


def _print(rows: list[tuple[str, float, float]]) -> None:
    width = max(len(r[0]) for r in rows)
    print(f"{'operation':<{width}}  {'tracked ms':>10}  {'baseline ms':>11}  {'ratio':>6}")
    for name, tracked, base in rows:
        print(
            f"{name:<{width}}  {tracked * 1e3:>10.2f}  {base * 1e3:>11.2f}  {tracked / base:>6.2f}"
        )


def _print_storages(rows: list[tuple[str, float, float, float]]) -> None:
    width = max(len(r[0]) for r in rows)
    print(
        f"{'operation':<{width}}  {'arrays ms':>9}  {'beside ms':>9}  {'pandas ms':>9}"
        f"  {'arrays x':>8}  {'beside x':>8}"
    )
    for name, inside, beside, base in rows:
        print(
            f"{name:<{width}}  {inside * 1e3:>9.2f}  {beside * 1e3:>9.2f}  {base * 1e3:>9.2f}"
            f"  {inside / base:>8.2f}  {beside / base:>8.2f}"
        )


if __name__ == "__main__":
    main()
