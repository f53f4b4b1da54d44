"""The background writer: hands records to a storage backend in batches, off the caller's thread."""

from __future__ import annotations

import logging
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, Literal, NoReturn, Self

logger = logging.getLogger(__name__)


@dataclass(frozen=True)
class WriterConfig:
    """Batching, queueing and retry settings of an ``AsyncWriter``.

    ``batch_size`` items go to the backend together, at the latest every ``flush_interval``
    seconds and earlier as soon as a full batch is waiting. Items that piled up while the
    previous batch was being stored go together in the next one, up to ``max_batch_records``
    records (group commit). At most ``queue_size`` items wait: a writer that finds the queue
    full blocks until there is room, or at most ``put_timeout`` seconds when that is set, and
    then raises ``TimeoutError``. A backend call that fails for a passing reason is tried again
    ``max_retries`` times, waiting ``retry_backoff`` seconds and doubling the wait up to
    ``max_backoff``; a record the backend refuses (``ValueError``, ``TypeError``,
    ``LookupError``, ``PermissionError``, ``ArithmeticError``) is not retried: its batch is
    split until the refused records are found, and the others are stored. ``stop_timeout``
    bounds ``stop()``.
    """

    batch_size: int = 100
    flush_interval: float = 1.0
    queue_size: int = 10000
    max_retries: int = 5
    retry_backoff: float = 0.1
    max_backoff: float = 5.0
    stop_timeout: float = 30.0
    put_timeout: float | None = None
    max_batch_records: int = 10000

    def __post_init__(self) -> None:
        for name in ("batch_size", "queue_size", "max_batch_records"):
            if int(getattr(self, name)) < 1:
                raise ValueError(f"{name} must be at least 1")
        if self.put_timeout is not None and not float(self.put_timeout) >= 0:
            raise ValueError("put_timeout must be None or a number of seconds (0 or more)")
        if int(self.max_retries) < 0:
            raise ValueError("max_retries must not be negative")
        for name in ("flush_interval", "retry_backoff", "max_backoff", "stop_timeout"):
            if not float(getattr(self, name)) > 0:
                raise ValueError(f"{name} must be a positive number of seconds")


@dataclass(slots=True)
class _Item:
    kind: str  # "source", "nodes", "edges" or "row_values"
    payload: Any
    count: int
    seq: int = 0
    pipeline_id: int | None = None


class RecordsRefused(Exception):
    """Raised by a backend for one whole call that no split can save (a rejected API key)."""


# a backend refuses the records themselves: retrying the same call cannot succeed
_REFUSALS = (ValueError, TypeError, LookupError, PermissionError, ArithmeticError)


