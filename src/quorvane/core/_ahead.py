"""Words made while pandas makes the values.

An element-wise operation on large columns does two independent passes over memory: pandas'
over the values and the engine's over the words. Both release the GIL, so the words are
started on a helper thread before pandas' call and collected after it, and on a machine
with a second core the words cost little more than the wait for them.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import numpy as np

#: Below this many elements a thread hand-over costs more than it saves.
MIN_ELEMENTS = 1 << 17

#: Cores of the machine, read once: asking the system costs as much as a small step.
_CORES = os.cpu_count() or 1

_lock = threading.Lock()
_pool: ThreadPoolExecutor | None = None


def _executor() -> ThreadPoolExecutor:
    global _pool
    with _lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorvane-words")
        return _pool


def _forget_pool() -> None:
    # A forked child has the parent's pool object but not its thread.
    global _pool
    _pool = None


os.register_at_fork(after_in_child=_forget_pool)


def ahead(make: Callable[[], np.ndarray], n: int) -> Callable[[], np.ndarray]:
    """``make`` started now (on the helper thread for ``n`` large enough); call the result
    to wait for its words."""
    if n < MIN_ELEMENTS or _CORES < 2:
        words = make()
        return lambda: words
    future: Future[Any] = _executor().submit(make)
    return future.result
