"""Load times of the audit pages for a run of 10^5 nodes, 10^5 edges and 10^5 results.

    .venv/bin/python benchmarks/bench_pages.py [--chains 1000] [--length 100] [--applicants N]

The run is CHAINS chains of LENGTH steps each (one source, then unary steps), plus one
"total" step that reads the last step of every chain; results: one row per chain and
applicant round-robin (CHAINS x LENGTH rows, output "score"), one row of "total"; row values:
every step of its chain for the first 1000 rows. Each page is fetched from a service in a
thread of this process over loopback (the whole HTTP request: query, template, SVG): the
first time (no layout cached yet), then REPEAT times more, of which the median and slowest
are shown, with the size of the HTML. The baseline row is a bare GET of the service's static
stylesheet, measured the
same way, so the other rows read as the cost of the page itself.

A second run keeps a per-element log of APPLICANTS applicants (``chain_log``: 8 operations
each, 10^6 nodes by default): its applicant's page (the exact lineage read from the log),
the same with a what-if answered, its printable report, its exports, and its run page with
the flip counts of every protected attribute over all applicants (the time until they are
counted, then the page that shows them).
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import tempfile
import time
from urllib.parse import urlencode

import httpx

from quorvane.server import KeyRing, create_app, start_server
from quorvane.server.drawing import _dot_layout, _layered_layout
from quorvane.utilities.persistence import SQLiteStorage, StoredNode, StoredRowValue

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from element_logs import chain_log

KEY = "bench-key-0123456789"
REPEAT = 7


def build_run(store: SQLiteStorage, chains: int, length: int) -> int:
    pid = store.create_pipeline("bench-pages")
    total_word = chains * length
    nodes = [
        StoredNode(
            fingerprint=c * length + s,
            node_type="SOURCE" if s == 0 else "UNARY",
            operation=f"t.col{c}" if s == 0 else ("abs", "neg", "log")[s % 3],
            table_name="t" if s == 0 else None,
            column_name=f"col{c}" if s == 0 else None,
            is_protected=s == 0 and c % 10 == 0,
            pipeline_id=pid,
        )
        for c in range(chains)
        for s in range(length)
    ]
    nodes.append(StoredNode(fingerprint=total_word, node_type="AGGREGATE", operation="sum"))
    nodes[-1].pipeline_id = pid
    store.store_nodes(nodes)
    ids = store.get_fingerprint_node_map(pid)
    edges = [
        (ids[c * length + s - 1], ids[c * length + s], 0)
        for c in range(chains)
        for s in range(1, length)
    ]
    edges += [(ids[c * length + length - 1], ids[total_word], c) for c in range(chains)]
    store.store_edges_resolved(edges)
    rows = chains * length
    root = [c * length + length - 1 for c in range(chains)]
    results = [(f"A-{i:07d}", "score", root[i % chains], float(i), "0" * 64) for i in range(rows)]
    store.store_results(pid, results)
    store.store_results(pid, [("ALL", "total", total_word, float(rows), None)])
    values = [
        StoredRowValue(
            pipeline_id=pid,
            row_index=i,
            fingerprint=(i % chains) * length + s,
            node_operation=nodes[(i % chains) * length + s].operation,
            value=float(i + s),
            column_name=f"col{i % chains}" if s == 0 else None,
        )
        for i in range(min(rows, 1000))
        for s in range(length)
    ]
    store.store_row_values(values)
    store.complete_pipeline(pid, "completed")
    return pid


def timed(client: httpx.Client, path: str) -> tuple[float, float, float, int]:
    start = time.perf_counter()
    answer = client.get(path)
    first = time.perf_counter() - start
    assert answer.status_code == 200, (path, answer.status_code, answer.text[:300])
    times = []
    for _ in range(REPEAT):
        start = time.perf_counter()
        answer = client.get(path)
        times.append(time.perf_counter() - start)
    return first, statistics.median(times), max(times), len(answer.content)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chains", type=int, default=1000)
    parser.add_argument("--length", type=int, default=100)
    parser.add_argument("--applicants", type=int, default=100_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        store = SQLiteStorage(str(pathlib.Path(folder) / "pages.db"), "bench")
        KeyRing(store).add(KEY, "bench")
        started = time.perf_counter()
        pid = build_run(store, args.chains, args.length)
        print(
            f"run {pid}: {args.chains * args.length + 1:,} nodes, "
            f"{args.chains * args.length:,} edges, {args.chains * args.length + 1:,} results "
            f"(built in {time.perf_counter() - started:.1f} s)"
        )
        started = time.perf_counter()
        logged = store.create_pipeline("bench-applicants")
        store.write_element_log(logged, chain_log(args.applicants))
        store.complete_pipeline(logged, "completed")
        print(
            f"run {logged}: a per-element log of {args.applicants:,} applicants "
            f"(written in {time.perf_counter() - started:.1f} s)"
        )
        spotlight = {"key": "A-0000007", "output": "score"}
        applicant = urlencode({"key": f"LA-{args.applicants // 2:07d}", "output": "approved"})
        pages = [
            ("stylesheet (baseline)", "/static/audit.css"),
            ("runs list", "/"),
            ("run page 1", f"/runs/{pid}"),
            ("run page 1000 (last)", f"/runs/{pid}?page=2001"),
            ("run, key search", f"/runs/{pid}?" + urlencode({"q": "A-00999"})),
            ("lineage, 100 steps, dot", f"/runs/{pid}/lineage?" + urlencode(spotlight)),
            (
                "lineage, 100 steps, layered",
                f"/runs/{pid}/lineage?" + urlencode(spotlight | {"layout": "layered"}),
            ),
            (
                "lineage, 10^5 ancestors (300 drawn), dot",
                f"/runs/{pid}/lineage?" + urlencode({"key": "ALL", "output": "total"}),
            ),
            ("lineage JSON export", f"/runs/{pid}/lineage.json?" + urlencode(spotlight)),
            ("applicant, exact lineage", f"/runs/{logged}/lineage?{applicant}"),
            (
                "applicant, with a what-if",
                f"/runs/{logged}/lineage?{applicant}&whatif=married&to=1",
            ),
            ("applicant, printable report", f"/runs/{logged}/report?{applicant}"),
            ("applicant, PROV-JSON export", f"/runs/{logged}/lineage.prov.json?{applicant}"),
            (
                "applicant, OpenLineage export",
                f"/runs/{logged}/lineage.openlineage.json?{applicant}",
            ),
            ("run page with flip counts, counted", f"/runs/{logged}"),
        ]
        running = start_server(create_app(store))
        try:
            with httpx.Client(base_url=running.url, timeout=60) as client:
                assert client.post("/login", data={"api_key": KEY}).status_code == 303
                started = time.perf_counter()
                while 'id="flips"' not in client.get(f"/runs/{logged}").text:
                    pass  # each request waits up to two seconds for the count
                print(
                    f"flip counts of {args.applicants:,} applicants shown after "
                    f"{time.perf_counter() - started:.1f} s (counted in the background)"
                )
                print(f"\n{'page':<44} {'first ms':>9} {'median ms':>10} {'max ms':>8} {'KiB':>7}")
                for name, path in pages:
                    _dot_layout.cache_clear()
                    _layered_layout.cache_clear()
                    first, median, worst, size = timed(client, path)
                    print(
                        f"{name:<44} {first * 1000:>9.1f} {median * 1000:>10.1f} "
                        f"{worst * 1000:>8.1f} {size / 1024:>7.1f}"
                    )
        finally:
            running.stop()


if __name__ == "__main__":
    main()
