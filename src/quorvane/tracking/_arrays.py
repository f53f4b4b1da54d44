"""Arrays that numpy's element-wise functions return for tracked inputs, with words."""

from __future__ import annotations

from typing import Any

import numpy as np


class TrackedArray(np.ndarray):
    """What numpy's element-wise functions (``np.where``, ``np.select``) return for tracked
    inputs: numpy's own array, unchanged for every numpy and pandas purpose, carrying the
    words of its elements (``_prov``) and their tracker. An operation with a tracked series
    or an assignment into a tracked frame reads them by position, as pandas reads the array.
    """

    _prov: np.ndarray | None
    _node_ids: np.ndarray | None  # on the DAG road
    _tracker: Any

    def __array_finalize__(self, obj: Any) -> None:
        # A view of the same elements keeps their entries; anything reshaped or cut has none.
        same = obj is not None and getattr(obj, "shape", None) == self.shape
        self._prov = getattr(obj, "_prov", None) if same else None
        self._node_ids = getattr(obj, "_node_ids", None) if same else None
        self._tracker = getattr(obj, "_tracker", None)


def tracked_array(
    values: np.ndarray, words: np.ndarray, tracker: Any, node_ids: np.ndarray | None = None
) -> TrackedArray:
    out = np.asarray(values).view(TrackedArray)
    out._prov = words
    out._node_ids = node_ids
    out._tracker = tracker
    return out


def array_entries(value: Any, n: int, attr: str = "_prov") -> np.ndarray | None:
    """The entries (``_prov``: words) a tracked array lends to ``n`` elements, or None."""
    entries = getattr(value, attr, None) if isinstance(value, TrackedArray) else None
    if entries is None or np.ndim(value) != 1 or len(entries) != n:
        return None
    return entries


def array_words(value: Any, n: int) -> np.ndarray | None:
    return array_entries(value, n)
