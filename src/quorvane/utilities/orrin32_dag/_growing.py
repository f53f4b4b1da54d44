"""A numpy column that grows in blocks: per-node and per-identity entries set in batches.

Block i holds 1024 * 2**i entries and is never moved once made: a column of millions of
nodes grows without copying what it holds (one doubling array would copy it again at every
doubling), and a small one stays small.
"""

from __future__ import annotations

from typing import Any

import numpy as np

_FIRST = 10  # block 0 holds 2**10 entries; block i starts at 2**10 * (2**i - 1)


def _block_of(positions: np.ndarray) -> np.ndarray:
    """The block of each position (frexp's exponent is exact: floor(log2) of an integer)."""
    return np.frexp(((positions >> _FIRST) + 1).astype(np.float64))[1].astype(np.int64) - 1


def _start(block: int) -> int:
    return ((1 << block) - 1) << _FIRST


def _capacity(blocks: int) -> int:
    return _start(blocks)


class Growing:
    """Entries at positions 0 .. ``size`` - 1, each ``fill`` until set; setting a position
    beyond the end grows the column."""

    def __init__(self, dtype: Any, fill: Any) -> None:
        self.dtype = np.dtype(dtype)
        self.fill = fill
        self.blocks: list[np.ndarray] = []
        self.size = 0

    def reserve(self, size: int) -> None:
        while _capacity(len(self.blocks)) < size:
            block = len(self.blocks)
            self.blocks.append(np.full(1 << (block + _FIRST), self.fill, dtype=self.dtype))
        self.size = max(self.size, size)

    def _spans(self, positions: np.ndarray, low: int, high: int) -> list[tuple[int, Any]]:
        """(block, which positions) for each block the positions (from ``low`` to ``high``)
        fall in."""
        ends = _block_of(np.array([low, high], dtype=np.int64))
        first, last = int(ends[0]), int(ends[1])
        if first == last:
            return [(first, slice(None))]
        blocks = _block_of(positions)
        return [(b, blocks == b) for b in range(first, last + 1)]

    def set(self, positions: np.ndarray, values: Any) -> None:
        positions = np.asarray(positions, dtype=np.int64)
        if not len(positions):
            return
        low, high = int(positions.min()), int(positions.max())
        self.reserve(high + 1)
        if values is None or np.ndim(values) == 0:
            values = np.full(len(positions), values, dtype=self.dtype)
        values = np.asarray(values, dtype=self.dtype)
        for block, which in self._spans(positions, low, high):
            self.blocks[block][positions[which] - _start(block)] = values[which]

    def get(self, positions: Any) -> np.ndarray:
        """Entries at ``positions`` (``fill`` for positions never set or negative)."""
        positions = np.asarray(positions, dtype=np.int64)
        if not len(positions):
            return np.zeros(0, dtype=self.dtype)
        low, high = int(positions.min()), int(positions.max())
        if low < 0 or high >= _capacity(len(self.blocks)):
            out = np.full(len(positions), self.fill, dtype=self.dtype)
            inside = (positions >= 0) & (positions < _capacity(len(self.blocks)))
            if inside.any():
                out[inside] = self.get(positions[inside])
            return out
        out = np.empty(len(positions), dtype=self.dtype)
        for block, which in self._spans(positions, low, high):
            out[which] = self.blocks[block][positions[which] - _start(block)]
        return out

    def append(self, values: Any) -> int:
        """Append ``values``; the position of the first."""
        values = np.asarray(values, dtype=self.dtype)
        start = self.size
        self.set(np.arange(start, start + len(values), dtype=np.int64), values)
        self.size = start + len(values)
        return start

    def view(self) -> np.ndarray:
        """Every entry, as one array (a copy)."""
        if not self.blocks:
            return np.zeros(0, dtype=self.dtype)
        return np.concatenate(self.blocks)[: self.size]

    def __getstate__(self) -> dict:
        return {"dtype": self.dtype, "fill": self.fill, "data": self.view()}

    def __setstate__(self, state: dict) -> None:
        self.dtype, self.fill = state["dtype"], state["fill"]
        self.blocks, self.size = [], 0
        data = state["data"]
        self.set(np.arange(len(data), dtype=np.int64), data)
        self.size = len(data)
