"""What the runs list and a run's page show, read from the store a page at a time."""

from __future__ import annotations

import functools
import math
import threading
import time
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..utilities.orrin32 import ProvenanceTracker, column_risk_report
from ..utilities.persistence import SQLStore
from .notfound import visible_run
from .reach import ReachFinder

PAGE_SIZE = 50
#: the last page whose offset a store can take (a 64-bit integer)
MAX_PAGE = (2**63 - 1) // PAGE_SIZE
RISK_COLOURS = {"HIGH": "high", "MEDIUM": "medium", "LOW": "low", "CLEAN": "clean"}


@dataclass(frozen=True)
class Page:
    """One page of a longer list: its number (from 1), size and how many items match."""

    number: int
    size: int
    total: int

    @property
    def offset(self) -> int:
        return (self.number - 1) * self.size

    @property
    def count(self) -> int:
        return max(1, math.ceil(self.total / self.size))


def page_of(number: int, total: int, size: int = PAGE_SIZE) -> Page:
    return Page(min(max(1, number), max(1, math.ceil(total / size))), size, total)


def runs_list(store: SQLStore, name: str, status: str, number: int) -> dict[str, Any]:
    _, total = store.find_pipelines(name, status, 0, 0)
    page = page_of(number, total)
    runs, _ = store.find_pipelines(name, status, page.offset, page.size)
    ids = [r["pipeline_id"] for r in runs]
    counts = store.count_run_parts(ids)
    checks = store.latest_source_checks(ids)
    for run in runs:
        run |= counts[run["pipeline_id"]]
        run["check"] = checks.get(run["pipeline_id"])
    return {"runs": runs, "page": page, "statuses": store.pipeline_statuses()}


class OverviewCache:
    """Aggregates of closed runs, reused for ``CACHE_SECONDS`` (one per app)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: dict[tuple, tuple[float, dict[str, Any]]] = {}

    def get(self, key: tuple) -> dict[str, Any] | None:
        with self._lock:
            entry = self._entries.get(key)
        if entry is None or time.monotonic() - entry[0] > CACHE_SECONDS:
            return None
        return entry[1]

    def put(self, key: tuple, overview: dict[str, Any]) -> None:
        with self._lock:
            if len(self._entries) >= 256:
                self._entries.clear()
            self._entries[key] = (time.monotonic(), overview)


def run_overview(store: SQLStore, pipeline_id: int, cache: OverviewCache) -> dict[str, Any]:
    """Everything on a run's page except its results: record, sources, risk, summary."""
    run = visible_run(store, pipeline_id)
    checks = store.source_checks(pipeline_id, limit=MAX_CHECKS)
    # Events and checks keep arriving after a run closes: read, not cached.
    live = {
        "check": checks[0] if checks else None,
        "checks": checks,
        "lineage_events": lineage_events(store, run["pipeline_name"]),
    }
    if run["status"] == "running":
        return _overview(store, run) | live
    # A closed run changes seldom: its aggregates over 10^5 rows are kept for a while.
    key = (store.tenant_id, pipeline_id, run["completed_at"])
    overview = cache.get(key)
    if overview is None:
        overview = _overview(store, run)
        cache.put(key, overview)
    return overview | live


#: most OpenLineage events listed on a run's page (the latest)
MAX_EVENTS = 50
#: most tamper checks listed on a run's page (the latest)
MAX_CHECKS = 50


def lineage_events(store: SQLStore, job_name: str) -> list[dict[str, Any]]:
    """The OpenLineage run events the service received for the job named like the run: their
    type, time, run id and the datasets they name, the latest first."""
    events = store.get_lineage_events(job_name=job_name, limit=MAX_EVENTS)
    return [
        {
            "type": event.get("eventType") or "",
            "time": event.get("eventTime") or "",
            "run_id": (event.get("run") or {}).get("runId") or "",
            "inputs": [d.get("name", "") for d in event.get("inputs") or [] if isinstance(d, dict)],
            "outputs": [
                d.get("name", "") for d in event.get("outputs") or [] if isinstance(d, dict)
            ],
        }
        for event in reversed(events)
    ]


#: seconds a closed run's aggregates are reused (results stored after closing show then)
CACHE_SECONDS = 30.0
#: most sources and risk rows listed on a run's page (the riskiest and protected first)
MAX_LISTED = 100


def _overview(store: SQLStore, run: dict[str, Any]) -> dict[str, Any]:
    pipeline_id = run["pipeline_id"]
    counts = store.count_run_parts([pipeline_id])[pipeline_id]
    source_nodes = store.get_source_nodes(pipeline_id)
    outputs = store.result_words(pipeline_id)
    registered = store.get_sources(pipeline_id)
    sources = store.run_sources(pipeline_id)
    risk = risk_report(source_nodes, outputs)
    reach = ReachFinder(store, pipeline_id, [*registered, *source_nodes])
    words = _words_by_column(source_nodes, outputs)
    for entry in risk:
        entry["reach"] = reach.of_words(words[entry["column"]])
    return {
        "run": run,
        "counts": counts,
        "sources": sources[:MAX_LISTED],
        "more_sources": max(0, len(sources) - MAX_LISTED),
        "risk": risk[:MAX_LISTED],
        "more_risk": max(0, len(risk) - MAX_LISTED),
        "outputs": sorted(outputs),
        "operations": store.operation_counts(pipeline_id),
        "summary": store.dashboard_payload(pipeline_id),
        "reach": reach,
    }


def risk_report(source_nodes: list[dict], outputs: dict[str, list[int]]) -> list[dict[str, Any]]:
    """The column risk report over the words stored for the run: each source column's and
    each output's (all the distinct words of its results)."""
    words = _words_by_column(source_nodes, outputs)
    columns = _StoredColumns({name: np.asarray(w, dtype=np.uint32) for name, w in words.items()})
    report = column_risk_report(columns, _tracker())
    for entry in report:
        entry["colour"] = RISK_COLOURS[entry["risk_level"]]
    return report


def _words_by_column(
    source_nodes: list[dict], outputs: dict[str, list[int]]
) -> dict[str, list[int]]:
    words: dict[str, list[int]] = {}
    for node in source_nodes:
        words.setdefault(f"{node['table']}.{node['column']}", []).append(node["fingerprint"])
    for name, fingerprints in outputs.items():
        words.setdefault(name, []).extend(fingerprints)
    return words


class _StoredColumns:
    """The attributes ``column_risk_report`` reads from a tracked frame, from stored words."""

    def __init__(self, col_prov: dict[str, np.ndarray]):
        self._col_prov = col_prov
        self.columns = list(col_prov)
        self._tracker = None


@functools.cache
def _tracker() -> ProvenanceTracker:
    # the report takes its risks from the words alone; it only needs to be given a tracker
    return ProvenanceTracker()


def results_page(store: SQLStore, pipeline_id: int, search: str, number: int) -> dict[str, Any]:
    """One page of a run's row keys matching ``search``, each with its result per output."""
    number = min(max(1, number), MAX_PAGE)
    keys, total = store.find_result_keys(pipeline_id, search, (number - 1) * PAGE_SIZE, PAGE_SIZE)
    page = page_of(number, total)
    if not keys and total:  # past the last page: show the last one
        keys, total = store.find_result_keys(pipeline_id, search, page.offset, page.size)
    rows: dict[str, dict[str, Any]] = {key: {} for key in keys}
    for result in store.results_for_keys(pipeline_id, keys):
        rows[result["row_key"]][result["output_name"]] = result
    return {"results": rows, "page": page, "search": search}
