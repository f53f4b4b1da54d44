"""What-if replay: the run-level flip counts over 10^6 applicants, and one applicant's
what-if, each beside its plain baseline measured in the same run.

The run is a credit pipeline's per-element log built directly in numpy (13 nodes per
applicant: three source cells, a fillna, a clip, four multiplications or comparisons, a
where, three additions and the threshold; plus one group mean by region, held):

- flip counts: both protected attributes set to each of their values, every applicant at
  once, in the engine; the baseline recomputes the pipeline's columns in numpy once per
  value, which is what a plain rerun with the aggregates held costs;
- one applicant: its lineage read from the stored run, the replay and the answer from
  it, and the whole `quorvane.whatif` (reads included), on the run stored in SQLite and in
  a throwaway PostgreSQL cluster (best of three each); once without the group mean
  (before_peers), once through it (approved), and once with the group key changed.

    .venv/bin/python benchmarks/bench_whatif.py [N]
"""

from __future__ import annotations

import gc
import json
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from quorvane.replay import LogGroups, answer, flip_counts, replay, whatif
from quorvane.utilities.persistence import NODE_TYPES, ElementLog, PostgresStorage, open_store

N = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
THRESHOLD = 560.0


def timed(fn, repeat=3):
    best, out = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def pipeline(married, old, wage, region_mean):
    base = np.clip(np.where(np.isnan(wage), 400.0, wage), 0.0, 1000.0)
    score = base * 0.5 + married * 20.0 + np.where(old == 1.0, -10.0, 0.0) + region_mean * 0.1
    return score >= THRESHOLD


class Builder:
    """Blocks of nodes, ids ascending in creation order."""

    def __init__(self) -> None:
        self.types, self.ops, self.values, self.rows, self.inputs = [], [], [], [], []
        self.operations: list[str] = []
        self.next = 0

    def block(self, kind, op, values, rows, *inputs):
        n = len(values)
        ids = np.arange(self.next, self.next + n, dtype=np.int64)
        self.next += n
        if op not in self.operations:
            self.operations.append(op)
        self.types.append(np.full(n, NODE_TYPES.index(kind), np.uint8))
        self.ops.append(np.full(n, self.operations.index(op), np.int32))
        self.values.append(np.asarray(values, np.float64))
        self.rows.append(np.asarray(rows, np.int64))
        cols = [np.broadcast_to(np.asarray(i, np.int64), (n,)) for i in inputs]
        self.inputs.append((len(cols), np.stack(cols, 1).ravel() if cols else np.zeros(0)))
        return ids

    def ragged(self, kind, op, values, members, rows):
        ids = self.block(kind, op, values, rows)
        self.inputs[-1] = ("ragged", members)
        return ids


def synthetic_run(n: int):
    rng = np.random.default_rng(3)
    married = rng.integers(0, 2, n).astype(float)
    old = rng.integers(0, 2, n).astype(float)
    wage = rng.normal(900, 250, n).round()
    wage[rng.random(n) < 0.1] = np.nan
    region = rng.integers(0, 4, n).astype(float)
    b = Builder()
    rows = np.arange(n)
    none = np.array([-1])
    columns = b.block("SOURCE", "applicants.col", np.full(4, np.nan), np.full(4, -1))
    c = {v: b.block("CONSTANT", "constant", [v], none)[0]
         for v in (400.0, 0.0, 1000.0, 0.5, 20.0, 1.0, -10.0, 0.1, THRESHOLD)}  # fmt: skip
    cm = b.block("SOURCE", "applicants.married", married, rows, columns[0])
    co = b.block("SOURCE", "applicants.old", old, rows, columns[1])
    cw = b.block("SOURCE", "applicants.wage", wage, rows, columns[2])
    cr = b.block("SOURCE", "applicants.region", region, rows, columns[3])
    filled = np.where(np.isnan(wage), 400.0, wage)
    fw = b.block("UNARY", "fillna", filled, rows, cw, c[400.0])
    base = np.clip(filled, 0.0, 1000.0)
    cl = b.block("UNARY", "clip", base, rows, fw, c[0.0], c[1000.0])
    half = b.block("BINARY", "mul", base * 0.5, rows, cl, c[0.5])
    wed = b.block("BINARY", "mul", married * 20.0, rows, cm, c[20.0])
    is_old = b.block("BINARY", "eq", old == 1.0, rows, co, c[1.0])
    age = np.where(old == 1.0, -10.0, 0.0)
    ag = b.block("CUSTOM", "where", age, rows, is_old, c[-10.0], c[0.0])
    a1 = b.block("BINARY", "add", base * 0.5 + married * 20.0, rows, half, wed)
    a2 = b.block("BINARY", "add", base * 0.5 + married * 20.0 + age, rows, a1, ag)
    means = np.array([base[region == g].mean() for g in range(4)])
    order = np.argsort(region, kind="stable")
    members = [np.sort(np.concatenate([cl[order][region[order] == g], cr[region == g]]))
               for g in range(4)]  # fmt: skip
    # as the DAG road logs a group: its aggregate belongs to a group identity (n + g) whose
    # members are the group's rows, and so does an element-wise step of it alone
    groups = b.ragged("AGGREGATE", "mean", means, members, n + np.arange(4))
    rm = means[region.astype(int)]
    in_group = n + region.astype(int)
    sc = b.block("BINARY", "mul", rm * 0.1, in_group, groups[region.astype(int)], c[0.1])
    score = base * 0.5 + married * 20.0 + age + rm * 0.1
    s = b.block("BINARY", "add", score, rows, a2, sc)
    ok = b.block("BINARY", "ge", score >= THRESHOLD, rows, s, c[THRESHOLD])
    results = {"score": s, "approved": ok, "before_peers": a2}
    return b, (married, old, wage, rm, region), results, groups, columns, n


