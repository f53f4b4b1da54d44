"""The dashboard summary posted at the end of a run, as the lineage service receives it."""

from __future__ import annotations

import logging

import pytest
from persist_helpers import KEY, Service, build_run

from quorvane.recording import _dashboard
from quorvane.utilities.orrin32_dag import DAGTracker
from quorvane.utilities.persistence import HostedStorage

LOGGER = "quorvane.utilities.orrin32_dag"


@pytest.fixture
def service(tmp_path):
    running = Service(str(tmp_path / "service.db"))
    yield running
    running.stop()


def synced_payloads(service):
    return [s["payload"] for s in service.client().get_dashboard_syncs()]


def test_the_summary_of_a_run(service):
    tracker = DAGTracker(api_key=KEY, service_url=service.url + "///", pipeline_name="loans")
    build_run(tracker)
    tracker.flush()
    (payload,) = synced_payloads(service)
    nodes, edges = tracker._nodes_written, tracker._edges_written
    assert list(payload) == ["pipeline", "model", "fairness"]
    assert payload["pipeline"] == {
        "pipeline_name": "loans",
        "status": "completed",
        "node_count": nodes,
        "edge_count": edges,
        "provenance_pipeline_id": tracker._pipeline_id,
    }
    assert list(payload["pipeline"]) == [
        "pipeline_name",
        "status",
        "node_count",
        "edge_count",
        "provenance_pipeline_id",
    ]
    assert payload["model"] == {
        "model_id": "loans",
        "name": "loans",
        "version": "1.0",
        "status": "production",
        "domain": "credit",
    }
    assert payload["fairness"] == {
        "model_id": "loans",
        "has_disparate_impact": True,
        "protected_attributes": ["applicants.debt"],
        "details": {
            "node_count": nodes,
            "edge_count": edges,
            "protected_sources": ["applicants.debt"],
        },
    }
    tracker.disable_persistence()


def test_labels_are_distinct_and_need_table_and_column(service):
    tracker = DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="")
    tracker.register("t", "sex", protected=True)
    for _ in range(3):  # three protected nodes of one column
        tracker._create_node(
            _source_type(), "t.sex", [], 5, table="t", column="sex", is_protected=True
        )
    tracker._create_node(_source_type(), "x", [], 6, is_protected=True)  # no table
    tracker.flush()
    (payload,) = synced_payloads(service)
    fairness = payload["fairness"]
    assert fairness["has_disparate_impact"] is True
    assert fairness["protected_attributes"] == ["t.sex"]
    assert fairness["details"]["protected_sources"] == ["t.sex"]
    assert (
        payload["model"]["model_id"] == payload["pipeline"]["pipeline_name"] == ("unnamed_pipeline")
    )
    assert payload["model"]["name"] == "Unnamed Pipeline"
    tracker.disable_persistence()


def _source_type():
    from quorvane.utilities.orrin32_dag import NodeType

    return NodeType.SOURCE


def test_nothing_protected_still_sends_a_fairness_record(service):
    tracker = DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="plain")
    build_run(tracker, protected=False)
    tracker.flush()
    (payload,) = synced_payloads(service)
    assert payload["fairness"]["has_disparate_impact"] is False
    assert payload["fairness"]["protected_attributes"] == []
    tracker.disable_persistence()


@pytest.mark.parametrize("failure", ["error", "slow"])
def test_a_failing_dashboard_is_one_warning(tmp_path, monkeypatch, caplog, failure):
    service = Service(str(tmp_path / "flaky.db"), dashboard=failure)
    # the slow dashboard answers after a second: wait a fifth of that instead of ten
    monkeypatch.setattr(_dashboard, "DASHBOARD_TIMEOUT", 0.2)
    try:
        tracker = DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="flaky")
        build_run(tracker)
        with caplog.at_level(logging.WARNING, logger=LOGGER):
            assert tracker.flush() is True
        records = [r for r in caplog.records if r.name == LOGGER]
        assert len(records) == 1 and records[0].levelno == logging.WARNING
        assert records[0].getMessage().startswith("Dashboard sync failed (non-fatal): ")
        assert KEY not in caplog.text
        assert tracker._dashboard_synced is True and service.dashboard_posts == 1
        tracker.flush()  # no retry
        assert service.dashboard_posts == 1
        tracker.disable_persistence()
    finally:
        service.stop()


def test_no_request_without_a_url_or_a_key(service, monkeypatch):
    sent = []
    monkeypatch.setattr(HostedStorage, "_request", lambda *a, **k: sent.append(a))
    tracker = DAGTracker(service_url=service.url)
    tracker._sync_to_dashboard()  # no key
    tracker._api_key, tracker._service_url = KEY, ""
    tracker._sync_to_dashboard()  # no URL
    assert sent == []


@pytest.mark.parametrize("url", ["file:///etc/passwd", "lineage.example.org/v1"])
def test_a_dashboard_url_the_client_cannot_use_makes_flush_raise(service, caplog, url):
    tracker = DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="loans")
    build_run(tracker)
    tracker._service_url = url  # the run's storage is up; only the dashboard address is bad
    with caplog.at_level(logging.WARNING, logger=LOGGER), pytest.raises(ValueError, match="URL"):
        tracker.flush()
    assert caplog.records == [] and tracker._dashboard_synced is False
    assert service.dashboard_posts == 0
    tracker.disable_persistence()


@pytest.mark.parametrize("body", [b"", b"accepted", b'{"status": "ok"}'])
def test_a_success_without_a_sync_id_is_a_success(tmp_path, caplog, body):
    service = Service(str(tmp_path / "bare.db"), dashboard=body)
    try:
        tracker = DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="bare")
        build_run(tracker)
        with caplog.at_level(logging.WARNING, logger=LOGGER):
            assert tracker.flush() is True
        assert caplog.records == [] and tracker._dashboard_synced is True
        assert service.dashboard_posts == 1
        tracker.disable_persistence()
    finally:
        service.stop()
