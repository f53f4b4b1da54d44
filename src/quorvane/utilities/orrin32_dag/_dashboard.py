"""Dashboard summary of a finished pipeline; bound into ``DAGTracker``'s class body."""

from __future__ import annotations

from ._log import logger

#: seconds the dashboard request may take, connecting and reading
DASHBOARD_TIMEOUT = 10.0


def _sync_to_dashboard(self) -> None:
    """Sync pipeline results to dashboard tables via the API."""
    if not self._service_url or not self._api_key:
        return
    node_count = getattr(self, "_nodes_written", 0)
    edge_count = getattr(self, "_edges_written", 0)
    model_id = self._pipeline_name or "unnamed_pipeline"
    pipeline = {
        "pipeline_name": model_id,
        "status": "completed",
        "node_count": node_count,
        "edge_count": edge_count,
        "provenance_pipeline_id": self._pipeline_id,
    }
    model = {
        "model_id": model_id,
        "name": self._pipeline_name or "Unnamed Pipeline",
        "version": "1.0",
        "status": "production",
        "domain": "credit",
    }
    has_protected = False
    labels = []
    for node in self._nodes.values():
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
    from ..persistence import HostedStorage

    client = HostedStorage(self._service_url, self._api_key, timeout=DASHBOARD_TIMEOUT)
    try:
        client.store_dashboard_sync(payload)
    except Exception as exc:  # noqa: BLE001 - best effort: a failure never stops the run
        logger.warning("Dashboard sync failed (non-fatal): %s", exc)
    finally:
        client.disconnect()
