"""Groups, windows and rows: results made of many elements, with every member counted.

A group's result combines the words of all its members and of its key; a window's result
(``rolling``, ``expanding``, ``ewm``, cumulative methods) those of the window's members;
a row-wise result (``apply(axis=1)``, ``sum(axis=1)``) those of every column of the row;
a whole-column result (``rank``, ``value_counts``, ``describe``, the bins of ``qcut``)
those of the whole column. These are safe over-approximations: a median does not depend
on every member, but nothing it depends on is left out. The combination runs in the
native engine, one call per column (``combine_segments_batch``, ``combine_windows_batch``).
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any

import numpy as np
from pandas import DataFrame, Grouper, MultiIndex, Series

from ..core._operations import operation
from ..core._word import OpCode
from . import _labels, _row_order
from ._arguments import given_arrays, given_rows, lend_whole, one_value, unseen_rows, user_function
from ._array_words import held_as_words
from ._arrays import TrackedArray
from ._caller_warnings import report_warnings_at_caller
from ._calls import _in_place_call, _inside_parent, as_user_code
from ._combining import combine_members, combine_segments, whole_entries
from ._elementwise import array_entries
from ._plain_values import holds_words, plain_view
from ._positions import (
    ARRAY_ENTRIES,
    column_origins,
    gather,
    lookup,
    moved_columns,
    read_carried,
    row_positions,
)
from ._unmodelled import refuse_under_strict
from ._windows import Windowing, WindowProxy, time_column

# -- groups ---------------------------------------------------------------------------------


class TrackedGroupBy:
    """pandas' groupby of a tracked series or frame; results carry words (module doc).

    Everything pandas' groupby offers works as it does there; results whose rows are groups
    (``agg``, ``mean``, ``size``, ...) or source rows (``transform``, ``rank``,
    ``cumsum``, ...) get the words of their group, and on the DAG road the node of their
    group (one aggregate node per group, its members' and keys' nodes as inputs).
    """

    def __init__(self, source: Any, grouped: Any, keys: dict[str, list[np.ndarray]]) -> None:
        self._source = source
        self._grouped = grouped
        self._keys = keys

    #: Methods whose result rows each take values from the rows of other groups.
    FROM_NEIGHBOURS: frozenset[str] = frozenset()

    def __getitem__(self, key: Any) -> TrackedGroupBy:
        return type(self)(self._source[key], self._grouped[key], self._keys)

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._grouped, name)
        if hasattr(self._source, "columns") and name in self._source.columns:
            return self[name]  # a column by attribute (``groupby("e").w``), as by ``["w"]``
        if not callable(attribute):
            return attribute

        def method(*args: Any, **kwargs: Any) -> Any:
            result = self._call(attribute, args, kwargs)
            in_order = _reads_in_order(name, args, kwargs)
            made = self._with_words(result, name, kwargs, in_order=in_order)
            # what a function given reads besides its group, a value given beside it
            return lend_whole(self._source, made, [*args, *kwargs.values()], name)

        return method

    def _call(self, attribute: Any, args: tuple, kwargs: dict) -> Any:
        return attribute(*args, **kwargs)

    def filter(self, func: Any, *args: Any, **kwargs: Any) -> Any:
        """pandas' filter of whole groups: the rows kept keep their own entries (moved, as a
        boolean filter moves them) and remember what chose them: the groups' keys, every
        column given to the function (whole: what it reads of each group cannot be seen)
        and what it can read besides. Where the rows of the groups it drops stay as gaps
        (``dropna=False``), every element also combines that choice."""
        result = self._grouped.filter(func, *args, **kwargs)
        source = self._source
        if not getattr(source, "_tracker", None) or not hasattr(result, "_fields"):
            return result
        read = given_arrays(source, [source, func, *args, *kwargs.values()])
        keys: _row_order.Keys = {
            name: [*arrays, *read[name]] for name, arrays in self._keys.items()
        }
        _row_order.remember(source, result, keys, "filter", _row_order.SELECTION)
        if kwargs.get("dropna", True):
            return result
        return _row_order.applied(result, result, in_order=False)

    def rolling(self, *args: Any, **kwargs: Any) -> TrackedGroupWindow:
        window = args[0] if args else kwargs.get("window")
        times = time_column(self._source, window, kwargs.get("on"))
        return TrackedGroupWindow(self, self._grouped.rolling(*args, **kwargs), "rolling", times)

    def expanding(self, *args: Any, **kwargs: Any) -> TrackedGroupWindow:
        return TrackedGroupWindow(self, self._grouped.expanding(*args, **kwargs), "expanding")

    def ewm(self, *args: Any, **kwargs: Any) -> TrackedGroupWindow:
        return TrackedGroupWindow(self, self._grouped.ewm(*args, **kwargs), "ewm")

    def __iter__(self) -> Any:
        """``(key, rows)`` per group, as pandas gives them: the rows keep their entries, and
        remember that the keys chose them (a value made of several of them, or rows of
        several groups put back together, depends on the keys)."""
        codes = self._codes()
        for number, (key, rows) in enumerate(self._grouped):
            yield key, self._members(rows, np.flatnonzero(codes == number))

    def _members(self, rows: Any, positions: np.ndarray) -> Any:
        """The group ``rows`` pandas made, with the entries of the source's ``positions``."""
        source = self._source
        tracker = getattr(source, "_tracker", None)
        if not tracker or not hasattr(rows, "_fields") or len(rows) != len(positions):
            return rows  # not placed: pandas' rows keep what they were given (unknown)
        object.__setattr__(rows, "_tracker", tracker)
        # where pandas moved a column's words with its values, the rows read them there
        if isinstance(rows, Series) and not read_carried(rows, source._fields, source):
            rows._set_fields(
                {
                    f.series_attr: gather(getattr(source, f.series_attr), positions, 0, f.dtype)
                    for f in source._fields
                }
            )
        elif isinstance(rows, DataFrame):
            moved = moved_columns(rows, source, column_origins(rows.columns, source.columns))
            rows._set_mappings(
                {
                    f.frame_attr: {
                        label: _moved_or_gathered(moved, label, array, positions, f)
                        for label, array in getattr(source, f.frame_attr).items()
                    }
                    for f in source._fields
                }
            )
        keys: _row_order.Keys = {name: list(arrays) for name, arrays in self._keys.items()}
        _row_order.remember(source, rows, keys, "groupby", _row_order.SELECTION)
        return rows

    def __len__(self) -> int:
        return len(self._grouped)

    def _codes(self) -> np.ndarray:
        """Each row's group number; -1 for a row in no group (a missing key)."""
        if not hasattr(self._grouped, "ngroup"):  # a resampler: its bins, in order
            return _bin_codes(self._grouped, len(self._source))
        numbers = self._grouped.ngroup()
        if numbers.dtype.kind in "iu":  # every row is in a group
            return numbers.to_numpy(dtype=np.int64)
        codes = numbers.to_numpy(dtype=np.float64, na_value=np.nan)
        return np.where(np.isnan(codes), -1, codes).astype(np.int64)

    def _group_entries(
        self, label: Any, codes: np.ndarray, name: str, kwargs: dict, n: int | None = None
    ) -> dict:
        """Per field, one entry per group for the result column ``label`` (``n`` groups
        numbered by ``codes``: pandas' groups by default)."""
        tracker = self._source._tracker
        n = self._grouped.ngroups if n is None else n
        words_field, *others = self._source._fields
        members = [*self._value_arrays(label, name, kwargs, words_field), *self._keys["_prov"]]
        words = combine_members(tracker, members, codes, n, OpCode.GROUP)
        entries = {words_field.series_attr: words}
        for f in others:
            if f.aggregate is not None:
                arrays = [*self._value_arrays(label, name, kwargs, f), *self._keys[f.series_attr]]
                entries[f.series_attr] = f.aggregate(tracker, arrays, codes, n, words, name)
        return entries

    def _with_words(
        self, result: Any, name: str, kwargs: dict, rows: Any = None, in_order: bool = True
    ) -> Any:
        """``result`` with its group's entries and the rows' selection, and their order
        when ``in_order``;
        ``rows``: the source row of each result row, for a result of source rows that
        pandas labelled anew (a group's window)."""
        source = self._source
        tracker = getattr(source, "_tracker", None)
        if not tracker or not isinstance(result, (Series, DataFrame)):
            return result
        codes = self._codes()
        if len(result) == len(source) and result.index.equals(source.index):
            rows = slice(None)
        member_codes = codes[rows] if rows is not None else None
        if member_codes is None:
            self._key_levels(result, codes)
        n_groups = self._grouped.ngroups
        from_neighbours = name in self.FROM_NEIGHBOURS
        if member_codes is None and (len(result) != n_groups or from_neighbours):
            # rows that are neither groups nor source rows (a function's own result), or
            # groups filled from others: each element may come from any group, so from every
            # member and key
            if not from_neighbours:
                refuse_under_strict(tracker, source._fields, name)
            codes, member_codes = np.zeros_like(codes), np.zeros(len(result), dtype=np.int64)
            n_groups = 1
        fields = {f.series_attr: f for f in source._fields}
        object.__setattr__(result, "_tracker", tracker)
        if isinstance(result, Series):
            entries = self._group_entries(result.name, codes, name, kwargs, n_groups)
            spread = {k: _spread(v, member_codes, len(result), fields[k].absent)
                      for k, v in entries.items()}  # fmt: skip
            if hasattr(result, "_set_fields"):
                result._set_fields(spread)
        else:
            mappings: dict[str, dict] = {fields[k].frame_attr: {} for k in fields}
            for label in result.columns:
                for k, v in self._group_entries(label, codes, name, kwargs, n_groups).items():
                    f = fields[k]
                    mappings[f.frame_attr][label] = _spread(v, member_codes, len(result), f.absent)
            result._set_mappings(mappings)
        self._record(result, member_codes)
        return held_as_words(_row_order.applied(source, result, in_order), source)

    def _record(self, result: Any, member_codes: np.ndarray | None) -> None:
        """Hand a road that records results (``_record_groups``) the result, the group of
        each of its rows (None: a row per group, in group order) and the groups' keys."""
        record = getattr(type(self._source), "_record_groups", None)
        if record is None:
            return
        n = self._grouped.ngroups
        sizes = self._grouped.size()
        if isinstance(sizes, DataFrame):  # as_index=False: the keys are columns beside "size"
            sizes = sizes.set_index(list(sizes.columns[:-1]))["size"]
        labels = list(sizes.index) if isinstance(sizes, Series) and len(sizes) == n else []
        if member_codes is None and len(result) != n:
            labels = []  # rows that are not the groups: values, but no group's key
        record(self._source, result, member_codes, labels)

    def _window_rows(self, result: Any) -> np.ndarray | None:
        """Source row of each row of a group's window result: pandas lists the groups in
        turn (as numbered), each group's rows in their order."""
        codes = self._codes()
        rows = np.argsort(codes, kind="stable")
        rows = rows[codes[rows] >= 0]
        return rows if len(rows) == len(result) else None

    def _key_levels(self, result: Any, codes: np.ndarray) -> None:
        """A result with a row per group is indexed by the keys: their words, per group,
        go with the index levels (``reset_index`` turns them back into columns)."""
        n = self._grouped.ngroups
        words_field, *others = self._source._fields
        keys = self._keys[words_field.series_attr]
        if len(result) != n or result.index.nlevels != len(keys) or not n:
            return
        tracker = self._source._tracker
        levels = [combine_members(tracker, [key], codes, n, OpCode.GROUP) for key in keys]
        index_words = {words_field.series_attr: levels}
        for f in others:
            if f.aggregate is not None and len(self._keys[f.series_attr]) == len(keys):
                index_words[f.series_attr] = [
                    f.aggregate(tracker, [key], codes, n, words, "group key")
                    for key, words in zip(self._keys[f.series_attr], levels, strict=True)
                ]
        object.__setattr__(result, "_index_words", index_words)

    def _value_arrays(self, label: Any, name: str, kwargs: dict, field: Any) -> list[np.ndarray]:
        """A field's arrays of the source column(s) a result column was computed from."""
        source = self._source
        if isinstance(source, Series):
            return [getattr(source, field.series_attr)]
        mapping = getattr(source, field.frame_attr)
        if name in _WHOLE_GROUP:
            # the function saw each group's whole frame: a result column named like a source
            # column (``g.a / g.b.sum()`` keeps the name "a") may be made of any of them
            return [a for key, a in mapping.items() if _is_value_column(source, key)]
        named = kwargs.get(label) if isinstance(label, str) else None
        if isinstance(named, tuple) and named:  # agg(new=("column", "mean"))
            label = named[0]
        if isinstance(label, tuple) and isinstance(source.columns, MultiIndex) is False:
            label = label[0]  # agg(["mean", "max"]) labels its columns (column, function)
        found = _lookup(mapping, label)
        if found is not None:
            return [found]
        # Unknown origin (a renamed or computed column): every value column may have fed it.
        return [a for key, a in mapping.items() if _is_value_column(source, key)]


