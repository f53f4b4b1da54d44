"""Dashboard summary of a finished pipeline; bound into ``DAGTracker``'s class body."""

from __future__ import annotations

import json

from ._log import logger


def _sync_to_dashboard(self) -> None:
    """Sync pipeline results to dashboard tables via the API."""
    if not self._service_url or not self._api_key:
        return
    import urllib.error
    import urllib.parse
    import urllib.request

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
    url = self._service_url.rstrip("/") + "/v1/dashboard/sync"
    body = json.dumps(payload).encode("utf-8")
    request = urllib.request.Request(
        url,
        data=body,
        method="POST",
        headers={"Authorization": f"Bearer {self._api_key!s}", "Content-Type": "application/json"},
    )
    try:
        # urlopen would also follow file: and ftp: URLs; the dashboard is an HTTP service
        if urllib.parse.urlsplit(url).scheme not in ("http", "https"):
            raise ValueError(f"the dashboard needs an http(s) service URL, got {url!r}")
        with urllib.request.urlopen(request, timeout=10) as response:
            response.read()
    except Exception as exc:  # noqa: BLE001 - best effort: a failure never stops the run
        logger.warning("Dashboard sync failed (non-fatal): %s", exc)
        if isinstance(exc, urllib.error.HTTPError):
            exc.close()  # an error answer holds the connection open until closed
