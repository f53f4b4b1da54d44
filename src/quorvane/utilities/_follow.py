"""Per-element provenance follows its rows through pandas: the one mechanism of both roads.

A tracked container keeps, beside pandas' data, arrays with one entry per element: the
words, and on the DAG road the node ids. pandas knows nothing of them; it hands them from
source to result by reference (its ``_metadata`` protocol), so on their own they would
stay where they were while the rows move. Every result that pandas builds from a tracked
source passes through ``__finalize__``; there the containers ask this module which source
row each result row came from (its *position*, ``NO_ROW`` for none) and gather their arrays
with it.

Positions come from the cheapest exact source available:

* a call that knows them (``take``, a boolean mask, a positional slice) announces them
  with :func:`known_rows` before pandas builds the result;
* equal indexes mean the same rows, in place (element-wise operations);
* otherwise, when the source index is unique, the labels say where each row came from.

Anything else cannot be followed: those elements get the *unknown* entry of their field
(see ``ProvenanceTracker.unknown_word``), never a neighbour's entry and never "clean".
A field is described by a :class:`Field`: the attribute name of a series, the attribute
name of a frame's per-column mapping, and the two fill entries.
"""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable, Hashable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import FrameType
from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series

#: Position of a result row that no source row produced.
NO_ROW = -1

_known = threading.local()
_operation = threading.local()


@contextmanager
def operation(name: str) -> Iterator[None]:
    """Name the operation under way, for the error of strict provenance."""
    saved = getattr(_operation, "name", None)
    _operation.name = name
    try:
        yield
    finally:
        _operation.name = saved


def current_operation() -> str:
    """The operation under way: the name given to ``operation``, else the pandas or
    quorvane function the user's code called (read off the stack when an error needs it)."""
    name = getattr(_operation, "name", None)
    if name and not name.endswith("operation"):
        return name
    called = _called_by_user()
    return f"{called}()" if called else (name or "an operation")


def _called_by_user() -> str | None:
    frame: FrameType | None = sys._getframe(1)
    called = None
    while frame is not None:
        module = frame.f_globals.get("__name__", "")
        if not module.startswith(("pandas", "quorvane", "numpy")):
            return called
        if not frame.f_code.co_name.startswith("_"):
            called = frame.f_code.co_name
        frame = frame.f_back
    return called


@dataclass(frozen=True)
class Field:
    """One per-element array of a container family.

    ``unknown(tracker)`` is the entry of an element whose origin cannot be followed;
    ``absent`` the entry of a cell that holds a fill value (the NaN of an alignment or an
    outer join), which derives from no source at all.
    """

    series_attr: str
    frame_attr: str
    dtype: Any
    absent: int
    unknown: Callable[[Any], int]


class TrackedArray(np.ndarray):
    """What numpy's element-wise functions (``np.where``, ``np.select``) return for tracked
    inputs: numpy's own array, unchanged for every numpy and pandas purpose, carrying the
    words of its elements (``_prov``) and their tracker. An operation with a tracked series
    or an assignment into a tracked frame reads them by position, as pandas reads the array.
    """

    _prov: np.ndarray | None
    _tracker: Any

    def __array_finalize__(self, obj: Any) -> None:
        # A view of the same elements keeps their words; anything reshaped or cut has none.
        same = obj is not None and getattr(obj, "shape", None) == self.shape
        self._prov = getattr(obj, "_prov", None) if same else None
        self._tracker = getattr(obj, "_tracker", None)


def tracked_array(values: np.ndarray, words: np.ndarray, tracker: Any) -> TrackedArray:
    out = np.asarray(values).view(TrackedArray)
    out._prov = words
    out._tracker = tracker
    return out


def array_words(value: Any, n: int) -> np.ndarray | None:
    """The words a tracked array lends to ``n`` elements, or None."""
    words = getattr(value, "_prov", None) if isinstance(value, TrackedArray) else None
    if words is None or np.ndim(value) != 1 or len(words) != n:
        return None
    return words


