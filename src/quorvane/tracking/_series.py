"""The one tracked series: pandas computes every value, and each element's entries (its word,
and on the DAG road its node id) follow.

Both roads build their series class from :class:`TrackingSeries`. A road names its per-element
fields (``_fields``: the words first, then any other), and may record what a step made
(``_record``). Everything else, which operations step, which combine which inputs, how
operands are aligned, is here once, so the two roads cannot drift apart.

A step is one of three kinds:

- a move (filters, sorts, ``take``): the entries go where pandas moved the values
  (``FollowingSeries``);
- a step of one operand (``-s``, ``s.abs()``, ``s.fillna(0)``): each element's word one
  step further (``chain_words``), and one node per element;
- a combination (``s + t``, ``s.where(c, t)``, ufuncs of several series): each element
  combines the elements of every tracked operand, aligned as pandas aligned the values.
"""

from __future__ import annotations

import builtins
import functools
import threading
from collections.abc import Callable
from typing import Any, ClassVar

import numpy as np
import pandas as pd
from pandas import Series
from pandas.api.types import is_scalar

from ..core import _ahead
from ..core._checks import as_int, exact
from ..core._word import OpCode
from . import _compat, _groups, _row_order
from ._accessors import SeriesAccessors
from ._arguments import argument_operands, choices, lacking, one_value
from ._array import WordsArray
from ._array_words import held_as_words, made_words, reads_own_array, taken
from ._arrays import plain_array, tracked_array
from ._calls import _flatten, _in_parent, _in_place_call, _inside_parent, as_user_code
from ._combining import derived_words
from ._dtype import altering_conversion
from ._elementwise import (
    array_entries,
    constant_entries,
    is_constant,
    operand_entries,
    step_entries,
    untracked_rows,
)
from ._follow import (
    FollowingSeries,
    followed_attribute,
    gather,
    operands_aligned,
    row_positions,
    unknown_fill,
)
from ._handed_out import HandedOutValues
from ._ops import KEPT
from ._positions import PENDING, Field, unknown_entries
from ._scalars import scalar_entries, tracked_scalar, valued
from ._unmodelled import (
    built_from,
    default_for_unmodelled,
    made_whole,
    numpy_over_approximated,
    over_approximated,
    over_approximating,
    values_stepped,
)

# pandas' own Series, bound once: code that puts a tracked class in the place of
# ``pandas.Series`` (the conformance run of pandas' tests does) must not turn the parent's
# operators into these.
_Series = pd.Series

#: numpy functions whose element-wise result carries words (see TrackedArray) combining
#: every tracked input, the conditions of np.where and np.select included.
ARRAY_FUNCTIONS = frozenset({np.where, np.select, np.piecewise, np.choose})

#: Two-operand operators, reflected forms included (pandas' augmented forms, ``+=``, call
#: them and then update the receiver in place): the operation's name (a reflected operator
#: has its forward one's) and its code.
BINARY_OPERATORS = {
    "__add__": ("add", OpCode.ADD), "__radd__": ("add", OpCode.ADD),
    "__sub__": ("sub", OpCode.SUB), "__rsub__": ("sub", OpCode.SUB),
    "__mul__": ("mul", OpCode.MUL), "__rmul__": ("mul", OpCode.MUL),
    "__truediv__": ("div", OpCode.DIV), "__rtruediv__": ("div", OpCode.DIV),
    "__floordiv__": ("floordiv", OpCode.DIV), "__rfloordiv__": ("floordiv", OpCode.DIV),
    "__mod__": ("mod", OpCode.MOD), "__rmod__": ("mod", OpCode.MOD),
    "__pow__": ("pow", OpCode.MUL), "__rpow__": ("pow", OpCode.MUL),
    "__gt__": ("gt", OpCode.CMP), "__lt__": ("lt", OpCode.CMP),
    "__ge__": ("ge", OpCode.CMP), "__le__": ("le", OpCode.CMP),
    "__eq__": ("eq", OpCode.CMP), "__ne__": ("ne", OpCode.CMP),
    "__and__": ("and", OpCode.LOGIC), "__rand__": ("and", OpCode.LOGIC),
    "__or__": ("or", OpCode.LOGIC), "__ror__": ("or", OpCode.LOGIC),
    "__xor__": ("xor", OpCode.LOGIC), "__rxor__": ("xor", OpCode.LOGIC),
}  # fmt: skip


def _unknown_word(tracker: Any) -> int:
    unknown = getattr(tracker, "unknown_word", None)
    return unknown() if unknown is not None else 0


#: The words of a series (``_prov``) and of a frame's columns (``_col_prov``): the first
#: field of both roads.
WORDS = Field("_prov", "_col_prov", np.uint32, absent=0, unknown=_unknown_word)

# How many two-operand operations this thread ran: a ufunc that pandas hands to one of them
# has its entries already.
_binop_count = threading.local()


def _count_binop() -> None:
    _binop_count.n = getattr(_binop_count, "n", 0) + 1


def _binop_calls() -> int:
    return getattr(_binop_count, "n", 0)


def _operand_rows(series: Any, other: Any) -> tuple[np.ndarray | None, np.ndarray | None]:
    """Position of each result element in ``series`` and in ``other``, as pandas aligned
    them (outer join of the indexes); None for rows in place."""
    if not isinstance(other, _Series):
        return None, None
    index, other_index = series.index, other.index
    if index is other_index or index.equals(other_index):
        return None, None
    _, left_rows, right_rows = index.join(other_index, how="outer", return_indexers=True)
    return left_rows, right_rows


