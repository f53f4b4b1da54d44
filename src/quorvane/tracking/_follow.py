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

A column whose values a words array holds together with the entries it reads (see
``_storage``: every numeric, boolean and text column, and the columns the containers make
from them) is not followed: pandas moved its entries with its values, and the result reads
them there. Following remains for the rest: entries kept beside the values (datetimes,
categories, ``QUORVANE_WORDS_IN_ARRAYS=0``), and arrays whose words are no longer the
values' own (a gap an alignment filled, a value written into place).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from pandas import DataFrame, MultiIndex, Series, isna
from pandas.api.types import is_scalar

from ..core._operations import current_operation, operation
from . import _index_words as index_words
from . import _row_order as row_order
from ._array import WordsArray
from ._arrays import TrackedArray, tracked_array
from ._assignments import WritesFollow, column_value, written
from ._caller_warnings import report_warnings_at_caller
from ._calls import _inside_parent
from ._compat import finalized_inputs
from ._concat import _concatenated_frame, _stacked_series, concat_tracker, note_columns_cut
from ._element_reads import ElementReads
from ._elementwise import array_entries, array_words
from ._labels import LabelSelections, selected_by_positions
from ._plain_values import holds_words
from ._positions import (
    ARRAY_ENTRIES,
    NO_ROW,
    PENDING,
    Field,
    _followed,
    _has_key,
    _same_family,
    _tracker_of,
    carried_array,
    carried_column,
    carried_columns,
    column_origins,
    followed_attribute,
    full,
    gather,
    known_rows,
    lookup,
    moved_columns,
    operands_aligned,
    positions_of_slice,
    positions_of_take,
    read_carried,
    reads_carried,
    row_positions,
    unknown_fill,
)
from ._reshape import reshaped
from ._scalars import scalar_entries
from ._selections import SelectingLoc, SelectionsFollow, frame_columns
from ._sorts import SortsFollow

__all__ = [
    "NO_ROW",
    "Field",
    "FollowingFrame",
    "FollowingSeries",
    "TrackedArray",
    "array_entries",
    "array_words",
    "current_operation",
    "followed_attribute",
    "gather",
    "known_rows",
    "lookup",
    "operands_aligned",
    "operation",
    "row_positions",
    "tracked_array",
    "unknown_fill",
]


# -- the container families ---------------------------------------------------------------


def _in_parent_call() -> bool:
    # pandas' own assignments inside one of the containers' calls build no words
    from ._calls import _in_parent

    return _in_parent()


# pandas' own descriptor of a frame's column labels (see FollowingFrame.columns)
_COLUMNS: Any = DataFrame.columns

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


def _unknown_when_read(method: str) -> Callable[[Any], None]:
    """The arrays of a result whose rows are not its source's (``_NEW_ROWS``): the
    operations that build such results give them their entries right after; one that does
    not leaves them unknown, made (and under strict provenance refused) only when read."""

    def unknown(result: Any) -> None:
        tracker = getattr(result, "_tracker", None)
        with operation(method):
            result._set_fields(
                {
                    f.series_attr: full(len(result), f, _unknown_of(f, tracker))
                    for f in result._fields
                }
            )

    return unknown


def _unknown_of(f: Field, tracker: Any) -> int | Callable[[], int]:
    # not ``unknown_fill``: what an alignment fills is NaN, what is read here is a value
    return (lambda: f.unknown(tracker)) if tracker else f.absent


def _rows_from(result: Any, source: Any, method: str | None) -> np.ndarray | None:
    if method in _NEW_ROWS:
        return np.full(len(result), NO_ROW, dtype=np.intp)
    if method in _RELABEL_ROWS and len(result) == len(source):
        return None
    return row_positions(result.index, source)


#: The source row of each result row (see ``row_positions``), worked out when first asked:
#: a result whose words pandas moved with its values needs them only for its index words.
_Rows = Callable[[], np.ndarray | None]


def _rows_when_asked(result: Any, source: Any, method: str | None) -> _Rows:
    found: list = []

    def rows() -> np.ndarray | None:
        if not found:
            found.append(_rows_from(result, source, method))
        return found[0]

    return rows


def _given_rows(positions: np.ndarray | None) -> _Rows:
    return lambda: positions