def followed_attribute(name: str) -> property:
    """A series' per-element array as an attribute that records, when set, that the series
    has its own arrays (a series pandas built from bare values has not: see ``_followed``)."""
    key = name + "_array"

    def get(self: Any) -> Any:
        try:
            return self.__dict__[key]
        except KeyError:
            raise AttributeError(name) from None

    def set_(self: Any, value: Any) -> None:
        self.__dict__[key] = value
        self.__dict__["_followed"] = True

    return property(get, set_)


# -- positions ----------------------------------------------------------------------------


@contextmanager
def known_rows(source: Any, positions: np.ndarray) -> Iterator[None]:
    """Announce that the next result pandas builds from ``source`` takes these rows."""
    stack = getattr(_known, "stack", None)
    if stack is None:
        stack = _known.stack = []
    stack.append((source, positions))
    try:
        yield
    finally:
        stack.pop()


def _announced(source: Any, n: int) -> np.ndarray | None:
    stack = getattr(_known, "stack", None)
    if stack:
        announced, positions = stack[-1]
        if announced is source and len(positions) == n:
            return positions
    return None


def positions_of_slice(slobj: slice, n: int) -> np.ndarray:
    return np.arange(n, dtype=np.intp)[slobj]


def positions_of_take(indices: Any, n: int) -> np.ndarray:
    positions = np.asarray(indices, dtype=np.intp).copy()
    positions[positions < 0] += n
    return positions


def row_positions(result_index: pd.Index, source: Any) -> np.ndarray | None:
    """Source position of each result row; None when the rows are the source's, in place."""
    source_index = source.index
    announced = _announced(source, len(result_index))
    if announced is not None:
        return announced
    if result_index is source_index:
        return None
    if len(result_index) == len(source_index) and result_index.equals(source_index):
        return None
    if source_index.is_unique:
        return source_index.get_indexer(result_index)
    return np.full(len(result_index), NO_ROW, dtype=np.intp)


Fill = int | Callable[[], int]


def gather(array: Any, positions: np.ndarray | None, fill: Fill, dtype: Any) -> np.ndarray:
    """Entries of ``array`` at ``positions``; ``fill`` (or what it returns when called, only
    if needed) where a position is NO_ROW."""
    array = np.asarray(array, dtype=dtype)
    if positions is None:
        return array
    missing = positions < 0
    # NO_ROW reads the last entry; overwritten below
    out = array.take(positions) if len(array) else np.zeros(len(positions), dtype=dtype)
    if missing.any():
        out[missing] = fill() if callable(fill) else fill
    return out


def unknown_fill(field: Field, tracker: Any) -> Fill:
    """The entry of elements that cannot be followed, made only when one turns up (the
    tracker registers its unknown source on first use)."""
    if not tracker:
        return field.absent
    return lambda: field.unknown(tracker)


def full(n: int, field: Field, fill: Fill) -> np.ndarray:
    """``n`` entries of ``fill`` (called only when there is an entry to make)."""
    value = (fill() if callable(fill) else fill) if n else 0
    return np.full(n, value, dtype=field.dtype)


# -- columns ------------------------------------------------------------------------------


def column_origins(result_columns: pd.Index, source_columns: pd.Index) -> list[Hashable | None]:
    """The source column label each result column holds, by label, or by position when the
    columns were relabelled one for one (``rename``, ``add_prefix``, ``set_axis``)."""
    if result_columns.equals(source_columns):
        return list(source_columns)
    source_labels = set(source_columns)
    by_label = [label if _has(source_labels, label) else None for label in result_columns]
    if None in by_label and len(result_columns) == len(source_columns):
        return list(source_columns)
    return by_label


def _has(labels: set, label: Any) -> bool:
    try:
        return label in labels
    except TypeError:
        return False


def lookup(mapping: dict, label: Any) -> Any:
    """``mapping[label]``, or None for a missing or unhashable label."""
    try:
        return mapping.get(label)
    except TypeError:
        return None


# -- concat -------------------------------------------------------------------------------