#: Group methods (and functions named to ``agg``/``transform``) whose values depend on the
#: order of the rows in each group.
_IN_ORDER = frozenset(
    {"cumsum", "cumprod", "cummax", "cummin", "cumcount", "shift", "diff", "pct_change",
     "first", "last", "nth", "ffill", "bfill"}
)  # fmt: skip
_BY_FUNCTION = frozenset({"agg", "aggregate", "transform", "apply", "pipe"})
#: Group methods that hand a function each group's whole frame (``agg`` and ``transform``
#: hand it one column at a time).
_WHOLE_GROUP = frozenset({"apply", "pipe"})


def _reads_in_order(name: str, args: tuple, kwargs: dict) -> bool:
    """Whether a group method's values may depend on the order of each group's rows: an
    order-dependent method or function, ``rank(method="first")``, or a function of the
    user's (it may read the rows in order)."""
    if name == "rank":
        return kwargs.get("method") == "first"
    if name not in _BY_FUNCTION:
        return name in _IN_ORDER
    functions = _flatten_functions([*args[:1], *kwargs.values()])
    return any(callable(f) or f in _IN_ORDER for f in functions)


def _flatten_functions(entries: list) -> list:
    out: list = []
    for entry in entries:
        if isinstance(entry, dict):
            out.extend(_flatten_functions(list(entry.values())))
        elif isinstance(entry, (list, tuple)):
            out.extend(_flatten_functions(list(entry)))
        elif isinstance(entry, str) or callable(entry):
            out.append(entry)
    return out