class _FollowsFrom:
    """Every result pandas builds from a source passes through ``__finalize__``: there its
    arrays are made from the source's (``_follow_from`` of each family)."""

    def __finalize__(self, other: Any, method: str | None = None, **kwargs: Any) -> Any:
        # pandas copies the source's attributes first: a source still waiting for its
        # arrays (PENDING) hands on the wait (see _follow_from), not arrays made for it now
        waiting = getattr(other, "__dict__", {}).pop(PENDING, None)
        try:
            result = super().__finalize__(other, method=method, **kwargs)  # type: ignore[misc]
        finally:
            if waiting is not None:
                other.__dict__[PENDING] = waiting
        with operation(method or "operation"):
            result._follow_from(other, method)
        return result

    def reindex(self, *args: Any, **kwargs: Any) -> Any:
        # pandas' own, as an entry point of the containers: an error of strict provenance
        # (labels that are not there) names it
        return _spread_back(self, super().reindex(*args, **kwargs))  # type: ignore[misc]

    def align(self, other: Any, *args: Any, **kwargs: Any) -> Any:
        # against a series, pandas fills each side's missing values (``fill_value``) before
        # it hands the side its source's words (a series' side is built from bare values
        # until then): filled here after, as pandas fills them
        deferred = isinstance(other, Series) and not {"method", "limit"} & set(kwargs)
        fill = kwargs.pop("fill_value", None) if deferred else None
        with operands_aligned():  # a label added to one side holds a fill, of no source
            left, right = super().align(other, *args, **kwargs)  # type: ignore[misc]
        left, right = _spread_back(self, left), _spread_back(other, right)
        row_order.chosen_with(left, self, other)
        row_order.chosen_with(right, other, self)
        if fill is not None and not (is_scalar(fill) and isna(fill)):
            return left.fillna(fill), right.fillna(fill)
        return left, right


def _spread_back(source: Any, result: Any) -> Any:
    """``result`` (``source`` reindexed or aligned), with every element combining
    ``source``'s selection when filtered rows were spread onto labels they lack: the
    condition decided which labels hold a value and which a fill."""
    if not isinstance(result, (Series, DataFrame)) or result is source:
        return result
    if not hasattr(source, "_fields") or _moved_whole(result):
        return result
    if row_order.aligned_back(None, source, row_positions(result.index, source)):
        return row_order.applied(source, result, in_order=False)
    return result


def _moved_whole(result: Any) -> bool:
    """Whether pandas moved every value of ``result`` with its words, from a row of its
    source (a gap pandas fills makes its array's words no longer carried)."""
    if isinstance(result, Series):
        return carried_array(result) is not None
    return len(result.columns) > 0 and len(carried_columns(result)) == len(result.columns)


def _reshaping(pandas_class: type, name: str, keys: tuple = ()) -> Callable[..., Any]:
    """pandas' reshape ``name``, with the entries moved by the same call (see ``_reshape``);
    the columns that the arguments ``keys`` name shape the result by their values."""
    method = getattr(pandas_class, name)

    def reshape(self: Any, *args: Any, **kwargs: Any) -> Any:
        result = method(self, *args, **kwargs)
        labels = tuple(label for key in keys for label in _labels(kwargs.get(key)))
        # the entries' own reshape leaves a made cell empty, so that it is known as one:
        # pandas' ``fill_value`` is a constant, not an entry
        moving = {k: v for k, v in kwargs.items() if k != "fill_value"}
        moving_args = args[:1] if name == "unstack" else args
        move = lambda plain: getattr(plain, name)(*moving_args, **moving)  # noqa: E731
        placing = _placing_keys(self, name, args, kwargs)
        return reshaped(self, result, move, labels, kwargs.get("fill_value"), placing)

    reshape.__name__ = reshape.__qualname__ = name
    reshape.__doc__ = method.__doc__
    return reshape


