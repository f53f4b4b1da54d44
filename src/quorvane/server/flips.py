"""The flip counts of a run's page: for each result its per-element log traces, how many
values change (a decision: flip) when one protected attribute alone is set to each of its
other values, over every applicant.

Counting reads the run's whole log and replays it once per attribute value: seconds for a
run of 10^6 applicants, which no page should wait for. So each run is counted once, in a
background thread; a page waits a moment for it (a small run is counted by then) and
otherwise says the count is under way.
"""

from __future__ import annotations

import threading
from concurrent.futures import Future, ThreadPoolExecutor
from concurrent.futures import TimeoutError as NotYet
from typing import Any

from ..replay import FlipCounts, flip_counts
from ..utilities.persistence import SQLStore

#: seconds a page waits for a count before it says the count is under way
WAIT_SECONDS = 2.0
#: runs whose counts are kept (the oldest asked for are dropped first)
KEPT = 64


def count_run(store: SQLStore, pipeline_id: int) -> list[FlipCounts]:
    """The flip counts of every result the run's per-element log traces (none without one),
    from one read of the log."""
    names = store.element_results(pipeline_id)
    log = store.read_element_log(pipeline_id) if names else None
    if log is None:
        return []
    return [flip_counts(log, name) for name in names]


class FlipCounter:
    """Flip counts of runs, each counted once in the background (one per app)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._counts: dict[tuple, Future[list[FlipCounts]]] = {}
        self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="flip-counts")

    def counts(self, store: SQLStore, run: dict[str, Any]) -> list[FlipCounts] | None:
        """The run's flip counts, or None while they are being counted. A run that is still
        open is counted again once it has closed."""
        key = (store.tenant_id, run["pipeline_id"], run["status"], run["completed_at"])
        with self._lock:
            counting = self._counts.pop(key, None)
            if counting is None:
                counting = self._pool.submit(count_run, store, run["pipeline_id"])
            self._counts[key] = counting  # the latest asked for last
            while len(self._counts) > KEPT:
                del self._counts[next(iter(self._counts))]
        try:
            return counting.result(timeout=WAIT_SECONDS)
        except NotYet:
            return None

    def close(self) -> None:
        self._pool.shutdown(wait=False, cancel_futures=True)
