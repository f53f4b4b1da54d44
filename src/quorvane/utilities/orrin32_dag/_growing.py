"""A numpy column that grows: per-node and per-identity entries set in batches.

One contiguous array whose capacity doubles when a position beyond it is set: reading or
setting a batch is one numpy take or put, and one slice when its positions run without a
gap (the nodes of one operation, the ids of a whole log), which is what most batches are.
The array grows in place where numpy can, so a column of millions of nodes is not copied
at every doubling.
"""

from __future__ import annotations

from typing import Any

import numpy as np

_FIRST_CAPACITY = 1024


class Growing:
    """Entries at positions 0 .. ``size`` - 1, each ``fill`` until set; setting a position
    beyond the end grows the column."""

    def __init__(self, dtype: Any, fill: Any) -> None:
        self.dtype = np.dtype(dtype)
        self.fill = fill
        self.data = np.zeros(0, dtype=self.dtype)
        self.size = 0

    def reserve(self, size: int) -> None:
        capacity = len(self.data)
        if capacity < size:
            self._grow(max(size, 2 * capacity, _FIRST_CAPACITY))
        self.size = max(self.size, size)

    def _grow(self, capacity: int) -> None:
        """Room for ``capacity`` entries. In place where numpy can (its ``resize`` moves
        the pages of a large block instead of copying them, and refuses while anything
        else holds the array); else into a new array."""
        held = len(self.data)
        if not self.dtype.hasobject:
            try:
                self.data.resize(capacity, refcheck=True)
            except ValueError:
                pass
            else:
                self.data[held:] = self.fill
                return
        grown = np.full(capacity, self.fill, self.dtype)
        grown[: self.size] = self.data[: self.size]
        self.data = grown

    def set(self, positions: np.ndarray, values: Any) -> None:
        positions = np.asarray(positions, dtype=np.int64)
        if not len(positions):
            return
        run = _run_of(positions)
        self.reserve((run + len(positions)) if run is not None else int(positions.max()) + 1)
        if values is not None and np.ndim(values) != 0:
            values = np.asarray(values, dtype=self.dtype)
        if run is not None:
            self.data[run : run + len(positions)] = values
        else:
            self.data[positions] = values

    def get(self, positions: Any) -> np.ndarray:
        """Entries at ``positions`` (``fill`` for positions never set or negative)."""
        positions = np.asarray(positions, dtype=np.int64)
        if not len(positions):
            return np.zeros(0, dtype=self.dtype)
        run = _run_of(positions)
        if run is not None:
            return self.run(run, len(positions))
        if positions.min() >= 0 and positions.max() < self.size:
            return self.data[positions]
        inside = (positions >= 0) & (positions < self.size)
        out = np.full(len(positions), self.fill, dtype=self.dtype)
        out[inside] = self.data[positions[inside]]
        return out

    def run(self, first: int, count: int) -> np.ndarray:
        """The entries at positions ``first`` .. ``first + count`` - 1 (``first`` >= 0),
        ``fill`` beyond the end: a copy of one slice."""
        held = self.data[first : min(first + count, self.size)]
        if len(held) == count:
            return held.copy()
        out = np.full(count, self.fill, dtype=self.dtype)
        out[: len(held)] = held
        return out

    def append(self, values: Any) -> int:
        """Append ``values``; the position of the first."""
        values = np.asarray(values, dtype=self.dtype)
        start = self.size
        self.reserve(start + len(values))
        self.data[start : start + len(values)] = values
        return start

    def view(self) -> np.ndarray:
        """Every entry, as one array (a copy)."""
        return self.data[: self.size].copy()

    def __getstate__(self) -> dict:
        return {"dtype": self.dtype, "fill": self.fill, "data": self.view()}

    def __setstate__(self, state: dict) -> None:
        self.dtype, self.fill = state["dtype"], state["fill"]
        self.data = np.asarray(state["data"], dtype=self.dtype).copy()
        self.size = len(self.data)


def _run_of(positions: np.ndarray) -> int | None:
    """The first position when ``positions`` run one after another without a gap (the
    nodes one operation made, a whole log's ids), read and set as one slice; else None.
    The ends rule out most others before a pass over all of them."""
    first, n = int(positions[0]), len(positions)
    if first < 0 or int(positions[-1]) - first != n - 1:
        return None
    if n > 2 and not bool((positions[1:] > positions[:-1]).all()):
        return None
    return first