def _placing_keys(source: Any, name: str, args: tuple, kwargs: dict) -> row_order.Keys:
    """Per field, the arrays of the keys whose values decide which result column each
    value of a reshape lands in: the index levels ``unstack`` moves, ``pivot``'s
    ``columns``. Those that are not data (an index pandas made) count for nothing."""
    if name == "pivot" and isinstance(source, DataFrame):
        return row_order.column_keys(source, _labels(kwargs.get("columns")))
    if name != "unstack" or not isinstance(source.index, MultiIndex):
        return {}
    level = kwargs.get("level", args[0] if args else -1)
    names = list(source.index.names)
    positions = []
    for one in level if isinstance(level, (list, tuple)) else [level]:
        if isinstance(one, int) and one not in names:
            positions.append(one % len(names))
        elif one in names:
            positions.append(names.index(one))
    words = getattr(source, "_index_words", None) or {}
    out: row_order.Keys = {}
    for f in source._fields:
        levels = words.get(f.series_attr) or []
        out[f.series_attr] = [
            levels[p] for p in positions if len(levels) == len(names) and levels[p] is not None
        ]
    return out


def _labels(named: Any) -> list:
    """The column labels an argument names: one, a list of them, or none."""
    return [label for label in (named if isinstance(named, list) else [named]) if _has_key(label)]


class _SeriesReshapes:
    unstack = _reshaping(Series, "unstack")


class _FrameReshapes:
    unstack = _reshaping(DataFrame, "unstack")
    stack = _reshaping(DataFrame, "stack")
    melt = _reshaping(DataFrame, "melt")
    pivot = _reshaping(DataFrame, "pivot", keys=("index", "columns"))
    transpose = _reshaping(DataFrame, "transpose")


class FollowingSeries(
    WritesFollow,
    _SeriesReshapes,
    ElementReads,
    LabelSelections,
    _FollowsFrom,
    index_words.IndexWordsFollow,
    SortsFollow,
    SelectionsFollow,
):
    """Series half of a family: per-element arrays follow their rows (see module doc)."""

    _fields: tuple[Field, ...] = ()

    def _set_fields(self, arrays: dict[str, np.ndarray]) -> None:
        for name, array in arrays.items():
            object.__setattr__(self, name, array)

    def _follow_from(self, other: Any, method: str | None) -> None:
        result, fields = self, self._fields
        if _same_family(other, fields):
            row_order.carry(result, other)
        if _same_family(other, fields) and PENDING in other.__dict__:
            # made from a series still waiting for its arrays: this one waits for the same
            object.__setattr__(result, "_tracker", other._tracker)
            result.__dict__[PENDING] = other.__dict__[PENDING]
        elif _same_family(other, fields) and isinstance(other, Series):
            rows = _rows_when_asked(result, other, method)
            index_words.carry(result, other, rows)
            if method in _NEW_ROWS:  # the operation gives them, or they read unknown
                result.__dict__[PENDING] = _unknown_when_read(method)
                return
            if read_carried(result, fields, other):
                return
            tracker = getattr(result, "_tracker", None)
            result._set_fields(
                {
                    f.series_attr: gather(
                        getattr(other, f.series_attr),
                        rows(),
                        unknown_fill(f, tracker),
                        f.dtype,
                    )
                    for f in fields
                }
            )
        elif _same_family(other, fields) and isinstance(other, DataFrame):
            column = _column_of(result, other)
            if column is None:  # not one of its columns: unknown, unless the operation says
                result.__dict__[PENDING] = _unknown_when_read(method or "operation")
            else:
                result._set_fields(column)
            if column is not None and getattr(other, "_index_words", None):
                index_words.carry(result, other, None)  # a column keeps the frame's rows
        elif method == "concat":
            _concatenated(
                result, other, lambda objs: result._set_fields(_stacked_series(result, objs))
            )
        # Anything else (a scalar operand, an untracked object) lends no arrays: pandas
        # finalises from every operand of an operation in turn.

    # Calls that know which rows they take announce them (see known_rows).

    def take(self, indices: Any, axis: Any = 0, **kwargs: Any) -> Any:
        positions = positions_of_take(indices, len(self))  # type: ignore[arg-type]
        with known_rows(self, positions):
            result = super().take(indices, axis=axis, **kwargs)  # type: ignore[misc]
        selected_by_positions(self, result, indices, given=False)
        return result

    def _slice(self, slobj: slice, *args: Any, **kwargs: Any) -> Any:
        with known_rows(self, positions_of_slice(slobj, len(self))):  # type: ignore[arg-type]
            result = super()._slice(slobj, *args, **kwargs)  # type: ignore[misc]
        row_order.picked_in_order(result, "slice")
        return result

    def _inplace_method(self, other: Any, op: Any) -> Any:
        # ``s += x``: pandas may write the values into place without handing over a result
        # (pandas 2 without copy-on-write); the words come from the operator's result.
        result = op(self, other)
        out = super()._inplace_method(other, lambda _self, _other: result)  # type: ignore[misc]
        if _followed(result, self._fields):
            positions = row_positions(self.index, result)  # type: ignore[attr-defined]
            tracker = getattr(self, "_tracker", None)
            self._set_fields(
                {
                    f.series_attr: gather(
                        getattr(result, f.series_attr), positions, unknown_fill(f, tracker), f.dtype
                    )
                    for f in self._fields
                }
            )
        return out

    def _update_inplace(self, result: Any, *args: Any, **kwargs: Any) -> None:
        if _followed(result, self._fields):  # an operator's result (``+=``): its own words
            arrays = {f.series_attr: getattr(result, f.series_attr) for f in self._fields}
            super()._update_inplace(result, *args, **kwargs)  # type: ignore[misc]
            self._set_fields(arrays)
            row_order.carry(self, result)
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
        super()._update_inplace(result, *args, **kwargs)  # type: ignore[misc]
        self._set_fields(arrays)


