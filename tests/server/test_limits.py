"""The service's limits on real loopback sockets: idle and slow connections, large and
slow bodies, and what it tells about itself."""

from __future__ import annotations

import contextlib
import json
import re
import socket
import threading
import time
import tracemalloc

import pytest

from quorvane.server import KeyRing, ServerSettings, create_app, start_server
from quorvane.server.lineage_intake import LINEAGE_PATH
from quorvane.utilities.persistence import HostedStorage, SQLiteStorage, StoredNode
from quorvane.utilities.persistence._records import NODE_FIELDS
from quorvane.utilities.persistence._wire import bulk_body

KEY = "limits-key-0123456789"
SETTINGS = ServerSettings(
    max_body_bytes=4096,
    max_line_bytes=1024,
    body_timeout=0.5,
    request_timeout=0.5,
    keep_alive_timeout=1,
    max_concurrent_requests=4,
)


@pytest.fixture
def served(tmp_path):
    store = SQLiteStorage(str(tmp_path / "limits.db"))
    KeyRing(store).add(KEY, "acme")
    running = start_server(create_app(store, SETTINGS), settings=SETTINGS)
    yield running
    running.stop()


def connect(url, source="127.0.0.1"):
    """A connection from ``source``: any 127.x.y.z address is a loopback client of its own."""
    host, port = url.removeprefix("http://").split(":")
    return socket.create_connection((host, int(port)), timeout=5, source_address=(source, 0))


def exchange(url, head, body=b"", pause=0.0):
    """Send a request (optionally stalling after the head) and read the whole answer."""
    with contextlib.closing(connect(url)) as sock:
        sock.sendall(head)
        if pause:
            time.sleep(pause)
        with contextlib.suppress(OSError):
            sock.sendall(body)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    status = int(answer.split(b" ", 2)[1])
    return status, answer


def post_head(length, path=b"/v1/nodes", media_type=b"application/json"):
    return (
        b"POST " + path + b" HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + KEY.encode()
        + b"\r\nContent-Type: " + media_type + b"\r\nContent-Length: " + str(length).encode()
        + b"\r\nConnection: close\r\n\r\n"
    )  # fmt: skip


NDJSON, EDGES = b"application/x-ndjson", b"/v1/edges"
LINE = json.dumps({"columns": {"parent_fingerprint": [1], "child_fingerprint": [2],
                               "input_position": [0]}}).encode()  # fmt: skip

CHUNKED = (
    b"POST /v1/nodes HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + KEY.encode()
    + b"\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
)  # fmt: skip


def test_an_idle_flood_does_not_lock_out_a_normal_request(served):
    idle = []
    try:
        for _ in range(300):  # bounded: far more than one address may hold open
            idle.append(connect(served.url, "127.0.0.2"))
        client = HostedStorage(served.url, KEY)
        assert client.create_pipeline("through") > 0
        client.disconnect()
        # connections beyond the address's bound are answered at once and closed
        assert idle[-1].recv(4096).startswith(b"HTTP/1.1 503 ")
        # and the idle connections are closed once their deadline for a request passed
        idle[0].settimeout(10)
        assert idle[0].recv(1) == b""
    finally:
        for sock in idle:
            sock.close()


def test_headers_sent_a_byte_at_a_time_are_cut_off(served):
    with contextlib.closing(connect(served.url)) as sock:
        sock.settimeout(10)
        started = time.monotonic()
        with contextlib.suppress(OSError):
            for byte in b"GET /v1/whoami HTTP/1.1\r\nHost: x\r\n":
                sock.sendall(bytes([byte]))
                time.sleep(0.1)
        with contextlib.suppress(OSError):
            assert sock.recv(1) == b""
        assert time.monotonic() - started < 5


@pytest.mark.parametrize(
    ("head", "body", "pause", "status"),
    [
        # announced too large: refused unread (a body sent anyway would sit unread when
        # the server closes, and the reset that closing sends may beat its answer)
        (post_head(10_000), b"", 0, 413),
        (CHUNKED, b"1388\r\n" + b" " * 5000 + b"\r\n0\r\n\r\n", 0, 413),  # counted
        (post_head(100), b'{"nodes": [', 1.0, 408),  # the rest never comes in time
        (post_head(12, b"/v1/edges/resolved"), b'{"rows": []}', 0, 200),
        # a bulk body is read a line at a time, and a plain JSON body is one line
        (post_head(2000), b"[" + b" " * 1998 + b"]", 0, 413),
        (
            post_head(2 * len(LINE) + 2000, EDGES, NDJSON),
            LINE + b"\n" + LINE + b"\n[" + b" " * 1998 + b"]",
            0,
            413,
        ),  # fmt: skip
        (post_head(2 * len(LINE) + 1, EDGES, NDJSON), LINE + b"\n" + LINE, 0, 200),
    ],
)
def test_body_limits(served, head, body, pause, status):
    got, answer = exchange(served.url, head, body, pause)
    assert got == status
    if status != 200:
        assert json.loads(answer.split(b"\r\n\r\n", 1)[1])["error"]


