"""merge and join of tracked frames that still hold some column's words beside its values.

A column of dates or categories (and, with ``QUORVANE_WORDS_IN_ARRAYS=0``, every column)
keeps its words in the container, not in its values, so pandas cannot move them through
the join: here a row tracer says which rows it paired. The join of frames whose words all
ride in words arrays is ``_joins``'; this road goes once every column's words do.

Each side gets one extra column holding its row positions. Extra columns with names of
their own change nothing in a join (keys, suffixes and column order of the other columns
stay as pandas makes them), and after the join they tell, for every result row, which
left and which right row it came from (NaN for the side an outer join had no row for).
Each result column then takes the arrays of the column it came from, gathered by those
positions, and one merge step.
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series

from ..core._word import OpCode
from . import _join_call as call
from ._array import WordsArray
from ._dtype import WordsDtype, holds_text
from ._plain_values import plain_view
from ._positions import NO_ROW, _has_key, gather, lookup, unknown_entries
from ._row_order import carry, selections_apart, with_decided

_LEFT_ROW = "__quorvane_left_row__"
_RIGHT_ROW = "__quorvane_right_row__"


def _traced(frame: DataFrame, column: str) -> DataFrame:
    # words columns as their numpy values: the containers follow the rows by the tracer,
    # and pandas joins numpy keys on its fast paths (an index of a words array would be
    # one of Python objects)
    plain = plain_view(frame).copy(deep=False)
    plain[column] = np.arange(len(plain), dtype=np.int64)
    return plain


def _positions(column: Series) -> np.ndarray:
    values = column.to_numpy(dtype=np.float64, na_value=np.nan)
    positions = np.full(len(values), NO_ROW, dtype=np.intp)
    present = ~np.isnan(values)
    positions[present] = values[present].astype(np.intp)
    return positions


def tracer_join(left: Any, other: Any, how_called: str, args: tuple, kwargs: dict) -> Any:
    """``left.merge(other, ...)`` or ``left.join(other, ...)`` with arrays that follow."""
    right = call.as_frame(other)
    parent = getattr(DataFrame, how_called)
    if not isinstance(right, DataFrame):
        # A list of frames, an unnamed series: pandas decides (and raises where it does);
        # the result's rows cannot be followed.
        return parent(left, other, *args, **kwargs)
    joined = parent(_traced(left, _LEFT_ROW), _traced(right, _RIGHT_ROW), *args, **kwargs)
    left_rows = _positions(joined.pop(_LEFT_ROW))
    right_rows = _positions(joined.pop(_RIGHT_ROW))
    # built without the tracker, so that columns without entries yet log no unknown source:
    # every column gets its entries from the side it came from, below
    result = type(left)(joined)
    object.__setattr__(result, "_tracker", left._tracker)
    # the rows paired are rows the sides' filters kept: what combines several rows of the
    # result depends on those conditions as it would on either side
    carry(result, left, right)
    origins = call.origins(left, right, result.columns, how_called, args, kwargs)
    mappings = {}
    for f in left._fields:
        mapping = {}
        for label, (side, source_label) in zip(result.columns, origins, strict=True):
            array = _joined_array(left, right, f, side, source_label, left_rows, right_rows)
            if array is not None:
                mapping[label] = array
        mappings[f.frame_attr] = mapping
    result._set_mappings(mappings)
    keys = call.key_columns(left, right, how_called, args, kwargs)
    carried = call.carried_side(left, right, how_called, args, kwargs)
    sides = {"left": left, "right": right}
    indicator = call.indicator_label(left, right, how_called, args, kwargs)
    rows = (left_rows, right_rows)
    joined_in = _join_in(result, joined, origins, carried, keys, rows, sides, indicator)
    call.note_join_keys(result, keys, joined_in)
    return _words_columns_back(result, sides, origins, carried)


def _words_columns_back(result: Any, sides: dict, origins: list, carried: str) -> Any:
    """``result`` with each column that a words column of its side (the left one for a
    key) gave holding its values together with the entries the join gave it, as the words
    column held them: the words travel with the values from here on. Those of the
    ``carried`` side and the keys were only moved (``WordsArray.carried``); those joined in
    were made by the join."""
    plain = DataFrame(result, copy=False)
    labels = plain.columns
    single = ~labels.duplicated(keep=False)
    columns: dict[int, Any] = {}
    for position, (label, (side, source_label)) in enumerate(zip(labels, origins, strict=True)):
        array = plain.iloc[:, position].array
        entries = _entries_of(result, label) if single[position] else None
        source = sides.get("left" if side == "key" else side)
        dtype = plain.dtypes.iloc[position]  # numpy's, not that of pandas' array of it
        held = dtype.kind in "biuf" or holds_text(dtype)
        if entries is not None and held and _words_column(source, source_label):
            moved = side in (carried, "key")
            array = _words_array(array, entries, result._tracker, moved)
        columns[position] = array
    if not any(isinstance(array, WordsArray) for array in columns.values()):
        return result
    out = DataFrame(columns, index=plain.index, copy=False)
    out.columns = labels
    words_back = type(result)(out)
    object.__setattr__(words_back, "_tracker", result._tracker)
    words_back._set_mappings(result._mappings())
    carry(words_back, result)
    return words_back


def _words_array(array: Any, entries: dict, tracker: Any, moved: bool) -> WordsArray:
    """The join's own values of a column (numpy's numbers or objects, pandas' strings) with
    the entries the join gave them."""
    dtype, ids = array.dtype, entries.get("_node_ids")
    if isinstance(dtype, pd.StringDtype):
        words = WordsArray(array, entries["_prov"], WordsDtype(dtype, tracker), ids)
        words.carried = moved
        return words
    # the join's own values, which nothing else holds: written into only if numpy allows
    values = np.asarray(array)
    values = values if values.flags.writeable else values.copy()
    return WordsArray.from_values(values, entries["_prov"], tracker, ids, carried=moved)


def _entries_of(frame: Any, label: Hashable) -> dict[str, np.ndarray] | None:
    """By field, the entries ``frame`` reads for its column ``label``; None if any is
    missing."""
    found = {f.series_attr: lookup(getattr(frame, f.frame_attr), label) for f in frame._fields}
    return None if any(entries is None for entries in found.values()) else found


def _words_column(frame: Any, label: Hashable) -> bool:
    """Whether ``frame``'s column ``label`` (one column) holds its words in its values."""
    if frame is None or not isinstance(frame, DataFrame) or not _has_key(label):
        return False
    try:
        dtype = frame.dtypes[label]
    except KeyError:
        return False
    return isinstance(dtype, WordsDtype)