def _concatenated(result: Any, concat: Any, set_entries: Callable[[list], None]) -> None:
    """``result`` of ``pd.concat``: its pieces' tracker, entries (``set_entries``), and the
    decisions about their rows, with the conditions that chose each piece (segments)."""
    objs = finalized_inputs(concat)
    object.__setattr__(result, "_tracker", concat_tracker(objs))
    set_entries(objs)
    row_order.carry(result, *objs)
    row_order.recombined(result, objs)


def _at_callers_level(kwargs: dict, method: Callable[..., Any]) -> dict:
    """``kwargs`` of ``query``/``eval`` with pandas' ``level`` (how many calls above it the
    ``@name`` variables live) raised by the calls of ours that ``method`` (the class's own,
    with the wrappers around it) puts between the user and pandas, so ``@name`` resolves in
    the caller's scope as with a plain frame. Every such wrapper names what it wraps
    (``__wrapped__``), so the count is read off the method, not off the stack."""
    ours = 1
    while hasattr(method, "__wrapped__"):
        method = method.__wrapped__
        ours += 1
    return {**kwargs, "level": kwargs.get("level", 0) + ours}


def _column_of(result: Any, frame: Any) -> dict[str, np.ndarray] | None:
    """Arrays of a series that pandas cut out of ``frame``: one of its columns, with the
    frame's rows (``frame[c]``, ``frame.iloc[:, j]``, ``frame.pop(c)``, ``items()``); None
    for anything else (a row, a reduction) or a column without entries."""
    n = len(result)
    index = frame.index
    if not (result.index is index or (n == len(index) and result.index.equals(index))):
        return None
    out = {}
    for f in frame._fields:
        array = lookup(getattr(frame, f.frame_attr), result.name)
        if array is None or len(array) != n:
            return None
        out[f.series_attr] = np.asarray(array, dtype=f.dtype)
    return out