def _both_read_arrays(series: Any, other: Any) -> bool:
    return isinstance(other, type(series)) and reads_own_array(series) and reads_own_array(other)


class TrackingSeries(
    HandedOutValues, SeriesAccessors, _groups.WindowingSeries, FollowingSeries, Series
):
    """A pandas Series whose elements carry entries (see the module doc)."""

    #: The per-element fields of the road, the words first.
    _fields: tuple[Field, ...] = (WORDS,)
    _prov = followed_attribute("_prov")
    #: The frame class of the road; its module sets it, so that the series module does not
    #: import the frame module that imports it.
    _frame_class: ClassVar[Any]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        given = {f.series_attr: kwargs.pop(f.series_attr, None) for f in self._fields}
        tracker = kwargs.pop("_tracker", None)
        super().__init__(*args, **kwargs)
        self._tracker = tracker
        data = args[0] if args else kwargs.get("data")
        _row_order.carry(self, data)
        if all(e is None for e in given.values()) and PENDING in getattr(data, "__dict__", {}):
            # built from a series pandas made on the way (a quantile's column) that still
            # waits for its entries: this one waits for the same, so that the operation that
            # returns it gives them (reading them now would refuse them under strict provenance)
            self._tracker = tracker or getattr(data, "_tracker", None)
            self.__dict__[PENDING] = data.__dict__[PENDING]
            self._followed = False
            return
        lent = self._entries_lent(data)
        for f in self._fields:
            entries = given[f.series_attr]
            setattr(self, f.series_attr, entries if entries is not None else lent[f.series_attr])
        if all(entries is None for entries in given.values()):
            # built from bare values, their provenance is unknown until given
            self._followed = isinstance(data, TrackingSeries) and getattr(data, "_followed", False)

    def _entries_lent(self, data: Any) -> dict[str, np.ndarray]:
        """Entries of a series built by a call: those of a tracked series of this road it
        was built from (its rows followed as pandas took them), else none yet."""
        if isinstance(data, type(self)):
            rows = row_positions(self.index, data)
            tracker = self._tracker or data._tracker
            return {
                f.series_attr: gather(
                    getattr(data, f.series_attr), rows, unknown_fill(f, tracker), f.dtype
                )
                for f in self._fields
            }
        return {f.series_attr: absent_entries(f, len(self)) for f in self._fields}

    @classmethod
    def _from_mgr_with_defaults(cls, mgr: Any, axes: Any) -> Any:
        # Built without __init__ (see _compat); the attributes get defaults here and the
        # source's through __finalize__.
        ser = _compat.from_mgr(cls, mgr, axes)
        n = len(ser)
        object.__setattr__(ser, "_name", None)
        object.__setattr__(ser, "_tracker", None)
        for f in cls._fields:
            object.__setattr__(ser, f.series_attr, absent_entries(f, n))
        object.__setattr__(ser, "_followed", False)
        return ser

    # -- pandas construction hooks ------------------------------------------------------

    @property
    def _constructor(self) -> Any:
        # a series pandas builds from bare values of a tracked one is not silently clean
        # (see built_from); a callable, as pandas allows, bound to this series
        if not getattr(self, "_tracker", None):
            return type(self)
        return functools.partial(built_from, self)

    @property
    def _constructor_expanddim(self) -> type:
        return self._frame_class

    def _constructor_from_mgr(self, mgr: Any, axes: Any) -> Any:
        return type(self)._from_mgr_with_defaults(mgr, axes)

    def _constructor_expanddim_from_mgr(self, mgr: Any, axes: Any) -> Any:
        return self._frame_class._from_mgr_with_defaults(mgr, axes)

    # -- what a road adds -----------------------------------------------------------------

    def _record(self, result: Any, words: np.ndarray, op_name: str) -> None:
        """Called with every element-wise result this series made (the DAG road records
        its values)."""

    # -- the three primitives ---------------------------------------------------------------

    def _entries_at(self, rows: np.ndarray | None) -> dict[str, np.ndarray]:
        """Every field's entries at ``rows`` (absent where this series has no row)."""
        return {
            f.series_attr: gather(getattr(self, f.series_attr), rows, f.absent, f.dtype)
            for f in self._fields
        }

    def _finish(
        self,
        result: Any,
        operands: list[dict],
        op_name: str,
        op_code: int,
        *,
        words: np.ndarray | None = None,
        order: list[int] | None = None,
    ) -> Any:
        """``result`` with the entries made from the aligned entries of ``operands``:
        one step of their words (unless ``words`` are given), and for every other field one
        entry per element, over the operands in ``order`` (operand order: left before
        right; a condition, the value if true, the value if false). A constant operand
        (see ``_constant_operand``) has no words and takes part only in the fields that log
        constants."""
        op_code = as_int("op_code", op_code)
        entries = step_entries(
            result._tracker, self._fields, operands, op_name, op_code, words=words, order=order
        )
        result._set_fields(entries)
        self._record(result, entries[self._fields[0].series_attr], op_name)
        return held_as_words(result, self)

    def _stepped(self, result: Any, op_name: str, op_code: int, constants: tuple = ()) -> Any:
        """``result`` (built by pandas from this series, its elements followed) with every
        element one step further; ``constants``: the step's scalar arguments, operands
        after the element on a road that logs constants."""
        if not isinstance(result, TrackingSeries) or result is self:
            return result
        tracker = self._tracker
        object.__setattr__(result, "_tracker", tracker)
        own = result._entries_at(None)
        if not tracker or _in_place_call():
            # no step, but arrays of its own: the receiver's may change in place later
            result._set_fields({name: entries.copy() for name, entries in own.items()})
            return result
        logged = [self._constant_operand(value, len(result)) for value in constants]
        operands = [own, *(c for c in logged if c is not None)]
        made = made_words(result, [self], op_code)
        return self._finish(result, operands, op_name, op_code, words=made)

    def _derived(
        self,
        result: Any,
        operands: list,
        op_name: str,
        op_code: int,
        lent: tuple = (),
        words: np.ndarray | None = None,
    ) -> Any:
        """``result`` (pandas' values, aligned as pandas aligned them) made element by
        element from tracked ``operands`` (series, aligned on the labels) and the entries
        ``lent`` by other inputs (already lined up): each element combines them all (their
        ``words``, when already made)."""
        if not isinstance(result, TrackingSeries):
            return result
        tracker = self._tracker
        if not tracker:
            return self._stepped(result, op_name, op_code)  # no algebra: its own entries
        object.__setattr__(result, "_tracker", tracker)
        aligned = [x._entries_at(row_positions(result.index, x)) for x in operands]
        return self._finish(result, [*aligned, *lent], op_name, op_code, words=words)

    def _constant_operand(self, value: Any, n: int) -> dict[str, Any] | None:
        """The entries of a constant operand (a scalar, or a table: a mapping, a list of
        values) for ``n`` elements (see ``constant_entries``)."""
        return constant_entries(self._tracker, self._fields, value, n)

    # -- two operands -------------------------------------------------------------------

    def _tracked_binop(
        self,
        other: Any,
        pandas_op: Callable,
        op_name: str,
        op_code: int,
        reflected: bool = False,
        fills: bool = False,
    ) -> Any:
        exact("op_name", op_name, str)
        op_code = as_int("op_code", op_code)
        _count_binop()
        if _in_parent():
            return pandas_op(self, other)  # pandas' own step inside one of ours
        # With both operands' words in their arrays, pandas' call makes the result's, on
        # rows it aligned too (its arrays' gaps hold no word, as the containers' fills): no
        # rows to line up here. Not with a ``fill_value`` (pandas writes it into copies of
        # the operands' arrays, where it holds no word, and the containers' elements keep
        # the operand's), nor for a filtered operand that may be lined up onto rows it
        # lacks (its selection reaches every element: see ``lacking``).
        arrays_make = (
            not (reflected or fills or _in_place_call())
            and _both_read_arrays(self, other)
            and not _row_order.selections_apart(self, other)
            and not _row_order.selections_apart(other, self)
        )
        left_rows = right_rows = None
        if not arrays_make:
            left_rows, right_rows = _operand_rows(self, other)
        in_place = not arrays_make and left_rows is None and right_rows is None
        pending = self._words_ahead(other, op_code) if in_place else None
        # pandas computes and aligns; nothing is made for a result it refuses to build.
        with operands_aligned():
            # numpy's array for tracked inputs reaches pandas as the plain array it is:
            # this step makes the elements' entries, and pandas' own arithmetic on the
            # array would log a step of it alone that nothing reads
            result = pandas_op(self, plain_array(other))
        if not isinstance(result, TrackingSeries):
            return result
        tracker = self._tracker
        object.__setattr__(result, "_tracker", tracker)
        if arrays_make:
            # both operands read their arrays' own (checked above): take what pandas' call made
            made = taken(result.array, op_code)
            if made is not None:
                return self._finish(result, [], op_name, op_code, words=made)
            left_rows, right_rows = _operand_rows(self, other)
        left = self._entries_at(left_rows)
        positional = self._positional_operand(other, len(result))
        if positional is None:  # a tracked scalar (a reduction's result) lends to every element
            positional = self._scalar_operand(other, len(result))
        if positional is None and tracker and untracked_rows(other):
            positional = unknown_entries(self._fields, tracker, len(result))
        if positional is not None and tracker and not _in_place_call():
            # in operand order: ``np.where(...) - s`` and ``cutoff - s`` are reflected
            operands = [positional, left] if reflected else [left, positional]
            return self._finish(result, operands, op_name, op_code)
        if not tracker or not isinstance(other, type(self)) or _in_place_call():
            # A constant or an untracked operand adds no source: the receiver's entries, and
            # on a road that logs constants, the constant as an operand.
            words = left[self._fields[0].series_attr]
            # each element kept its own word: the copy its array made, if it read its own
            kept = made_words(result, [self], KEPT) if tracker and not _in_place_call() else None
            constant = None
            if tracker and not _in_place_call() and not isinstance(other, _Series):
                constant = self._constant_operand(other, len(result))
            if constant is not None:
                operands = [constant, left] if reflected else [left, constant]
                return self._finish(result, operands, op_name, op_code, words=words.copy())
            # the array's copy is the result's alone already: copying it again is a pass
            # over every word for nothing
            taken_words = {} if kept is None else {self._fields[0].series_attr: kept}
            own = {
                name: taken_words[name] if name in taken_words else entries.copy()
                for name, entries in left.items()
            }
            result._set_fields(own)
            return result
        right = other._entries_at(right_rows)
        made = pending() if pending is not None else None
        # a filtered operand aligned onto rows it lacks: its condition decided every element
        n = len(result)
        lent = lacking(other, self, left_rows, n) + lacking(self, other, right_rows, n)
        return self._finish(result, [left, right, *lent], op_name, op_code, words=made)

    def _words_ahead(self, other: Any, op_code: int) -> Callable[[], np.ndarray] | None:
        """The words of ``self`` op ``other`` (which share their rows: there is no alignment
        to wait for), started before pandas' call when they are large; else None."""
        tracker = self._tracker
        if not (tracker and isinstance(other, type(self))):
            return None
        if _in_place_call() or len(self) < _ahead.MIN_ELEMENTS:
            return None
        words_attr = self._fields[0].series_attr
        left, right = (x._entries_at(None)[words_attr] for x in (self, other))
        return _ahead.ahead(lambda: derived_words(tracker, [left, right], op_code), len(self))

    def _scalar_operand(self, other: Any, n: int) -> dict[str, np.ndarray] | None:
        """The entries of a tracked scalar, the same for each of ``n`` elements."""
        lent = scalar_entries(other, self._tracker, self._fields)
        if lent is None:
            return None
        return {f.series_attr: np.full(n, lent[f.series_attr], f.dtype) for f in self._fields}

    def _positional_operand(self, other: Any, n: int) -> dict[str, np.ndarray] | None:
        """The entries of numpy's array for tracked inputs (np.where), read by position."""
        entries = {f.series_attr: array_entries(other, n, f.series_attr) for f in self._fields}
        if any(e is None for e in entries.values()):
            return None
        return {f.series_attr: np.asarray(entries[f.series_attr], f.dtype) for f in self._fields}

    def __divmod__(self, other: Any) -> tuple[Any, Any]:
        # pandas computes the pair in one call that none of the operators above sees
        return self // other, self % other

    def __rdivmod__(self, other: Any) -> tuple[Any, Any]:
        return other // self, other % self

    # -- one operand ---------------------------------------------------------------------

    def __neg__(self) -> Any:
        return self._stepped(_Series.__neg__(self), "neg", OpCode.NEG)

    def __invert__(self) -> Any:
        return self._stepped(_Series.__invert__(self), "invert", OpCode.LOGIC)

    def abs(self) -> Any:
        return self._stepped(super().abs(), "abs", OpCode.ABS)

    def round(self, decimals: int = 0, *args: Any, **kwargs: Any) -> Any:
        # the decimals are the step's constant: a replay rounds as pandas did
        result = super().round(decimals, *args, **kwargs)
        return self._stepped(result, "round", OpCode.ROUND, constants=(decimals,))

    def __round__(self, decimals: int = 0) -> Any:
        # pandas' own finalises the rounded result once more, from the receiver.
        return self.round(decimals)

    def astype(self, dtype: Any, *args: Any, **kwargs: Any) -> Any:
        # each value converted in its place: the result keeps its entries in a words array
        # where this series does, so that pandas moves them with the converted values (to
        # numbers, its array converts itself, words and all)
        if _in_parent():
            return super().astype(dtype, *args, **kwargs)
        kind = altering_conversion(self.dtype, dtype)
        if kind is None:
            result = super().astype(_words_target(self, dtype), *args, **kwargs)
            return held_as_words(result, self)
        # a conversion that can change a value (a float truncated to an integer, a number
        # written as text) is a step of its own: the values it gives are not its input's
        result = super().astype(dtype, *args, **kwargs)
        return self._stepped(result, "astype", OpCode.MAP, constants=(kind,))

    def isna(self) -> Any:
        # each element's own gap: its words, held in a words array as the values' are, one
        # step further where entries hold values (a gap test is not the value it tests)
        result = super().isna()
        return result if _in_parent() else held_as_words(values_stepped(result, "isnan"), self)

    def notna(self) -> Any:
        result = super().notna()
        return result if _in_parent() else held_as_words(values_stepped(result, "notna"), self)

    isnull = isna
    notnull = notna

    def isin(self, values: Any) -> Any:
        return self._with_arguments(super().isin(values), "isin", OpCode.CMP, [values], 1)

    def _with_arguments(
        self, result: Any, op_name: str, op_code: int, values: list, operands: int = 0
    ) -> Any:
        """``result``, one step of this series' elements combined with every tracked input
        among ``values`` (see ``_arguments``); the first ``operands`` values are operands
        in that order, a constant one too (see ``_constant_operand``)."""
        if not isinstance(result, TrackingSeries) or not self._tracker:
            return self._stepped(result, op_name, op_code)
        lent = []
        for position, value in enumerate(values):
            constant = self._constant_operand(value, len(result)) if position < operands else None
            if constant is not None:
                lent.append(constant)
            if constant is None or not is_scalar(value):  # a table may hold tracked values
                lent.extend(argument_operands(self, result, op_name, [value]))
        if not lent:
            return self._stepped(result, op_name, op_code)
        return self._derived(result, [self], op_name, op_code, tuple(lent))

    def _transform(
        self,
        name: str,
        op_name: str,
        op_code: int,
        args: tuple,
        kwargs: dict,
        inner: bool,
        operands: int = 0,
    ) -> Any:
        parent = getattr(_Series, name)
        if inner:
            return parent(self, *args, **kwargs)
        in_place = _compat.inplace_requested(kwargs)
        with _inside_parent(in_place=in_place):
            result = parent(self, *args, **kwargs)
        values = [*args, *kwargs.values()]
        if in_place:  # the receiver's elements now also come from the tracked inputs
            lent = argument_operands(self, self, name, values)
            if lent and self._tracker:
                self._derived(self, [self], op_name, op_code, tuple(lent))
            return result
        if not isinstance(result, _Series):
            return result
        return self._with_arguments(result, op_name, op_code, values, operands)

    def fillna(self, value: Any = 0, **kwargs: Any) -> Any:
        return self._transform("fillna", "fillna", OpCode.FILL, (value,), kwargs, _in_parent(), 1)

    def map(self, arg: Any, **kwargs: Any) -> Any:
        arg = as_user_code(arg)
        return self._transform("map", "map", OpCode.MAP, (arg,), kwargs, _in_parent(), 1)

    def apply(self, func: Any, *args: Any, **kwargs: Any) -> Any:
        # a function of each element, as for map; a series per element makes a frame, and
        # a function of the whole series (``by_row=False``) or a name: the default
        if _in_parent() or not self._tracker or not _by_element(func, kwargs):
            return _DEFAULT_APPLY(self, func, *args, **kwargs)
        with _inside_parent():
            result = _Series.apply(self, as_user_code(func), *args, **kwargs)
        values = [func, *args, *kwargs.values()]
        if not isinstance(result, TrackingSeries) or not result.index.equals(self.index):
            return over_approximated(self, result, "apply", values)
        lent = argument_operands(self, result, "apply", values)
        return self._derived(result, [self], "apply", OpCode.MAP, tuple(lent))

    def replace(self, *args: Any, **kwargs: Any) -> Any:
        inner = _in_parent()
        try:
            return self._transform("replace", "replace", OpCode.MAP, args, kwargs, inner)
        except TypeError:
            if not isinstance(self.array, WordsArray) or _compat.inplace_requested(kwargs):
                raise
        # A words column holds numbers as numbers, and pandas asks no extension array
        # whether it can hold a replacement before writing it: one it cannot hold (text
        # into integers) replaces in its values as objects, which a plain column's replace
        # turns them into.
        with _inside_parent():
            objects = _Series.astype(self, object)
        return objects._transform("replace", "replace", OpCode.MAP, args, kwargs, inner)

    # -- several operands: bounds, conditions and ufuncs --------------------------------------

    def clip(self, lower: Any = None, upper: Any = None, **kwargs: Any) -> Any:
        inner = _in_parent()
        bounds = [x for x in (lower, upper) if isinstance(x, type(self))]
        if inner or not bounds or _compat.inplace_requested(kwargs):
            args = (lower, upper)
            clipped = None if inner or bounds else self._clipped_by_values(args, kwargs)
            if clipped is not None:
                values = [*args, *kwargs.values()]
                return self._with_arguments(clipped, "clip", OpCode.CLIP, values, 2)
            return self._transform("clip", "clip", OpCode.CLIP, args, kwargs, inner, 2)
        with _inside_parent():
            result = _Series.clip(self, lower, upper, **kwargs)
        if not isinstance(result, TrackingSeries) or not self._tracker:
            return self._derived(result, [self, *bounds], "clip", OpCode.CLIP)
        object.__setattr__(result, "_tracker", self._tracker)
        # the value, then both bounds in their places (a missing one as NaN), so that the
        # step shows, and replays from, each of them
        bounds_given = [np.nan if x is None else x for x in (lower, upper)]
        operands = self._operands_in_place(result, [self, *bounds_given], "clip")
        return self._finish(result, operands, "clip", OpCode.CLIP)

    def _clipped_by_values(self, bounds: tuple, kwargs: dict) -> Any:
        """pandas' clip of the bare values, as a series of this one's words array, for
        bounds of one value each (not in place): pandas clips an extension array through
        two generic ``where`` passes that each copy the values and the words and write the
        clipped cells, where a plain column's clip is one pass. The step's words are the
        caller's to make. None for anything else."""
        array = self.array
        if not isinstance(array, WordsArray) or _compat.inplace_requested(kwargs):
            return None
        plain = array.plain()
        if not isinstance(plain, np.ndarray) or not all(x is None or is_scalar(x) for x in bounds):
            return None
        values = _Series(plain, index=self.index, copy=False).clip(*bounds, **kwargs)
        # new values in a new array, whose words are the step's (not carried)
        clipped = array._like(values.to_numpy(), array._words_moved(lambda w: w), array.node_ids)
        result = type(self)(clipped, index=self.index, name=self.name, copy=False)
        return result.__finalize__(self, method="clip")

    def between(self, left: Any, right: Any, inclusive: Any = "both") -> Any:
        # pandas' own comparisons inside make nothing: the result is one step of its inputs
        with _inside_parent(in_place=True):
            result = _Series.between(self, left, right, inclusive=inclusive)
        if not isinstance(result, TrackingSeries) or not self._tracker:
            return self._stepped(result, "between", OpCode.CMP)
        object.__setattr__(result, "_tracker", self._tracker)
        # which bounds count is a constant of the step where it is not both of them
        closed = [] if inclusive == "both" else [inclusive]
        operands = self._operands_in_place(result, [self, left, right, *closed], "between")
        return self._finish(result, operands, "between", OpCode.CMP)

    def _operands_in_place(self, result: Any, values: list, name: str) -> list:
        """The entries of ``values``, the operands of ``name`` in their places: a tracked
        series aligned on the labels, a constant as the step's constant, and a bound of
        tracked data (a quantile) with its entries for every element."""
        operands = []
        for x in values:
            if isinstance(x, type(self)):
                operands.append(x._entries_at(row_positions(result.index, x)))
            elif (constant := self._constant_operand(x, len(result))) is not None:
                operands.append(constant)
            else:
                operands.extend(argument_operands(self, result, name, [x]))
        return operands

    def where(self, cond: Any, other: Any = np.nan, **kwargs: Any) -> Any:
        return self._conditional("where", cond, other, kwargs)

    def mask(self, cond: Any, other: Any = np.nan, **kwargs: Any) -> Any:
        return self._conditional("mask", cond, other, kwargs)

    def _conditional(self, name: str, cond: Any, other: Any, kwargs: dict) -> Any:
        parent = getattr(_Series, name)
        if _in_parent():
            return parent(self, cond, other, **kwargs)
        # called here, as pandas would call them, so that what they return counts
        cond, other = (x(self) if callable(x) else x for x in (cond, other))
        in_place = _compat.inplace_requested(kwargs)
        with _inside_parent(in_place=in_place):
            result = parent(self, cond, other, **kwargs)
        # in place, the receiver's elements now combine the condition and the other values
        target = self if in_place else result
        if isinstance(target, TrackingSeries) and self._tracker:
            self._chosen(target, name, cond, other)
        return result

    def _chosen(self, target: Any, name: str, cond: Any, other: Any) -> None:
        """``target`` of ``where``/``mask``: each element combines the condition, this
        series and the other values; its node takes them as (condition, value if true,
        value if false)."""
        object.__setattr__(target, "_tracker", self._tracker)
        n = len(target)

        def entries(value: Any, constant: bool) -> list:
            if isinstance(value, type(self)):
                return [value._entries_at(row_positions(target.index, value))]
            made = self._constant_operand(value, n) if constant else None
            return [made] if made is not None else argument_operands(self, target, name, [value])

        parts = {"self": entries(self, False), "cond": entries(cond, False)}
        parts["other"] = entries(other, True)
        series = {"self": True, "cond": isinstance(cond, type(self))}
        series["other"] = isinstance(other, type(self))
        # the words combine the series first, then the other inputs, as they always have
        operands = [e for k in ("self", "cond", "other") if series[k] for e in parts[k]]
        operands += [e for k in ("cond", "other") if not series[k] for e in parts[k]]
        if_true, if_false = ("self", "other") if name == "where" else ("other", "self")
        by_node = [e for k in ("cond", if_true, if_false) for e in parts[k]]
        order = [next(i for i, o in enumerate(operands) if o is e) for e in by_node]
        self._finish(target, operands, name, OpCode.WHERE, order=order)

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        calls = _binop_calls()
        with operands_aligned():
            result = super().__array_ufunc__(ufunc, method, *inputs, **kwargs)
        if method != "__call__" or _binop_calls() != calls:
            return result  # a reduction, or pandas ran one of the operators, which made them
        series = [x for x in inputs if isinstance(x, type(self))]
        for out in result if isinstance(result, tuple) else (result,):
            if not isinstance(out, TrackingSeries) or not self._tracker:
                self._derived(out, series, ufunc.__name__, OpCode.UFUNC)
                continue
            object.__setattr__(out, "_tracker", self._tracker)
            operands = [self._ufunc_operand(x, out) for x in inputs]
            # the words pandas moved hold the series' only: other data adds its own
            only_series = all(isinstance(x, type(self)) or is_constant(x) for x in inputs)
            made = made_words(out, series, OpCode.UFUNC) if only_series else None
            kept = [o for o in operands if o is not None]
            self._finish(out, kept, ufunc.__name__, OpCode.UFUNC, words=made)
        return result

    def _ufunc_operand(self, value: Any, result: Any) -> dict[str, Any] | None:
        """An input of numpy's function that made ``result``: a tracked series aligned on
        the labels, anything else by position (see ``operand_entries``)."""
        if isinstance(value, type(self)):
            return value._entries_at(row_positions(result.index, value))
        return operand_entries(self._tracker, self._fields, value, len(result))

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        # numpy's own implementation, as if this class did not take part: for a series that
        # is what numpy does anyway (it calls the series' method, or converts it).
        if func not in ARRAY_FUNCTIONS:
            result = func._implementation(*args, **kwargs)
            if not self._tracker or self._made_by_a_method(result):
                return result  # np.round(s), np.clip(s, ...), np.mean(s): s's own method
            return numpy_over_approximated(self, func, args, kwargs, result)
        # the numpy functions it calls on the way (np.select broadcasts its choices) are its
        # own steps
        with _inside_parent():
            result = func._implementation(*args, **kwargs)
        tracker = self._tracker
        if not tracker:
            return result
        if not isinstance(result, np.ndarray) or result.ndim != 1 or len(result) != len(self):
            return result
        flat = _flatten(args) + _flatten(list(kwargs.values()))
        # positional, as numpy is: the operands' entries line up element by element, with
        # the constants among them (np.where(cond, 800, 0)) in their places
        operands = []
        for x in flat:
            if isinstance(x, type(self)) and len(x) == len(self):
                operands.append(x._entries_at(None))
            elif (positional := self._positional_operand(x, len(result))) is not None:
                operands.append(positional)  # numpy's array of an inner np.where
            elif (lent := scalar_entries(x, tracker, self._fields)) is not None:
                n = len(result)  # a tracked scalar as a choice: its entries where it is
                operands.append({f.series_attr: np.full(n, lent[f.series_attr], f.dtype)
                                 for f in self._fields})  # fmt: skip
            elif (constant := self._constant_operand(x, len(result))) is not None:
                operands.append(constant)
        shape = type(self)(result, index=pd.RangeIndex(len(result)))
        object.__setattr__(shape, "_tracker", tracker)
        self._finish(shape, operands, func.__name__, OpCode.WHERE)
        entries = [getattr(shape, f.series_attr) for f in self._fields]
        nodes = entries[1] if len(entries) > 1 else None
        return tracked_array(result, entries[0], tracker, nodes, self._fields)

    def _made_by_a_method(self, result: Any) -> bool:
        """Whether numpy's ``result`` is what one of this series' own methods gave back,
        tracked by it (numpy calls ``round``, ``clip``, ``cumsum``, ``mean``, ... of an
        object that has them); a numpy result of the values it converted is not."""
        if isinstance(result, (pd.Series, pd.DataFrame)):
            return getattr(result, "_tracker", None) is self._tracker
        return scalar_entries(result, self._tracker, self._fields) is not None

    def combine_first(self, other: Any) -> Any:
        with _inside_parent(in_place=True):  # pandas' own steps inside make nothing
            result = _Series.combine_first(self, other)
        if not isinstance(result, TrackingSeries) or not self._tracker:
            return self._stepped(result, "combine_first", OpCode.WHERE)
        lent = argument_operands(self, result, "combine_first", [other])
        if isinstance(other, type(self)):  # and this series' rows, if a condition chose them
            lent += choices(other, self, len(result))
        return self._derived(result, [self], "combine_first", OpCode.WHERE, tuple(lent))

    def update(self, other: Any) -> Any:
        with _inside_parent(in_place=True):
            result = _Series.update(self, other)
        lent = argument_operands(self, self, "update", [other])
        if lent and self._tracker:
            # an element may now hold the other's value: it comes from both
            self._derived(self, [self], "update", OpCode.WHERE, tuple(lent))
        return result

    def interpolate(self, *args: Any, **kwargs: Any) -> Any:
        with _inside_parent(in_place=_compat.inplace_requested(kwargs)):
            result = _Series.interpolate(self, *args, **kwargs)
        if not isinstance(result, TrackingSeries) or result is self:
            return result
        # a filled element reads its neighbours, as the rows' order puts them
        return self._whole_column(result, "interpolate", in_order=True)

    # -- .str and .dt (see _accessors): their steps ------------------------------------------

    def _elementwise(
        self, values: pd.Series, op_name: builtins.str, op_code: int, others: list
    ) -> Any:
        """``values`` (pandas' result, made element by element from this series and the
        tracked series ``others``, same rows) as a tracked series one step further."""
        own = {f.series_attr: getattr(self, f.series_attr) for f in self._fields}
        result = type(self)(values, _tracker=self._tracker, **own)
        if others:
            return self._derived(result, [self, *others], op_name, op_code)
        return self._stepped(result, op_name, op_code)

    # -- groups, windows and the whole column (see _groups) ----------------------------------

    def groupby(self, by: Any = None, *args: Any, **kwargs: Any) -> Any:
        grouped = super().groupby(by, *args, **kwargs)
        if _in_parent():  # pandas' own grouping inside one of the containers' calls
            return grouped
        return _groups.TrackedGroupBy(
            self, grouped, _groups.key_arrays(self, by, kwargs.get("level"))
        )

    def resample(self, rule: Any, *args: Any, **kwargs: Any) -> Any:
        resampler = super().resample(rule, *args, **kwargs)
        if _in_parent():
            return resampler
        return _groups.resampled(self, resampler, kwargs.get("on"), kwargs.get("level"))


