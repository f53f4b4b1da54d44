"""Inputs no store can keep as they are, on SQLite, PostgreSQL and through the service: text
with U+0000 is refused naming its field, a refused record never takes its batch with it,
and non-finite numbers in free-form documents read back as they were sent."""

from __future__ import annotations

import json
import math
import re
import urllib.error
import urllib.request

import pytest
from servers import KEYS

from quorvane.server import KeyRing, create_app, start_server
from quorvane.utilities.persistence import (
    AsyncWriter,
    PostgresStorage,
    SQLiteStorage,
    StoredNode,
    StoredRowValue,
    WriterConfig,
)

NUL = "a\x00b"
ACME = "key-acme-7f3a"


def node(fp, pid, **fields):
    return StoredNode(**{"fingerprint": fp, "node_type": "BINARY", "operation": "add",
                         "pipeline_id": pid, **fields})  # fmt: skip


@pytest.mark.parametrize(
    ("field", "call"),
    [
        ("pipeline_name", lambda s, pid: s.create_pipeline(NUL)),
        ("config", lambda s, pid: s.create_pipeline("p", config={"k": [NUL]})),
        ("config", lambda s, pid: s.create_pipeline("p", config={NUL: 1})),
        ("table", lambda s, pid: s.register_source(1, NUL, "c", pipeline_id=pid)),
        ("operation", lambda s, pid: s.store_nodes([node(1, pid), node(2, pid, operation=NUL)])),
        ("column_name", lambda s, pid: s.store_nodes([node(1, pid, column_name=NUL)])),
        ("metadata", lambda s, pid: s.store_nodes([node(1, pid, metadata={"m": NUL})])),
        (
            "text_value",
            lambda s, pid: s.store_row_values(
                [StoredRowValue(pipeline_id=pid, row_index=0, fingerprint=1,
                                node_operation="o", text_value=NUL)]  # fmt: skip
            ),
        ),
        ("row_key|rows.1.0", lambda s, pid: s.store_results(pid, [("k", "o", 1, 1.0, None),
                                                         (NUL, "o", 2, 1.0, None)])),  # fmt: skip
        ("row_key", lambda s, pid: s.get_results(row_key=NUL)),
        ("pipeline_name",
         lambda s, pid: s.store_dashboard_sync({"pipeline": {"pipeline_name": NUL}})),
        ("notes", lambda s, pid: s.store_dashboard_sync({"notes": NUL})),
    ],
)  # fmt: skip
def test_text_with_nul_is_refused_naming_its_field(backend, field, call):
    pid = backend.create_pipeline("kept")
    with pytest.raises(ValueError, match="U\\+0000") as info:
        call(backend, pid)
    assert re.search(field, str(info.value))
    # nothing of the refused call was stored
    assert [p["pipeline_name"] for p in backend.list_pipelines()] == ["kept"]
    assert backend.get_nodes(pid) == [] and backend.get_results(pipeline_id=pid) == []
    assert backend.get_sources(pid) == [] and backend.get_dashboard_syncs() == []


@pytest.mark.parametrize(
    "bad",
    [
        node(7, None, operation=NUL),
        node(7, None, metadata={"at": NUL}),
        node(2**70, None),  # no 64-bit column holds it
    ],
)
def test_a_refused_record_never_takes_its_batch_with_it(backend, bad):
    pid = backend.create_pipeline("batch")
    writer = AsyncWriter(backend, WriterConfig(batch_size=100, max_retries=3,
                                               retry_backoff=0.01))  # fmt: skip
    for fp in range(100, 150):
        writer.write_node(node(fp, pid))
    writer.write_node(StoredNode(**{**vars(bad), "pipeline_id": pid}))
    for fp in range(150, 199):
        writer.write_node(node(fp, pid))
    assert writer.flush(timeout=60) is False
    writer.stop()
    stats = writer.get_stats()
    assert (stats["written"], stats["failed"], stats["retried"]) == (99, 1, 0)
    assert len(backend.get_nodes(pid)) == 99