def concat_pieces(result: Any, objs: list) -> tuple[str, list]:
    """How a ``pd.concat`` result is made of its inputs: ("rows", objs) when they were
    stacked, ("columns", objs) when placed side by side."""
    n_rows = sum(len(obj) for obj in objs)
    if isinstance(result, Series) or len(result) == n_rows:
        stacked = (
            all(set(getattr(obj, "columns", [])) <= set(result.columns) for obj in objs)
            if isinstance(result, DataFrame)
            else True
        )
        if stacked:
            return "rows", objs
    return "columns", objs


# -- the container families ---------------------------------------------------------------

# pandas methods that give their rows new labels without moving them.
_RELABEL_ROWS = frozenset({"reset_index", "set_axis", "rename_axis", "droplevel", "to_frame"})
# pandas methods whose result rows are not rows of the source (labels would only mislead).
_NEW_ROWS = frozenset(
    {
        "transpose",
        "stack",
        "unstack",
        "melt",
        "pivot_table",
        "describe",
        "corr",
        "cov",
        "count",
        "quantile",
        "explode",
        "mode",
        "value_counts",
        "idxmin",
        "idxmax",
        "dot",
        "apply",
        "groupby",
        "any",
        "all",
        "min",
        "max",
        "sum",
        "prod",
        "mean",
        "median",
        "sem",
        "var",
        "std",
        "skew",
        "kurt",
    }
)


def _followed(result: Any, fields: tuple[Field, ...]) -> bool:
    """Whether ``result`` got its arrays from its sources (not pandas' bare defaults)."""
    return _same_family(result, fields) and getattr(result, "_followed", False)


def _same_family(obj: Any, fields: tuple[Field, ...]) -> bool:
    return getattr(obj, "_fields", None) == fields


def _rows_from(result: Any, source: Any, method: str | None) -> np.ndarray | None:
    if method in _NEW_ROWS:
        return np.full(len(result), NO_ROW, dtype=np.intp)
    if method in _RELABEL_ROWS and len(result) == len(source):
        return None
    return row_positions(result.index, source)


def _tracker_of(objs: list) -> Any:
    for obj in objs:
        tracker = getattr(obj, "_tracker", None)
        if tracker is not None:
            return tracker
    return None


# -- sorts whose labels cannot tell the rows ------------------------------------------------

_ROW_LABEL = "__quorvane_row__"


def sorted_positions(obj: Any, method: str, args: tuple, kwargs: dict) -> np.ndarray | None:
    """Row positions a sort will give, worked out beforehand when the labels cannot tell
    them afterwards (a non-unique index, ``ignore_index``); None when they can, or for a
    column sort.

    The same pandas sort runs on a stand-in that carries the positions: as the values of
    a series on the same index (``sort_index``), under a positional index (a series'
    ``sort_values``), or in an extra column (a frame's ``sort_values``, whose keys are
    named columns or levels, so an extra column changes nothing).
    """
    if kwargs.get("axis", 0) not in (0, "index"):
        return None
    if obj.index.is_unique and not kwargs.get("ignore_index"):
        return None
    kwargs = {k: v for k, v in kwargs.items() if k not in ("inplace", "ignore_index")}
    rows = np.arange(len(obj), dtype=np.intp)
    if method == "sort_index":
        kwargs.pop("axis", None)
        stand_in = Series(rows, index=obj.index)
        return stand_in.sort_index(*args, **kwargs).to_numpy()
    if isinstance(obj, Series):
        stand_in = Series(obj.to_numpy(), index=pd.RangeIndex(len(obj)))
        return stand_in.sort_values(*args, **kwargs).index.to_numpy()
    stand_in = DataFrame(obj, copy=False).copy(deep=False)
    stand_in[_ROW_LABEL] = rows
    return stand_in.sort_values(*args, **kwargs)[_ROW_LABEL].to_numpy()


class SortsFollow:
    """``sort_values``/``sort_index`` that announce their rows on a non-unique index."""

    def sort_values(self, *args: Any, **kwargs: Any) -> Any:
        return self._sort("sort_values", args, kwargs)

    def sort_index(self, *args: Any, **kwargs: Any) -> Any:
        return self._sort("sort_index", args, kwargs)

    def _sort(self, method: str, args: tuple, kwargs: dict) -> Any:
        parent = getattr(super(), method)
        positions = sorted_positions(self, method, args, kwargs)
        if positions is None:
            return parent(*args, **kwargs)
        with known_rows(self, positions):
            result = parent(*args, **kwargs)
        return result