#: The named forms of the operators (``s.add(t)``, ``frame.mul(s, axis=0)``): pandas
#: computes them without the operator symbols, so each is given its operator's step.
NAMED_OPERATORS = {
    "add": "__add__", "radd": "__radd__",
    "sub": "__sub__", "subtract": "__sub__", "rsub": "__rsub__",
    "mul": "__mul__", "multiply": "__mul__", "rmul": "__rmul__",
    "truediv": "__truediv__", "div": "__truediv__", "divide": "__truediv__",
    "rtruediv": "__rtruediv__", "rdiv": "__rtruediv__",
    "floordiv": "__floordiv__", "rfloordiv": "__rfloordiv__",
    "mod": "__mod__", "rmod": "__rmod__",
    "pow": "__pow__", "rpow": "__rpow__",
    "eq": "__eq__", "ne": "__ne__", "lt": "__lt__", "le": "__le__", "gt": "__gt__", "ge": "__ge__",
}  # fmt: skip


def operators_of(pandas_class: type) -> dict[str, tuple[str, int]]:
    """Every operator of ``pandas_class`` (Series or DataFrame), symbols and named forms,
    with its operation name and code."""
    named = {
        name: BINARY_OPERATORS[symbol]
        for name, symbol in NAMED_OPERATORS.items()
        if hasattr(pandas_class, name)
    }
    return {**BINARY_OPERATORS, **named}


