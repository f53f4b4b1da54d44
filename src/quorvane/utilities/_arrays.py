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
    _tracker: Any

    def __array_finalize__(self, obj: Any) -> None:
        # A view of the same elements keeps their words; anything reshaped or cut has none.
        same = obj is not None and getattr(obj, "shape", None) == self.shape
        self._prov = getattr(obj, "_prov", None) if same else None
        self._tracker = getattr(obj, "_tracker", None)


def tracked_array(values: np.ndarray, words: np.ndarray, tracker: Any) -> TrackedArray:
    out = np.asarray(values).view(TrackedArray)
    out._prov = words
    out._tracker = tracker
    return out


def array_words(value: Any, n: int) -> np.ndarray | None:
    """The words a tracked array lends to ``n`` elements, or None."""
    words = getattr(value, "_prov", None) if isinstance(value, TrackedArray) else None
    if words is None or np.ndim(value) != 1 or len(words) != n:
        return None
    return words