class FollowingSeries(SortsFollow):
    """Series half of a family: per-element arrays follow their rows (see module doc)."""

    _fields: tuple[Field, ...] = ()

    def _set_fields(self, arrays: dict[str, np.ndarray]) -> None:
        for name, array in arrays.items():
            object.__setattr__(self, name, array)

    def __finalize__(self, other: Any, method: str | None = None, **kwargs: Any) -> Any:
        result = super().__finalize__(other, method=method, **kwargs)  # type: ignore[misc]
        with operation(method or "operation"):
            result._follow_from(other, method)
        return result

    def _follow_from(self, other: Any, method: str | None) -> None:
        result, fields = self, self._fields
        if _same_family(other, fields) and isinstance(other, Series):
            positions = _rows_from(result, other, method)
            tracker = getattr(result, "_tracker", None)
            result._set_fields(
                {
                    f.series_attr: gather(
                        getattr(other, f.series_attr),
                        positions,
                        unknown_fill(f, tracker),
                        f.dtype,
                    )
                    for f in fields
                }
            )
        elif _same_family(other, fields) and isinstance(other, DataFrame):
            result._set_fields(_column_of(result, other))
        elif method == "concat":
            objs = list(getattr(other, "objs", []))
            object.__setattr__(result, "_tracker", _tracker_of(objs))
            result._set_fields(_stacked_series(result, objs))
        # Anything else (a scalar operand, an untracked object) lends no arrays: pandas
        # finalises from every operand of an operation in turn.

    # Calls that know which rows they take announce them (see known_rows).

    def take(self, indices: Any, axis: Any = 0, **kwargs: Any) -> Any:
        positions = positions_of_take(indices, len(self))  # type: ignore[arg-type]
        with known_rows(self, positions):
            return super().take(indices, axis=axis, **kwargs)  # type: ignore[misc]

    def _slice(self, slobj: slice, axis: Any = 0, new_index: Any = None) -> Any:
        with known_rows(self, positions_of_slice(slobj, len(self))):  # type: ignore[arg-type]
            return super()._slice(slobj, axis=axis, new_index=new_index)  # type: ignore[misc]

    def _get_rows_with_mask(self, indexer: np.ndarray) -> Any:
        with known_rows(self, np.flatnonzero(indexer)):
            return super()._get_rows_with_mask(indexer)  # type: ignore[misc]

    def _update_inplace(self, result: Any) -> None:
        if _followed(result, self._fields):  # an operator's result (``+=``): its own words
            arrays = {f.series_attr: getattr(result, f.series_attr) for f in self._fields}
            super()._update_inplace(result)  # type: ignore[misc]
            self._set_fields(arrays)
            return
        # pandas hands over a result it built without __finalize__: find its rows here.
        positions = row_positions(result.index, self)
        tracker = getattr(self, "_tracker", None)
        arrays = {
            f.series_attr: gather(
                getattr(self, f.series_attr), positions, unknown_fill(f, tracker), f.dtype
            )
            for f in self._fields
        }
        super()._update_inplace(result)  # type: ignore[misc]
        self._set_fields(arrays)


def _column_of(result: Any, frame: Any) -> dict[str, np.ndarray]:
    """Arrays of a series that pandas cut out of ``frame``: one of its columns, with the
    frame's rows (``frame[c]``, ``frame.iloc[:, j]``, ``frame.pop(c)``, ``items()``)."""
    n = len(result)
    tracker = getattr(frame, "_tracker", None)
    index = frame.index
    is_column = result.index is index or (n == len(index) and result.index.equals(index))
    out = {}
    for f in frame._fields:
        fill = unknown_fill(f, tracker)
        array = lookup(getattr(frame, f.frame_attr), result.name) if is_column else None
        if array is None or len(array) != n:
            out[f.series_attr] = full(n, f, fill)
        else:
            out[f.series_attr] = np.asarray(array, dtype=f.dtype)
    return out