class AsyncWriter:
    """Writes nodes, edges, row values and sources to ``storage`` from one daemon thread.

    The write calls only append to a bounded queue, so they are cheap enough to be made while
    the caller holds its own locks. Nothing is dropped silently: a full queue makes the caller
    wait, a failing backend is retried with backoff, a refused record is set apart from the
    good records of its batch, and what still fails is counted and logged, and makes the
    next ``flush()`` (or ``stop()``) return False. Records are stored in the order they were
    handed over.
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
        self._exporting = False
        self._flush_waiters = 0
        self._seq = 0  # sequence number of the last item handed over (or refused)
        self._done_seq = 0  # every item up to this one has been stored or given up
        self._failed_seqs: list[int] = []
        # the target of the last flush that returned: a flush answers for what was handed
        # over since then, so two flushes running at once both report the same failure
        self._reported_mark = 0
        self._flush_bases: list[int] = []
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

        Returns True when everything handed over since the last flush was stored in time.
        Otherwise the thread goes on in the background and what was still waiting is logged.
        Records handed over afterwards are refused with ``RuntimeError``.
        """
        limit = self._config.stop_timeout if timeout is None else max(0.0, float(timeout))
        with self._lock:
            base = self._begin_flush()
            target = self._seq
            self._stopping = True
            self._wake.notify_all()
            thread = self._thread
        try:
            if thread is not None:
                thread.join(limit)
                finished = not thread.is_alive()
            else:
                finished = self._export_until(time.monotonic() + limit)
        finally:
            with self._lock:
                self._closed = True
                pending = self._pending()
                self._not_full.notify_all()
                stored = self._end_flush(base, target)
        if not finished or pending:
            logger.error(
                "AsyncWriter stopped after %.1f s with %d records not yet stored; "
                "its thread keeps trying in the background",
                limit,
                pending,
            )
        return finished and not pending and stored

    def flush(self, timeout: float | None = None) -> bool:
        """Wait until everything handed over so far is stored, or until ``timeout`` passes.

        Returns True when everything handed over since the last flush returned was stored;
        False on a timeout or when some of it had to be given up (counted and logged).
        """
        deadline = None if timeout is None else time.monotonic() + max(0.0, float(timeout))
        with self._lock:
            base = self._begin_flush()
            target = self._seq
            worker = self._worker_alive()
            if worker:
                self._flush_waiters += 1
                self._wake.notify_all()
        try:
            if worker:
                self._wait_for_worker(target, deadline)
            if self._done_seq < target and not self._worker_alive():
                self._export_until(deadline, target)
        finally:
            with self._lock:
                stored = self._end_flush(base, target)
        return stored

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(self, exc_type, exc_val, exc_tb) -> Literal[False]:
        self.stop()
        return False

    # -- writes (caller's thread) -------------------------------------------------------------
    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool) -> None:
        """Queue the registration of a (table, column) source pair."""
        self._put(_Item("source", [(pair_id, table, column, bool(is_protected))], 1))

    def write_node(self, node: Any) -> None:
        """Queue one node record."""
        pipeline_id = getattr(node, "pipeline_id", None)
        self._put(_Item("nodes", [node], 1), node_pipeline=pipeline_id)

    def write_nodes(self, nodes: Iterable[Any]) -> None:
        """Queue the node records of one operation, all of one pipeline, as one item."""
        nodes = list(nodes)
        if nodes:
            pipeline_id = getattr(nodes[0], "pipeline_id", None)
            self._put(_Item("nodes", nodes, len(nodes)), node_pipeline=pipeline_id)

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

    # -- flush bookkeeping (lock held) -----------------------------------------------------------
    def _begin_flush(self) -> int:
        base = self._reported_mark
        self._flush_bases.append(base)
        return base

    def _end_flush(self, base: int, target: int) -> bool:
        self._flush_bases.remove(base)
        stored = self._done_seq >= target and not any(
            base < seq <= target for seq in self._failed_seqs
        )
        self._reported_mark = max(self._reported_mark, target)
        # failures no running or later flush can still answer for
        oldest = min([self._reported_mark, *self._flush_bases])
        self._failed_seqs = [seq for seq in self._failed_seqs if seq > oldest]
        return stored

    def _give_up(self, count: int, seqs: Iterable[int]) -> None:
        self._stats["failed"] += count
        self._failed_seqs.extend(seqs)

    # -- internals --------------------------------------------------------------------------
    def _pending(self) -> int:
        s = self._stats
        return s["queued"] - s["written"] - s["failed"]

    def _worker_alive(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def _wait_for_worker(self, target: int, deadline: float | None) -> None:
        with self._lock:
            try:
                while self._done_seq < target and self._worker_alive():
                    remaining = None if deadline is None else deadline - time.monotonic()
                    if remaining is not None and remaining <= 0:
                        break
                    self._done.wait(0.5 if remaining is None else min(remaining, 0.5))
            finally:
                self._flush_waiters -= 1

    def _put(self, item: _Item, node_pipeline: Any = None) -> None:
        with self._lock:
            # the common case first: it runs for every record a tracker hands over
            if not self._closed and len(self._queue) < self._config.queue_size:
                self._enqueue(item, node_pipeline)
                return
        self._put_when_room(item, node_pipeline)

    def _put_when_room(self, item: _Item, node_pipeline: Any) -> None:
        limit = self._config.queue_size
        put_timeout = self._config.put_timeout
        deadline = None if put_timeout is None else time.monotonic() + float(put_timeout)
        while True:
            with self._lock:
                if self._closed:
                    self._refuse(item, RuntimeError, "the AsyncWriter is stopped")
                if len(self._queue) < limit:
                    self._enqueue(item, node_pipeline)
                    return
                if self._worker_alive():
                    # back-pressure: wait for the worker to make room (re-checking that it
                    # is still alive now and then)
                    remaining = 0.5 if deadline is None else deadline - time.monotonic()
                    if remaining <= 0:
                        reason = f"the queue stayed full for {put_timeout} s"
                        self._refuse(item, TimeoutError, reason)
                    self._not_full.wait(min(remaining, 0.5))
                    continue
            # no worker to make room: store a batch in this thread
            self._export_batch()

    def _enqueue(self, item: _Item, node_pipeline: Any) -> None:
        if item.kind == "nodes":
            self._last_node_pipeline = node_pipeline
        elif item.kind == "edges":
            item.pipeline_id = self._last_node_pipeline
        self._seq += 1
        item.seq = self._seq
        self._queue.append(item)
        self._stats["queued"] += item.count
        # the worker checks the queue length before it waits, so waking it when the length
        # reaches a batch is enough (a wake-up on every later item would cost more than it)
        if len(self._queue) == self._config.batch_size:
            self._wake.notify_all()

    def _refuse(self, item: _Item, error: type[Exception], reason: str) -> NoReturn:
        """With the lock held: count ``item`` as handed over and lost, then raise."""
        self._seq += 1
        self._stats["queued"] += item.count
        self._give_up(item.count, [self._seq])
        if not self._queue and not self._exporting:
            self._done_seq = self._seq
            self._done.notify_all()
        message = f"{reason}: {item.count} {item.kind} record(s) handed over were not stored"
        logger.error("%s", message)
        raise error(message)

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

    def _take_batch(self) -> list[_Item]:
        """With the lock held: a full batch, or everything that piled up, within the cap."""
        config = self._config
        batch = [self._queue.popleft()]
        records = batch[0].count
        while self._queue and (
            len(batch) < config.batch_size
            or records + self._queue[0].count <= config.max_batch_records
        ):
            records += self._queue[0].count
            batch.append(self._queue.popleft())
        return batch

    def _export_batch(self) -> bool:
        """Take one batch off the queue and store it; False when the queue was empty."""
        with self._export_lock:
            with self._lock:
                if not self._queue:
                    return False
                batch = self._take_batch()
                self._exporting = True
                self._not_full.notify_all()
            try:
                for group in _groups(batch):
                    self._store_group(group)
            finally:
                with self._lock:
                    self._exporting = False
                    # the queue is first in, first out: what is left in it is all that is
                    # not done (items refused after the batch was taken count as done)
                    self._done_seq = self._queue[0].seq - 1 if self._queue else self._seq
                    self._stats["batches"] += 1
                    self._done.notify_all()
        return True

    def _store_group(self, group: list[_Item]) -> None:
        kind = group[0].kind
        records = [record for item in group for record in item.payload]
        lost = self._store_records(kind, records, group[0].pipeline_id)
        with self._lock:
            self._stats["written"] += len(records) - lost
            if lost:
                self._give_up(lost, (item.seq for item in group))

    def _store_records(self, kind: str, records: list[Any], pipeline_id: int | None) -> int:
        """Store records of one kind; returns how many were lost. Refused records are found
        by halving the call, so the good records of a batch are stored all the same."""
        try:
            answer = self._call_with_retries(
                lambda: self._backend_call(kind, records, pipeline_id), kind, len(records)
            )
        except RecordsRefused as exc:
            logger.error("AsyncWriter: %d %s record(s) refused: %s", len(records), kind, exc)
            return len(records)
        except _REFUSALS as exc:
            if len(records) == 1:
                logger.error("AsyncWriter: a %s record was refused: %s", kind, exc)
                return 1
            half = len(records) // 2
            return self._store_records(kind, records[:half], pipeline_id) + self._store_records(
                kind, records[half:], pipeline_id
            )
        except _GaveUp:
            return len(records)
        return _unresolved(kind, len(records), answer)

    def _backend_call(self, kind: str, records: list[Any], pipeline_id: int | None) -> Any:
        storage = self._storage
        if kind == "source":
            for pair_id, table, column, is_protected in records:
                storage.register_source(pair_id, table, column, is_protected=is_protected)
            return None
        if kind == "nodes":
            return storage.store_nodes(records)
        if kind == "edges":
            return storage.store_edges(records, pipeline_id=pipeline_id)
        return storage.store_row_values(records)

    def _call_with_retries(self, call: Callable[[], Any], kind: str, count: int) -> Any:
        config = self._config
        delay = float(config.retry_backoff)
        attempt = 1
        while True:
            try:
                return call()
            except (RecordsRefused, *_REFUSALS):
                raise
            except Exception as exc:
                if attempt > config.max_retries:
                    logger.exception(
                        "AsyncWriter gave up storing %d %s record(s) after %d attempts",
                        count,
                        kind,
                        attempt,
                    )
                    raise _GaveUp from exc
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


class _GaveUp(Exception):
    """A backend call that still failed after every retry."""


def _unresolved(kind: str, count: int, answer: Any) -> int:
    """Edges the backend accepted but could not resolve (their nodes are not stored, for
    example because their node batch failed): they are lost, so they count as failed."""
    if kind != "edges" or type(answer) is not int:
        return 0  # a backend that does not say how many resolved
    lost = max(0, count - answer)
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
