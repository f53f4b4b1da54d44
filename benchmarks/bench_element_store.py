"""Storing a run's per-element log, and reading one applicant's lineage back from it.

    .venv/bin/python benchmarks/bench_element_store.py [--rows 1000000] [--ops 8]
        [--pg-rows 100000] [--reads 50]

The log is that of ``ops`` vectorised operations over ``rows`` applicants (tools/
element_logs.py: two source cells per applicant, then one node per operation), so rows=10^6
and ops=8 make 10^7 nodes. Rates count nodes written per second of wall time, from the log
in memory to the commit returning (the log's identities and its result index included);
each rate is reported with the other storage's in the same run:

- blocks: the store's ``write_element_log`` (Arrow IPC blocks of 8192 nodes, lz4, one row
  a block), into a fresh SQLite file (synchronous=FULL) and into PostgreSQL (bytea).
- rows: a row per node (and a row per input edge, and per result key) built with numpy and
  stored in one transaction: ``executemany`` into SQLite, psycopg 3's ``COPY`` into
  PostgreSQL; the tables have the primary keys a walk needs (node id; child, position).
- lineage: one applicant's lineage read from a fresh store object, for ``reads`` keys
  spread over the run: p50 and max in ms (the first read, which opens the store, apart),
  for the blocks (``read_element_lineage``) and for the rows (a recursive query over the
  node and input tables).
PostgreSQL runs on a throwaway cluster on a unix socket, with ``pg-rows`` applicants.
"""

from __future__ import annotations

import argparse
import pathlib
import sqlite3
import sys
import tempfile
import time

import numpy as np

from quorvane.utilities.persistence import PostgresStorage, SQLiteStorage, result_node_in_log

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from element_logs import chain_log
from pgcluster import Cluster

_ROW_TABLES = (
    "CREATE TABLE element_nodes (node_id INTEGER PRIMARY KEY, node_type INTEGER,"
    " operation INTEGER, word INTEGER, value REAL, row_id INTEGER, protected INTEGER)",
    "CREATE TABLE element_inputs (child INTEGER, position INTEGER, parent INTEGER,"
    " PRIMARY KEY (child, position))",
    "CREATE TABLE element_keys (key TEXT PRIMARY KEY, node INTEGER)",
)
_WALK = (
    "WITH RECURSIVE reach(id) AS (SELECT ? UNION SELECT i.parent FROM element_inputs i"
    " JOIN reach r ON i.child = r.id) SELECT n.* FROM element_nodes n JOIN reach r"
    " ON n.node_id = r.id ORDER BY n.node_id"
)


def _row_columns(log):
    """The log as row tuples of plain Python values (numpy builds the columns)."""
    nodes = zip(
        log.node_id.tolist(),
        log.node_type.tolist(),
        log.operation.tolist(),
        log.word.tolist(),
        log.value.tolist(),
        log.row.tolist(),
        log.protected.astype(np.int64).tolist(),
        strict=True,
    )
    arity = np.diff(log.input_start)
    child = np.repeat(log.node_id, arity)
    position = np.arange(len(log.inputs)) - np.repeat(log.input_start[:-1], arity)
    inputs = zip(child.tolist(), position.tolist(), log.inputs.tolist(), strict=True)
    keys, ids = log.results["approved"]
    return nodes, inputs, zip(keys.tolist(), ids.tolist(), strict=True)


def rows_into_sqlite(log, path):
    start = time.perf_counter()
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=FULL")
    for statement in _ROW_TABLES:
        conn.execute(statement)
    nodes, inputs, keys = _row_columns(log)
    conn.execute("BEGIN")
    conn.executemany("INSERT INTO element_nodes VALUES (?, ?, ?, ?, ?, ?, ?)", nodes)
    conn.executemany("INSERT INTO element_inputs VALUES (?, ?, ?)", inputs)
    conn.executemany("INSERT INTO element_keys VALUES (?, ?)", keys)
    conn.execute("COMMIT")
    conn.close()
    return time.perf_counter() - start