def _series_fields(obj: Any, fields: tuple[Field, ...], tracker: Any) -> dict[str, np.ndarray]:
    """The arrays of a piece of a concat: its own when it is of the family, else unknown."""
    if _same_family(obj, fields) and isinstance(obj, Series):
        return {f.series_attr: np.asarray(getattr(obj, f.series_attr), f.dtype) for f in fields}
    return {f.series_attr: full(len(obj), f, unknown_fill(f, tracker)) for f in fields}


def _stacked_series(result: Any, objs: list) -> dict[str, np.ndarray]:
    fields = result._fields
    tracker = _tracker_of(objs)
    pieces = [_series_fields(obj, fields, tracker) for obj in objs]
    out = {}
    for f in fields:
        parts = [piece[f.series_attr] for piece in pieces]
        out[f.series_attr] = np.concatenate(parts) if parts else np.empty(0, f.dtype)
    return out


class FollowingFrame(SortsFollow):
    """Frame half of a family: per-column arrays follow rows and column labels."""

    _fields: tuple[Field, ...] = ()

    def _mappings(self) -> dict[str, dict]:
        return {f.frame_attr: getattr(self, f.frame_attr) for f in self._fields}

    def _set_mappings(self, mappings: dict[str, dict]) -> None:
        for name, mapping in mappings.items():
            object.__setattr__(self, name, mapping)
        object.__setattr__(self, "_followed", True)

    def __finalize__(self, other: Any, method: str | None = None, **kwargs: Any) -> Any:
        result = super().__finalize__(other, method=method, **kwargs)  # type: ignore[misc]
        with operation(method or "operation"):
            result._follow_from(other, method)
        return result

    def _follow_from(self, other: Any, method: str | None) -> None:
        result, fields = self, self._fields
        if _same_family(other, fields) and isinstance(other, DataFrame):
            result._set_mappings(_frame_from_frame(result, other, method))
        elif _same_family(other, fields) and isinstance(other, Series):
            result._set_mappings(_frame_from_series(result, other, method))
        elif method == "concat":
            objs = list(getattr(other, "objs", []))
            object.__setattr__(result, "_tracker", _tracker_of(objs))
            result._set_mappings(_concatenated_frame(result, objs))

    def take(self, indices: Any, axis: Any = 0, **kwargs: Any) -> Any:
        if axis not in (0, "index", "rows"):
            return super().take(indices, axis=axis, **kwargs)  # type: ignore[misc]
        positions = positions_of_take(indices, len(self))  # type: ignore[arg-type]
        with known_rows(self, positions):
            return super().take(indices, axis=axis, **kwargs)  # type: ignore[misc]

    def _slice(self, slobj: slice, axis: Any = 0, new_index: Any = None) -> Any:
        if axis != 0:
            return super()._slice(slobj, axis=axis, new_index=new_index)  # type: ignore[misc]
        with known_rows(self, positions_of_slice(slobj, len(self))):  # type: ignore[arg-type]
            return super()._slice(slobj, axis=axis, new_index=new_index)  # type: ignore[misc]

    def _update_inplace(self, result: Any) -> None:
        if _followed(result, self._fields):
            mappings = {k: dict(v) for k, v in result._mappings().items()}
        else:
            # pandas hands over a result it built without __finalize__: find its rows and
            # columns here, from this frame's own arrays.
            tracker = getattr(self, "_tracker", None)
            mappings = _frame_from_frame(result, self, None, tracker=tracker)
        super()._update_inplace(result)  # type: ignore[misc]
        self._set_mappings(mappings)

    def _set_axis(self, axis: int, labels: Any) -> None:
        # Manager axis 0 of a frame is its columns: relabelled one for one, in place.
        old = self.columns if axis == 0 else None  # type: ignore[attr-defined]
        super()._set_axis(axis, labels)  # type: ignore[misc]
        if old is None or not hasattr(self, "_fields"):
            return
        new = self.columns  # type: ignore[attr-defined]
        if len(new) != len(old):
            return
        remapped = {}
        for name, mapping in self._mappings().items():
            remapped[name] = {
                new_label: mapping[old_label]
                for old_label, new_label in zip(old, new, strict=True)
                if lookup(mapping, old_label) is not None
            }
        self._set_mappings(remapped)

    # -- columns set, inserted and deleted in place -----------------------------------------

    def __setitem__(self, key: Any, value: Any) -> None:
        super().__setitem__(key, value)  # type: ignore[misc]
        self._adopt(key, value)

    def insert(self, loc: int, column: Any, value: Any, *args: Any, **kwargs: Any) -> None:
        super().insert(loc, column, value, *args, **kwargs)  # type: ignore[misc]
        self._adopt(column, value)

    def __delitem__(self, key: Any) -> None:
        super().__delitem__(key)  # type: ignore[misc]
        for mapping in self._mappings().values():
            if lookup(mapping, key) is not None:
                del mapping[key]

    def _adopt(self, key: Any, value: Any) -> None:
        """Arrays of columns just assigned: a tracked series brings its own (aligned on the
        index as pandas aligns its values), a scalar derives from nothing, anything else
        (a plain array, an untracked series) is unknown."""
        labels = key if isinstance(key, list) else [key]
        if isinstance(value, DataFrame) and len(value.columns) == len(labels):
            sources: list[Any] = [value.iloc[:, j] for j in range(len(labels))]
        elif isinstance(value, Series) and len(labels) > 1:
            sources = [None] * len(labels)  # pandas spreads it over the columns, not rows
        else:
            sources = [value] * len(labels)
        own = self._mappings()
        tracker = getattr(self, "_tracker", None)
        for label, source in zip(labels, sources, strict=True):
            try:
                hash(label)
            except TypeError:
                continue
            for f in self._fields:
                array = _assigned(self, source, f)
                if array is None and getattr(tracker, "strict", False):
                    with operation(f"assignment to column {label!r}"):
                        f.unknown(tracker)  # raises under strict provenance
                if array is None:
                    own[f.frame_attr].pop(label, None)
                else:
                    own[f.frame_attr][label] = array

    # -- joins: pandas runs them with a row tracer on each side ------------------------------

    def merge(self, right: Any, *args: Any, **kwargs: Any) -> Any:
        from ._joins import traced_join

        return traced_join(self, right, "merge", args, kwargs)

    def join(self, other: Any, *args: Any, **kwargs: Any) -> Any:
        from ._joins import traced_join

        return traced_join(self, other, "join", args, kwargs)


