"""Persistence throughput, as ratios against plain sqlite3 measured in the same run.

    .venv/bin/python benchmarks/bench_persistence.py [--nodes N]

Rows:
- writer: N nodes handed one by one to the AsyncWriter, until flush() returns.
- bulk: N distinct nodes and N edges written the way the tracker's bulk write does it
  (store_nodes, get_fingerprint_node_map, store_edges_resolved), on SQLite and on PostgreSQL
  (a throwaway cluster on a unix socket).
- tracker bulk: DAGTracker.persist_to_storage of an N-node DAG (every node its own
  fingerprint, two inputs each: about 2N edges) into a fresh SQLite file.
- store_results: N result rows through store_results.
- persist_results: DAGTracker.persist_results of N rows with a source table of N rows (one
  to_json() and SHA-256 per source row, then one store_results call); the next row times
  that row serialisation and hashing alone, with pandas and hashlib.
The service table: `quorvane serve` in a subprocess on each store; 1 and 8 writers (one
AsyncWriter and HostedStorage each, in threads of this process) stream N/2 nodes each, every
node followed by its edge as a tracker hands them over; records/s over all writers, from the
first hand-over to the end of flush() (the records, the connection and the pipeline are made
beforehand), and p50/p99 of the time of each request. Last, the growth of the service's peak
memory (VmHWM) while it stores one body of 5N nodes, as a multiple of the body's size, on
each store: on SQLite it includes the connection's page cache filling up to its fixed limit
(64 MiB), which the store keeps across requests; on PostgreSQL that cache is the database's.
The baseline of each row is a bare sqlite3 executemany of the same number of plain tuples
(nodes plus edges for the bulk rows) into a table without indexes, in one transaction, on the
same disk with the same settings.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import pathlib
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from types import SimpleNamespace

import numpy as np
import pandas as pd

from quorvane.utilities.orrin32_dag import DAGTracker
from quorvane.utilities.persistence import (
    AsyncWriter,
    HostedStorage,
    PostgresStorage,
    SQLiteStorage,
    StoredEdge,
    StoredNode,
    WriterConfig,
)
from quorvane.utilities.persistence._records import NODE_FIELDS
from quorvane.utilities.persistence._wire import bulk_body

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from pgcluster import Cluster


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


class TimedStorage(HostedStorage):
    """HostedStorage noting how long each request to the service took."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.latencies: list[float] = []

    def _request(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return super()._request(*args, **kwargs)
        finally:
            self.latencies.append(time.perf_counter() - start)


class Served:
    """`quorvane serve` in a subprocess, as a user runs it."""

    def __init__(self, store: str):
        command = [os.path.join(os.path.dirname(sys.executable), "quorvane")]
        if not os.path.exists(command[0]):
            command = [sys.executable, "-m", "quorvane.cli"]
        keys = [*command, "keys", "add", "--store", store, "--tenant", "bench"]
        subprocess.run(keys, input=BENCH_KEY, text=True, check=True, capture_output=True)
        self.process = subprocess.Popen(
            [*command, "serve", "--store", store, "--port", "0", "--log-level", "warning"],
            stdout=subprocess.PIPE,
            text=True,
        )
        self.url = self.process.stdout.readline().split()[-1]

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(30)


BENCH_KEY = "bench-key-0123456789"


class StreamingWriter:
    """One writer of the service table: its storage, pipeline and records made beforehand,
    so that only the streaming is timed."""

    def __init__(self, url: str, n: int):
        self.storage = TimedStorage(url, BENCH_KEY)
        pid = self.storage.create_pipeline("bench-writer-hosted")
        self.nodes = nodes(n, pid)
        self.edges = [
            [StoredEdge(parent_fingerprint=i, child_fingerprint=i + 1, input_position=0)]
            if i
            else []
            for i in range(n)
        ]
        self.storage.latencies.clear()

    def stream(self, start: threading.Barrier) -> tuple[float, float]:
        """Hand over every node, each followed by its edge, until flush() says all are
        stored; returns the start and end of that (perf_counter)."""
        writer = AsyncWriter(
            self.storage, WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000)
        )
        writer.start()
        start.wait()
        began = time.perf_counter()
        for record, edge in zip(self.nodes, self.edges, strict=True):
            writer.write_node(record)
            if edge:
                writer.write_edges(edge)
        assert writer.flush(timeout=600)
        ended = time.perf_counter()
        writer.stop()
        self.storage.disconnect()
        return began, ended


def peak_rss(pid: int) -> int:
    """The peak resident memory of a process, in bytes (VmHWM)."""
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc")


def service_memory_per_body(store: str, n: int) -> tuple[int, float]:
    """The size of one body of n nodes, and how much the service's peak memory grew for it,
    as a multiple of that size (the service was warmed up with a small body first)."""
    served = Served(store)
    try:
        storage = HostedStorage(served.url, BENCH_KEY, timeout=600)
        pid = storage.create_pipeline("bench-memory")
        storage.store_nodes(nodes(100, pid))
        batch = nodes(n, pid)
        for i, node in enumerate(batch):
            node.fingerprint += 1000 + i
        body = bulk_body(batch, NODE_FIELDS, default_pipeline_id=pid)
        before = peak_rss(served.process.pid)
        storage.store_nodes(batch)
        grown = peak_rss(served.process.pid) - before
        storage.disconnect()
    finally:
        served.stop()
    return len(body), grown / len(body)


