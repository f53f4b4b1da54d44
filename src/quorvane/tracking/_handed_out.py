"""A tracked series' or frame's values handed out to numpy: ``to_numpy()`` and ``values``.

What a user's code does with numpy's array is out of the library's sight, yet what it
makes of it comes back as thresholds: ``s.to_numpy().mean()``, ``np.percentile(s.values,
90)``, ``s.values.max()``. So the array handed out is numpy's own, of the values a plain
series of numbers gives (``values`` too, where pandas would give the words array), and
carries the maker of one value made of every element and of what selected and ordered the
rows (numpy may compute in that order: ``np.diff(arr).max()``; see
``_array_wholes``), made only if such a value is used. Given back to pandas row by row it
is plain data with a value per row: unknown. Inside pandas' own steps the values go as
they are.

With the words in a words array, ``values`` is that array, as pandas gives an extension
array's (pandas' own constructors keep it, words and all: see ``_plain_holders``); it
takes numpy's reductions as numpy's array does (``s.values.std()``), each value made of
the whole array and unknown besides (what selected its rows is the series', not the
array's).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ..core._word import OpCode
from ._arguments import one_value
from ._array import WordsArray
from ._array_wholes import Maker, once
from ._arrays import holding_whole
from ._calls import _in_parent
from ._combining import whole_entries
from ._positions import lookup
from ._row_order import row_order_of


def handed_out(series: Any, values: Any) -> Any:
    """numpy's ``values`` of ``series`` carrying the maker of the whole series; ``values``
    as they are where there is nothing to carry."""
    tracker = getattr(series, "_tracker", None)
    if not tracker or _in_parent() or not isinstance(values, np.ndarray):
        return values
    if values.ndim != 1 or len(values) != len(series):
        return values
    maker = once(one_value(series, "to_numpy", in_order=True))
    return holding_whole(values, (maker,), tracker, series._fields)


def frame_handed_out(frame: Any, values: Any) -> Any:
    """numpy's two-dimensional ``values`` of ``frame`` carrying the maker of one value made
    of every column whole and of what selected and ordered its rows; ``values`` as they are
    otherwise."""
    tracker = getattr(frame, "_tracker", None)
    if not tracker or _in_parent() or not isinstance(values, np.ndarray) or values.ndim != 2:
        return values
    fields = frame._fields
    return holding_whole(values, (once(_whole_frame(frame, tracker, fields)),), tracker, fields)


def _whole_frame(frame: Any, tracker: Any, fields: tuple) -> Maker:
    """The maker of one value made of ``frame``'s columns as they are now (a column without
    entries is unknown) and of its rows' decisions."""
    held = {
        f.series_attr: [lookup(getattr(frame, f.frame_attr), c) for c in frame.columns]
        for f in fields
    }
    decided = row_order_of(frame)

    def entries() -> dict[str, int]:
        made = [d.entries() for d in decided]
        lent = {}
        for k, f in enumerate(fields):
            unknown = np.full(1, f.unknown(tracker), f.dtype)
            own = held[f.series_attr]
            columns = [unknown if a is None else np.asarray(a, f.dtype) for a in own]
            lent[f.series_attr] = [*columns, *(np.array([e[k]], f.dtype) for e in made)]
        out = whole_entries(tracker, fields, lent, "to_numpy", OpCode.AGG)
        return {f.series_attr: out.get(f.series_attr, f.absent) for f in fields}

    return entries


class HandedOutValues:
    """``to_numpy`` and ``values`` of a tracked series (see the module doc)."""

    _fields: tuple
    _tracker: Any

    def to_numpy(self, *args: Any, **kwargs: Any) -> Any:
        return handed_out(self, super().to_numpy(*args, **kwargs))  # type: ignore[misc]

    @property
    def values(self) -> Any:
        values = super().values  # type: ignore[misc]
        if _in_parent() or not getattr(self, "_tracker", None):
            return values
        if isinstance(values, WordsArray):
            # what the values numpy's reductions make of it carry (see _array_reductions)
            maker = once(one_value(self, "values", in_order=True))
            values.handed_out_by = (self._tracker, self._fields, maker)
            return values
        return handed_out(self, values)


class HandedOutFrameValues:
    """``to_numpy`` and ``values`` of a tracked frame (see the module doc), over those
    a plain frame of the same values gives."""

    def to_numpy(self, *args: Any, **kwargs: Any) -> Any:
        return frame_handed_out(self, super().to_numpy(*args, **kwargs))  # type: ignore[misc]

    @property
    def values(self) -> Any:
        return frame_handed_out(self, super().values)  # type: ignore[misc]


__all__ = ["HandedOutFrameValues", "HandedOutValues", "frame_handed_out", "handed_out"]
