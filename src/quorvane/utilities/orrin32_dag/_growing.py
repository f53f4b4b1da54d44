"""A numpy column that grows by doubling: per-node and per-identity entries set in batches."""

from __future__ import annotations

from typing import Any

import numpy as np


class Growing:
    """Entries at positions 0 .. ``size`` - 1, each ``fill`` until set; setting a position
    beyond the end grows the column (capacity doubles, so many batches stay linear)."""

    def __init__(self, dtype: Any, fill: Any) -> None:
        self.dtype = np.dtype(dtype)
        self.fill = fill
        self.data = np.full(0, fill, dtype=self.dtype)
        self.size = 0

    def reserve(self, size: int) -> None:
        if size > len(self.data):
            grown = np.full(max(size, 2 * len(self.data), 1024), self.fill, dtype=self.dtype)
            grown[: len(self.data)] = self.data
            self.data = grown
        self.size = max(self.size, size)

    def set(self, positions: np.ndarray, values: Any) -> None:
        if len(positions):
            self.reserve(int(positions.max()) + 1)
            self.data[positions] = values

    def get(self, positions: np.ndarray) -> np.ndarray:
        """Entries at ``positions`` (``fill`` for positions never set or negative)."""
        positions = np.asarray(positions, dtype=np.int64)
        if len(positions) and positions.min() >= 0 and positions.max() < len(self.data):
            return self.data[positions]
        out = np.full(len(positions), self.fill, dtype=self.dtype)
        inside = (positions >= 0) & (positions < len(self.data))
        out[inside] = self.data[positions[inside]]
        return out

    def append(self, values: Any) -> int:
        """Append ``values``; the position of the first."""
        values = np.asarray(values, dtype=self.dtype)
        start = self.size
        self.reserve(start + len(values))
        self.data[start : start + len(values)] = values
        return start

    def view(self) -> np.ndarray:
        return self.data[: self.size]

    def __getstate__(self) -> dict:
        return {"dtype": self.dtype, "fill": self.fill, "data": self.view().copy()}

    def __setstate__(self, state: dict) -> None:
        self.dtype, self.fill = state["dtype"], state["fill"]
        self.data = state["data"]
        self.size = len(self.data)