def to_log(built) -> ElementLog:
    b, _, results, groups, columns, n = built
    counts, flat = [], []
    for (width, data), values in zip(b.inputs, b.values, strict=True):
        if width == "ragged":
            counts.append(np.array([len(m) for m in data]))
            flat.extend(data)
        else:
            counts.append(np.full(len(values), width))
            flat.append(data.astype(np.int64))
    count = np.concatenate(counts)
    group = [None] * b.next
    for g, node in enumerate(groups.tolist()):
        group[node] = json.dumps([float(g)])
    keys = np.array([f"LA-{i:07d}" for i in range(n)], dtype=object)
    region = built[1][4]
    order = np.argsort(region, kind="stable")
    sizes = np.bincount(region.astype(int), minlength=4)
    return ElementLog(
        node_id=np.arange(b.next, dtype=np.int64),
        node_type=np.concatenate(b.types),
        operation=np.concatenate(b.ops),
        operations=tuple(b.operations),
        word=np.zeros(b.next, np.int64),
        input_start=np.concatenate([[0], np.cumsum(count)]).astype(np.int64),
        inputs=np.concatenate(flat).astype(np.int64),
        value=np.concatenate(b.values),
        text=None,
        row=np.concatenate(b.rows),
        protected=np.zeros(b.next, bool),
        identity_kind=np.concatenate([np.zeros(n, np.uint8), np.full(4, 2, np.uint8)]),
        identity_table=("applicants",) * n + ("",) * 4,
        identity_key=tuple(keys.tolist()) + ("",) * 4,
        member_start=np.concatenate([np.zeros(n + 1), np.cumsum(sizes)]).astype(np.int64),
        members=order.astype(np.int64),
        sources={
            int(columns[0]): ("applicants", "married", True),
            int(columns[1]): ("applicants", "old", True),
            int(columns[2]): ("applicants", "wage", False),
            int(columns[3]): ("applicants", "region", False),
        },  # fmt: skip
        group=tuple(group),
        results={name: (keys, nodes) for name, nodes in results.items()},
    )


def one_applicant(store, pid, key, result, changes, groups) -> None:
    repeat = 3
    took, lineage = timed(lambda: store.read_element_lineage(pid, result, key), repeat)
    print(f"{result}: one applicant's lineage read: {took * 1e3:.1f} ms, "
          f"{len(lineage.steps):,} steps")  # fmt: skip
    took, said = timed(lambda: answer(replay(lineage, changes, groups), result, changes), repeat)
    print(f"{result}: one applicant, replay and answer: {took * 1e3:.1f} ms; target 100 ms")
    took, said = timed(lambda: whatif(store, pid, key, changes, result=result), repeat)
    print(f"{result}: quorvane.whatif on the stored run, reads included: {took * 1e3:.1f} ms")
    print("  " + said.sentence())


def main() -> None:
    built = synthetic_run(N)
    married, old, wage, rm, region = built[1]
    log = to_log(built)
    print(f"{N:,} applicants, {log.size:,} nodes, {len(log.inputs):,} inputs")

    def plain():
        before = pipeline(married, old, wage, rm)
        for v in (0.0, 1.0):
            set_to = np.full(N, v)
            for changed in (pipeline(set_to, old, wage, rm), pipeline(married, set_to, wage, rm)):
                _ = np.count_nonzero(changed != before)

    base, _ = timed(plain)
    took, counts = timed(lambda: flip_counts(log, "approved"), repeat=1)
    print(f"flip counts, 2 attributes x 2 values: {took:.2f} s (plain numpy rerun {base:.2f} s, "
          f"{took / base:.1f}x); target 10 s")  # fmt: skip
    for line in counts.lines():
        print("  " + line)

    key = "LA-0000042"
    changes = {"married": 1.0 - married[42]}
    # a change of the group key: the applicant moves into another region's mean
    moved = {"region": float((region[42] + 1) % 4)}
    with tempfile.TemporaryDirectory() as tmp:
        store = open_store(str(Path(tmp) / "lineage.db"))
        one_store("SQLite", store, log, key, changes, moved)
    cluster = pg_cluster()
    if cluster is not None:
        try:
            one_store(
                "PostgreSQL", PostgresStorage(cluster.new_database()), log, key, changes, moved
            )
        finally:
            cluster.stop()


def one_store(name, store, log, key, changes, moved) -> None:
    pid = store.create_pipeline("bench")
    start = time.perf_counter()
    store.write_element_log(pid, log)
    print(f"{name}: (the run stored in {time.perf_counter() - start:.1f} s, not timed here)")
    for result in ("before_peers", "approved"):  # without and with the peers' mean
        one_applicant(store, pid, key, result, changes, LogGroups(log))
    took, said = timed(lambda: whatif(store, pid, key, moved, result="approved"), 3)
    print(f"approved, region changed: quorvane.whatif on the stored run: {took * 1e3:.1f} ms")
    print("  " + said.sentence())
    store.disconnect()


def pg_cluster():
    """A throwaway PostgreSQL cluster, or None where PostgreSQL is not installed."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
    from pgcluster import Cluster

    try:
        return Cluster()
    except RuntimeError as exc:
        print(f"PostgreSQL left out: {exc}")
        return None


if __name__ == "__main__":
    main()