class FollowingFrame(
    _FrameReshapes,
    ElementReads,
    LabelSelections,
    _FollowsFrom,
    index_words.IndexWordsFollow,
    SortsFollow,
    SelectionsFollow,
):
    """Frame half of a family: per-column arrays follow rows and column labels."""

    _fields: tuple[Field, ...] = ()

    def _mappings(self) -> dict[str, dict]:
        return {f.frame_attr: getattr(self, f.frame_attr) for f in self._fields}

    def _set_mappings(self, mappings: dict[str, dict]) -> None:
        for name, mapping in mappings.items():
            object.__setattr__(self, name, mapping)
        object.__setattr__(self, "_followed", True)

    def _follow_from(self, other: Any, method: str | None) -> None:
        result, fields = self, self._fields
        if _same_family(other, fields):
            row_order.carry(result, other)
        if _same_family(other, fields) and isinstance(other, DataFrame):
            rows = _rows_when_asked(result, other, method)
            # rows an operation makes anew are unknown until it gives them (_unknown_when_read)
            if method in _NEW_ROWS:
                result._set_mappings({f.frame_attr: {} for f in other._fields})
            else:
                result._set_mappings(_frame_from_frame(result, other, rows))
            if len(result.columns) < len(other.columns) and rows() is None:  # the same rows
                note_columns_cut(result, other)
            if getattr(other, "_index_words", None):
                index_words.carry(result, other, rows)
        elif _same_family(other, fields) and isinstance(other, Series):
            result._set_mappings(_frame_from_series(result, other, method))
        elif method == "concat":
            _concatenated(
                result, other, lambda objs: result._set_mappings(_concatenated_frame(result, objs))
            )
        elif method == "merge":
            # ``pd.merge`` called directly: which rows it paired is pandas' own business, so
            # every column is unknown (``left.merge`` runs the join itself and follows them)
            sides = finalized_inputs(other)
            object.__setattr__(result, "_tracker", _tracker_of(sides))
            result._set_mappings({f.frame_attr: {} for f in fields})
            row_order.carry(result, *sides)

    def update(self, other: Any, **kwargs: Any) -> Any:
        """pandas' update, whose element entries are those of each column updated as a
        series (its elements also come from the other's aligned elements, and from the
        condition that chose them)."""
        frame: Any = self
        plain = other if isinstance(other, DataFrame) else DataFrame(other)
        common = [label for label in plain.columns if _has_key(label) and label in frame.columns]
        columns = {label: frame[label] for label in common}
        before = {label: c.copy() for label, c in columns.items() if isinstance(c, Series)}
        with _inside_parent(in_place=True):
            result = super().update(other, **kwargs)  # type: ignore[misc]
        mappings = {name: dict(mapping) for name, mapping in self._mappings().items()}
        for label, column in before.items():
            column.update(plain[label])
            for f in self._fields:
                mappings[f.frame_attr][label] = getattr(column, f.series_attr)
        self._set_mappings(mappings)
        return result

    def set_index(self, keys: Any, *args: Any, **kwargs: Any) -> Any:
        result = super().set_index(keys, *args, **kwargs)  # type: ignore[misc]
        target = self if kwargs.get("inplace") else result
        index_words.set_index_words(self, target, keys, bool(kwargs.get("append")))
        return result

    def query(self, expr: str, **kwargs: Any) -> Any:
        kwargs = _at_callers_level(kwargs, type(self).query)
        return super().query(expr, **kwargs)  # type: ignore[misc]

    def eval(self, expr: str, **kwargs: Any) -> Any:
        from ._compat import EVAL_SEES_PLAIN_COLUMNS

        kwargs = _at_callers_level(kwargs, type(self).eval)
        if EVAL_SEES_PLAIN_COLUMNS:  # a condition on plain columns would lose its words
            kwargs["resolvers"] = (*kwargs.get("resolvers", ()), frame_columns(self))
        return super().eval(expr, **kwargs)  # type: ignore[misc]

    def take(self, indices: Any, axis: Any = 0, **kwargs: Any) -> Any:
        if axis not in (0, "index", "rows"):
            return super().take(indices, axis=axis, **kwargs)  # type: ignore[misc]
        positions = positions_of_take(indices, len(self))  # type: ignore[arg-type]
        with known_rows(self, positions):
            result = super().take(indices, axis=axis, **kwargs)  # type: ignore[misc]
        selected_by_positions(self, result, indices, given=False)
        return result

    def _slice(self, slobj: slice, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        if axis != 0:
            return super()._slice(slobj, axis, *args, **kwargs)  # type: ignore[misc]
        with known_rows(self, positions_of_slice(slobj, len(self))):  # type: ignore[arg-type]
            result = super()._slice(slobj, axis, *args, **kwargs)  # type: ignore[misc]
        row_order.picked_in_order(result, "slice")
        return result

    def _update_inplace(self, result: Any, *args: Any, **kwargs: Any) -> None:
        if _followed(result, self._fields):
            mappings = {k: dict(v) for k, v in result._mappings().items()}
        else:
            # pandas hands over a result it built without __finalize__: find its rows and
            # columns here, from this frame's own arrays.
            tracker = getattr(self, "_tracker", None)
            rows = _given_rows(_rows_from(result, self, None))
            mappings = _frame_from_frame(result, self, rows, tracker)
        super()._update_inplace(result, *args, **kwargs)  # type: ignore[misc]
        self._set_mappings(mappings)
        row_order.carry(self, result)  # rows the result kept, in its order

    # ``frame.columns = labels``, and rename, set_axis and add_prefix, which set them so:
    # the columns are relabelled one for one, in place, their arrays with them.
    @property
    def columns(self) -> Any:
        return _COLUMNS.__get__(self, None)

    @columns.setter
    def columns(self, labels: Any) -> None:
        old = self.columns
        _COLUMNS.__set__(self, labels)
        new = self.columns
        if len(new) != len(old) or not all(hasattr(self, f.frame_attr) for f in self._fields):
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
        super().__setitem__(key, _held_array(self, key, value))  # type: ignore[misc]
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
            decided = _assigned_back(self, source) if tracker else []
            # what pandas moved with the values, unless a decision of the rows reaches them
            moved = None if decided else _moved_in(self, label, source)
            arrays: dict[Field, np.ndarray | None] = (
                dict(moved) if moved else {f: _assigned(self, source, f) for f in self._fields}
            )
            if decided and all(a is not None for a in arrays.values()):
                arrays = row_order.with_decided(tracker, self._fields, arrays, decided)
            for f, array in arrays.items():
                if array is None and getattr(tracker, "strict", False):
                    with operation(f"assignment to column {label!r}"):
                        f.unknown(tracker)  # raises under strict provenance
                if array is None:
                    own[f.frame_attr].pop(label, None)
                else:
                    own[f.frame_attr][label] = array

    # -- joins: pandas joins the frames as they are, their words with the values (_joins) ----

    def merge(self, right: Any, *args: Any, **kwargs: Any) -> Any:
        from ._joins import traced_join

        return traced_join(self, right, "merge", args, kwargs)

    def join(self, other: Any, *args: Any, **kwargs: Any) -> Any:
        from ._joins import traced_join

        return traced_join(self, other, "join", args, kwargs)


class _TrackedLoc(SelectingLoc):
    """``frame.loc`` whose assignments take words from the condition and the value:
    ``frame.loc[cond, col] = value`` gives every element of ``col`` the words of its old
    value, of the condition and of the value, as ``col.where(~cond, value)`` would."""

    def __setitem__(self, key: Any, value: Any) -> None:
        frame = self._obj
        rows, columns = key if isinstance(key, tuple) and len(key) == 2 else (key, None)
        labels = (
            list(frame.columns)
            if columns is None
            else (columns if isinstance(columns, list) else [columns])
        )
        before = {c: frame[c] for c in labels if _has_key(c) and c in frame.columns}
        self._loc[key] = value
        tracker = getattr(frame, "_tracker", None)
        if not tracker or _in_parent_call():
            return
        # rows picked by plain labels or a plain mask (``t[cond].index``, ``index.isin``):
        # what picked them cannot be seen, so every element of the column reads unknown
        for label in labels:
            if not _has_key(label) or label not in frame.columns:
                continue
            after = frame[label]
            derived = written(after, before.get(label), rows, column_value(value, label))
            if derived is None:
                continue
            for f in frame._fields:
                getattr(frame, f.frame_attr)[label] = getattr(derived, f.series_attr)


def _assigned_back(frame: Any, value: Any) -> list:
    """The selections of a filtered series assigned onto rows it lacks (see
    ``row_order.aligned_back``)."""
    if not (isinstance(value, Series) and len(value) and _followed(value, frame._fields)):
        return []
    return row_order.aligned_back(frame, value, row_positions(frame.index, value))


def _held_array(frame: Any, key: Any, value: Any) -> Any:
    """``value`` as a frame holds it in column ``key``: numpy's array of numbers for
    tracked inputs (``np.where``) in a words array with its entries, in a frame that keeps
    its columns' words in such arrays; anything else as it is."""
    entries = _holdable_entries(frame, key, value)
    if entries is None:
        return value
    node_ids = entries[1] if len(entries) > 1 else None
    return WordsArray.from_values(
        value.view(np.ndarray), entries[0], frame._tracker, node_ids, carried=True
    )


def _holdable_entries(frame: Any, key: Any, value: Any) -> list | None:
    """The entries of every field of ``value`` that ``_held_array`` holds in a words
    array; None for a value it leaves as it is."""
    if not isinstance(value, TrackedArray) or not _has_key(key) or isinstance(key, list):
        return None
    entries = [array_entries(value, len(frame), f.series_attr) for f in frame._fields]
    if any(e is None for e in entries) or value.dtype.kind not in "biufc":
        return None
    tracker = getattr(frame, "_tracker", None)
    if tracker is None or value._tracker is not tracker or not holds_words(frame):
        return None
    return entries


def _moved_in(frame: Any, label: Any, value: Any) -> dict[Field, np.ndarray] | None:
    """The entries of column ``label`` just assigned from the series ``value`` that reads
    its values' own, or from numpy's array for tracked inputs (see ``_held_array``), read
    where pandas moved them with the values into the frame's words array (without a gap:
    every row the frame has, the series had); None otherwise."""
    if not _moved_with_values(frame, label, value):
        return None
    array = carried_column(frame, label)
    if array is None:
        return None
    entries = {f: getattr(array, ARRAY_ENTRIES[f.series_attr]) for f in frame._fields}
    return None if any(e is None for e in entries.values()) else entries


def _moved_with_values(frame: Any, label: Any, value: Any) -> bool:
    """Whether pandas put ``value``'s entries in the words array of the column ``label``
    it assigned: a series' that reads its values' own, or numpy's array for tracked
    inputs held in one (see ``_held_array``)."""
    if isinstance(value, TrackedArray):
        return _holdable_entries(frame, label, value) is not None
    if not isinstance(value, Series) or not _followed(value, frame._fields):
        return False
    return reads_carried(value, frame._fields)


def _assigned(frame: Any, value: Any, f: Field) -> np.ndarray | None:
    n = len(frame)
    if _followed(value, frame._fields) and isinstance(value, Series):
        positions = row_positions(frame.index, value) if len(value) else None
        return gather(getattr(value, f.series_attr), positions, f.absent, f.dtype).copy()
    lent = scalar_entries(value, getattr(frame, "_tracker", None), frame._fields)
    if lent is not None:  # a reduction's value, the same in every row
        return np.full(n, lent[f.series_attr], dtype=f.dtype)
    if value is not None and is_scalar(value):  # a constant derives from nothing
        return np.full(n, f.absent, dtype=f.dtype)
    return array_entries(value, n, f.series_attr)


def _frame_from_frame(result: Any, other: Any, rows: _Rows, tracker: Any = None) -> dict[str, dict]:
    """Arrays of a frame pandas built from ``other``, whose row ``i`` is ``other``'s row
    ``rows()[i]`` (None: the same rows). A column whose values pandas moved with the words
    ``other`` reads for it reads those (see ``moved_columns``): its rows are not looked for."""
    origins = column_origins(result.columns, other.columns)
    moved = moved_columns(result, other, origins)
    tracker = tracker if tracker is not None else getattr(result, "_tracker", None)
    out: dict[str, dict] = {}
    for f in other._fields:
        source = getattr(other, f.frame_attr)
        fill = unknown_fill(f, tracker)
        mapping = {}
        for label, origin in zip(result.columns, origins, strict=True):
            array = lookup(source, origin) if origin is not None else None
            if array is None or not _has_key(label):
                continue
            carried = lookup(moved, label)
            entries = None if carried is None else getattr(carried, ARRAY_ENTRIES[f.series_attr])
            mapping[label] = gather(array, rows(), fill, f.dtype) if entries is None else entries
        out[f.frame_attr] = mapping
    return out


def _frame_from_series(result: Any, series: Any, method: str | None) -> dict[str, dict]:
    """A frame built from one series (``to_frame``, the dummies of a column, a series'
    ``reset_index``): its columns derive from the series, except index levels turned
    into columns."""
    if method in _NEW_ROWS:  # unknown until the operation gives them (see _unknown_when_read)
        return {f.frame_attr: {} for f in result._fields}
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


FollowingFrame._loc_type = _TrackedLoc


report_warnings_at_caller(_TrackedLoc)
