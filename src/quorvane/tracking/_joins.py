"""merge and join of tracked frames: pandas joins, a row tracer says which rows it paired.

Each side gets one extra column holding its row positions. Extra columns with names of
their own change nothing in a join (keys, suffixes and column order of the other columns
stay as pandas makes them), and after the join they tell, for every result row, which
left and which right row it came from (NaN for the side an outer join had no row for).
Each result column then takes the arrays of the column it came from, gathered by those
positions, and one merge step.
"""

from __future__ import annotations

import inspect
import weakref
from collections.abc import Hashable, Iterable
from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series

from ..core._word import OpCode
from ._array import WordsArray
from ._dtype import WordsDtype, holds_text
from ._plain_values import plain_view
from ._positions import NO_ROW, _has_key, gather, lookup, unknown_entries
from ._row_order import carry, selections_apart, with_decided
from ._source_keys import source_keys

_LEFT_ROW = "__quorvane_left_row__"
_RIGHT_ROW = "__quorvane_right_row__"
_MERGE_SIGNATURE = inspect.signature(DataFrame.merge)
#: per tracker: the source pairs of the join keys that paired the rows of a joined column,
#: by the source key of the column's words just after the join (see ``join_key_pairs``)
_JOIN_KEYS: weakref.WeakKeyDictionary[Any, dict[int, frozenset[int]]] = weakref.WeakKeyDictionary()


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


def _as_frame(other: Any) -> Any:
    if isinstance(other, Series) and other.name is not None:
        return other.to_frame()  # a tracked series gives a frame of its family
    return other


def traced_join(left: Any, other: Any, how_called: str, args: tuple, kwargs: dict) -> Any:
    """``left.merge(other, ...)`` or ``left.join(other, ...)`` with arrays that follow."""
    right = _as_frame(other)
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
    origins = _origins(left, right, result.columns, how_called, args, kwargs)
    mappings = {}
    for f in left._fields:
        mapping = {}
        for label, (side, source_label) in zip(result.columns, origins, strict=True):
            array = _joined_array(left, right, f, side, source_label, left_rows, right_rows)
            if array is not None:
                mapping[label] = array
        mappings[f.frame_attr] = mapping
    result._set_mappings(mappings)
    keys = _key_columns(left, right, how_called, args, kwargs)
    carried = _carried_side(left, right, how_called, args, kwargs)
    sides = {"left": left, "right": right}
    indicator = _indicator_label(left, right, how_called, args, kwargs)
    rows = (left_rows, right_rows)
    joined_in = _join_in(result, joined, origins, carried, keys, rows, sides, indicator)
    _note_join_keys(result, keys, joined_in)
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


def _carried_side(left, right, how_called, args, kwargs) -> str:
    """The side whose rows the join keeps as they are (a right join's right, else the
    left): its columns are carried; the other side's are joined in."""
    if how_called == "join":
        how = kwargs.get("how", args[1] if len(args) > 1 else "left")
    else:
        bound = _MERGE_SIGNATURE.bind(left, right, *args, **kwargs)
        bound.apply_defaults()
        how = bound.arguments["how"]
    return "right" if how == "right" else "left"


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
        if any(e is None for e in own.values()) and _computed_from_tracked(sides.get(side)):
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


def _computed_from_tracked(table: Any) -> bool:
    """Whether an untracked table was computed from tracked data, not written in the code:
    pandas labels or fills it with words (``pd.crosstab`` and ``pd.get_dummies`` of tracked
    series, a frame built from their columns). Its cells' sources were not followed."""
    if hasattr(table, "_fields") or not isinstance(table, DataFrame):
        return False
    axes = [table.index, table.columns]
    levels = [level for axis in axes for level in getattr(axis, "levels", [axis])]
    dtypes = [*(level.dtype for level in levels), *table.dtypes]
    return any(isinstance(dtype, WordsDtype) for dtype in dtypes)


def _indicator_label(left, right, how_called, args, kwargs) -> Hashable | None:
    """The label of the column ``merge(indicator=...)`` adds: which sides had the row,
    decided by the keys of both."""
    if how_called != "merge":
        return None
    bound = _MERGE_SIGNATURE.bind(left, right, *args, **kwargs)
    indicator = bound.arguments.get("indicator", False)
    if indicator is True:
        return "_merge"
    return indicator if isinstance(indicator, str) else None


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


