"""Dashboard summary of a finished pipeline; bound into ``DAGTracker``'s class body."""

from __future__ import annotations

from ._log import logger  # noqa: F401  (one logger for the whole module)


def _sync_to_dashboard(self) -> None:
    """Sync pipeline results to dashboard tables via the API."""
    raise NotImplementedError("_sync_to_dashboard comes with persistence")
