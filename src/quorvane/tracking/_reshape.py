"""Reshapes (``unstack``, ``stack``, ``melt``, ``pivot``, ``transpose``): pandas moves each
value to a new place, and moves the entries with the very same call.

The entries of every field are put, as numbers, into a plain pandas object shaped like the
source; the same reshape of it puts each entry where pandas put its value. A cell the
reshape creates without a value (an ``unstack`` of a missing combination) holds a fill
value, which no element made; but whether it is there depends on the keys that shape the
result (index levels that came from columns, ``pivot``'s key columns), so it combines them,
whole (absent when the keys are not data). Where a value lands among the result's columns
is decided by the keys that become column labels (the levels ``unstack`` moves, ``pivot``'s
``columns``): when they are data, each value a reshape placed combines its own row's entries
of them, one step further. If the reshaped entries do not line up with pandas' result, its
elements read unknown rather than take entries that may belong elsewhere.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series
from pandas.api.types import is_numeric_dtype

from ..core._word import OpCode
from . import _row_order
from ._positions import Field, lookup, unknown_fill
from ._scalars import scalar_entries


def reshaped(
    source: Any,
    result: Any,
    reshape: Callable[[Any], Any],
    keys: tuple = (),
    fill: Any = None,
    placing: _row_order.Keys | None = None,
) -> Any:
    """``result`` (pandas' reshape of ``source``) with its entries: ``reshape`` applied to
    each field's entries laid out as ``source``'s values, but for the columns ``keys``,
    whose values decide the shape (``pivot``'s index and columns) and stay values; a cell
    the reshape made holds ``fill`` (``fill_value``), with its entries if it is tracked.
    ``placing``: per field, the arrays (one entry per source row) of the keys that decide
    which result column each value lands in."""
    tracker = getattr(source, "_tracker", None)
    if not isinstance(result, (Series, DataFrame)) or not hasattr(result, "_fields"):
        return result
    object.__setattr__(result, "_tracker", tracker)
    moved = {f: _moved(source, f, reshape, tracker, keys) for f in source._fields}
    fills = _fill_entries(source, tracker, keys, fill, _unseen(source, tracker))
    if isinstance(result, Series):
        result._set_fields(
            {
                f.series_attr: _cells(moved[f], result, None, f, fills(k))
                for k, f in enumerate(moved)
            }
        )
        return result
    mappings = {
        f.frame_attr: {
            label: _cells(moved[f], result, label, f, fills(k))
            for label in result.columns
            if _unique(result.columns, label)
        }
        for k, f in enumerate(moved)
    }
    if tracker and placing and any(placing.values()):
        _placed(source, result, reshape, keys, placing, mappings)
    result._set_mappings(mappings)
    return result


def _placed(
    source: Any,
    result: Any,
    reshape: Callable[[Any], Any],
    keys: tuple,
    placing: _row_order.Keys,
    mappings: dict[str, dict],
) -> None:
    """Every value the reshape placed in ``result`` (not a cell it made) combines, into its
    entries in ``mappings``, its own source row's entries of the ``placing`` keys."""
    fields, n = source._fields, len(source)

    def key_array(f: Field, k: int) -> np.ndarray:
        array = placing[f.series_attr][k]  # None: a key column whose provenance is not known
        return np.full(n, f.unknown(result._tracker), f.dtype) if array is None else array

    by_key = [
        {f: _moved(source, f, reshape, None, keys, key_array(f, k)) for f in fields}
        for k in range(min(len(placing.get(f.series_attr, [])) for f in fields))
    ]
    if not by_key:
        return
    for label in list(mappings[fields[0].frame_attr]):
        placed = [
            {f.series_attr: _cells(moved[f], result, label, f, _nothing(f)) for f in fields}
            for moved in by_key
        ]
        _place_column(result, label, fields, placed, mappings)


def _nothing(f: Field) -> Callable[[], int]:
    return lambda: f.absent


def _place_column(
    result: Any, label: Any, fields: tuple, placed: list[dict], mappings: dict[str, dict]
) -> None:
    """The entries of ``result``'s column ``label`` in ``mappings``, each value that some
    key of ``placed`` (per key, per field, the key's entries where it placed a value) put
    there combined with those entries."""
    words = fields[0]
    where = np.zeros(len(result), dtype=bool)
    for entries in placed:
        where |= entries[words.series_attr] != words.absent
    present = np.flatnonzero(where)
    if not len(present):
        return
    operands = [{f.series_attr: mappings[f.frame_attr][label][present] for f in fields}]
    operands += [{k: v[present] for k, v in entries.items()} for entries in placed]
    column = DataFrame(result, copy=False)[label]
    made = result._combine_entries(
        operands, lambda: column.array[present], "placed by its keys", OpCode.ORDER
    )
    for f in fields:
        entries = mappings[f.frame_attr][label].copy()
        entries[present] = made[f.series_attr]
        mappings[f.frame_attr][label] = entries


def _unseen(source: Any, tracker: Any) -> bool:
    """Whether every value of ``source`` reads unknown (pandas built it from bare values:
    ``pd.pivot``'s): its labels came from the same unseen place, so a cell the reshape
    makes for a missing combination is unknown too."""
    if not tracker:
        return False
    words = source._fields[0]
    if isinstance(source, Series):
        arrays = [getattr(source, words.series_attr)]
    else:
        arrays = [a for a in getattr(source, words.frame_attr).values() if a is not None]
    if len(arrays) < len(getattr(source, "columns", [None])) or not any(len(a) for a in arrays):
        return False
    return all(tracker.is_unknown(int(w)) for w in np.unique(np.concatenate(arrays)))


def _fill_entries(
    source: Any, tracker: Any, keys: tuple, fill: Any, unseen: bool = False
) -> Callable[[int], Callable[[], int]]:
    """For field ``k``, a function giving the entry of a fill cell: the keys that shape the
    result, whole, and a tracked ``fill`` value's entries (made only when the reshape made
    a fill cell); unknown where the keys were ``unseen``."""
    made: list[tuple[int, ...]] = []

    def entries() -> tuple[int, ...]:
        if not made and unseen and tracker:
            made.append(tuple(f.unknown(tracker) for f in source._fields))
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


def _moved(
    source: Any,
    f: Field,
    reshape: Callable[[Any], Any],
    tracker: Any,
    keys: tuple,
    every: np.ndarray | None = None,
) -> Any:
    """The entries of field ``f`` as float numbers shaped like ``source``, reshaped; None
    when the reshape of them fails. ``every``: the entries of one array per source row,
    laid out in every value column instead."""
    if isinstance(source, Series):
        own = getattr(source, f.series_attr) if every is None else every
        plain: Any = Series(np.asarray(own, dtype=np.float64), index=source.index, name=source.name)
    else:
        fill = unknown_fill(f, tracker) if every is None else f.absent
        columns = {}
        for position, label in enumerate(source.columns):
            if label in keys:
                columns[position] = DataFrame(source).iloc[:, position].to_numpy()
                continue
            entries = every if every is not None else lookup(getattr(source, f.frame_attr), label)
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
