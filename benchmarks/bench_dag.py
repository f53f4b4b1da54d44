"""DAG operation log: creation rate, memory per node, lineage reconstruction, eviction.

Each row sets the DAG tracker against a plain baseline measured in the same run:
a Python dict of tuples for storing records, a plain breadth-first walk over a dict of
lists for the reconstruction, a numpy array for the per-element storage cost.

Run: .venv/bin/python benchmarks/bench_dag.py   (or `make bench`)
"""

from __future__ import annotations

import gc
import time
import tracemalloc
from collections import deque

import numpy as np

from quorvane.utilities.orrin32_dag import DAGTracker

N_CREATE = 200_000
N_MEMORY = 50_000
N_CHAIN = 100_000
N_WIDE = 100_000
BOUND = 500_000


def best_of(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def create_rate():
    def tracked():
        t = DAGTracker()
        log = t.log_binary
        for i in range(N_CREATE):
            log("add", i - 1, i - 2, i & 0xFFFF)

    def plain():
        table = {}
        for i in range(N_CREATE):
            table[i] = (i, "add", [i - 1, i - 2], i & 0xFFFF)

    def vectorised():
        a = np.arange(N_CREATE, dtype=np.float64)
        np.add(a, a)

    return N_CREATE / best_of(tracked), N_CREATE / best_of(plain), N_CREATE / best_of(vectorised)


def memory_per_node():
    gc.collect()
    tracemalloc.start()
    t = DAGTracker()
    for i in range(N_MEMORY):
        t.log_binary("add", i - 1, i - 2, i & 0xFFFF)
    tracked = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del t
    gc.collect()
    tracemalloc.start()
    # the same content as columns: id, two inputs (int64), word (uint32)
    cols = [np.arange(N_MEMORY, dtype=np.int64) for _ in range(3)]
    cols.append(np.arange(N_MEMORY, dtype=np.uint32))
    plain = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del cols
    return tracked / N_MEMORY, plain / N_MEMORY


def plain_walk(graph, root):
    seen, queue, out = set(), deque([root]), []
    while queue:
        nid = queue.popleft()
        if nid in seen:
            continue
        seen.add(nid)
        out.append(nid)
        for i in graph.get(nid, ()):
            out.append((i, nid))
            if i not in seen:
                queue.append(i)
    return out


def reconstruction(shape):
    t = DAGTracker()
    graph = {}
    if shape == "chain":
        last = t.create_source_node("t", "c", 1)
        graph[last] = []
        for i in range(N_CHAIN):
            new = t.log_unary("step", last, i & 0xFFFF)
            graph[new] = [last]
            last = new
        root = last
    else:
        src = t.create_source_node("t", "c", 1)
        graph[src] = []
        leaves = []
        for i in range(N_WIDE):
            leaves.append(t.log_unary("step", src, i & 0xFFFF))
            graph[leaves[-1]] = [src]
        root = t.log_aggregate("sum", leaves, 7)
        graph[root] = list(leaves)
    tracked = best_of(lambda: t.get_dag(root))
    plain = best_of(lambda: plain_walk(graph, root))
    return len(t.get_dag(root).nodes), tracked, plain


def eviction():
    t = DAGTracker()
    log = t.log_binary
    for i in range(BOUND):
        log("add", i - 1, i - 2, i & 0xFFFF)
    costs, normal = [], []
    for _ in range(3):
        # fill back to the bound, then time the one creation that evicts
        while len(t._nodes) < BOUND:
            start = time.perf_counter()
            log("add", 0, 0, 1)
            normal.append(time.perf_counter() - start)
        gc.collect()
        start = time.perf_counter()
        log("add", 0, 0, 1)
        costs.append(time.perf_counter() - start)
        assert len(t._nodes) == BOUND + 1 - (BOUND + 1) // 10
    return min(costs), sorted(normal)[len(normal) // 2]


def main():
    rows = []
    tracked, plain, vec = create_rate()
    rows.append(
        (
            "nodes/s via log_binary (vs dict of tuples)",
            f"{tracked:,.0f}/s",
            f"{plain:,.0f}/s",
            plain / tracked,
        )
    )
    rows.append(
        (
            "nodes/s via log_binary (vs numpy add per element)",
            f"{tracked:,.0f}/s",
            f"{vec:,.0f}/s",
            vec / tracked,
        )
    )
    per_node, per_row = memory_per_node()
    rows.append(
        (
            "bytes per node (vs numpy columns)",
            f"{per_node:,.0f} B",
            f"{per_row:,.0f} B",
            per_node / per_row,
        )
    )
    for shape, label in (("chain", "10^5-node chain"), ("wide", "10^5-input aggregate")):
        count, tr, pl = reconstruction(shape)
        rows.append(
            (
                f"get_dag, {label} ({count:,} nodes)",
                f"{tr * 1e3:,.1f} ms",
                f"{pl * 1e3:,.1f} ms",
                tr / pl,
            )
        )
    evict, normal = eviction()
    rows.append(
        (
            f"one eviction at {BOUND:,} nodes (vs one plain creation)",
            f"{evict * 1e3:,.1f} ms",
            f"{normal * 1e6:,.2f} us",
            evict / normal,
        )
    )
    width = max(len(r[0]) for r in rows)
    print(f"{'measure':<{width}}  {'quorvane':>14}  {'baseline':>14}  {'ratio':>10}")
    for name, ours, base, ratio in rows:
        print(f"{name:<{width}}  {ours:>14}  {base:>14}  {ratio:>10.1f}")


if __name__ == "__main__":
    main()