class TrackedGroupWindow(WindowProxy):
    """A rolling, expanding or ewm window over each group: its results (source rows,
    labelled by group key and row) take their group's entries and the row order."""

    def __init__(self, groupby: TrackedGroupBy, window: Any, kind: str, times: Any = None) -> None:
        super().__init__(window, groupby._source, times)
        self._groupby = groupby
        self._kind = kind

    def _selected(self, key: Any) -> TrackedGroupWindow:
        groupby = self._groupby[key]
        return TrackedGroupWindow(groupby, self._window[key], self._kind, self._times)

    def _finish(self, name: str, result: Any, kwargs: dict) -> Any:
        groupby = self._groupby
        rows = groupby._window_rows(result) if isinstance(result, (Series, DataFrame)) else None
        if rows is None:
            return result
        return groupby._with_words(result, self._kind, kwargs, rows)


def _moved_or_gathered(
    moved: dict, label: Any, entries: np.ndarray, positions: np.ndarray, f: Any
) -> np.ndarray:
    """The entries of a group's column ``label``: those pandas moved with its values
    (see ``moved_columns``), else the source's ``entries`` at the group's ``positions``."""
    array = lookup(moved, label)
    if array is not None:
        return getattr(array, ARRAY_ENTRIES[f.series_attr])
    return gather(entries, positions, 0, f.dtype)


