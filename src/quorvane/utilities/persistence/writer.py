"""The background writer: hands records to a storage backend in batches, off the caller's thread."""

from __future__ import annotations

import logging
import threading
import time
from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Literal, Self

logger = logging.getLogger(__name__)


@dataclass(frozen=True)
class WriterConfig:
    """Batching, queueing and retry settings of an ``AsyncWriter``.

    ``batch_size`` items go to the backend together, at the latest every ``flush_interval``
    seconds and earlier as soon as a full batch is waiting; at most ``queue_size`` items wait
    (a writer that finds the queue full blocks until there is room). A failing backend call is
    tried again ``max_retries`` times, waiting ``retry_backoff`` seconds and doubling the wait
    up to ``max_backoff``. ``stop_timeout`` bounds ``stop()``.
    """

    batch_size: int = 100
    flush_interval: float = 1.0
    queue_size: int = 10000
    max_retries: int = 5
    retry_backoff: float = 0.1
    max_backoff: float = 5.0
    stop_timeout: float = 30.0

    def __post_init__(self) -> None:
        for name in ("batch_size", "queue_size"):
            if int(getattr(self, name)) < 1:
                raise ValueError(f"{name} must be at least 1")
        if int(self.max_retries) < 0:
            raise ValueError("max_retries must not be negative")
        for name in ("flush_interval", "retry_backoff", "max_backoff", "stop_timeout"):
            if not float(getattr(self, name)) > 0:
                raise ValueError(f"{name} must be a positive number of seconds")


@dataclass
class _Item:
    kind: str  # "source", "nodes", "edges" or "row_values"
    payload: Any
    count: int
    seq: int = 0
    pipeline_id: int | None = None


