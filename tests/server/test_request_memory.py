"""What one request costs the service in memory, route by route, at the largest body the
route accepts: the peak of its Python memory, in a service of its own process."""

from __future__ import annotations

import json
import subprocess
import sys
import urllib.request
from pathlib import Path

import pytest

from quorvane.utilities.persistence import StoredNode, StoredRowValue
from quorvane.utilities.persistence._records import NODE_FIELDS, ROW_VALUE_FIELDS
from quorvane.utilities.persistence._wire import bulk_body, row_lines

KEY = "memory-key-0123456789"
BULK_LIMIT = 8 * 1024 * 1024
DOCUMENT_LIMIT = 4 * 1024 * 1024
NDJSON = "application/x-ndjson"

SERVICE = f"""
import sys, tracemalloc
from quorvane.server import KeyRing, ServerSettings, create_app, start_server
from quorvane.utilities.persistence import SQLiteStorage
settings = ServerSettings(max_body_bytes={BULK_LIMIT}, max_document_bytes={DOCUMENT_LIMIT})
store = SQLiteStorage(sys.argv[1])
KeyRing(store).add({KEY!r}, "acme")
running = start_server(create_app(store, settings), settings=settings)
tracemalloc.start()
print(running.url, flush=True)
for line in sys.stdin:  # "mark": the Python memory now; "peak": the most since the mark
    if line.strip() == "mark":
        tracemalloc.reset_peak()
    print(tracemalloc.get_traced_memory()[line.strip() == "peak"], flush=True)
"""


class Service:
    def __init__(self, db: Path):
        self.process = subprocess.Popen(
            [sys.executable, "-c", SERVICE, str(db)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.url = self.process.stdout.readline().strip()  # type: ignore[union-attr]

    def post(self, path: str, body: bytes, media_type: str = "application/json") -> dict:
        headers = {"Authorization": f"Bearer {KEY}", "Content-Type": media_type}
        request = urllib.request.Request(self.url + path, body, headers, method="POST")
        with urllib.request.urlopen(request, timeout=120) as response:
            return json.loads(response.read())

    def ask(self, what: str) -> int:
        self.process.stdin.write(what + "\n")  # type: ignore[union-attr]
        self.process.stdin.flush()  # type: ignore[union-attr]
        return int(self.process.stdout.readline())  # type: ignore[union-attr]

    def peak_growth(self, path: str, body: bytes, media_type: str) -> int:
        """How far the service's Python memory rose above its level before the request."""
        before = self.ask("mark")
        self.post(path, body, media_type)
        return self.ask("peak") - before

    def stop(self) -> None:
        self.process.stdin.close()  # type: ignore[union-attr]
        self.process.wait(30)


@pytest.fixture
def service(tmp_path):
    # a service of its own for each route: nothing another route set up is counted or
    # reused
    running = Service(tmp_path / "memory.db")
    yield running
    running.stop()


def _filled(make, limit: int) -> bytes:
    """The largest body ``make(n)`` gives within ``limit`` (n found by doubling, then
    scaled to the size of one item)."""
    n = 64
    while len(make(2 * n)) <= limit // 2:
        n *= 2
    body = make(int(n * 0.95 * limit / len(make(n))))
    assert 0.8 * limit < len(body) <= limit
    return body


def _schema(n: int) -> dict:
    return {
        "fields": [
            {"name": f"column_{i}", "type": "double", "description": "d" * (i % 9), "x": i / 3}
            for i in range(n)
        ]
    }


def _event(n: int) -> bytes:
    event = {
        "eventType": "COMPLETE",
        "eventTime": "2026-12-09T10:00:00Z",
        "run": {"runId": f"run-{n}", "facets": {"nominalTime": {"start": "x"}}},
        "job": {"namespace": "memory", "name": "job"},
        "inputs": [{"namespace": "memory", "name": "t", "facets": {"schema": _schema(n)}}],
    }
    return json.dumps(event).encode()


def _nodes(pid: int):
    def make(n: int) -> bytes:
        nodes = [
            StoredNode(fingerprint=fp, node_type="BINARY", operation="add", entity_hash=fp,
                       metadata={"step": fp})
            for fp in range(n)
        ]  # fmt: skip
        return bulk_body(nodes, NODE_FIELDS, default_pipeline_id=pid)

    return make


def _row_values(pid: int):
    def make(n: int) -> bytes:
        values = [
            StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=7, node_operation="mul",
                           value=i / 7, column_name="score")
            for i in range(n)
        ]  # fmt: skip
        return bulk_body(values, ROW_VALUE_FIELDS)

    return make


ROUTES = {
    "pipeline": lambda pid: (
        "/v1/pipelines",
        lambda n: json.dumps({"pipeline_name": "p", "config": _schema(n)}).encode(),
    ),
    "dashboard summary": lambda pid: (
        "/v1/dashboard/sync",
        lambda n: json.dumps({"pipeline": {"pipeline_name": "p"}, "fairness": _schema(n)}).encode(),
    ),
    "OpenLineage event": lambda pid: ("/api/v1/lineage", _event),
    "source": lambda pid: (
        "/v1/sources",
        lambda n: json.dumps({"pair_id": 1, "table": "t" * n, "column": "c"}).encode(),
    ),
    "results": lambda pid: (
        f"/v1/pipelines/{pid}/results",
        lambda n: row_lines(
            [[f"key-{i}", "score", 4026531843, i / 3, "ab" * 32] for i in range(n)]
        ),
    ),  # fmt: skip
    "resolved edges": lambda pid: (
        "/v1/edges/resolved",
        lambda n: row_lines([[2**40 + i, 2**40 + i + 1, 0] for i in range(n)]),
    ),
    "nodes": lambda pid: ("/v1/nodes", _nodes(pid)),
    "row values": lambda pid: ("/v1/row_values", _row_values(pid)),
}
BULK = {"results", "resolved edges", "nodes", "row values"}


@pytest.mark.parametrize("route", list(ROUTES))
def test_a_request_costs_at_most_about_twice_its_body(service, route):
    limit, media_type = (BULK_LIMIT, NDJSON) if route in BULK else (DOCUMENT_LIMIT, None)
    pid = service.post("/v1/pipelines", b'{"pipeline_name": "memory"}')["pipeline_id"]
    path, make = ROUTES[route](pid)
    # a small body first, so that what the route sets up once (a thread, a connection)
    # is not counted; a large one would leave memory behind for the next to reuse
    service.post(path, make(16), media_type or "application/json")
    body = _filled(make, limit)
    growth = service.peak_growth(path, body, media_type or "application/json")
    print(f"{route}: body {len(body) / 2**20:.1f} MiB, peak +{growth / 2**20:.1f} MiB")
    # the body as it arrived, then as text or as its checked lines: never its records as
    # objects all at once (5 to 50 times their text)
    assert growth < 2.2 * len(body)