def _assigned(frame: Any, value: Any, f: Field) -> np.ndarray | None:
    n = len(frame)
    if _followed(value, frame._fields) and isinstance(value, Series):
        positions = row_positions(frame.index, value) if len(value) else None
        return gather(getattr(value, f.series_attr), positions, f.absent, f.dtype).copy()
    if value is not None and np.ndim(value) == 0 and not isinstance(value, DataFrame):
        return np.full(n, f.absent, dtype=f.dtype)
    if f.series_attr == "_prov":
        return array_words(value, n)
    return None


def _frame_from_frame(
    result: Any, other: Any, method: str | None, tracker: Any = None
) -> dict[str, dict]:
    positions = _rows_from(result, other, method)
    origins = column_origins(result.columns, other.columns)
    tracker = tracker if tracker is not None else getattr(result, "_tracker", None)
    out: dict[str, dict] = {}
    for f in other._fields:
        source = getattr(other, f.frame_attr)
        fill = unknown_fill(f, tracker)
        mapping = {}
        for label, origin in zip(result.columns, origins, strict=True):
            array = lookup(source, origin) if origin is not None else None
            if array is not None and _has_key(label):
                mapping[label] = gather(array, positions, fill, f.dtype)
        out[f.frame_attr] = mapping
    return out


def _has_key(label: Any) -> bool:
    try:
        hash(label)
    except TypeError:
        return False
    return True


