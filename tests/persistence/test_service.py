"""The lineage service and its client over real loopback HTTP: keys, tenants, secrecy."""

from __future__ import annotations

import json
import logging
import math
import threading
import traceback
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import ClassVar

import pytest
from element_logs import hand_made_log
from servers import start_service

from quorvane.utilities.persistence import (
    ARROW_STREAM,
    AsyncWriter,
    HostedStorage,
    StoredNode,
    StoredRowValue,
    WriterConfig,
    element_log_to_stream,
)
from quorvane.utilities.persistence._wire import bulk_body

ACME = "key-acme-7f3a"


class Lines(list):
    """A body sent as NDJSON, one JSON object (or given bytes) a line."""

    def encode(self):
        return b"\n".join(v if isinstance(v, bytes) else json.dumps(v).encode() for v in self)


class Arrow(bytes):
    """A body sent as Arrow IPC streams."""


HAND_LOG = b"".join(element_log_to_stream(hand_made_log()))


def raw_request(url, path, body=None, key=ACME, method=None):
    ndjson = isinstance(body, Lines)
    headers = {"Content-Type": "application/x-ndjson" if ndjson else "application/json"}
    if isinstance(body, Arrow):
        headers["Content-Type"] = ARROW_STREAM
    if key is not None:
        headers["Authorization"] = f"Bearer {key}"
    if ndjson:
        data = body.encode()
    else:
        data = body if body is None or isinstance(body, bytes) else json.dumps(body).encode()
    request = urllib.request.Request(url + path, data=data, method=method, headers=headers)
    with urllib.request.urlopen(request, timeout=10) as response:
        return response.status, json.loads(response.read())


@pytest.mark.parametrize("key", [None, "", "wrong-key", ACME + "x", "Basic " + ACME])
def test_requests_without_a_valid_key_are_refused(service, key):
    with pytest.raises(urllib.error.HTTPError) as info:
        raw_request(service.url, "/v1/pipelines", {"pipeline_name": "p"}, key=key)
    info.value.close()
    assert info.value.code == 401
    assert HostedStorage(service.url, ACME).list_pipelines() == []  # nothing was created


def test_a_wrong_key_fails_connect(service):
    with pytest.raises(PermissionError, match="rejected the API key"):
        HostedStorage(service.url, "not-a-key").connect()


def test_the_dashboard_sync_request_is_accepted_and_kept(service):
    storage = HostedStorage(service.url, ACME)
    pid = storage.create_pipeline("loans")
    payload = {
        "pipeline": {
            "pipeline_name": "loans",
            "status": "completed",
            "node_count": 3,
            "edge_count": 2,
            "provenance_pipeline_id": pid,
        },
        "model": {"model_id": "loans", "name": "loans", "version": "1.0"},
        "fairness": {
            "model_id": "loans",
            "has_disparate_impact": True,
            "protected_attributes": ["applicants.gender"],
        },
    }
    # the request exactly as a tracker sends it: json.dumps defaults, Bearer key
    request = urllib.request.Request(
        service.url + "/v1/dashboard/sync",
        data=json.dumps(payload).encode("utf-8"),
        method="POST",
        headers={"Authorization": "Bearer " + ACME, "Content-Type": "application/json"},
    )
    with urllib.request.urlopen(request, timeout=10) as response:
        assert response.status == 200
        response.read()
    (sync,) = storage.get_dashboard_syncs()
    assert sync["payload"] == payload and sync["provenance_pipeline_id"] == pid
    assert HostedStorage(service.url, "key-beta-91c2").get_dashboard_syncs() == []


NODE = {
    "fingerprint": 1,
    "node_type": "SOURCE",
    "operation": "t.c",
    "table_name": None,
    "column_name": None,
    "pair_id": None,
    "is_protected": False,
    "entity_hash": None,
    "chain_hash": None,
    "metadata": None,
    "pipeline_id": None,
}


def node_body(**fields):
    """A bulk write of one node (one list per field), with ``fields`` changed."""
    return {"columns": {name: [value] for name, value in {**NODE, **fields}.items()}}