def rows_into_postgres(log, url):
    import psycopg

    start = time.perf_counter()
    with psycopg.connect(url) as conn:
        for statement in _ROW_TABLES:
            conn.execute(statement.replace("INTEGER", "BIGINT").replace("REAL", "FLOAT8"))
        nodes, inputs, keys = _row_columns(log)
        with conn.cursor() as cursor:
            for table, rows in (
                ("element_nodes", nodes),
                ("element_inputs", inputs),
                ("element_keys", keys),
            ):
                with cursor.copy(f"COPY {table} FROM STDIN") as copy:
                    for row in rows:
                        copy.write_row(row)
    return time.perf_counter() - start


def blocks_into(store, log):
    pipeline = store.create_pipeline("bench")
    start = time.perf_counter()
    store.write_element_log(pipeline, log)
    return pipeline, time.perf_counter() - start


def _keys(log, reads):
    keys = log.results["approved"][0]
    return [keys[i] for i in np.linspace(0, len(keys) - 1, reads).astype(int)]


def lineage_reads(store, pipeline, log, reads):
    times = []
    for key in _keys(log, reads):
        start = time.perf_counter()
        found = store.read_element_lineage(pipeline, "approved", key)
        times.append(time.perf_counter() - start)
        assert found is not None and found.root == result_node_in_log(log, "approved", key)
    return times


def row_walks(path, log, reads):
    conn = sqlite3.connect(path)
    times = []
    for key in _keys(log, reads):
        start = time.perf_counter()
        (node,) = conn.execute("SELECT node FROM element_keys WHERE key = ?", (key,)).fetchone()
        steps = conn.execute(_WALK, (node,)).fetchall()
        times.append(time.perf_counter() - start)
        assert steps[-1][0] == node
    conn.close()
    return times


def _ms(times):
    """The first read (which opens the store) apart from the others."""
    first, rest = times[0], times[1:]
    return (
        f"p50 {np.median(rest) * 1e3:6.1f} ms, max {max(rest) * 1e3:6.1f} ms"
        f" (the first, opening the store: {first * 1e3:.1f} ms)"
    )


def _rate(nodes, seconds):
    return f"{nodes / seconds:12,.0f} nodes/s ({seconds:6.2f} s)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--ops", type=int, default=8)
    parser.add_argument("--pg-rows", type=int, default=100_000)
    parser.add_argument("--reads", type=int, default=50)
    args = parser.parse_args()
    log = chain_log(args.rows, args.ops)
    print(f"log of {log.size:,} nodes ({args.rows:,} applicants, {args.ops} operations)")
    with tempfile.TemporaryDirectory() as tmp:
        store = SQLiteStorage(f"{tmp}/blocks.db")
        pipeline, seconds = blocks_into(store, log)
        print(f"SQLite blocks      {_rate(log.size, seconds)}")
        rows_seconds = rows_into_sqlite(log, f"{tmp}/rows.db")
        print(f"SQLite rows        {_rate(log.size, rows_seconds)}")
        print(f"  blocks / rows: {rows_seconds / seconds:.1f}x the rate")
        reads = lineage_reads(SQLiteStorage(store.path), pipeline, log, args.reads)
        print(f"lineage, blocks    {_ms(reads)}")
        print(f"lineage, rows      {_ms(row_walks(f'{tmp}/rows.db', log, args.reads))}")
        store.disconnect()
    small = chain_log(args.pg_rows, args.ops)
    cluster = Cluster()
    try:
        store = PostgresStorage(cluster.new_database())
        pipeline, seconds = blocks_into(store, small)
        print(f"PostgreSQL blocks  {_rate(small.size, seconds)} ({small.size:,} nodes)")
        rows_seconds = rows_into_postgres(small, cluster.new_database())
        print(f"PostgreSQL rows    {_rate(small.size, rows_seconds)}")
        print(f"  blocks / rows: {rows_seconds / seconds:.1f}x the rate")
        print(f"lineage, blocks    {_ms(lineage_reads(store, pipeline, small, args.reads))}")
        store.disconnect()
    finally:
        cluster.stop()


if __name__ == "__main__":
    main()
