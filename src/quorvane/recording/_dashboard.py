"""Dashboard summary of a finished run, posted by the tracker's persistence session."""

from __future__ import annotations

from typing import Any

from ._log import logger

#: seconds the dashboard request may take, connecting and reading
DASHBOARD_TIMEOUT = 10.0


def sync(session: Any, nodes: dict) -> None:
    """Sync pipeline results to dashboard tables via the API."""
    if not session.service_url or not session.api_key:
        return
    node_count = getattr(session, "nodes_written", 0)
    edge_count = getattr(session, "edges_written", 0)
    model_id = session.pipeline_name or "unnamed_pipeline"
    pipeline = {
        "pipeline_name": model_id,
        "status": "completed",
        "node_count": node_count,
        "edge_count": edge_count,
        "provenance_pipeline_id": session.pipeline_id,
    }
    model = {
        "model_id": model_id,
        "name": session.pipeline_name or "Unnamed Pipeline",
        "version": "1.0",
        "status": "production",
        "domain": "credit",
    }
    has_protected = False
    labels = []
    for node in nodes.values():
        if node.is_protected:
            has_protected = True
            if node.table and node.column:
                labels.append(f"{node.table!s}.{node.column!s}")
    distinct = list(dict.fromkeys(labels))
    fairness = {
        "model_id": model_id,
        "has_disparate_impact": has_protected,
        "protected_attributes": distinct,
        "details": {
            "node_count": node_count,
            "edge_count": edge_count,
            "protected_sources": list(distinct),
        },
    }
    payload = {"pipeline": pipeline, "model": model, "fairness": fairness}
    # through the service client: its pooled connection, timeouts, refused redirects and a
    # key that never shows in its errors
    from ..utilities.persistence import HostedStorage

    client = HostedStorage(session.service_url, session.api_key, timeout=DASHBOARD_TIMEOUT)
    # An address the client cannot use is the caller's error, raised to flush (which then
    # leaves the run unsynced), not a failed request.
    client.check_url()
    try:
        client.store_dashboard_sync(payload)
    except Exception as exc:  # noqa: BLE001 - best effort: a failure never stops the run
        logger.warning("Dashboard sync failed (non-fatal): %s", exc)
    finally:
        client.disconnect()
