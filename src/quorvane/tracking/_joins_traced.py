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

from . import _join_call as call
from . import _join_words as join_words
from ._array import WordsArray
from ._dtype import WordsDtype, holds_text
from ._plain_values import plain_view
from ._positions import NO_ROW, _has_key, gather, lookup, unknown_entries
from ._row_order import carry, selections_apart

_LEFT_ROW = "__quorvane_left_row__"
_RIGHT_ROW = "__quorvane_right_row__"


def _traced(frame: DataFrame, column: str, index_key: bool = False) -> DataFrame:
    # words columns as their numpy values: the containers follow the rows by the tracer,
    # and pandas joins numpy keys on its fast paths (an index of a words array would be
    # one of Python objects); so is an index of words that faces such a key column
    plain = plain_view(frame).copy(deep=False)
    plain[column] = np.arange(len(plain), dtype=np.int64)
    if index_key and isinstance(plain.index.array, WordsArray):
        plain.index = pd.Index(plain.index.array.plain(), name=plain.index.name, copy=False)
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
    pairs = call.column_key_pairs(left, right, how_called, args, kwargs) or []
    on_index = any(b is call.INDEX for _, b in pairs)
    traced = _traced(left, _LEFT_ROW), _traced(right, _RIGHT_ROW, on_index)
    joined = parent(*traced, *args, **kwargs)
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
        entries = join_words.entries_of(result, label) if single[position] else None
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
    """A carried column keeps its entries (the join only moved its rows). A joined-in
    column, and the ``indicator`` column if any, take the keys' words as ``_join_words``
    says, the same as a join of words arrays gives them. ``values`` is pandas' own
    (untracked) result. Returns the labels of the joined-in columns."""
    if not result._tracker:
        return []
    joined = "right" if carried == "left" else "left"
    rows_of = {"left": rows[0], "right": rows[1]}
    # the joined-in side's keys per row of that side, the kept side's per row of the result
    own_keys = [
        e for e in (join_words.entries_of(f, label) for f, label, s in keys if s == joined) if e
    ]
    kept_keys = [
        _gathered(entries, rows_of[carried], result._fields)
        for entries in (join_words.entries_of(f, label) for f, label, s in keys if s == carried)
        if entries
    ]
    decided = selections_apart(sides[carried], sides[joined])
    mappings = {name: dict(mapping) for name, mapping in result._mappings().items()}
    joined_in = []
    for position, (label, (side, source)) in enumerate(zip(result.columns, origins, strict=True)):
        if side == joined:
            taken = _taken_in(result, sides[joined], source, own_keys)
            brought = None if taken is None else _gathered(taken, rows_of[joined], result._fields)
            made = join_words.paired(
                result, brought, kept_keys, bool(own_keys), _values_of(values, position), decided
            )
        elif label == indicator and side == "none":
            theirs = [_gathered(e, rows_of[joined], result._fields) for e in own_keys]
            made = join_words.paired(
                result, None, kept_keys + theirs, False, _values_of(values, position), decided
            )
        else:
            continue
        if made is not None:
            for f in result._fields:
                mappings[f.frame_attr][label] = made[f.series_attr]
        joined_in.append(label)
    result._set_mappings(mappings)
    return joined_in


def _taken_in(result: Any, frame: Any, label: Hashable, keys: list) -> dict | None:
    """What the joined-in column ``label`` of ``frame`` takes into the join, per row of
    ``frame`` (see ``join_words.taken_in``)."""
    own = join_words.entries_of(frame, label)
    if own is None and call.computed_from_tracked(frame):
        own = unknown_entries(result._fields, result._tracker, len(frame))
    position = list(frame.columns).index(label)
    column = DataFrame(frame, copy=False).iloc[:, position]
    return join_words.taken_in(result, own, keys, lambda: column.array)


def _gathered(entries: dict, rows: np.ndarray, fields: tuple) -> dict[str, np.ndarray]:
    """``entries`` of a side's rows, at the rows of the result (absent where none)."""
    return {f.series_attr: gather(entries[f.series_attr], rows, f.absent, f.dtype) for f in fields}


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