def _spread(entries: np.ndarray, codes: np.ndarray | None, n: int, absent: int) -> np.ndarray:
    if codes is not None:  # one result per source row: its group's entry (none for a dropped key)
        return gather(entries, codes, absent, entries.dtype)
    if len(entries) == n:
        return entries
    return np.full(n, entries[0] if len(entries) == 1 else absent, dtype=entries.dtype)


def _lookup(mapping: dict, label: Any) -> np.ndarray | None:
    try:
        return mapping.get(label)
    except TypeError:
        return None


def _is_value_column(frame: Any, label: Hashable) -> bool:
    try:
        return label in frame.columns
    except TypeError:
        return False


def key_arrays(source: Any, by: Any, level: Any = None) -> dict[str, list[np.ndarray]]:
    """Per field, the arrays of the group keys: named columns of the source (unknown for a
    column without entries), tracked series aligned on its rows, and index levels (named
    in ``by`` or given as ``level``) that came from columns; a tracked array by position; a
    function of the labels or a mapping, by what it reads (whole); plain data with a value
    per row, unknown. Other index levels lend none."""
    keys = [_grouped_by(source, key) for key in (by if isinstance(by, list) else [by])]
    given = [_given_key(source, key) for key in keys]
    out: dict[str, list[np.ndarray]] = {}
    for f in source._fields:
        arrays = out.setdefault(f.series_attr, [])
        for key, lent in zip(keys, given, strict=True):
            if lent is not None:
                arrays.append(lent[f.series_attr])
            elif isinstance(key, Series) and hasattr(key, f.series_attr):
                rows = row_positions(source.index, key)
                arrays.append(gather(getattr(key, f.series_attr), rows, f.absent, f.dtype))
            elif hasattr(source, f.frame_attr):
                found = _lookup(getattr(source, f.frame_attr), key)
                if found is None and _is_value_column(source, key) and source._tracker:
                    # a column without entries (assigned plain values) reads unknown
                    found = np.full(len(source), f.unknown(source._tracker), f.dtype)
                if found is not None:
                    arrays.append(found)
    levels = _level_names(source, keys, level)
    for name, level_arrays in _row_order.column_keys(_LevelsOnly(source), levels).items():
        out.setdefault(name, []).extend(a for a in level_arrays if a is not None)
    return out


