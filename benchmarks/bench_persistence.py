"""Persistence throughput, as ratios against plain sqlite3 measured in the same run.

    .venv/bin/python benchmarks/bench_persistence.py [--nodes N]

Rows:
- writer: N nodes handed one by one to the AsyncWriter, until flush() returns.
- bulk: N distinct nodes and N edges written the way the tracker's bulk write does it
  (store_nodes, get_fingerprint_node_map, store_edges_resolved).
- results: N result rows through store_results.
The baseline of each row is a bare sqlite3 executemany of the same number of plain tuples into
a table without indexes, in one transaction, on the same disk with the same settings.
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
import tempfile
import time

from quorvane.utilities.persistence import (
    AsyncWriter,
    SQLiteStorage,
    StoredNode,
    WriterConfig,
)


def _timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def plain_sqlite(path: str, n: int, width: int) -> float:
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=FULL")
    cols = ", ".join(f"c{i}" for i in range(width))
    conn.execute(f"CREATE TABLE t ({cols})")
    rows = [tuple(range(i, i + width)) for i in range(n)]

    def run():
        conn.execute("BEGIN")
        conn.executemany(f"INSERT INTO t VALUES ({', '.join('?' * width)})", rows)
        conn.execute("COMMIT")

    took = _timed(run)
    conn.close()
    return took


def nodes(n: int, pid: int) -> list[StoredNode]:
    return [
        StoredNode(
            fingerprint=i + 1,
            node_type="BINARY",
            operation="add",
            table_name="loans",
            column_name="income",
            pair_id=None,
            is_protected=False,
            entity_hash=i & 0xFF,
            chain_hash=i & 0xFFF,
            metadata=None,
            pipeline_id=pid,
        )
        for i in range(n)
    ]


def bench_writer(path: str, n: int) -> float:
    storage = SQLiteStorage(path)
    pid = storage.create_pipeline("bench-writer")
    batch = nodes(n, pid)
    writer = AsyncWriter(
        storage, WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000)
    )
    writer.start()

    def run():
        for record in batch:
            writer.write_node(record)
        assert writer.flush(timeout=600)

    took = _timed(run)
    writer.stop()
    assert len(storage.get_fingerprint_node_map(pid)) == n
    storage.disconnect()
    return took


def bench_bulk(path: str, n: int) -> float:
    storage = SQLiteStorage(path)
    pid = storage.create_pipeline("bench-bulk")
    batch = nodes(n, pid)

    def run():
        storage.store_nodes(batch)
        ids = storage.get_fingerprint_node_map(pid)
        rows = [(ids[fp], ids[fp + 1], 0) for fp in range(1, n)]
        rows.append((ids[1], ids[n], 1))
        storage.store_edges_resolved(rows)

    took = _timed(run)
    storage.disconnect()
    return took


def bench_results(path: str, n: int) -> float:
    storage = SQLiteStorage(path)
    pid = storage.create_pipeline("bench-results")
    digest = "ab" * 32
    rows = [(str(i), "risk_score", i, float(i) / n, digest) for i in range(n)]
    took = _timed(lambda: storage.store_results(pid, rows))
    storage.disconnect()
    return took


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=100_000)
    n = parser.parse_args().nodes
    with tempfile.TemporaryDirectory() as tmp:

        def db(name):
            return os.path.join(tmp, name)

        rows = [
            (
                "writer, nodes one by one",
                bench_writer(db("w.db"), n),
                plain_sqlite(db("pw.db"), n, 11),
            ),
            ("bulk nodes + edges", bench_bulk(db("b.db"), n), plain_sqlite(db("pb.db"), 2 * n, 11)),
            ("store_results rows", bench_results(db("r.db"), n), plain_sqlite(db("pr.db"), n, 5)),
        ]
    print(
        f"{'case (n = ' + format(n, ',') + ')':<32}{'ours s':>9}{'plain s':>9}{'ratio':>7}{'per s':>12}"
    )
    for name, ours, plain in rows:
        print(f"{name:<32}{ours:9.3f}{plain:9.3f}{ours / plain:7.1f}{n / ours:12,.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