def test_a_bulk_body_costs_about_its_size_in_memory(tmp_path):
    store = SQLiteStorage(str(tmp_path / "memory.db"))
    KeyRing(store).add(KEY, "acme")
    with start_server(create_app(store)) as running:
        pid = HostedStorage(running.url, KEY).create_pipeline("memory")
        nodes = [StoredNode(fingerprint=fp, node_type="BINARY", operation="add", entity_hash=fp,
                            metadata={"step": fp}) for fp in range(20_000)]  # fmt: skip
        body = bulk_body(nodes, NODE_FIELDS, default_pipeline_id=pid)
        tracemalloc.start()
        try:
            status, _ = exchange(running.url, post_head(len(body), media_type=NDJSON), body)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert status == 200 and len(store.for_tenant("acme").get_nodes(pid)) == 20_000
    # the body once, and the records of one line at a time (the whole body as objects
    # would be several times its size)
    assert peak < 2 * len(body)


def test_openapi_schema_and_no_version_banner(served):
    status, answer = exchange(served.url, b"GET /openapi.json HTTP/1.1\r\nHost: x\r\n"
                              b"Connection: close\r\n\r\n")  # fmt: skip
    head, body = answer.split(b"\r\n\r\n", 1)
    assert status == 200 and b"server:" not in head.lower()
    document = json.loads(body)
    paths = document["paths"]
    # the API under /v1, and the OpenLineage intake where its HTTP transports post
    assert "/v1/nodes" in paths and all(p.startswith("/v1/") or p == LINEAGE_PATH for p in paths)
    # every model a path names is in the document, the bulk bodies read from bytes too
    named = set(re.findall(r'"#/components/schemas/(\w+)"', body.decode()))
    assert "NewNodes" in named and named <= set(document["components"]["schemas"])


def _edge_lines(count: int) -> bytes:
    line = json.dumps({"columns": {"parent_fingerprint": list(range(1000)),
                                   "child_fingerprint": list(range(1, 1001)),
                                   "input_position": [0] * 1000}}).encode()  # fmt: skip
    return b"\n".join([line] * count)


@pytest.mark.parametrize(
    ("body", "status"),
    [
        (b"\n" * (32 * 1024 * 1024) + LINE, 200),  # blank lines around one record
        (_edge_lines(3900) + b"\n" + b'{"columns": 1}', 422),  # 48 MiB, the last line bad
    ],
    ids=["blank lines", "bad last line"],
)
def test_a_large_body_never_holds_up_another_tenants_small_write(tmp_path, body, status):
    store = SQLiteStorage(str(tmp_path / "turns.db"))
    KeyRing(store).add(KEY, "acme")
    KeyRing(store).add("other-tenant-key-0123", "beta")
    with start_server(create_app(store)) as running:
        small = HostedStorage(running.url, "other-tenant-key-0123")
        small.create_pipeline("first")  # connected, so that only waiting is timed below
        answer: list[int] = []
        large = threading.Thread(
            target=lambda: answer.append(
                exchange(running.url, post_head(len(body), EDGES, NDJSON), body)[0]
            )
        )
        started = time.monotonic()
        large.start()
        waits = []
        while large.is_alive() and len(waits) < 500:  # bounded: some seconds at most
            began = time.monotonic()
            small.create_pipeline("small")
            waits.append(time.monotonic() - began)
            time.sleep(0.02)
        large.join(120)
        took = time.monotonic() - started
        small.disconnect()
    assert answer == [status]
    print(f"large body {len(body) >> 20} MiB took {took:.2f} s; the small writes during it "
          f"waited at most {max(waits):.3f} s ({len(waits)} of them)")  # fmt: skip
    # the large body was read and checked before its transaction: the small writes did
    # not wait for it
    assert len(waits) > 1 and max(waits) < 1.0