class TrackedResampler(TrackedGroupBy):
    """A resampler's time bins as groups. pandas 2 computes a bin's values through the
    frame's own groupby, which is pandas' business here; upsampling fills a new bin from
    the rows of the bins beside it."""

    FROM_NEIGHBOURS = frozenset(
        {"ffill", "bfill", "pad", "backfill", "nearest", "interpolate", "fillna"}
    )

    def _call(self, attribute: Any, args: tuple, kwargs: dict) -> Any:
        args = tuple(as_user_code(a) for a in args)
        kwargs = {k: as_user_code(v) for k, v in kwargs.items()}
        with _inside_parent():
            return attribute(*args, **kwargs)


def resampled(source: Any, resampler: Any, on: Any, level: Any) -> TrackedResampler:
    """``resampler`` (``source.resample(...)``) as the groups it is: the rows of each time
    bin, chosen by the ``on`` column or the index ``level`` (the index itself by default)."""
    by = on if on is not None else Grouper(level=0 if level is None else level)
    return TrackedResampler(source, resampler, key_arrays(source, by))


def _grouped_by(source: Any, key: Any) -> Any:
    """What a ``pd.Grouper`` key groups by: the column it names, or the index level (the
    first when it names none); any other key as it is."""
    if not isinstance(key, Grouper):
        return key
    if key.key is not None:
        return key.key
    level = 0 if key.level is None else key.level
    return source.index.names[level] if isinstance(level, int) else level


def _bin_codes(resampler: Any, n: int) -> np.ndarray:
    """Each row's bin number (bins in time order, empty ones counted); -1 for no bin."""
    codes = np.full(n, -1, dtype=np.int64)
    rows = resampler.indices
    for number, label in enumerate(resampler.size().index):
        codes[rows.get(label, [])] = number
    return codes


def _given_key(source: Any, key: Any) -> dict[str, np.ndarray] | None:
    """Per field, the entries of a key that is neither a column nor a tracked series, for
    each row (module doc of ``key_arrays``); None for any other key."""
    n, fields = len(source), source._fields
    if not source._tracker:
        return None
    if isinstance(key, TrackedArray):
        found = {f.series_attr: array_entries(key, n, f.series_attr) for f in fields}
        if all(entries is not None for entries in found.values()):
            return {f.series_attr: np.asarray(found[f.series_attr], f.dtype) for f in fields}
    if not (user_function(key) or isinstance(key, dict) or unseen_rows(key)):
        return None
    return given_rows(source, [key], "groupby")


