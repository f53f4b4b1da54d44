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

from ._arguments import one_value
from ._array import WordsArray
from ._array_wholes import once
from ._arrays import holding_whole
from ._calls import _in_parent


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
    """numpy's two-dimensional ``values`` of ``frame`` carrying the makers of its columns,
    each whole with what selected its rows; ``values`` as they are otherwise."""
    tracker = getattr(frame, "_tracker", None)
    if not tracker or _in_parent() or not isinstance(values, np.ndarray) or values.ndim != 2:
        return values
    columns = [frame.iloc[:, j] for j in range(frame.shape[1])]
    tracked = [c for c in columns if getattr(c, "_tracker", None) is tracker]
    if len(tracked) != len(columns) or not tracked:
        return values  # a column pandas could not keep tracked: plain data, unknown
    makers = tuple(once(one_value(c, "to_numpy", in_order=True)) for c in tracked)
    return holding_whole(values, makers, tracker, tracked[0]._fields)


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


__all__ = ["HandedOutValues", "frame_handed_out", "handed_out"]
