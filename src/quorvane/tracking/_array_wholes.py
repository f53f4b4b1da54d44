"""What numpy makes of a tracked array as a whole.

A reduction (``arr.mean()``, ``np.percentile(arr, 90)``), an array numpy computes from one
(``np.sort(arr)``, ``np.histogram(arr)``) and the values of a tracked series handed out to
numpy (``s.to_numpy()``, ``s.values``) name every element they were made of, not one
element each. Such an array lends *makers*: functions that make, when first needed, the
entries of one value derived from all those elements (and, for values handed out, from what
selected the series' rows). Nothing is computed until a value made of them is used.

A number read out of such an array by position (``arr[0]``, ``lo, hi = arr``, ``argmax``)
also depends on the rows' order, which numpy's array does not remember: it reads unknown
besides. An array handed out and given back to pandas row by row is plain data with a
value per row, which reads unknown (see ``_elementwise``).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from ..core._word import OpCode
from ._calls import _in_parent
from ._combining import whole_entries
from ._scalars import tracked_scalar, valued

Maker = Callable[[], dict[str, int]]

#: numpy's reductions whose value depends on the elements' positions, not only on them.
POSITIONAL = frozenset({"argmin", "argmax", "nanargmin", "nanargmax"})


def once(make: Maker) -> Maker:
    """``make``, run the first time only: every number read out of an array shares it."""
    made: list[dict[str, int]] = []

    def maker() -> dict[str, int]:
        if not made:
            made.append(make())
        return made[0]

    return maker


def exact_maker(array: Any, name: str) -> Maker:
    """The maker of one value made of every element of an array with per-element
    entries (numpy's array ``np.where`` made of tracked series)."""
    tracker, fields = array._tracker, array._fields
    lent = {f.series_attr: [np.ravel(getattr(array, f.series_attr))] for f in fields}
    return once(lambda: whole_entries(tracker, fields, lent, name, OpCode.AGG))


def makers_of(arrays: list, name: str) -> tuple[Maker, ...]:
    """Every maker that ``arrays`` (tracked arrays among numpy's inputs) lend, of the first
    one's tracker and fields."""
    if not arrays:
        return ()
    first = arrays[0]
    made: list[Maker] = []
    for a in arrays:
        if a._tracker is not first._tracker or a._fields != first._fields:
            continue
        if a._entries_alike() is not None:
            made.append(exact_maker(a, name))
        made.extend(a._whole)
    return tuple(dict.fromkeys(made))  # each once, however often an array met itself


def whole_word(array: Any) -> int:
    """The word of one value made of every element the makers of ``array`` stand for."""
    words_attr = array._fields[0].series_attr
    words = np.array([m()[words_attr] for m in array._whole], dtype=np.uint32)
    return int(
        whole_entries(array._tracker, array._fields[:1], {words_attr: [words]}, "held")[words_attr]
    )


def scalar_of(
    value: Any, makers: tuple, tracker: Any, fields: tuple, name: str, in_order: bool
) -> Any:
    """``value``, a number numpy made of the elements ``makers`` stand for, carrying one
    value made of them all (and unknown besides where positions decided it)."""
    if not makers or not tracker or _in_parent() or np.ndim(value) != 0:
        return value
    if isinstance(value, np.ndarray):  # numpy's 0-d array: its number
        value = value[()]

    def entries() -> dict[str, int]:
        made = [m() for m in makers]
        if in_order:
            made.append({f.series_attr: f.unknown(tracker) for f in fields})
        lent = {
            f.series_attr: [np.array([e[f.series_attr]], f.dtype) for e in made] for f in fields
        }
        out = whole_entries(tracker, fields, lent, name, OpCode.AGG)
        return {f.series_attr: out.get(f.series_attr, f.absent) for f in fields}

    return tracked_scalar(value, tracker, fields, valued(value, fields, tracker, entries))


__all__ = ["POSITIONAL", "Maker", "exact_maker", "makers_of", "once", "scalar_of", "whole_word"]
