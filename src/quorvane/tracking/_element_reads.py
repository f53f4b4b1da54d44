"""One element read out of a tracked series: a tracked scalar carrying that element's entries.

``s.fillna(t.loc[t.f == 1, "e"].mode()[0])`` fills with a value that the mode made of the
whole column; read by label (``s[k]``, ``s.loc[k]``, ``s.at[k]``) the element is that row's
own value and carries its entries. Read by position (``s.iloc[0]``, ``s.iat[0]``), which
element stands there also depends on what decided the rows' order and selection (the first
row of a sort or a filter), so the scalar combines those decisions too. A scalar of a type
that cannot carry entries (``bool``, ``None``) is pandas' own (see ``_scalars``); pandas'
own reads inside one of the containers' calls stay plain.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from pandas.api.types import is_scalar

from ..core._word import OpCode
from . import _row_order as row_order
from ._caller_warnings import report_warnings_at_caller
from ._calls import _in_parent
from ._combining import whole_entries
from ._scalars import tracked_scalar


def read_element(series: Any, value: Any, position: Any, by_position: bool) -> Any:
    """``value``, read from ``series`` at ``position``, carrying that element's entries
    (and, read ``by_position``, the decisions about the rows)."""
    tracker = getattr(series, "_tracker", None)
    if not tracker or _in_parent() or not is_scalar(value) or not isinstance(position, int):
        return value
    fields = series._fields
    own = {f.series_attr: getattr(series, f.series_attr)[position : position + 1] for f in fields}
    decisions = row_order.row_order_of(series) if by_position else ()
    if not decisions:
        return tracked_scalar(value, tracker, fields, {k: int(a[0]) for k, a in own.items()})

    def entries() -> dict[str, int]:
        arrays = {
            f.series_attr: [own[f.series_attr], *(np.array([d.entries()[k]]) for d in decisions)]
            for k, f in enumerate(fields)
        }
        return whole_entries(tracker, fields, arrays, "element", OpCode.ORDER)

    return tracked_scalar(value, tracker, fields, entries)


def _label_position(series: Any, key: Any) -> Any:
    """The position of the one element labelled ``key`` (None: no such single element)."""
    try:
        found = series.index.get_loc(key)
    except (KeyError, TypeError, pd.errors.InvalidIndexError):
        return None
    return int(found) if isinstance(found, (int, np.integer)) else None


def _position(series: Any, key: Any) -> Any:
    if not isinstance(key, (int, np.integer)) or isinstance(key, bool):
        return None
    return int(key) + (len(series) if key < 0 else 0)


class _Reader:
    """An indexer of a tracked series (``loc``, ``iloc``, ``at``, ``iat``) whose reads of one
    element carry its entries; everything else is the indexer's own."""

    def __init__(self, series: Any, indexer: Any, by_position: bool) -> None:
        self._series = series
        self._indexer = indexer
        self._by_position = by_position

    def __getitem__(self, key: Any) -> Any:
        value = self._indexer[key]
        if not is_scalar(value):
            return value
        series, find = self._series, _position if self._by_position else _label_position
        return read_element(series, value, find(series, key), self._by_position)

    def __setitem__(self, key: Any, value: Any) -> None:
        self._indexer[key] = value

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._indexer(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._indexer, name)


class ElementReads:
    """A tracked series' reads of one element (see the module doc)."""

    def __getitem__(self, key: Any) -> Any:
        value = super().__getitem__(key)  # type: ignore[misc]
        if not is_scalar(value):
            return value
        return read_element(self, value, _label_position(self, key), False)

    @property
    def loc(self) -> Any:
        return _Reader(self, super().loc, False)  # type: ignore[misc]

    @property
    def at(self) -> Any:
        return _Reader(self, super().at, False)  # type: ignore[misc]

    @property
    def iloc(self) -> Any:
        return _Reader(self, super().iloc, True)  # type: ignore[misc]

    @property
    def iat(self) -> Any:
        return _Reader(self, super().iat, True)  # type: ignore[misc]


report_warnings_at_caller(_Reader)