def _join_in(result, values, origins, carried, keys, rows, sides, indicator) -> list[Hashable]:
    """A carried column keeps its entries (the join only moved its rows). Which row of the
    other side a row was paired with depends on the key values of both sides, so each
    element of a joined-in column combines its own entries with those of the keys of its
    row, one merge step further; so does the ``indicator`` column, if any. ``values`` is
    pandas' own (untracked) result. Returns the labels of the joined-in columns."""
    tracker = result._tracker
    left_rows, right_rows = rows
    if not tracker:
        return []
    key_entries = [
        _key_entries(frame, label, left_rows if side == "left" else right_rows)
        for frame, label, side in keys
    ]
    key_entries = [k for k in key_entries if k is not None]
    if len(key_entries) > 1:
        # the keys' pairing, made once for the row and shared by every joined-in column
        no_values = _no_values(result)
        key_entries = [result._combine_entries(key_entries, no_values, "join keys", OpCode.MERGE)]
    mappings = {name: dict(mapping) for name, mapping in result._mappings().items()}
    joined_in = []
    fills: dict[str, np.ndarray] = {}  # made for the first column that has a fill
    for position, (label, (side, _)) in enumerate(zip(result.columns, origins, strict=True)):
        if side in (carried, "key") or (side == "none" and label != indicator):
            continue
        own = {f.series_attr: lookup(mappings[f.frame_attr], label) for f in result._fields}
        if any(e is None for e in own.values()) and call.computed_from_tracked(sides.get(side)):
            own = unknown_entries(result._fields, tracker, len(result))
        # a column of an untracked table (a lookup table of constants) comes from the keys
        operands = key_entries if any(e is None for e in own.values()) else [own, *key_entries]
        if not operands:
            continue
        made = result._combine_entries(
            operands, _values_of(values, position), "merge", OpCode.MERGE
        )
        other_rows = right_rows if carried == "left" else left_rows
        # no row of that side: a fill of the join, there because the keys found no pair
        # (the indicator says so, by the keys)
        unpaired = (other_rows == NO_ROW) & (label != indicator)
        if unpaired.any():
            fills = fills or _fill_entries(result, key_entries)
            for f in result._fields:
                made[f.series_attr][unpaired] = fills[f.series_attr][unpaired]
        # which row of a filtered side a row was paired with (or none) was decided by the
        # condition that chose that side's rows: every element depends on it
        joined_side = "right" if carried == "left" else "left"  # the indicator's too
        decided = selections_apart(sides[carried], sides[joined_side])
        columns = {f: made[f.series_attr] for f in result._fields}
        for f, entries in with_decided(tracker, result._fields, columns, decided).items():
            mappings[f.frame_attr][label] = entries
        joined_in.append(label)
    result._set_mappings(mappings)
    return joined_in