def _level_names(source: Any, keys: list, level: Any) -> list:
    """The names of the index levels that group the rows: ``level`` (names or numbers),
    and keys of ``by`` that name a level rather than a column."""
    names = list(source.index.names)
    given = level if isinstance(level, (list, tuple)) else [] if level is None else [level]
    picked = [names[g] if isinstance(g, int) and not isinstance(g, bool) else g for g in given]
    columns = getattr(source, "columns", ())
    picked += [k for k in keys if _is_label(k) and k in names and k not in columns]
    return [name for name in picked if name is not None]


def _is_label(key: Any) -> bool:
    try:
        hash(key)
    except TypeError:
        return False
    return not isinstance(key, (Series, np.ndarray))


class _LevelsOnly:
    """A container seen through its index levels alone (no columns), so that a key that
    names a level is read from the level's entries (see ``_row_order.column_keys``)."""

    columns: tuple = ()

    def __init__(self, source: Any) -> None:
        self.index = source.index
        self._fields = source._fields
        self._index_words = getattr(source, "_index_words", None)


# -- windows --------------------------------------------------------------------------------


def _column_entries(series: Any, n: int, name: str, op: int = OpCode.AGG) -> dict[str, np.ndarray]:
    """Per field, ``n`` entries of a value derived from the whole column."""
    fields = series._fields
    arrays = {f.series_attr: [getattr(series, f.series_attr)] for f in fields}
    entry = whole_entries(series._tracker, fields, arrays, name, op)
    return {
        f.series_attr: np.full(n, entry[f.series_attr], dtype=f.dtype)
        for f in fields
        if f.series_attr in entry
    }


class WindowingSeries(Windowing):
    """Windows (see ``_windows``) and whole-column results of a tracked series."""

    def _whole_column(self, result: Any, name: str, in_order: bool = False) -> Any:
        """``result``, derived from the whole column: each element combines every element,
        and the rows' selection (their order too when ``in_order``)."""
        source: Any = self
        tracker = getattr(source, "_tracker", None)
        if not isinstance(result, Series) or not tracker:
            return result
        entries = _column_entries(source, len(result), name)
        if not hasattr(result, "_set_fields"):  # pandas built a plain one (value_counts)
            result = type(source)(result, _tracker=tracker)
        object.__setattr__(result, "_tracker", tracker)
        result._set_fields(entries)
        result = _row_order.applied(source, result, in_order)
        return held_as_words(result, source)

    def rank(self, *args: Any, **kwargs: Any) -> Any:
        in_order = kwargs.get("method") == "first"  # ties ranked in the order of the rows
        result = super().rank(*args, **kwargs)  # type: ignore[misc]
        return self._whole_column(result, "rank", in_order)

    def value_counts(self, *args: Any, **kwargs: Any) -> Any:
        counts = self._whole_column(super().value_counts(*args, **kwargs), "value_counts")  # type: ignore[misc]
        return _labels.counted_labels(counts)

    def mode(self, *args: Any, **kwargs: Any) -> Any:
        return self._whole_column(super().mode(*args, **kwargs), "mode")  # type: ignore[misc]

    def unique(self) -> Any:
        """The distinct values, carrying one value made of the whole column and the rows'
        selection: which values are there, and in which order, depends on every element."""
        values = super().unique()  # type: ignore[misc]
        if not getattr(self, "_tracker", None) or _in_place_call():
            return values
        return _labels.values_with_entries(self, values, one_value(self, "unique")())

    def describe(self, *args: Any, **kwargs: Any) -> Any:
        # pandas describes any extension column as Float64: a words column as its values
        if holds_words(self):
            result = plain_view(self).describe(*args, **kwargs)
        else:
            result = super().describe(*args, **kwargs)  # type: ignore[misc]
        return self._whole_column(result, "describe")


# -- rows and columns of a frame --------------------------------------------------------------


