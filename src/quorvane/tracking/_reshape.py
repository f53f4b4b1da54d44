"""Reshapes (``unstack``, ``stack``, ``melt``, ``pivot``, ``transpose``): pandas moves each
value to a new place, and moves the entries with the very same call.

The entries of every field are put, as numbers, into a plain pandas object shaped like the
source; the same reshape of it puts each entry where pandas put its value. A cell the
reshape creates without a value (an ``unstack`` of a missing combination) holds a fill
value, which no element made; but whether it is there depends on the keys that shape the
result (index levels that came from columns, ``pivot``'s key columns), so it combines them,
whole (absent when the keys are not data). If the reshaped entries do not line up with
pandas' result, its elements read unknown rather than take entries that may belong elsewhere.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series
from pandas.api.types import is_numeric_dtype

from . import _row_order
from ._positions import Field, lookup, unknown_fill
from ._scalars import scalar_entries


def reshaped(
    source: Any, result: Any, reshape: Callable[[Any], Any], keys: tuple = (), fill: Any = None
) -> Any:
    """``result`` (pandas' reshape of ``source``) with its entries: ``reshape`` applied to
    each field's entries laid out as ``source``'s values, but for the columns ``keys``,
    whose values decide the shape (``pivot``'s index and columns) and stay values; a cell
    the reshape made holds ``fill`` (``fill_value``), with its entries if it is tracked."""
    tracker = getattr(source, "_tracker", None)
    if not isinstance(result, (Series, DataFrame)) or not hasattr(result, "_fields"):
        return result
    object.__setattr__(result, "_tracker", tracker)
    moved = {f: _moved(source, f, reshape, tracker, keys) for f in source._fields}
    fills = _fill_entries(source, tracker, keys, fill)
    if isinstance(result, Series):
        result._set_fields(
            {
                f.series_attr: _cells(moved[f], result, None, f, fills(k))
                for k, f in enumerate(moved)
            }
        )
    else:
        result._set_mappings(
            {
                f.frame_attr: {
                    label: _cells(moved[f], result, label, f, fills(k))
                    for label in result.columns
                    if _unique(result.columns, label)
                }
                for k, f in enumerate(moved)
            }
        )
    return result


def _fill_entries(
    source: Any, tracker: Any, keys: tuple, fill: Any
) -> Callable[[int], Callable[[], int]]:
    """For field ``k``, a function giving the entry of a fill cell: the keys that shape the
    result, whole, and a tracked ``fill`` value's entries (made only when the reshape made
    a fill cell)."""
    made: list[tuple[int, ...]] = []

    def entries() -> tuple[int, ...]:
        if not made:
            found = _row_order.index_keys(source)
            if isinstance(source, DataFrame) and keys:
                for name, arrays in _row_order.column_keys(source, list(keys)).items():
                    found[name] = [*found.get(name, []), *arrays]
            lent = scalar_entries(fill, tracker, source._fields) or {}
            for name, entry in lent.items():  # ``unstack(fill_value=ref)``
                found[name] = [*found.get(name, []), np.array([entry])]
            shaped = tracker and any(found.values())
            made.append(
                _row_order.key_entries(tracker, source._fields, found, "reshape")
                if shaped
                else tuple(f.absent for f in source._fields)
            )
        return made[0]

    return lambda k: lambda: entries()[k]


def _moved(source: Any, f: Field, reshape: Callable[[Any], Any], tracker: Any, keys: tuple) -> Any:
    """The entries of field ``f`` as float numbers shaped like ``source``, reshaped; None
    when the reshape of them fails."""
    if isinstance(source, Series):
        plain: Any = Series(
            np.asarray(getattr(source, f.series_attr), dtype=np.float64),
            index=source.index,
            name=source.name,
        )
    else:
        fill = unknown_fill(f, tracker)
        columns = {}
        for position, label in enumerate(source.columns):
            if label in keys:
                columns[position] = DataFrame(source).iloc[:, position].to_numpy()
                continue
            entries = lookup(getattr(source, f.frame_attr), label)
            if entries is None:
                entries = np.full(len(source), fill() if callable(fill) else fill)
            columns[position] = np.asarray(entries, dtype=np.float64)
        plain = DataFrame(columns, index=source.index)
        plain.columns = source.columns
    try:
        return reshape(plain)
    except (ValueError, TypeError, KeyError):
        return None


def _cells(moved: Any, result: Any, label: Any, f: Field, fill: Callable[[], int]) -> np.ndarray:
    """The entries of ``result``'s column ``label`` (or of the series ``result``); ``fill``
    gives the entry of a cell the reshape made without a value."""
    n = len(result)
    piece = moved if label is None or not isinstance(moved, DataFrame) else moved.get(label)
    if isinstance(piece, Series) and not piece.index.equals(result.index):
        # a reshape that drops missing values (pandas 2's stack) kept our entries of them
        unique = piece.index.is_unique and result.index.is_unique
        piece = piece.reindex(result.index) if unique else None
    if not isinstance(piece, Series) or len(piece) != n:
        return np.full(n, f.unknown(result._tracker) if result._tracker else f.absent, f.dtype)
    if not is_numeric_dtype(piece.dtype):  # labels the reshape made (melt's variable column)
        return np.full(n, f.absent, dtype=f.dtype)
    values = piece.to_numpy(dtype=np.float64, na_value=np.nan)
    present = ~np.isnan(values)
    out = np.full(n, f.absent if present.all() else fill(), dtype=f.dtype)
    out[present] = values[present].astype(f.dtype)
    return out


def _unique(columns: pd.Index, label: Any) -> bool:
    try:
        return isinstance(columns.get_loc(label), int)
    except (KeyError, TypeError):
        return False