def _no_values(result: Any) -> Any:
    return _values_of(DataFrame({0: np.full(len(result), np.nan)}, copy=False), 0)


def _fill_entries(result: Any, key_entries: list) -> dict[str, np.ndarray]:
    """Per field, the entries of the fills of a join's joined-in columns, the same for each:
    of the keys alone, which found no row to pair; none where no key holds a source's entry
    (an index turned into a column)."""
    absent = {f.series_attr: np.full(len(result), f.absent, f.dtype) for f in result._fields}
    if not key_entries:
        return absent
    words = result._fields[0]
    keyed = np.zeros(len(result), dtype=bool)
    for entries in key_entries:
        keyed |= np.asarray(entries[words.series_attr]) != words.absent
    made = result._combine_entries(key_entries, _no_values(result), "merge", OpCode.MERGE)
    return {k: np.where(keyed, made[k], absent[k]) for k in absent}


def _key_entries(frame, label, rows) -> dict[str, np.ndarray] | None:
    if not hasattr(frame, "_fields"):
        return None  # a key of an untracked table is a constant
    arrays = {f.series_attr: lookup(getattr(frame, f.frame_attr, {}), label) for f in frame._fields}
    if any(a is None for a in arrays.values()):
        return None
    return {
        f.series_attr: gather(arrays[f.series_attr], rows, f.absent, f.dtype) for f in frame._fields
    }


def _values_of(frame, position):
    return lambda: frame.iloc[:, position].array


def _joined_array(left, right, f, side, label, left_rows, right_rows) -> np.ndarray | None:
    from_left = lookup(getattr(left, f.frame_attr), label) if side in ("left", "key") else None
    from_right = None
    if side in ("right", "key") and getattr(right, "_fields", None) == left._fields:
        from_right = lookup(getattr(right, f.frame_attr), label)
    if side == "left":
        return None if from_left is None else gather(from_left, left_rows, f.absent, f.dtype)
    if side == "right":
        return None if from_right is None else gather(from_right, right_rows, f.absent, f.dtype)
    if side != "key" or from_left is None:
        return None
    # A key named alike on both sides is one column: the left row's key where there is a
    # left row, else the right row's (outer joins).
    array = gather(from_left, left_rows, f.absent, f.dtype)
    only_right = left_rows == NO_ROW
    if only_right.any():
        if from_right is None:
            array[only_right] = f.unknown(left._tracker) if left._tracker else f.absent
        else:
            array[only_right] = gather(from_right, right_rows[only_right], f.absent, f.dtype)
    return array