def _origins(left, right, columns, how_called, args, kwargs) -> list[tuple[str, Hashable]]:
    """Which side and source column each result column comes from."""
    suffixes, shared_keys = _join_labels(left, right, how_called, args, kwargs)
    overlap = (set(left.columns) & set(right.columns)) - shared_keys
    by_label: dict[Hashable, tuple[str, Hashable]] = {}
    for label in right.columns:
        if label in shared_keys:
            continue
        by_label[_suffixed(label, overlap, suffixes[1])] = ("right", label)
    for label in left.columns:
        side = "key" if label in shared_keys else "left"
        by_label[_suffixed(label, overlap, suffixes[0])] = (side, label)
    return [by_label.get(label, ("none", label)) for label in columns]


def _suffixed(label: Hashable, overlap: set, suffix: str | None) -> Hashable:
    if label in overlap and suffix is not None:
        return f"{label}{suffix}"
    return label


def _join_labels(left, right, how_called, args, kwargs) -> tuple[tuple, set]:
    """The suffixes of overlapping columns and the key columns both sides name alike."""
    if how_called == "join":
        suffixes = kwargs.get("suffixes")
        if suffixes is None:
            lsuffix = kwargs.get("lsuffix", args[2] if len(args) > 2 else "")
            rsuffix = kwargs.get("rsuffix", args[3] if len(args) > 3 else "")
            suffixes = (lsuffix, rsuffix)
        return tuple(suffixes), set()
    bound = _MERGE_SIGNATURE.bind(left, right, *args, **kwargs)
    bound.apply_defaults()
    params = bound.arguments
    suffixes = tuple(params["suffixes"])
    on, left_on, right_on = params["on"], params["left_on"], params["right_on"]
    if on is not None:
        keys = set(on) if isinstance(on, list) else {on}
    elif left_on is not None and right_on is not None:
        lefts = left_on if isinstance(left_on, list) else [left_on]
        rights = right_on if isinstance(right_on, list) else [right_on]
        keys = {a for a, b in zip(lefts, rights, strict=True) if _label_like(a) and a == b}
    elif not params["left_index"] and not params["right_index"] and params["how"] != "cross":
        keys = set(left.columns) & set(right.columns)
    else:
        keys = set()
    return suffixes, {key for key in keys if _label_like(key)}


def _key_columns(left, right, how_called, args, kwargs) -> list[tuple[Any, Hashable, str]]:
    """The columns (frame, label, side) whose values paired the rows: the keys named on each side,
    or the columns both share when none are named; an index used as a key is no column."""
    if how_called == "join":
        on = kwargs.get("on", args[0] if args else None)
        return [(left, label, "left") for label in _labels(on)]
    bound = _MERGE_SIGNATURE.bind(left, right, *args, **kwargs)
    bound.apply_defaults()
    params = bound.arguments
    on, left_on, right_on = params["on"], params["left_on"], params["right_on"]
    if on is None and left_on is None and right_on is None:
        if params["left_index"] or params["right_index"] or params["how"] == "cross":
            return []
        on = list(left.columns.intersection(right.columns))
    lefts, rights = _labels(left_on if on is None else on), _labels(right_on if on is None else on)
    return [(left, label, "left") for label in lefts] + [
        (right, label, "right") for label in rights
    ]


def _labels(keys: Any) -> list[Hashable]:
    keys = keys if isinstance(keys, list) else [] if keys is None else [keys]
    return [key for key in keys if _label_like(key)]


def _note_join_keys(
    result: Any, keys: Iterable[tuple[Any, Hashable, str]], joined_in: list[Hashable]
) -> None:
    """Note, for every joined-in column of the joined frame (their words are the join's
    own), the source pairs of the keys that paired its rows: what it depends on through
    the join rather than by its values."""
    tracker = result._tracker
    if not tracker:
        return
    pairs: set[int] = set()
    for frame, label, _ in keys:
        words = lookup(getattr(frame, "_col_prov", {}), label)
        if words is not None and frame._tracker is tracker:
            for key in source_keys(words).tolist():
                pairs |= tracker.decode(key)
    if not pairs:
        return
    noted = _JOIN_KEYS.setdefault(tracker, {})
    for label in joined_in:
        for key in source_keys(result._col_prov[label]).tolist():
            noted[key] = noted.get(key, frozenset()) | pairs


def join_key_pairs(tracker: Any, word: int) -> frozenset[int]:
    """The source pairs of the join keys that paired the value of ``word``, the word of a
    value just after a join; empty when it came through no join with key columns."""
    noted = _JOIN_KEYS.get(tracker)
    if not noted:
        return frozenset()
    (key,) = source_keys(np.array([word], dtype=np.uint32)).tolist()
    return noted.get(key, frozenset())


def _label_like(key: Any) -> bool:
    return not isinstance(key, (np.ndarray, Series, pd.Index, list))