def pandas_operator(pandas_class: type, name: str, args: tuple, kwargs: dict) -> Callable:
    """pandas' operator ``name`` as a function of the two operands (a named form with its
    further arguments: ``axis``, ``level``, ``fill_value``)."""
    method = getattr(pandas_class, name)
    if not args and not kwargs:
        return method
    return lambda left, right: method(left, right, *args, **kwargs)


def _binary_operator(name: str, op_name: str, op_code: int) -> Callable[..., Any]:
    # a reflected operator (``800 - s``, ``s.rsub(800)``) has its other operand on the left
    reflected = name.strip("_").startswith("r")

    def operator(self: TrackingSeries, other: Any, *args: Any, **kwargs: Any) -> Any:
        pandas_op = pandas_operator(_Series, name, args, kwargs)
        fills = kwargs.get("fill_value", args[1] if len(args) > 1 else None) is not None
        return self._tracked_binop(other, pandas_op, op_name, op_code, reflected, fills)

    operator.__name__ = operator.__qualname__ = name
    operator.__doc__ = getattr(_Series, name).__doc__
    return operator


for _name, (_op_name, _code) in operators_of(_Series).items():
    setattr(TrackingSeries, _name, _binary_operator(_name, _op_name, _code))


#: Reductions to one value: it carries the entries of one value made of the whole column
#: (and of the decisions that selected its rows), see ``_scalars``.
REDUCTIONS = (
    "sum", "prod", "mean", "median", "min", "max", "std", "var", "sem", "skew", "kurt",
    "quantile", "count", "nunique", "idxmax", "idxmin", "any", "all",
)  # fmt: skip


