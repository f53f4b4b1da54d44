"""Node id arrays known to run one after another without a gap.

The ids the native log gives a whole operation are a run when it made a node for every
element (it gives made nodes consecutive ids and -1 elsewhere, so the two ends tell). The
same array then comes back many times: as the values' and rows' positions, as an operand
of the next steps, each of which would otherwise read all of it again to learn what the
log already told. Such an array is made read-only (the containers copy node ids before
they write into them) and remembered for as long as it lives.
"""

from __future__ import annotations

import weakref

import numpy as np

#: id(array) -> (a weak reference to it, its first id)
_known: dict[int, tuple[weakref.ref, int]] = {}


def noted(ids: np.ndarray) -> np.ndarray:
    """``ids``, fresh from the native log, as an array of numpy's own int64 (the log's
    arrays are of C's long long, which numpy converts to its int64 by a view at each
    asarray, a new object each time), remembered when they run without a gap."""
    if ids.dtype != np.int64 or ids.ndim != 1:
        return ids
    ids = ids.view(np.int64)
    n = len(ids)
    if not n or int(ids[0]) < 0 or int(ids[-1]) - int(ids[0]) != n - 1:
        return ids
    return _remembered(ids)


def run(first: int, n: int) -> np.ndarray:
    """The ids ``first`` .. ``first + n - 1``, remembered as a run (if any)."""
    ids = np.arange(first, first + n, dtype=np.int64)
    return _remembered(ids) if n else ids


def _remembered(ids: np.ndarray) -> np.ndarray:
    ids.flags.writeable = False
    key = id(ids)

    def forget(ref: weakref.ref) -> None:
        entry = _known.get(key)
        if entry is not None and entry[0] is ref:
            del _known[key]

    _known[key] = (weakref.ref(ids, forget), int(ids[0]))
    return ids


def known_first(ids: np.ndarray) -> int | None:
    """The first id of an array remembered as a run (still read-only), else None."""
    entry = _known.get(id(ids))
    if entry is None or entry[0]() is not ids or ids.flags.writeable:
        return None
    return entry[1]


def sorted_distinct(values: np.ndarray) -> np.ndarray:
    """The distinct values, ascending. Node ids and the keys made of them lie mostly in
    runs already in order, which a stable sort merges in a pass; numpy's ``unique`` hashes
    every one of them first (seconds for a whole column's millions of cells)."""
    ordered = np.sort(values, kind="stable")
    if len(ordered) < 2:
        return ordered
    return ordered[np.concatenate(([True], ordered[1:] != ordered[:-1]))]