NON_FINITE = {"nan": math.nan, "limits": [math.inf, -math.inf], "deep": {"x": [{"y": math.nan}]}}


def same(a, b):
    """Equal, NaN included (as the json module writes both)."""
    return json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True)


def test_non_finite_numbers_in_documents_read_back_as_sent(backend):
    pid = backend.create_pipeline("nan", config=NON_FINITE)
    backend.store_nodes([node(1, pid, metadata=NON_FINITE)])
    summary = {"pipeline": {"pipeline_name": "nan", "provenance_pipeline_id": pid}, **NON_FINITE}
    backend.store_dashboard_sync(summary)
    assert same(backend.get_pipeline(pid)["config"], NON_FINITE)
    assert same(backend.list_pipelines()[0]["config"], NON_FINITE)
    assert same(backend.get_nodes(pid)[0].metadata, NON_FINITE)
    assert same(backend.get_dashboard_syncs()[0]["payload"], summary)


# -- OpenLineage events, posted as any producer posts them --------------------------------------


@pytest.fixture(params=["sqlite", "postgres"])
def served(request, tmp_path):
    if request.param == "sqlite":
        store = SQLiteStorage(str(tmp_path / "events.db"))
    else:
        store = PostgresStorage(request.getfixturevalue("pg_url"))
    for key, tenant in KEYS.items():
        KeyRing(store).add(key, tenant)
    running = start_server(create_app(store))
    yield running
    running.stop()
    store.disconnect()


def post_event(url, body: bytes):
    request = urllib.request.Request(
        url + "/api/v1/lineage",
        data=body,
        headers={"Authorization": f"Bearer {ACME}", "Content-Type": "application/json"},
    )
    with urllib.request.urlopen(request, timeout=30) as answer:
        return answer.status


def events(url, run_id):
    request = urllib.request.Request(
        f"{url}/api/v1/lineage?run_id={run_id}", headers={"Authorization": f"Bearer {ACME}"}
    )
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.loads(answer.read())["events"]


EVENT = (
    '{"eventType": "COMPLETE", "eventTime": "2026-12-09T10:00:00Z", '
    '"run": {"runId": "%s", "facets": {"quality": {"score": %s}}}, '
    '"job": {"namespace": "ns", "name": "%s"}, "inputs": [%s]}'
)


@pytest.mark.parametrize(
    ("body", "status", "named"),
    [
        (EVENT % ("r1", "NaN", "job", '{"x": [Infinity, -Infinity]}'), 201, None),
        (EVENT % ("r1\\u0000", "1", "job", ""), 422, "runId"),
        (EVENT % ("r1", "1", "job\\u0000", ""), 422, "name"),
        (EVENT % ("r1", "1", "job", '{"deep": "\\u0000"}'), 422, "U+0000"),
        (EVENT % ("r1", "1", "job", '{"kept": "\\\\u0000"}'), 201, None),  # a backslash
        (EVENT % ("", "1", "job", ""), 422, "runId"),
        (EVENT % ("r1", "1", "job", "") + " {}", 422, "extra data"),
        (EVENT.replace('"eventTime": "2026-12-09T10:00:00Z", ', "") % ("r1", "1", "j", ""),
         422, "eventTime"),
        ('{"run": [1], "job": {}}', 422, "run"),
        ("[" * 100_000 + "]" * 100_000, 422, "nested"),
    ],
)  # fmt: skip
def test_openlineage_events_are_kept_as_sent_or_refused_naming_the_field(
    served, body, status, named
):
    try:
        got = post_event(served.url, body.encode())
    except urllib.error.HTTPError as exc:
        got, error = exc.code, json.loads(exc.read())["error"]
        exc.close()
        assert named in error
    assert got == status
    kept = events(served.url, "r1")
    assert same(kept, [json.loads(body)] if status == 201 else [])