def _reduction(name: str) -> Callable[..., Any]:
    parent = getattr(_Series, name)

    def reduce(self: TrackingSeries, *args: Any, **kwargs: Any) -> Any:
        with _inside_parent():  # what pandas computes on the way (a quantile's frame) is its own
            value = parent(self, *args, **kwargs)
        tracker = self._tracker
        if not tracker or _in_place_call():
            return value
        if isinstance(value, (pd.Series, pd.DataFrame)):  # several quantiles: each one value
            return made_whole(self, value, name, [*args, *kwargs.values()])
        entries = valued(value, self._fields, tracker, one_value(self, name))
        return tracked_scalar(value, tracker, self._fields, entries)

    reduce.__name__ = reduce.__qualname__ = name
    reduce.__doc__ = parent.__doc__
    return reduce


for _name in REDUCTIONS:
    setattr(TrackingSeries, _name, _reduction(_name))


def quiet_temporaries(cls: type, names: tuple[str, ...]) -> None:
    """Give ``cls`` the methods ``names`` it inherits, with their operator calls quiet.

    These pandas methods compute masks of their own with the operators and reductions
    (the rows that dropna and drop_duplicates keep, the differences of compare);
    such temporaries build no words, log no node and record no value, which for every
    row of a frame would cost more than the method itself and fill the log with steps
    nobody made.
    """
    for name in names:
        setattr(cls, name, _quiet(getattr(super(cls, cls), name), name))