EDGES = {"columns": {"parent_fingerprint": [1], "child_fingerprint": [2], "input_position": [0]}}
DEEP = json.dumps(node_body(metadata="X")).replace('["X"]', "[" + "[" * 5000 + "]" * 5000 + "]")


@pytest.mark.parametrize(
    ("path", "body", "status"),
    [
        ("/v1/nodes", {"columns": "not an object"}, 422),
        ("/v1/nodes", {"nodes": [NODE]}, 422),  # rows instead of columns
        ("/v1/edges/resolved", {"rows": [[1, 2]]}, 422),
        ("/v1/pipelines/1/results", {"rows": [["k", "o", "x", 1.0, None]]}, 422),
        ("/v1/dashboard/sync", ["not", "an", "object"], 422),
        ("/v1/nodes", node_body(fingerprint=2**63), 422),
        ("/v1/nodes", node_body(fingerprint=float("inf")), 422),
        ("/v1/nodes", node_body(fingerprint=True), 422),
        ("/v1/nodes", node_body(fingerprint=1.7), 422),
        ("/v1/nodes", node_body(operation={"an": "object"}), 422),
        ("/v1/nodes", node_body(pipeline_id=-1), 422),
        ("/v1/nodes", node_body(unknown_field=1), 422),
        ("/v1/nodes", DEEP.encode(), 422),
        (
            "/v1/edges",
            {
                "columns": {
                    "parent_fingerprint": [1, 2],
                    "child_fingerprint": [2],
                    "input_position": [0, 0],
                }
            },
            422,
        ),  # fmt: skip
        ("/v1/nodes", b"{not json", 422),
        ("/v1/edges/resolved", {"rows": [[2**64, 1, 0]]}, 422),
        ("/v1/pipelines/99999999999999999999", None, 422),
        ("/v1/row_values", {"columns": {"pipeline_id": [0], "row_index": [True]}}, 422),
        ("/v1/nodes", Lines([node_body(), node_body(fingerprint=2.5)]), 422),
        ("/v1/nodes", Lines([node_body(), b"{not json"]), 422),
        ("/v1/edges", Lines([{**EDGES, "pipeline_id": 1}, {**EDGES, "pipeline_id": 2}]), 400),
        ("/v1/pipelines/1/element_log", Arrow(b"not arrow"), 422),
        ("/v1/pipelines/1/element_log", Arrow(HAND_LOG[:-200]), 422),
        ("/v1/pipelines/1/element_log", Arrow(HAND_LOG + HAND_LOG), 422),
        ("/v1/pipelines/1/element_log", HAND_LOG, 415),
        ("/v1/pipelines/1/element_lineage?result=approved", None, 422),
        ("/v1/no/such/thing", {}, 404),
        ("/v1/pipelines/999", None, 404),
    ],
)
def test_malformed_requests_get_a_short_client_error(service, path, body, status):
    raw_request(service.url, "/v1/pipelines", {"pipeline_name": "p"})
    with pytest.raises(urllib.error.HTTPError) as info:
        raw_request(service.url, path, body)
    answer = json.loads(info.value.read())
    info.value.close()
    assert info.value.code == status
    # a short text naming the field, no internal class names
    assert set(answer) == {"error"} and len(answer["error"]) < 400
    assert "Error" not in answer["error"] and "pydantic" not in answer["error"]
    assert info.value.headers.get("Server") is None


@pytest.mark.parametrize(
    "bad", [node_body(fingerprint=2**63), b'{"columns": {', node_body(unknown_field=1)]
)
def test_a_bad_line_stores_no_line_of_its_body(service, bad):
    pid = HostedStorage(service.url, ACME).create_pipeline("lines")
    good = [node_body(fingerprint=fp, pipeline_id=pid) for fp in (1, 2)]
    with pytest.raises(urllib.error.HTTPError) as info:
        raw_request(service.url, "/v1/nodes", Lines([*good, bad]))
    assert info.value.code == 422 and "line 3" in json.loads(info.value.read())["error"]
    info.value.close()
    assert HostedStorage(service.url, ACME).get_nodes(pid) == []
    assert raw_request(service.url, "/v1/nodes", Lines(good))[1] == {"stored": 2}


