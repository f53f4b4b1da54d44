"""One element read out of a tracked container: a tracked scalar carrying its entries.

``s.fillna(t.loc[t.f == 1, "e"].mode()[0])`` fills with a value that the mode made of the
whole column. Read by label (``s[k]``, ``s.loc[k]``, ``s.at[k]``, a frame's ``loc[k, c]``
and ``at[k, c]``), the element is that row's own value and carries its entries. Read by
position (``s.iloc[0]``, ``s.iat[0]``, a frame's ``iloc[i, j]`` and ``iat[i, j]``), which
element stands there also depends on what decided the rows' order and selection (the first
row of a sort or a filter), so the scalar combines those decisions too. A scalar of a type
that cannot carry entries (``bool``, ``None``) is pandas' own (see ``_scalars``); pandas'
own reads inside one of the containers' calls stay plain.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from pandas.api.types import is_bool_dtype, is_scalar

from ..core._word import OpCode
from . import _row_order as row_order
from ._arguments import lend_whole
from ._assignments import written
from ._caller_warnings import report_warnings_at_caller
from ._calls import _in_parent
from ._combining import whole_entries
from ._labels import _entries_of, selected_by_positions
from ._positions import _has_key, lookup
from ._scalars import scalar_entries, tracked_scalar
from ._selections import selected_by_mask


def read_element(obj: Any, value: Any, cell: Any, by_position: bool, key: Any = None) -> Any:
    """``value``, read from ``obj`` at ``cell`` (a series' position, or a frame's position
    and column label), carrying that element's entries (and, read ``by_position``, the
    decisions about the rows; and the entries of tracked scalars in ``key``, a label or
    position computed from data: ``t.loc[s.idxmax(), "c"]``)."""
    tracker = getattr(obj, "_tracker", None)
    if not tracker or _in_parent() or not is_scalar(value) or cell is None:
        return value
    fields = obj._fields
    own = _element_entries(obj, cell)
    if own is None:
        return value
    decisions = row_order.row_order_of(obj) if by_position else ()
    chosen = [e for k in _key_parts(key) if (e := scalar_entries(k, tracker, fields)) is not None]
    if not by_position:  # which row a label names depends on the labels, if made of data
        chosen.extend(_row_label_entries(obj, cell[0] if isinstance(cell, tuple) else cell))
    if not decisions and not chosen:
        return tracked_scalar(value, tracker, fields, {k: int(a[0]) for k, a in own.items()})
    return tracked_scalar(value, tracker, fields, _decided(obj, own, decisions, chosen))


def _decided(obj: Any, own: dict, decisions: tuple, chosen: list) -> Any:
    """A function that makes the entries of an element (``own``: per field, an array of
    one) read where ``decisions`` about the rows and the tracked scalars ``chosen`` put it,
    one ORDER step; each decision's entries made once."""
    tracker, fields = obj._tracker, obj._fields

    def entries() -> dict[str, int]:
        decided = [d.entries() for d in decisions]
        arrays = {
            f.series_attr: [
                own[f.series_attr],
                *(np.array([d[k]]) for d in decided),
                *(np.array([c[f.series_attr]]) for c in chosen),
            ]
            for k, f in enumerate(fields)
        }
        return whole_entries(tracker, fields, arrays, "element", OpCode.ORDER)

    return entries


def _carrying_values(series: Any, values: Any) -> Any:
    """``values`` (the series' own, in order), each carrying its element's entries and, made
    when first read, those of the decisions about the rows (as ``read_element`` by
    position; the arrays read once, not per element)."""
    tracker, fields = series._tracker, series._fields
    own = [(f.series_attr, getattr(series, f.series_attr).tolist()) for f in fields]
    decisions = row_order.row_order_of(series)
    for k, value in enumerate(values):
        entries = {attr: array[k] for attr, array in own}
        if decisions:
            one = {attr: np.array([entry]) for attr, entry in entries.items()}
            yield tracked_scalar(value, tracker, fields, _decided(series, one, decisions, []))
        else:
            yield tracked_scalar(value, tracker, fields, entries)