def bench_service(store: str, n: int, writers: int) -> tuple[float, float, float]:
    """Records per second of ``writers`` writers streaming n nodes (+ n - 1 edges) each
    through the service on ``store``, and the p50 and p99 request times in milliseconds."""
    served = Served(store)
    try:
        streams = [StreamingWriter(served.url, n) for _ in range(writers)]
        start = threading.Barrier(writers)
        spans: list[tuple[float, float]] = []
        threads = [
            threading.Thread(target=lambda s=s: spans.append(s.stream(start))) for s in streams
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        served.stop()
    took = max(end for _, end in spans) - min(began for began, _ in spans)
    latencies = [t for s in streams for t in s.storage.latencies]
    p50, p99 = np.percentile(np.array(latencies) * 1000, [50, 99])
    return writers * (2 * n - 1) / took, float(p50), float(p99)


def bench_bulk(storage, n: int) -> float:
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


def tracker_dag(n: int) -> DAGTracker:
    tracker = DAGTracker(pipeline_name="bench")
    tracker.register("loans", "income")
    tracker.register("loans", "debt")
    prev = tracker.create_source_node("loans", "income", 1)
    debt = tracker.create_source_node("loans", "debt", 2)
    for i in range(n - 2):
        prev = tracker.log_binary("add", prev, debt, 1000 + i)
    return tracker


def bench_tracker_bulk(path: str, tracker: DAGTracker) -> float:
    storage = SQLiteStorage(path)
    took = _timed(lambda: tracker.persist_to_storage(storage))
    storage.disconnect()
    return took


def source_frame(n: int) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "income": np.arange(n, dtype=float),
            "debt": np.arange(n, dtype=float) * 0.3,
            "name": [f"applicant-{i}" for i in range(n)],
        }
    )


def bench_persist_results(path: str, n: int) -> float:
    storage = SQLiteStorage(path)
    pid = storage.create_pipeline("bench-persist-results")
    df = source_frame(n)
    score = SimpleNamespace(_prov=np.arange(n, dtype=np.uint32), values=np.linspace(0, 1, n))
    took = _timed(lambda: DAGTracker.persist_results(storage, pid, range(n), {"score": score}, df))
    storage.disconnect()
    return took


def hash_rows_only(n: int) -> float:
    df = source_frame(n)
    return _timed(
        lambda: [hashlib.sha256(df.iloc[i].to_json().encode()).hexdigest() for i in range(n)]
    )


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=100_000)
    n = parser.parse_args().nodes
    with tempfile.TemporaryDirectory() as tmp:

        def db(name):
            return os.path.join(tmp, name)

        tracker = tracker_dag(n)
        edges = sum(len(node.inputs) for node in tracker._nodes.values())
        plain_results = plain_sqlite(db("pp.db"), n, 5)
        rows = [
            (
                "writer, nodes one by one",
                bench_writer(db("w.db"), n),
                plain_sqlite(db("pw.db"), n, 11),
            ),
            (
                "bulk nodes + edges",
                bench_bulk(SQLiteStorage(db("b.db")), n),
                plain_sqlite(db("pb.db"), 2 * n, 11),
            ),
            (
                "tracker bulk (persist_to_storage)",
                bench_tracker_bulk(db("t.db"), tracker),
                plain_sqlite(db("pt.db"), n + edges, 11),
            ),
            ("store_results rows", bench_results(db("r.db"), n), plain_results),
            ("persist_results rows", bench_persist_results(db("q.db"), n), plain_results),
            ("  row to_json + sha256 alone", hash_rows_only(n), plain_results),
        ]
        cluster = Cluster()
        try:
            services = [
                (kind, writers, *bench_service(store, n // 2, writers), os.getloadavg()[0])
                for kind, store in (("SQLite", db("s.db")), ("PostgreSQL", cluster.new_database()))
                for writers in (1, 8)
            ]
            pg_bulk = bench_bulk(PostgresStorage(cluster.new_database()), n)
            memory = [
                (kind, *service_memory_per_body(store, 5 * n))
                for kind, store in (("SQLite", db("m.db")), ("PostgreSQL", cluster.new_database()))
            ]
        finally:
            cluster.stop()
    print(f"n = {n:,} nodes or rows; the tracker's DAG has {edges:,} edges")
    print(f"{'case':<36}{'ours s':>9}{'plain s':>9}{'ratio':>8}{'per s':>12}")
    for name, ours, plain in rows:
        print(f"{name:<36}{ours:9.3f}{plain:9.3f}{ours / plain:8.1f}{n / ours:12,.0f}")
    print(f"{'bulk nodes + edges, PostgreSQL':<36}{pg_bulk:9.3f}{'':>9}{'':>8}{n / pg_bulk:12,.0f}")
    print()
    print(f"through `quorvane serve` on loopback: each writer streams {n // 2:,} nodes and their")
    print(
        "edges (one AsyncWriter each, batch_size 100 as the tracker sets it); latency per request"
    )
    print("(load: the machine's load average over the last minute, after the row)")
    print(f"{'store':<12}{'writers':>8}{'records/s':>12}{'p50 ms':>9}{'p99 ms':>9}{'load':>7}")
    for kind, writers, rate, p50, p99, load in services:
        print(f"{kind:<12}{writers:>8}{rate:12,.0f}{p50:9.1f}{p99:9.1f}{load:7.2f}")
    print()
    for kind, body_size, ratio in memory:
        print(
            f"one body of {5 * n:,} nodes ({body_size / 2**20:.0f} MiB) on {kind}: the service's"
            f" peak memory grew by {ratio:.1f}x the body"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