class ReducingFrame:
    """``apply`` and reductions of a tracked frame: a row-wise result combines every tracked
    column of its row (a row function may read any of them), a column-wise one each
    column whole and the rows' selection; on the DAG road with one AGGREGATE node per
    result element."""

    def apply(self, func: Any, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        result = super().apply(func, axis, *args, **kwargs)  # type: ignore[misc]
        if not isinstance(result, DataFrame):
            made = self._reduced(result, axis, "apply")
        elif axis in (1, "columns"):  # a series per row: each of its elements, of the row
            made = self._across_row(result, "apply")
        else:  # a series per column: each of its elements, of the whole column, in order
            made = self._whole_columns(result, "apply", in_order=True)
        return lend_whole(self, made, [func, *args, *kwargs.values()], "apply")

    def describe(self, *args: Any, **kwargs: Any) -> Any:
        # pandas describes any extension column as Float64 (words columns: as their values),
        # and each column through a plain series of its own (words beside the columns: a
        # plain frame); each column's figures are made of the whole column and the rows'
        # selection, as a column's own describe makes them
        frame: Any = self
        described = frame._constructor(plain_view(self).describe(*args, **kwargs))
        return self._whole_columns(described, "describe", in_order=False)

    def rank(self, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        result = super().rank(axis, *args, **kwargs)  # type: ignore[misc]
        if axis in (1, "columns"):
            return self._across_row(result, "rank")
        # ties ranked in the order of the rows with method="first"
        return self._whole_columns(result, "rank", in_order=kwargs.get("method") == "first")

    def _whole_columns(self, result: Any, name: str, in_order: bool) -> Any:
        """``result``, each column derived from the whole same column of this frame (a
        rank down the columns), with the rows' selection (and order when ``in_order``)."""
        tracker = getattr(self, "_tracker", None)
        if not tracker or not hasattr(result, "_set_mappings") or _in_place_call():
            return result
        fields: Any = getattr(self, "_fields", ())
        mappings: dict[str, dict] = {f.frame_attr: {} for f in fields}
        for label in result.columns:
            arrays = {f.series_attr: [_lookup(getattr(self, f.frame_attr), label)] for f in fields}
            if any(a[0] is None for a in arrays.values()):
                continue  # a column without entries, or a label held twice: unknown
            entry = whole_entries(tracker, fields, arrays, name, OpCode.AGG)
            for f in fields:
                if f.series_attr in entry:
                    mappings[f.frame_attr][label] = np.full(
                        len(result), entry[f.series_attr], f.dtype
                    )
        object.__setattr__(result, "_tracker", tracker)
        result._set_mappings(mappings)
        return _row_order.applied(self, result, in_order)

    def _across_row(self, result: Any, name: str) -> Any:
        """``result`` (this frame's rows), each element computed from the elements of its
        row (a rank, a shift or a cumulative sum across the columns): it combines every
        tracked column of that row."""
        frame: Any = self
        tracker = getattr(frame, "_tracker", None)
        if not tracker or not hasattr(result, "_set_mappings") or _in_place_call():
            return result
        n = len(frame)
        if len(result) != n or not result.index.equals(frame.index):
            return result
        labels = [label for label in frame.columns if _is_value_column(frame, label)]
        rows = np.arange(n, dtype=np.int64)
        entries = _reduced_entries(frame, tracker, labels, rows, n, name)
        object.__setattr__(result, "_tracker", tracker)
        keys = [label for label in result.columns if _is_value_column(result, label)]
        result._set_mappings(
            {
                f.frame_attr: {label: entries[f.series_attr] for label in keys}
                if f.series_attr in entries
                else {}
                for f in frame._fields
            }
        )
        return result

    def dot(self, other: Any) -> Any:
        """``frame @ weights``: each row's value is a weighted sum of its columns, a row
        reduction. Weights of their own provenance (a tracked series) are not followed
        into it: such a product is unknown."""
        result = super().dot(other)  # type: ignore[misc]
        tracker = getattr(self, "_tracker", None)
        if getattr(other, "_fields", None) != getattr(self, "_fields", ()):
            return self._reduced(result, 1, "dot")
        if tracker and isinstance(result, Series) and hasattr(result, "_set_fields"):
            object.__setattr__(result, "_tracker", tracker)
            fields: Any = getattr(self, "_fields", ())
            result._set_fields(
                {f.series_attr: np.full(len(result), f.unknown(tracker), f.dtype) for f in fields}
            )
        return result

    def _reduced(self, result: Any, axis: Any, name: str) -> Any:
        tracker = getattr(self, "_tracker", None)
        if not tracker or not isinstance(result, Series) or not hasattr(result, "_set_fields"):
            return result
        if _in_place_call():  # a quiet call: pandas' own temporary (dropna's)
            return result
        frame: Any = self
        if axis in (1, "columns") and len(result) == len(frame):
            n = len(frame)
            labels = [label for label in frame.columns if _is_value_column(frame, label)]
            segments = np.arange(n, dtype=np.int64)
        elif axis in (0, "index", "rows"):
            n = len(result)
            labels = list(result.index)
            segments = None
        else:
            return result
        object.__setattr__(result, "_tracker", tracker)
        result._set_fields(_reduced_entries(frame, tracker, labels, segments, n, name))
        if segments is None:
            # down a column: the rows' selection counts, and a function's own (it may read
            # the rows in order) their order too; each row its own: which rows there are
            # does not matter
            with operation(name):  # a selection of unknown provenance is refused naming it
                result = _row_order.applied(frame, result, in_order=name == "apply")
        return held_as_words(result, frame)


def _unknown_column(f: Any, tracker: Any, n: int) -> np.ndarray:
    return np.full(n, f.unknown(tracker), dtype=f.dtype)


def _reduced_entries(
    frame: Any, tracker: Any, labels: list, segments: np.ndarray | None, n: int, name: str
) -> dict[str, np.ndarray]:
    """Per field, one entry per row (``segments`` the row of each element) or one per
    column (``segments`` None: every element of column ``labels[k]`` in segment k)."""
    words_field, *others = frame._fields
    entries = {}
    for f in (words_field, *others):
        mapping = getattr(frame, f.frame_attr)
        arrays = [_lookup(mapping, label) for label in labels]
        if segments is not None:
            # a column without entries is unknown in every row: so is what the row makes
            found = [a if a is not None else _unknown_column(f, tracker, n) for a in arrays]
            member_segments = [segments] * len(found)
        else:
            found, member_segments = [], []
            for k, a in enumerate(arrays):
                if a is not None:
                    found.append(a)
                    member_segments.append(np.full(len(a), k, dtype=np.int64))
        if f is words_field:
            if not found:
                words = np.zeros(n, dtype=np.uint32)
            elif segments is not None:  # every column's elements share the rows' segments
                words = combine_members(tracker, found, segments, n, OpCode.ROW)
            else:
                words = combine_segments(tracker, found, member_segments, n, OpCode.ROW)
            if segments is None:  # a column without words is unknown, not clean
                missing = [k for k, a in enumerate(arrays) if a is None]
                if missing:
                    words[missing] = tracker.unknown_word()
            entries[f.series_attr] = words
        elif f.aggregate is not None and found:
            all_nodes = np.concatenate(found)
            all_segments = np.concatenate(member_segments)
            entries[f.series_attr] = f.aggregate(
                tracker, [all_nodes], all_segments, n, entries[words_field.series_attr], name
            )
    return entries


def _reduction(name: str) -> Any:
    def reduce(self: Any, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        if axis is not None and holds_words(self):
            # pandas would gather a mix of words and plain columns as Python objects: the
            # values a plain frame gives, the words combined below
            values = getattr(plain_view(self), name)(*args, axis=axis, **kwargs)
            return self._reduced(self._constructor_sliced(values), axis, name)
        parent = getattr(super(ReducingFrame, self), name)
        return self._reduced(parent(*args, axis=axis, **kwargs), axis, name)

    reduce.__name__ = reduce.__qualname__ = name
    return reduce


# Reductions across a row or down a column.
_REDUCTIONS = (
    "sum", "mean", "median", "min", "max", "std", "var", "sem", "skew", "kurt", "prod",
    "count", "nunique", "any", "all", "idxmin", "idxmax",
)  # fmt: skip
for _name in _REDUCTIONS:
    setattr(ReducingFrame, _name, _reduction(_name))


report_warnings_at_caller(TrackedGroupBy)
