"""A per-node column that keeps an operation's whole array by reference.

An operation's nodes have consecutive ids, all above every id set before: their entries
(the values pandas computed, the rows the identities gave) are one array, kept as it is,
not copied into a column. Writing each node's entry again is what the per-element log
would otherwise pay for most: fresh memory, a copy per operation. The node entries of the
next operation are then read back as a slice of that array, not gathered.

Other batches (ids set again, ids with gaps) go to a ``Growing`` column, which takes over
the kept arrays they overlap, so every id has its entry in one place. An array kept is
read only here: whoever hands one over must not write into it afterwards (see
``ElementStore.record``, which keeps only read-only arrays of pandas' results).
"""

from __future__ import annotations

import bisect
from typing import Any

import numpy as np

from ._growing import Growing, _run_of
from ._runs import known_first

#: positions asked for at most this many at once are looked up one by one (numpy's calls
#: would cost more than the lookups)
_FEW = 16


class Held:
    """Entries at positions 0 .. ``size`` - 1, each ``fill`` until set (as ``Growing``)."""

    def __init__(self, dtype: Any, fill: Any) -> None:
        self.dtype = np.dtype(dtype)
        self.fill = fill
        self.rest = Growing(dtype, fill)
        #: the kept arrays, by first position: ascending, none overlapping another
        self.firsts: list[int] = []
        self.arrays: list[np.ndarray] = []

    @property
    def size(self) -> int:
        end = self.firsts[-1] + len(self.arrays[-1]) if self.arrays else 0
        return max(end, self.rest.size)

    @property
    def nbytes(self) -> int:
        """The bytes this column holds: its kept arrays' and the other column's chunks. Kept
        arrays that are views of one array (the rows of every operation over the same rows
        are one array of identities) count that array once."""
        owners = {id(owner): owner.nbytes for owner in map(_owner, self.arrays)}
        return sum(owners.values()) + sum(c.nbytes for c in self.rest.chunks)

    def set(self, positions: Any, values: Any) -> None:
        positions = np.asarray(positions, dtype=np.int64)
        n = len(positions)
        if not n:
            return
        first = _run_of(positions)
        array = values if isinstance(values, np.ndarray) and values.ndim == 1 else None
        if first is not None and np.ndim(values) == 0:  # one value for all (a constant's)
            array = np.full(n, values, dtype=self.dtype)
        if first is not None and first >= self.size and array is not None:
            if array.dtype.kind not in "biuf":  # numbers are kept as they are, read as dtype
                array = np.asarray(array, dtype=self.dtype)
            self.firsts.append(first)
            self.arrays.append(array)
            return
        self._release(int(positions.min()), int(positions.max()) + 1)
        self.rest.set(positions, values)

    def _release(self, low: int, end: int) -> None:
        """Hands the kept arrays that overlap positions ``low`` .. ``end`` - 1 over to the
        other column, which is about to set some of them."""
        lo = max(bisect.bisect_right(self.firsts, low) - 1, 0)
        hi = bisect.bisect_left(self.firsts, end)
        for at in range(lo, hi):
            first, array = self.firsts[at], self.arrays[at]
            if first + len(array) > low:
                self.rest.set(np.arange(first, first + len(array)), array)
        overlapping = [at for at in range(lo, hi) if self.firsts[at] + len(self.arrays[at]) > low]
        for at in reversed(overlapping):
            del self.firsts[at], self.arrays[at]

    def get(self, positions: Any) -> np.ndarray:
        """Entries at ``positions`` (``fill`` for positions never set or negative): a
        read-only slice of a kept array when they are one run inside it, else new."""
        positions = np.asarray(positions, dtype=np.int64)
        n = len(positions)
        if not n:
            return np.zeros(0, dtype=self.dtype)
        first = _run_of(positions)
        if first is not None:
            at = bisect.bisect_right(self.firsts, first) - 1
            if at >= 0 and first + n <= self.firsts[at] + len(self.arrays[at]):
                start = first - self.firsts[at]
                return _read_only(self.arrays[at][start : start + n].astype(self.dtype, copy=False))
        if not self.arrays:
            return self.rest.get(positions)
        if n <= _FEW:  # a lineage's steps: looked up one by one
            return self._few(positions)
        if not bool((positions[1:] >= positions[:-1]).all()):
            out = self.rest.get(positions)
            self._fill_any(out, positions)
            return out
        out = np.empty(n, self.dtype)
        done = 0
        for first, array, start, stop in self._spans(positions):
            if start > done:  # positions between kept arrays: the other column's
                out[done:start] = self.rest.get(positions[done:start])
            done = stop
            if positions[stop - 1] - positions[start] == stop - 1 - start:  # one slice
                lo = positions[start] - first
                out[start:stop] = array[lo : lo + stop - start]
            elif (entries := known_first(array)) is not None:  # a run: the gather is a sum
                np.add(positions[start:stop], entries - first, out=out[start:stop])
            else:
                _gather(array, positions[start:stop] - first, out[start:stop])
        if done < n:
            out[done:] = self.rest.get(positions[done:])
        return out

    def _spans(self, positions: np.ndarray) -> list[tuple[int, np.ndarray, int, int]]:
        """(first, array, start, stop) of each kept array that holds some of ascending
        ``positions``: those are ``positions[start:stop]``."""
        lo = max(bisect.bisect_right(self.firsts, int(positions[0])) - 1, 0)
        hi = bisect.bisect_right(self.firsts, int(positions[-1]))
        spans = []
        for first, array in zip(self.firsts[lo:hi], self.arrays[lo:hi], strict=True):
            start, stop = np.searchsorted(positions, [first, first + len(array)]).tolist()
            if stop > start:
                spans.append((first, array, start, stop))
        return spans

    def _few(self, positions: np.ndarray) -> np.ndarray:
        """The entries of a few positions, each found by a search of the kept arrays."""
        out = np.empty(len(positions), self.dtype)
        elsewhere = []
        for at, position in enumerate(positions.tolist()):
            held = bisect.bisect_right(self.firsts, position) - 1
            offset = position - self.firsts[held] if held >= 0 else -1
            if 0 <= offset < len(self.arrays[held]):
                out[at] = self.arrays[held][offset]
            else:
                elsewhere.append(at)
        if elsewhere:
            out[elsewhere] = self.rest.get(positions[elsewhere])
        return out

    def _fill_any(self, out: np.ndarray, positions: np.ndarray) -> None:
        """The same for positions in any order (few, as a lineage asks)."""
        firsts = np.asarray(self.firsts, dtype=np.int64)
        ends = firsts + np.fromiter((len(a) for a in self.arrays), np.int64, len(self.arrays))
        which = np.searchsorted(firsts, positions, side="right") - 1
        inside = (which >= 0) & (positions < ends[np.maximum(which, 0)])
        for at in np.unique(which[inside]).tolist():
            where = np.flatnonzero(inside & (which == at))
            out[where] = self.arrays[at][positions[where] - firsts[at]]

    def view(self) -> np.ndarray:
        """Every entry, as one new array."""
        return self.get(np.arange(self.size, dtype=np.int64)).copy()

    def __getstate__(self) -> dict:
        return {"dtype": self.dtype, "fill": self.fill, "data": self.view()}

    def __setstate__(self, state: dict) -> None:
        self.__init__(state["dtype"], state["fill"])  # type: ignore[misc]
        self.set(np.arange(len(state["data"]), dtype=np.int64), state["data"])


def _gather(array: np.ndarray, offsets: np.ndarray, out: np.ndarray) -> None:
    """``out[:] = array[offsets]`` (offsets inside the array), written straight into
    ``out`` where the dtypes agree, without the gathered copy in between: fresh memory
    costs more than the gather."""
    if array.dtype == out.dtype:
        # 'clip' instead of numpy's default 'raise', which writes into a copy of out first
        np.take(array, offsets, out=out, mode="clip")
    else:
        out[:] = array[offsets]


def _owner(array: np.ndarray) -> np.ndarray:
    """The array whose memory ``array`` is a view of (itself when it owns it)."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def _read_only(array: np.ndarray) -> np.ndarray:
    view = array.view()
    view.flags.writeable = False
    return view