@pytest.mark.parametrize(
    "record",
    [
        StoredNode(fingerprint=1, node_type="B", operation="o", metadata={"note": "x", "n": 2}),
        StoredNode(fingerprint=1, node_type="B", operation="o", metadata={"at": {"r": math.nan}}),
        StoredNode(fingerprint=1, node_type="B", operation="o", metadata={"limit": -math.inf}),
        StoredNode(fingerprint=2**70, node_type="B", operation="o"),
        StoredRowValue(pipeline_id=1, row_index=0, fingerprint=1, node_operation="o",
                       value=math.inf),
    ],
)  # fmt: skip
def test_bulk_lines_carry_every_value_as_the_json_module_writes_it(record):
    names = tuple(vars(record))
    expected = {"columns": {name: [value] for name, value in vars(record).items()}}
    assert json.dumps(json.loads(bulk_body([record], names))) == json.dumps(expected)


def test_keys_stay_valid_when_the_service_is_started_again(tmp_path):
    db = str(tmp_path / "keys.db")
    first = start_service(db, {"persistent-key": "acme"})
    pid = HostedStorage(first.url, "persistent-key").create_pipeline("kept")
    first.stop()
    second = start_service(db)
    try:
        assert HostedStorage(second.url, "persistent-key").get_pipeline(pid)["pipeline_name"] == (
            "kept"
        )
    finally:
        second.stop()


# -- the key stays secret ---------------------------------------------------------------------


class _Redirect(BaseHTTPRequestHandler):
    seen_auth: ClassVar[list] = []

    def do_GET(self):
        self.seen_auth.append(self.headers.get("Authorization"))
        self.send_response(302)
        self.send_header("Location", f"http://127.0.0.1:{self.server.server_address[1]}/landed")
        self.end_headers()

    def log_message(self, *args):
        pass


def test_redirects_are_not_followed_with_the_key():
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Redirect)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        storage = HostedStorage(f"http://127.0.0.1:{server.server_address[1]}", ACME)
        with pytest.raises(Exception):  # noqa: B017 - any error, as long as nothing follows
            storage.connect()
        assert len(_Redirect.seen_auth) == 1
    finally:
        server.shutdown()
        server.server_close()


def _failures(url, key):
    """Exceptions from every kind of failure the client can meet."""
    caught = []
    attempts = [
        (HostedStorage(url, key), lambda s: s.connect()),  # 401
        (HostedStorage(url, key, "somebody-else"), lambda s: s.connect()),  # 403 (if key valid)
        (HostedStorage(url, ACME), lambda s: s.get_nodes(424242)),  # 404
        (HostedStorage(url, ACME), lambda s: s.store_edges_resolved([("x", 1, 2)])),  # client
        (HostedStorage("http://127.0.0.1:9", key), lambda s: s.connect()),  # nothing listens
        (HostedStorage("", key), lambda s: s.connect()),  # no URL
        (HostedStorage("ftp://example.invalid", key), lambda s: s.connect()),
    ]
    for storage, attempt in attempts:
        try:
            attempt(storage)
        except Exception as exc:  # noqa: BLE001 - collecting every failure is the point
            caught.append(exc)
        finally:
            storage.disconnect()
    return caught


@pytest.mark.parametrize("key", ["sk-live-SECRET-0001", ACME])
def test_the_key_never_shows_in_logs_or_errors(service, caplog, key):
    with caplog.at_level(logging.DEBUG):
        caught = _failures(service.url, key)
        # the writer logs failed batches with the backend's error text
        storage = HostedStorage(service.url, key)
        writer = AsyncWriter(storage, WriterConfig(max_retries=1, retry_backoff=0.001))
        writer.start()
        writer.write_node(StoredNode(fingerprint=1, node_type="SOURCE", operation="t.c"))
        writer.flush(timeout=30)
        writer.stop()
        storage.disconnect()
        assert repr(storage).count(key) == 0
    assert len(caught) >= 5
    texts = [caplog.text]
    for exc in caught:
        texts += [str(exc), repr(exc), "".join(traceback.format_exception(exc))]
    for text in texts:
        assert key not in text
