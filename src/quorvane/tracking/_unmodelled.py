"""Calls the containers do not model: a result that cannot under-report.

The containers model many pandas methods exactly (their overrides, and the methods whose
results pandas builds from the source's rows: those move the entries with the rows). Every
other public method of pandas' Series and DataFrame goes through the default here, given
to a container class when it is built (:func:`default_for_unmodelled`): pandas computes the
values, and each element of the result combines every tracked input the call received,
whole (every element of the receiver, of each tracked container or array among the
arguments, each tracked scalar, the data a function given can read besides its arguments,
and what decided the receiver's rows: its selection and its order). One AGG step. A plain
pandas result becomes the road's container; a number becomes
a tracked scalar. An input of unknown provenance makes the result unknown, never clean.
Under strict provenance the call raises instead: its result is only an over-approximation.

This is a safe over-approximation, coarser than a model: a method that turns out to move
values gets them all. So methods that only move, relabel or copy values (or compute each
element from its own element alone, or export them) are named in :data:`MOVES` and keep the
entries pandas moved for them; those that do so unless given tracked arguments are named in
:data:`MOVES_UNLESS_GIVEN`.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
from pandas import DataFrame, Series

from ..core._operations import operation
from ..core._word import OpCode
from . import _row_order
from ._arguments import (
    flat_inputs,
    given_arrays,
    lend_whole,
    tracked_input,
    unseen_rows,
    user_function,
)
from ._array_words import held_as_words
from ._arrays import tracked_array
from ._calls import _in_parent, _inside_parent
from ._combining import whole_entries
from ._elementwise import UNFOLLOWED
from ._labels import counted_labels
from ._positions import PENDING
from ._scalars import tracked_scalar

#: Methods whose result elements are the receiver's elements, moved, relabelled, converted
#: one by one, or handed out (exports, iteration, metadata): pandas moves their entries.
MOVES = frozenset(
    {
        "add_prefix", "add_suffix", "align", "asfreq", "assign", "astype", "at_time",
        "between_time", "convert_dtypes", "copy", "drop", "droplevel", "equals", "filter",
        "get", "head", "infer_objects", "info", "isetitem", "isna", "isnull", "items",
        "iterrows", "itertuples", "keys", "memory_usage", "notna", "notnull", "pipe", "pop",
        "reindex", "reindex_like", "rename", "rename_axis", "reorder_levels", "repeat",
        "select_dtypes", "set_axis", "set_flags", "squeeze", "swaplevel", "tail", "to_frame",
        "transpose", "truncate", "tz_convert", "tz_localize", "xs", "hist", "plot", "boxplot",
        "to_numpy", "tolist", "to_list", "to_dict", "to_records", "searchsorted",
        "to_period", "to_timestamp",
    }
)  # fmt: skip

#: Element-wise methods of the receiver that also read values given as arguments (a fill
#: frame, a condition, bounds): they move the entries when no argument is tracked.
MOVES_UNLESS_GIVEN = frozenset(
    {"fillna", "where", "mask", "clip", "replace", "isin", "map", "combine_first", "case_when"}
)

#: Methods whose result rows each hold values of one source row, labelled as that row
#: (``explode``: an item of the row's list): where the source's labels are unique and kept,
#: they say which row each came from, and the entries move with the values.
MOVES_BY_LABEL = frozenset({"explode"})

#: Methods that take their condition or other values as a function of the receiver: called
#: here, once, as pandas would, so that what it returns counts as given.
CONDITIONS = frozenset({"where", "mask", "case_when"})

#: Frame methods whose every result element is made of the columns their arguments name
#: alone (a pivot table's cells, of its values and keys): those columns, not all, are their
#: receiver's inputs. An argument that names none (all columns by default) reads them all.
READS_NAMED_COLUMNS = {
    "pivot_table": ("values", "index", "columns"),
    "value_counts": ("subset",),
}

#: Methods whose result is labelled by values of the receiver that the same call counted:
#: the labels carry the entries of their count (see ``_labels``).
LABELS_COUNTED = frozenset({"value_counts"})

#: Other names of methods a container models.
ALIASES = {"product": "prod", "kurtosis": "kurt"}


def default_for_unmodelled(cls: type, pandas_class: type) -> None:
    """Give ``cls`` the default (module doc) for every public method of ``pandas_class``
    that it does not define itself and that does not only move values."""
    for name, method in _public_methods(pandas_class):
        if name in MOVES or _models(cls, name, pandas_class):
            continue
        if name in ALIASES and _models(cls, ALIASES[name], pandas_class):
            setattr(cls, name, getattr(cls, ALIASES[name]))
            continue
        setattr(cls, name, over_approximating(method, name))


def _public_methods(pandas_class: type) -> Iterator[tuple[str, Callable]]:
    for name in dir(pandas_class):
        if name.startswith("_"):
            continue
        method = inspect.getattr_static(pandas_class, name, None)
        if inspect.isfunction(method):  # not accessors, properties or class methods
            yield name, method


def _models(cls: type, name: str, pandas_class: type) -> bool:
    """Whether ``cls`` (or a class between it and pandas') defines ``name``."""
    for klass in cls.__mro__:
        if klass is pandas_class or klass.__module__.startswith("pandas"):
            return False
        if name in vars(klass):
            return True
    return False


def over_approximating(method: Callable, name: str) -> Callable:
    def call(self: Any, *args: Any, **kwargs: Any) -> Any:
        tracker = getattr(self, "_tracker", None)
        if not tracker or _in_parent():  # pandas' own call inside a tracked operation
            return method(self, *args, **kwargs)
        if name in CONDITIONS:  # the conditions or values a function of the receiver gives
            args = _called(args, self)
            kwargs = dict(zip(kwargs, _called(tuple(kwargs.values()), self), strict=True))
        values = [*args, *kwargs.values()]
        functions = [v for v in values if user_function(v)]
        data = [v for v in values if not user_function(v)]
        given = [v for v in flat_inputs(data) if tracked_input(v, self) or unseen_rows(v)]
        if name in MOVES_UNLESS_GIVEN and not given:
            with _inside_parent():  # what pandas computes inside (a clip's condition) is its own
                result = method(self, *args, **kwargs)
            # a function of each element (a frame's ``map``): what it reads besides counts
            if functions:
                return lend_whole(self, result, functions, name)
            return values_stepped(result, name)
        if name in MOVES_BY_LABEL and self.index.is_unique and not kwargs.get("ignore_index"):
            with _inside_parent():
                return _moved_by_label(self, method(self, *args, **kwargs), name)
        refuse_under_strict(tracker, self._fields, name)
        with _inside_parent():
            result = method(self, *args, **kwargs)
        in_place = result is None and bool(kwargs.get("inplace"))
        read = _named_columns(self, method, name, args, kwargs)
        made = over_approximated(self, self if in_place else result, name, values, read)
        return counted_labels(made) if name in LABELS_COUNTED else made

    call.__name__ = call.__qualname__ = name
    call.__doc__ = method.__doc__
    return call


def values_stepped(result: Any, name: str) -> Any:
    """``result``, whose entries pandas moved with values that ``name`` may change (a
    frame's fillna or clip by constants, a gap test), on a road whose entries hold values
    (the DAG road's nodes): each element one step of ``name`` further there, its words kept
    (its values come from the same sources), so that no node is taken to hold a value it
    does not. Elsewhere ``result`` as it is."""
    fields = getattr(result, "_fields", ())
    if not getattr(result, "_tracker", None) or not any(f.element for f in fields[1:]):
        return result
    if isinstance(result, Series):
        return _one_step(result, name)
    if not isinstance(result, DataFrame):
        return result
    mappings = {f.frame_attr: dict(getattr(result, f.frame_attr)) for f in fields}
    for position, label in enumerate(result.columns):
        if list(result.columns).count(label) != 1:
            continue  # one entry per label cannot tell equal labels apart
        column = _one_step(result.iloc[:, position], name)
        for f in fields:
            mappings[f.frame_attr][label] = getattr(column, f.series_attr)
    result._set_mappings(mappings)
    return result


def _one_step(column: Series, name: str) -> Series:
    own = column._entries_at(None)
    words = own[column._fields[0].series_attr].copy()
    return column._finish(column, [own], name, OpCode.CUSTOM, words=words)


#: What a series built from bare values (see built_from) is called in strict provenance's
#: error: the call that built it is long gone when its entries are read.
BUILT_FROM_VALUES = "a pandas function that built a series from bare values (pd.to_numeric, ...)"


def built_from(source: Any, *args: Any, **kwargs: Any) -> Any:
    """A series pandas builds through ``source``'s constructor (``_constructor``, or a
    frame's ``_constructor_sliced``): from ``source``'s data, but from bare values. pandas
    usually hands it ``source``'s entries right after (``__finalize__``, from the rows it
    took); where it does not (a top-level function: ``pd.to_numeric``, ``pd.isna``,
    ``pd.cut``, ``pd.pivot``), the series takes its entries when they are first read: every
    element combines every element of ``source``, and reads unknown, because the function
    may have read other data that nothing here sees (``pd.cut`` turns its bins into numpy's
    array before any of them could lend its words). Under strict provenance the read raises
    instead (unless pandas reads it inside one of the containers' own operations, which give
    their result its entries)."""
    series_class = source._series_class if isinstance(source, DataFrame) else type(source)
    result = series_class(*args, **kwargs)
    if not getattr(result, "_followed", True) and result._tracker is None:
        object.__setattr__(result, "_tracker", source._tracker)
        result.__dict__[PENDING] = lambda built: _given_whole(built, source)
    return result


def _given_whole(result: Any, source: Any) -> None:
    tracker, fields = source._tracker, source._fields
    if getattr(tracker, "strict", False) and not _in_parent():
        with operation(BUILT_FROM_VALUES):
            fields[0].unknown(tracker)  # raises
    entries = _whole(source, "operation", [UNFOLLOWED])
    n = len(result)
    result._set_fields({f.series_attr: np.full(n, entries[f.series_attr], f.dtype) for f in fields})


def _called(values: tuple, receiver: Any) -> tuple:
    """``values`` with each function (in lists and pairs too) called on ``receiver``."""
    return tuple(
        type(v)(_called(tuple(v), receiver))
        if isinstance(v, (list, tuple))
        else v(receiver)
        if callable(v)
        else v
        for v in values
    )


def _moved_by_label(source: Any, result: Any, name: str) -> Any:
    """``result``, each row with the entries of the ``source`` row of its label."""
    if isinstance(result, (Series, DataFrame)) and hasattr(result, "_follow_from"):
        object.__setattr__(result, "_tracker", source._tracker)
        with operation(name):
            result._follow_from(source, None)
    return result


def over_approximated(
    source: Any, result: Any, name: str, values: list, read: list | None = None
) -> Any:
    """``result`` of ``source``'s call ``name`` given ``values``, each element combining
    every tracked input whole (module doc); of a frame receiver, the columns ``read``
    (None: all)."""
    refuse_under_strict(source._tracker, source._fields, name)
    return made_whole(source, result, name, values, read)


def made_whole(source: Any, result: Any, name: str, values: list, read: list | None = None) -> Any:
    """``result``, each element with the entries of one value made of every element of
    ``source`` (the columns ``read``), of every tracked input among ``values`` and of what
    decided ``source``'s rows: the model of a reduction that returns several values
    (``s.quantile([.1, .9])``), and the default's over-approximation."""
    made: dict[str, int] | None = None

    def entries() -> dict[str, int]:
        nonlocal made
        if made is None:
            made = _whole(source, name, values, read)
        return made

    if isinstance(result, tuple):
        return tuple(_carrying(source, r, entries) for r in result)
    return _carrying(source, result, entries)


def numpy_over_approximated(source: Any, func: Any, args: tuple, kwargs: dict, result: Any) -> Any:
    """numpy's ``result`` of ``func`` (a function numpy runs on ``source`` itself, not one
    of the element-wise ones), as for an unmodelled method: a number becomes a tracked
    scalar and a 1-d array a tracked array, each element combining every tracked series
    given whole and what decided their rows (``np.percentile(s, 90)``: the whole of ``s``).
    Strict provenance refuses it; pandas' own calls inside a tracked operation are its own."""
    if _in_parent():
        return result
    values = [v for v in flat_inputs([*args, *kwargs.values()]) if v is not source]
    return over_approximated(source, result, f"np.{func.__name__}", values)


def refuse_under_strict(tracker: Any, fields: tuple, name: str) -> None:
    """Under strict provenance, refuse the call ``name`` before it runs: its result would
    only over-approximate."""
    if getattr(tracker, "strict", False):
        with operation(name):
            fields[0].unknown(tracker)  # raises


def _carrying(source: Any, result: Any, entries: Callable[[], dict[str, int]]) -> Any:
    tracker, fields = source._tracker, source._fields
    if isinstance(result, (Series, DataFrame)):
        return _filled(source, result, entries())
    if isinstance(result, np.ndarray) and result.ndim >= 1 and result.dtype.kind in "biufcO":
        made = entries()  # a table of numbers (``np.cov(a, b)``) too: its cells are read out
        arrays = [np.full(result.shape, made[f.series_attr], f.dtype) for f in fields]
        return tracked_array(
            result, arrays[0], tracker, arrays[1] if len(arrays) > 1 else None, fields
        )
    if isinstance(result, (int, float, complex, np.number, str)) and not isinstance(
        result, (bool, np.bool_)
    ):
        return tracked_scalar(result, tracker, fields, entries)
    return result


def _filled(source: Any, result: Any, entries: dict[str, int]) -> Any:
    """``result`` as the road's container, every element with ``entries``."""
    tracker, fields = source._tracker, source._fields
    frame_class = source._frame_class if isinstance(source, Series) else type(source)
    series_class = type(source) if isinstance(source, Series) else source._series_class
    n = len(result)
    if isinstance(result, Series):
        own = {f.series_attr: np.full(n, entries[f.series_attr], f.dtype) for f in fields}
        if not isinstance(result, series_class):
            return series_class(result, _tracker=tracker, **own)
        object.__setattr__(result, "_tracker", tracker)
        result._set_fields(own)
        return held_as_words(result, source)
    labels = [label for label in result.columns if _hashable(label)]
    mappings = {
        f.frame_attr: {label: np.full(n, entries[f.series_attr], f.dtype) for label in labels}
        for f in fields
    }
    if not isinstance(result, frame_class):
        return frame_class(result, _tracker=tracker, **mappings)
    object.__setattr__(result, "_tracker", tracker)
    result._set_mappings(mappings)
    return result


def _named_columns(
    source: Any, method: Callable, name: str, args: tuple, kwargs: dict
) -> list | None:
    """The columns of the frame ``source`` that the call reads, by its arguments (see
    ``READS_NAMED_COLUMNS``); None for all of them."""
    if name not in READS_NAMED_COLUMNS or not isinstance(source, DataFrame):
        return None
    try:
        bound = inspect.signature(method).bind(source, *args, **kwargs).arguments
    except TypeError:
        return None
    named = list(flat_inputs([bound.get(a) for a in READS_NAMED_COLUMNS[name]]))
    labels = [label for label in named if label is not None]
    if not labels or any(not _hashable(label) or label not in source.columns for label in named):
        return None
    return labels


def _whole(source: Any, name: str, values: list, read: list | None = None) -> dict[str, int]:
    """Per field, the entry of one value made of every element of every tracked input."""
    tracker, fields = source._tracker, source._fields
    own = given_arrays(source, [source if read is None else source[read]])
    arrays = given_arrays(source, values)
    for f in fields:
        arrays[f.series_attr].extend(own[f.series_attr])
    for decision in _row_order.row_order_of(source):
        for k, f in enumerate(fields):
            arrays[f.series_attr].append(np.array([decision.entries()[k]], dtype=f.dtype))
    return whole_entries(tracker, fields, arrays, name, OpCode.AGG)


def _hashable(label: Any) -> bool:
    try:
        hash(label)
    except TypeError:
        return False
    return True