class AsyncWriter:
    """Writes nodes, edges, row values and sources to ``storage`` from one daemon thread.

    The write calls only append to a bounded queue, so they are cheap enough to be made while
    the caller holds its own locks. Nothing is dropped: a full queue makes the caller wait, a
    failing backend is retried with backoff, and what still fails is counted and logged.
    Records are stored in the order they were handed over.
    """

    def __init__(self, storage: Any, config: WriterConfig | None = None):
        self._storage = storage
        self._config = config if config is not None else WriterConfig()
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)  # the worker waits here
        self._not_full = threading.Condition(self._lock)  # writers wait here for room
        self._done = threading.Condition(self._lock)  # flush waits here
        # held from taking a batch off the queue until it is stored: one exporter at a time,
        # so batches reach the backend in queue order
        self._export_lock = threading.Lock()
        self._queue: deque[_Item] = deque()
        self._thread: threading.Thread | None = None
        self._stopping = False
        self._closed = False
        self._flush_waiters = 0
        self._seq = 0  # sequence number of the last item handed over
        self._done_seq = 0  # every item up to this one has been stored or given up
        self._failed_seqs: list[int] = []
        self._flush_mark = 0
        self._last_node_pipeline: int | None = None
        self._stats = {"queued": 0, "written": 0, "failed": 0, "retried": 0, "batches": 0}

    @property
    def config(self) -> WriterConfig:
        return self._config

    # -- lifecycle ---------------------------------------------------------------------------
    def start(self) -> None:
        """Start the background thread (a second call while it runs does nothing)."""
        with self._lock:
            if self._closed or self._stopping:
                raise RuntimeError("a stopped AsyncWriter cannot be started again")
            if self._thread is not None:
                return
            self._thread = threading.Thread(
                target=self._run, name="quorvane-async-writer", daemon=True
            )
            self._thread.start()

    def stop(self, timeout: float | None = None) -> bool:
        """Store everything handed over, then end the thread; wait at most ``timeout`` seconds.

        Returns True when everything was stored in time. Otherwise the thread goes on in the
        background and what was still waiting is logged.
        """
        limit = self._config.stop_timeout if timeout is None else max(0.0, float(timeout))
        with self._lock:
            if self._closed:
                return self._done_seq >= self._seq
            self._stopping = True
            self._wake.notify_all()
            thread = self._thread
        if thread is not None:
            thread.join(limit)
            finished = not thread.is_alive()
        else:
            finished = self._export_until(time.monotonic() + limit)
        with self._lock:
            self._closed = True
            pending = self._pending()
            self._not_full.notify_all()
        if not finished or pending:
            logger.error(
                "AsyncWriter stopped after %.1f s with %d records not yet stored; "
                "its thread keeps trying in the background",
                limit,
                pending,
            )
        return finished and not pending

    def flush(self, timeout: float | None = None) -> bool:
        """Wait until everything handed over so far is stored, or until ``timeout`` passes.

        Returns True when all of it was stored, False on a timeout or when records handed over
        since the previous flush had to be given up (they were counted and logged).
        """
        deadline = None if timeout is None else time.monotonic() + max(0.0, float(timeout))
        with self._lock:
            target = self._seq
            worker = self._worker_alive()
            if worker:
                self._flush_waiters += 1
                self._wake.notify_all()
        if not worker:
            self._export_until(deadline, target)
        else:
            with self._lock:
                try:
                    while self._done_seq < target:
                        remaining = None if deadline is None else deadline - time.monotonic()
                        if remaining is not None and remaining <= 0:
                            break
                        if not self._worker_alive():
                            break
                        self._done.wait(0.5 if remaining is None else min(remaining, 0.5))
                finally:
                    self._flush_waiters -= 1
            if self._done_seq < target and not self._worker_alive():
                self._export_until(deadline, target)
        with self._lock:
            return self._flush_result(target)

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(self, exc_type, exc_val, exc_tb) -> Literal[False]:
        self.stop()
        return False

    # -- writes (caller's thread) -------------------------------------------------------------
    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool) -> None:
        """Queue the registration of a (table, column) source pair."""
        self._put(_Item("source", (pair_id, table, column, bool(is_protected)), 1))

    def write_node(self, node: Any) -> None:
        """Queue one node record."""
        pipeline_id = getattr(node, "pipeline_id", None)
        self._put(_Item("nodes", [node], 1), node_pipeline=pipeline_id)

    def write_edges(self, edges: Iterable[Any]) -> None:
        """Queue edge records; they resolve within the pipeline of the last node handed over."""
        edges = list(edges)
        if edges:
            self._put(_Item("edges", edges, len(edges)))

    def write_row_values(self, values: Iterable[Any]) -> None:
        """Queue per-row value records."""
        values = list(values)
        if values:
            self._put(_Item("row_values", values, len(values)))

    def get_stats(self) -> dict[str, int]:
        """Counts of records: queued (handed over in all), written, failed, retried (attempts
        repeated), pending (handed over, not yet stored or given up), and batches stored."""
        with self._lock:
            stats = dict(self._stats)
            stats["pending"] = self._pending()
        return stats

    # -- internals --------------------------------------------------------------------------
    def _pending(self) -> int:
        s = self._stats
        return s["queued"] - s["written"] - s["failed"]

    def _worker_alive(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def _put(self, item: _Item, node_pipeline: Any = None) -> None:
        limit = self._config.queue_size
        while True:
            with self._lock:
                if self._closed:
                    self._stats["queued"] += item.count
                    self._stats["failed"] += item.count
                    logger.error(
                        "AsyncWriter is stopped: %d %s record(s) handed over were not stored",
                        item.count,
                        item.kind,
                    )
                    return
                if len(self._queue) < limit:
                    if item.kind == "nodes":
                        self._last_node_pipeline = node_pipeline
                    elif item.kind == "edges":
                        item.pipeline_id = self._last_node_pipeline
                    self._seq += 1
                    item.seq = self._seq
                    self._queue.append(item)
                    self._stats["queued"] += item.count
                    if len(self._queue) >= self._config.batch_size:
                        self._wake.notify_all()
                    return
                if self._worker_alive():
                    # back-pressure: wait for the worker to make room (re-checking that it
                    # is still alive now and then)
                    self._not_full.wait(0.5)
                    continue
            # no worker to make room: store a batch in this thread
            self._export_batch()

    def _run(self) -> None:
        try:
            while True:
                with self._lock:
                    if not self._wait_for_work():
                        return
                while self._export_batch():
                    pass
        except Exception:  # pragma: no cover - a bug here must not pass unnoticed
            logger.exception("AsyncWriter thread failed")
        finally:
            release = getattr(self._storage, "release_thread_connection", None)
            if callable(release):
                try:
                    release()
                except Exception:
                    logger.exception("AsyncWriter could not release its storage connection")

    def _wait_for_work(self) -> bool:
        """With the lock held: wait until a batch is due; False when the thread should end."""
        interval = float(self._config.flush_interval)
        deadline = time.monotonic() + interval
        while True:
            if self._stopping and not self._queue:
                return False
            if self._queue and (
                len(self._queue) >= self._config.batch_size
                or self._flush_waiters
                or self._stopping
                or time.monotonic() >= deadline
            ):
                return True
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                deadline = time.monotonic() + interval
                continue
            self._wake.wait(remaining)

    def _export_until(self, deadline: float | None, target: int | None = None) -> bool:
        """Store batches in the calling thread until ``target`` (or all) is done or time is up."""
        while True:
            with self._lock:
                goal = self._seq if target is None else target
                if self._done_seq >= goal:
                    return True
            if deadline is not None and time.monotonic() >= deadline:
                return False
            if not self._export_batch():
                with self._lock:
                    # another exporter holds the last batch: give it a moment
                    if self._done_seq < goal:
                        self._done.wait(0.05)

    def _export_batch(self) -> bool:
        """Take one batch off the queue and store it; False when the queue was empty."""
        with self._export_lock:
            with self._lock:
                if not self._queue:
                    return False
                size = min(self._config.batch_size, len(self._queue))
                batch = [self._queue.popleft() for _ in range(size)]
                self._not_full.notify_all()
            for group in _groups(batch):
                self._store_group(group)
            with self._lock:
                self._done_seq = batch[-1].seq
                self._stats["batches"] += 1
                self._done.notify_all()
        return True

    def _store_group(self, group: list[_Item]) -> None:
        kind = group[0].kind
        count = sum(item.count for item in group)
        storage = self._storage
        resolved: list[Any] = []  # what store_edges returned
        if kind == "source":

            def call() -> None:
                for item in group:
                    pair_id, table, column, is_protected = item.payload
                    storage.register_source(pair_id, table, column, is_protected=is_protected)

        else:
            records = [record for item in group for record in item.payload]
            if kind == "nodes":

                def call() -> None:
                    storage.store_nodes(records)

            elif kind == "edges":
                pipeline_id = group[0].pipeline_id

                def call() -> None:
                    resolved.append(storage.store_edges(records, pipeline_id=pipeline_id))

            else:

                def call() -> None:
                    storage.store_row_values(records)

        stored = self._call_with_retries(call, kind, count)
        lost = count if not stored else _unresolved(kind, count, resolved)
        with self._lock:
            self._stats["written"] += count - lost
            self._stats["failed"] += lost
            if lost:
                self._failed_seqs.extend(item.seq for item in group)

    def _call_with_retries(self, call, kind: str, count: int) -> bool:
        config = self._config
        delay = float(config.retry_backoff)
        attempt = 1
        while True:
            try:
                call()
                return True
            except Exception as exc:
                if attempt > config.max_retries:
                    logger.exception(
                        "AsyncWriter gave up storing %d %s record(s) after %d attempts",
                        count,
                        kind,
                        attempt,
                    )
                    return False
                with self._lock:
                    self._stats["retried"] += 1
                logger.warning(
                    "AsyncWriter could not store %d %s record(s) (attempt %d of %d), "
                    "retrying in %.2f s: %s",
                    count,
                    kind,
                    attempt,
                    config.max_retries + 1,
                    delay,
                    exc,
                )
                time.sleep(delay)
                delay = min(delay * 2, float(config.max_backoff))
                attempt += 1

    def _flush_result(self, target: int) -> bool:
        """With the lock held: was everything up to ``target`` stored?"""
        if self._done_seq < target:
            return False
        lost = any(self._flush_mark < seq <= target for seq in self._failed_seqs)
        self._failed_seqs = [seq for seq in self._failed_seqs if seq > target]
        self._flush_mark = max(self._flush_mark, target)
        return not lost


def _unresolved(kind: str, count: int, resolved: list[Any]) -> int:
    """Edges the backend accepted but could not resolve (their nodes are not stored, for
    example because their node batch failed): they are lost, so they count as failed."""
    if not resolved or type(resolved[-1]) is not int:
        return 0  # a backend that does not say how many resolved
    lost = max(0, count - resolved[-1])
    if lost:
        logger.error(
            "%d of %d %s record(s) could not be stored: their nodes are not in storage",
            lost,
            count,
            kind,
        )
    return lost


# the order in which the kinds of one batch reach the backend: an edge is resolved against
# nodes stored before it, so the batch's sources and nodes go first
_KIND_ORDER = ("source", "nodes", "edges", "row_values")


def _groups(batch: list[_Item]) -> list[list[_Item]]:
    """The items of one batch as backend calls: one per kind (edges: one per pipeline).

    Within a kind the hand-over order is kept. Moving a batch's nodes ahead of its edges
    is safe because every edge's nodes were handed over before it, so they are in this
    batch or an earlier one.
    """
    by_kind: dict[Any, list[_Item]] = {}
    for item in batch:
        key = (item.kind, item.pipeline_id) if item.kind == "edges" else (item.kind, None)
        by_kind.setdefault(key, []).append(item)
    return sorted(by_kind.values(), key=lambda group: _KIND_ORDER.index(group[0].kind))