def _row_label_entries(obj: Any, position: int) -> list[dict[str, int]]:
    """Per index level whose labels carry entries (a column turned into the index), the
    entries of the label at ``position``, per field."""
    fields, tracker = obj._fields, obj._tracker
    index = obj.index
    beside = getattr(obj, "_index_words", None) or {}
    out = []
    for i in range(index.nlevels):
        labels, at = _label_in_level(index, i, position)
        held = _entries_of(labels, fields, tracker) if at >= 0 else None
        if held is None:  # words the container keeps beside the index, one per row
            held = {f.series_attr: _level_of(beside.get(f.series_attr), i) for f in fields}
            at = position
            if any(level is None for level in held.values()):
                continue
        out.append({name: int(array[at]) for name, array in held.items()})
    return out


def _label_in_level(index: pd.Index, i: int, position: int) -> tuple[Any, int]:
    """The array holding the label of level ``i`` at ``position``, and where in it (a
    level of several holds each distinct label once; -1 for a missing label)."""
    if isinstance(index, pd.MultiIndex):
        return index.levels[i].array, int(index.codes[i][position])
    return index.array, position


def _level_of(levels: list | None, i: int) -> Any:
    return levels[i] if levels is not None and i < len(levels) else None


def _key_parts(key: Any) -> tuple:
    return key if isinstance(key, tuple) else (key,)


def _element_entries(obj: Any, cell: Any) -> dict[str, np.ndarray] | None:
    """Per field, the entry (an array of one) of the element at ``cell``."""
    position, label = cell if isinstance(obj, pd.DataFrame) else (cell, None)
    out = {}
    for f in obj._fields:
        if label is None:
            array = getattr(obj, f.series_attr)
        else:
            array = lookup(getattr(obj, f.frame_attr), label)
            if array is None:
                array = _unfollowed_column(obj, label, f)
            if array is None:  # a label held twice
                return None
        out[f.series_attr] = array[position : position + 1]
    return out


def _unfollowed_column(frame: pd.DataFrame, label: Any, field: Any) -> np.ndarray | None:
    """The entries of field ``field`` of the frame's column ``label``, which it keeps none
    for (a frame pandas built from bare values: ``describe``'s): read off the column, as it
    reads them, unknown (refused under strict provenance), never left plain. None for a
    label held twice."""
    column = frame[label]
    return getattr(column, field.series_attr) if isinstance(column, pd.Series) else None


def _label_position(obj: Any, key: Any) -> Any:
    """The position of the one element labelled ``key`` (with its column label, for a
    frame); None when ``key`` names no single element."""
    if isinstance(obj, pd.DataFrame):
        if not (isinstance(key, tuple) and len(key) == 2):
            return None
        row, column = key
        found = _label_position_in(obj.index, row)
        return None if found is None or not _has_key(column) else (found, column)
    return _label_position_in(obj.index, key)


def _label_position_in(index: pd.Index, key: Any) -> int | None:
    try:
        found = index.get_loc(key)
    except (KeyError, TypeError, pd.errors.InvalidIndexError):
        return None
    return int(found) if isinstance(found, (int, np.integer)) else None


def _position(obj: Any, key: Any) -> Any:
    """The position of the element at positional ``key`` (with its column label, for a
    frame); None when ``key`` names no single element."""
    if isinstance(obj, pd.DataFrame):
        if not (isinstance(key, tuple) and len(key) == 2):
            return None
        row, column = (_position_in(len(obj.columns), k) for k in (key[0], key[1]))
        found = _position_in(len(obj), key[0])
        if found is None or column is None or row is None:
            return None
        return found, obj.columns[column]
    if isinstance(key, tuple) and len(key) == 1:  # ``squeeze`` reads a series so
        key = key[0]
    return _position_in(len(obj), key)


def _position_in(n: int, key: Any) -> int | None:
    if not isinstance(key, (int, np.integer)) or isinstance(key, bool):
        return None
    return int(key) + (n if key < 0 else 0)