def _frame_from_series(result: Any, series: Any, method: str | None) -> dict[str, dict]:
    """A frame built from one series (``to_frame``, the dummies of a column, a series'
    ``reset_index``): its columns derive from the series, except index levels turned
    into columns."""
    positions = _rows_from(result, series, method)
    tracker = getattr(result, "_tracker", None)
    value_columns = list(result.columns)
    if method == "reset_index":
        name = series.name if series.name is not None else 0
        value_columns = [label for label in result.columns if label == name][-1:]
    out: dict[str, dict] = {}
    for f in result._fields:
        fill = unknown_fill(f, tracker)
        array = gather(getattr(series, f.series_attr), positions, fill, f.dtype)
        out[f.frame_attr] = {label: array for label in value_columns if _has_key(label)}
    return out


def _frame_pieces(obj: Any, fields: tuple[Field, ...]) -> tuple[list, dict[str, list]]:
    """Column labels of a concat input and, per field, each column's array (None: unknown)."""
    if isinstance(obj, Series):
        labels = [obj.name if obj.name is not None else 0]
        arrays = {
            f.frame_attr: [getattr(obj, f.series_attr, None) if _same_family(obj, fields) else None]
            for f in fields
        }
        return labels, arrays
    labels = list(obj.columns)
    arrays = {
        f.frame_attr: [
            lookup(getattr(obj, f.frame_attr), label) if _same_family(obj, fields) else None
            for label in labels
        ]
        for f in fields
    }
    return labels, arrays


def _is_pandas_get_dummies(frame: FrameType) -> bool:
    module = frame.f_globals.get("__name__", "")
    return frame.f_code.co_name == "get_dummies" and module.startswith("pandas.")


def _dummy_sources(objs: list) -> dict[int, Any]:
    """For the concat that ends ``pd.get_dummies``: which input holds the dummies of which
    encoded column. pandas builds the dummy frames from the columns' bare values, so the
    columns they derive from are read off the ``get_dummies`` call on the stack."""
    frame: FrameType | None = sys._getframe(1)
    while frame is not None and not _is_pandas_get_dummies(frame):
        frame = frame.f_back
    if frame is None:
        return {}
    encoded = frame.f_locals.get("data_to_encode")
    if not isinstance(encoded, DataFrame):
        return {}
    columns = [encoded.iloc[:, j] for j in range(encoded.shape[1])]
    offset = len(objs) - len(columns)
    return {offset + j: column for j, column in enumerate(columns) if offset >= 0}


def _concatenated_frame(result: Any, objs: list) -> dict[str, dict]:
    fields = result._fields
    tracker = _tracker_of(objs)
    mode, _ = concat_pieces(result, objs)
    out: dict[str, dict] = {f.frame_attr: {} for f in fields}
    pieces = [_frame_pieces(obj, fields) for obj in objs]
    for k, series in _dummy_sources(objs).items():
        if _same_family(series, fields):
            labels = pieces[k][0]
            pieces[k] = (
                labels,
                {f.frame_attr: [getattr(series, f.series_attr)] * len(labels) for f in fields},
            )
    if mode == "rows":
        for f in fields:
            fill = unknown_fill(f, tracker)
            for label in result.columns:
                parts = []
                for obj, (labels, arrays) in zip(objs, pieces, strict=True):
                    if label in labels:
                        array = arrays[f.frame_attr][labels.index(label)]
                        parts.append(
                            full(len(obj), f, fill) if array is None else np.asarray(array, f.dtype)
                        )
                    else:  # pandas fills the column of this piece with NaN
                        parts.append(np.full(len(obj), f.absent, f.dtype))
                if _has_key(label):
                    out[f.frame_attr][label] = np.concatenate(parts)
        return out
    position = 0
    for obj, (labels, arrays) in zip(objs, pieces, strict=True):
        rows = row_positions(result.index, obj)
        for j in range(len(labels)):
            if position >= len(result.columns):
                break
            label = result.columns[position]
            position += 1
            for f in fields:
                array = arrays[f.frame_attr][j]
                if array is not None and _has_key(label):
                    out[f.frame_attr][label] = gather(array, rows, f.absent, f.dtype)
    return out