def _quiet(method: Callable, name: str) -> Callable:
    @functools.wraps(method)
    def quiet(self: Any, *args: Any, **kwargs: Any) -> Any:
        with _inside_parent(in_place=True):
            return method(self, *args, **kwargs)

    quiet.__name__ = quiet.__qualname__ = name
    return quiet


quiet_temporaries(TrackingSeries, ("compare",))

#: The frame methods whose operator calls are pandas' own temporaries (see above). Not
#: ``query``: its condition is the user's expression, and the selection it makes names
#: every column and ``@variable`` the condition read.
QUIET_FRAME_METHODS = ("drop_duplicates", "dropna", "compare")


#: ``Series.apply`` where it is not a function of each element (see ``TrackingSeries.apply``)
_DEFAULT_APPLY = over_approximating(_Series.apply, "apply")


def _by_element(func: Any, kwargs: dict) -> bool:
    """Whether pandas' ``apply`` calls ``func`` with each element, one by one."""
    return (
        callable(func)
        and not isinstance(func, (type, np.ufunc))
        and kwargs.get("by_row", "compat") is not False
    )


def _words_target(series: Any, dtype: Any) -> Any:
    """The words dtype of ``dtype`` values where ``series`` holds numbers or booleans in a
    words array and ``dtype`` is numpy's for numbers or booleans; else ``dtype``."""
    array = series.array
    if not isinstance(array, WordsArray) or array.dtype.text_dtype is not None:
        return dtype
    try:
        target = pd.api.types.pandas_dtype(dtype)
    except TypeError:
        return dtype
    if not isinstance(target, np.dtype) or target.kind not in "biufc":
        return dtype
    return array.dtype.with_values(target)


def absent_entries(field: Field, n: int) -> np.ndarray:
    """``n`` absent entries as a read-only view that costs nothing: most series built with
    them are given their real entries by ``__finalize__`` straight away."""
    return np.broadcast_to(np.array(field.absent, dtype=field.dtype), (n,))


default_for_unmodelled(TrackingSeries, _Series)