class _Reader:
    """An indexer of a tracked series (``loc``, ``iloc``, ``at``, ``iat``) whose reads of one
    element carry its entries; everything else is the indexer's own."""

    def __init__(
        self, series: Any, indexer: Any, by_position: bool, one_cell: bool = False
    ) -> None:
        self._series = series
        self._indexer = indexer
        self._by_position = by_position
        self._one_cell = one_cell  # at/iat

    def __getitem__(self, key: Any) -> Any:
        value = self._indexer[key]
        if not is_scalar(value):
            if self._by_position and not self._one_cell:  # rows picked by positions
                rows = key[0] if isinstance(key, tuple) else key
                if is_bool_dtype(getattr(rows, "dtype", None)):  # or by a mask (xs)
                    selected_by_mask(self._series, value, rows, "iloc")
                else:
                    selected_by_positions(self._series, value, rows)
            return value
        series, find = self._series, _position if self._by_position else _label_position
        return read_element(series, value, find(series, key), self._by_position, key)

    def __setitem__(self, key: Any, value: Any) -> None:
        series = self._series
        if callable(key) and isinstance(series, pd.Series):
            key = key(series)  # called once here, as pandas would call it
        cell = _frame_cell(series, key, self._by_position) if self._one_cell else None
        if cell is not None:
            series.loc[cell] = value  # one cell of a frame: written as its loc writes it
            return
        self._indexer[key] = value
        # a frame's writes are its ``loc``'s (each column's entries, see _follow)
        written(series, series, key, value)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._indexer(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._indexer, name)


def _frame_cell(obj: Any, key: Any, by_position: bool) -> tuple | None:
    """The (row, column) labels of the one cell of a frame that ``at``/``iat`` write at
    ``key``; None for anything else (then pandas' own indexer writes)."""
    if not isinstance(obj, pd.DataFrame) or not (isinstance(key, tuple) and len(key) == 2):
        return None
    if not all(is_scalar(k) for k in key):
        return None
    if not by_position:
        return key
    if not (obj.index.is_unique and obj.columns.is_unique):
        return None
    try:
        return obj.index[key[0]], obj.columns[key[1]]
    except (IndexError, TypeError):
        return None


class ElementReads:
    """A tracked container's reads of one element (see the module doc)."""

    def __getitem__(self, key: Any) -> Any:
        value = super().__getitem__(key)  # type: ignore[misc]
        if not is_scalar(value) or isinstance(self, pd.DataFrame):
            return value
        return read_element(self, value, _label_position(self, key), False, key)

    def __iter__(self) -> Any:
        """A series' values, one by one, each carrying its element's entries and what
        decided the rows (``max(s)``, ``set(s)``, ``sum(s)`` and unpacking read them by
        position: which values are there depends on the rows' selection and order)."""
        values = super().__iter__()  # type: ignore[misc]
        if isinstance(self, pd.DataFrame) or not getattr(self, "_tracker", None) or _in_parent():
            return values
        return _carrying_values(self, values)

    def tolist(self) -> list:
        """The values as iteration gives them (see ``__iter__``)."""
        return list(self)

    to_list = tolist

    def _lent_scalars(self, result: Any, scalars: list, name: str) -> Any:
        """``result`` of numpy's function ``name`` of this container and tracked
        ``scalars`` (``np.minimum(s, cap)``), each element also combining the scalars."""
        return lend_whole(self, result, scalars, name)

    def to_dict(self, *args: Any, **kwargs: Any) -> Any:
        """A series' labels and values, each value carrying its element's entries (a table
        of group means handed to ``map`` looks each element's entry up)."""
        plain = super().to_dict(*args, **kwargs)  # type: ignore[misc]
        if isinstance(self, pd.DataFrame) or not getattr(self, "_tracker", None):
            return plain
        labels: Any = self.index  # type: ignore[attr-defined]
        for position, label in enumerate(labels):  # a label held twice: its last value
            plain[label] = read_element(self, plain[label], position, False)
        return plain

    @property
    def loc(self) -> Any:
        return _Reader(self, super().loc, False)  # type: ignore[misc]

    @property
    def at(self) -> Any:
        return _Reader(self, super().at, False, one_cell=True)  # type: ignore[misc]

    @property
    def iloc(self) -> Any:
        return _Reader(self, super().iloc, True)  # type: ignore[misc]

    @property
    def iat(self) -> Any:
        return _Reader(self, super().iat, True, one_cell=True)  # type: ignore[misc]


report_warnings_at_caller(_Reader)
