"""A numpy column that grows: per-node and per-identity entries set in batches.

The column is a list of chunks, each twice the size of the one before, so that growing
never copies what is held: a column of millions of nodes is written once. Copying on
growth (and numpy's ``resize``, which zeroes the grown part) wrote every entry two or three
times, and fresh memory is what the per-element log pays for most. A position's chunk is
arithmetic on the position. Entries past the highest position set are written only when
a batch reaches them (with the fill where it skips some), never ahead of time.

Reading or setting a batch is one numpy take or put per chunk it touches, and one slice
per chunk when its positions run without a gap (the nodes of one operation, the ids of a
whole log), which is what most batches are.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np

from ...core._engine import run_start
from ._runs import known_first

#: the first chunk holds 2**_FIRST_BITS entries; chunk c holds 2**(_FIRST_BITS + c)
_FIRST_BITS = 10


def _chunk_start(chunk: int) -> int:
    return ((1 << chunk) - 1) << _FIRST_BITS


def _chunk_of(position: int) -> int:
    return ((position >> _FIRST_BITS) + 1).bit_length() - 1


def _chunks_of(positions: np.ndarray) -> np.ndarray:
    """The chunk of each position (all >= 0): the bit length of position / first + 1,
    less one, which ``frexp`` gives exactly for any position below 2**53."""
    return np.frexp(((positions >> _FIRST_BITS) + 1).astype(np.float64))[1] - 1


class Growing:
    """Entries at positions 0 .. ``size`` - 1, each ``fill`` until set; setting a position
    beyond the end grows the column."""

    def __init__(self, dtype: Any, fill: Any) -> None:
        self.dtype = np.dtype(dtype)
        self.fill = fill
        self.chunks: list[np.ndarray] = []
        self.size = 0

    def reserve(self, size: int) -> None:
        """Positions up to ``size`` - 1 held, those not held before the fill."""
        self._extend(size, fill_to=size)

    def _extend(self, size: int, fill_to: int) -> None:
        """Chunks for positions below ``size``; the new positions below ``fill_to`` take
        the fill (the others are about to be set)."""
        if size <= self.size:
            return
        while _chunk_start(len(self.chunks)) < size:
            self.chunks.append(np.empty(1 << (_FIRST_BITS + len(self.chunks)), self.dtype))
        if fill_to > self.size:
            for chunk, lo, hi in self._pieces(self.size, fill_to):
                chunk[lo:hi] = self.fill
        self.size = size

    def _pieces(self, first: int, end: int) -> Iterator[tuple[np.ndarray, int, int]]:
        """(chunk, start, stop) of each chunk's part of positions ``first`` .. ``end`` - 1."""
        chunk = _chunk_of(first)
        while first < end:
            start = _chunk_start(chunk)
            stop = min(end, _chunk_start(chunk + 1))
            yield self.chunks[chunk], first - start, stop - start
            first, chunk = stop, chunk + 1

    def set(self, positions: np.ndarray, values: Any) -> None:
        positions = np.asarray(positions, dtype=np.int64)
        n = len(positions)
        if not n:
            return
        if values is not None and np.ndim(values) != 0:
            values = np.asarray(values, dtype=self.dtype)
        run = _run_of(positions)
        if run is not None:
            self._extend(run + n, fill_to=run)
            done = 0
            for chunk, lo, hi in self._pieces(run, run + n):
                chunk[lo:hi] = values if np.ndim(values) == 0 else values[done : done + hi - lo]
                done += hi - lo
            return
        end = int(positions.max()) + 1
        self._extend(end, fill_to=end)
        for chunk, where, offsets in self._by_chunk(positions):
            chunk[offsets] = values if np.ndim(values) == 0 else values[where]

    def _by_chunk(
        self, positions: np.ndarray
    ) -> Iterator[tuple[np.ndarray, slice | np.ndarray, np.ndarray]]:
        """(chunk, which of ``positions``, their offsets in it) per chunk they fall in
        (all of them held)."""
        low, high = _chunk_of(int(positions.min())), _chunk_of(int(positions.max()))
        if low == high:
            yield self.chunks[low], slice(None), positions - _chunk_start(low)
            return
        if bool((positions[1:] >= positions[:-1]).all()):
            # ascending (what a filter leaves of a run): each chunk's share is one slice
            bounds = [_chunk_start(chunk) for chunk in range(low + 1, high + 1)]
            cuts = [0, *np.searchsorted(positions, bounds).tolist(), len(positions)]
            for chunk, start, stop in zip(range(low, high + 1), cuts[:-1], cuts[1:], strict=True):
                if stop > start:
                    part = slice(start, stop)
                    yield self.chunks[chunk], part, positions[part] - _chunk_start(chunk)
            return
        chunks = _chunks_of(positions)
        for chunk in range(low, high + 1):
            where = np.flatnonzero(chunks == chunk)
            if len(where):
                yield self.chunks[chunk], where, positions[where] - _chunk_start(chunk)

    def get(self, positions: Any) -> np.ndarray:
        """Entries at ``positions`` (``fill`` for positions never set or negative)."""
        positions = np.asarray(positions, dtype=np.int64)
        if not len(positions):
            return np.zeros(0, dtype=self.dtype)
        run = _run_of(positions)
        if run is not None:
            return self.run(run, len(positions))
        inside = (positions >= 0) & (positions < self.size)
        every = bool(inside.all())
        out = np.empty(len(positions), dtype=self.dtype)
        if not every:
            out[~inside] = self.fill
            if not inside.any():
                return out
        held = positions if every else positions[inside]
        taken = np.empty(len(held), dtype=self.dtype) if not every else out
        for chunk, where, offsets in self._by_chunk(held):
            taken[where] = chunk[offsets]
        if not every:
            out[inside] = taken
        return out

    def run(self, first: int, count: int) -> np.ndarray:
        """The entries at positions ``first`` .. ``first + count`` - 1 (``first`` >= 0),
        ``fill`` beyond the end: a new array."""
        out = np.empty(count, dtype=self.dtype)
        end = min(first + count, self.size)
        done = 0
        if first < end:
            for chunk, lo, hi in self._pieces(first, end):
                out[done : done + hi - lo] = chunk[lo:hi]
                done += hi - lo
        out[done:] = self.fill
        return out

    def append(self, values: Any) -> int:
        """Append ``values``; the position of the first."""
        values = np.asarray(values, dtype=self.dtype)
        start = self.size
        if len(values):
            self.set(np.arange(start, start + len(values), dtype=np.int64), values)
        return start

    def view(self) -> np.ndarray:
        """Every entry, as one array (a copy)."""
        return self.run(0, self.size)

    def __getstate__(self) -> dict:
        return {"dtype": self.dtype, "fill": self.fill, "data": self.view()}

    def __setstate__(self, state: dict) -> None:
        self.__init__(state["dtype"], state["fill"])  # type: ignore[misc]
        self.append(state["data"])


def _run_of(positions: np.ndarray) -> int | None:
    """The first position when ``positions`` (int64) run one after another without a gap
    (the nodes one operation made, a whole log's ids), read and set as one slice; else
    None. Ids the log gave as a run are known without a pass; the ends rule out most
    others before a pass over all of them."""
    known = known_first(positions)
    if known is not None:
        return known
    first, n = int(positions[0]), len(positions)
    if first < 0 or int(positions[-1]) - first != n - 1:
        return None
    if n > 2 and run_start(np.ascontiguousarray(positions)) < 0:
        return None
    return first
