"""Which tracker a column's words belong to.

Words mean something only with the tracker that made them, so the tracker is part of a
words column's dtype. pandas rebuilds arrays from a dtype alone (``_from_sequence``,
``construct_from_string``, Arrow and Parquet readers), and two columns may share a dtype only
if their words may be combined. Each tracker gets a small key in this process, shown in the
dtype's name (``words[float64, t1]``), so that the name can be parsed back to the very
tracker. A key is never reused within a process; the mapping does not keep trackers alive.
"""

from __future__ import annotations

import itertools
import threading
import weakref
from typing import Any

_KEYS: weakref.WeakKeyDictionary[Any, int] = weakref.WeakKeyDictionary()
_TRACKERS: weakref.WeakValueDictionary[int, Any] = weakref.WeakValueDictionary()
_NEXT = itertools.count(1)
_LOCK = threading.Lock()


def key_of(tracker: Any) -> int:
    """The key of ``tracker`` in this process (0 for no tracker)."""
    if tracker is None:
        return 0
    with _LOCK:
        key = _KEYS.get(tracker)
        if key is None:
            key = next(_NEXT)
            _KEYS[tracker] = key
            _TRACKERS[key] = tracker
        return key


def tracker_of(key: int) -> Any:
    """The tracker behind ``key``; LookupError when this process has none."""
    if key == 0:
        return None
    tracker = _TRACKERS.get(key)
    if tracker is None:
        raise LookupError(f"no tracker t{key} in this process")
    return tracker


def live(tracker: Any) -> tuple[Any, Any]:
    """After unpickling or reading a file: the live tracker of ``tracker``'s lineage in this
    process, and the translation its words need there (None: none)."""
    if tracker is None:
        return None, None
    from ..core import _lineage

    return _lineage.live_tracker(tracker)


def translate(words: Any, translation: Any) -> Any:
    from ..core import _lineage

    return _lineage.translate(words, translation)
