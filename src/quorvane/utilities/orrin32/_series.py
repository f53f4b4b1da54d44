"""TrackedSeries: a pandas Series that carries one ORRIN-32 word per element."""

from __future__ import annotations

import builtins
import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, ClassVar

import numpy as np
import pandas as pd
from pandas import Series

from .. import _row_order
from .._caller_warnings import report_warnings_at_caller
from .._checks import as_int
from .._follow import (
    Field,
    FollowingSeries,
    array_words,
    followed_attribute,
    gather,
    operation,
    row_positions,
    tracked_array,
)
from . import _compat, _engine, _groups, _lineage
from ._accessors import SeriesAccessors
from ._word import OpCode

_BATCH_FUNCTIONS = (
    "combine_batch",
    "update_chain_batch",
    "encode_source_column",
    "is_tainted_batch",
    "risk_score_batch",
)
_IMPORTED = {name: getattr(_engine, name) for name in _BATCH_FUNCTIONS}


def _engine_function(name: str) -> Callable[..., Any]:
    """The engine array function ``name``, looked up when called.

    A replacement set on the public ``orrin32`` module or on its ``_engine`` module is
    honoured, so that either can be patched.
    """
    current = getattr(_engine, name)
    if current is not _IMPORTED[name]:
        return current
    return getattr(sys.modules[__package__], name, current)


# pandas implements some methods by calling them again on the same object (replace with a
# dict calls replace with lists). Such inner calls, made by pandas' own code, are pandas'
# business: they behave as plain pandas and build no words of their own. A user's callback
# running inside map is not pandas and keeps its words. During an in-place call, pandas' own
# temporaries (for example "-cond" inside clip) build no words either.
_parent_call = threading.local()


@contextmanager
def _inside_parent(*, in_place: bool = False) -> Iterator[None]:
    saved = (getattr(_parent_call, "depth", 0), getattr(_parent_call, "in_place", False))
    _parent_call.depth = saved[0] + 1
    _parent_call.in_place = saved[1] or in_place
    try:
        yield
    finally:
        _parent_call.depth, _parent_call.in_place = saved


def _in_parent() -> bool:
    return getattr(_parent_call, "depth", 0) > 0


def _in_place_call() -> bool:
    return getattr(_parent_call, "in_place", False)


def _as_op_code(op_code: Any) -> int:
    # Operation codes feed the engine's chain hash; a str such as "3" must not slip through
    # int() conversion, so only objects with an integer conversion are accepted.
    return as_int("op_code", op_code)


def _unknown_word(tracker: Any) -> int:
    unknown = getattr(tracker, "unknown_word", None)
    return unknown() if unknown is not None else 0


#: The words of a series (``_prov``) and of a frame's columns (``_col_prov``).
WORDS = Field("_prov", "_col_prov", np.uint32, absent=0, unknown=_unknown_word)


_NO_WORD = np.zeros(1, dtype=np.uint32)


def no_words(n: int) -> np.ndarray:
    """``n`` words 0, as a read-only view that costs nothing: most series built with them
    are given their real words by ``__finalize__`` straight away."""
    return np.broadcast_to(_NO_WORD[0], (n,))


def _aligned_words(series: Any) -> np.ndarray:
    """The word array of ``series``, one word per element (not a copy)."""
    return np.asarray(series._prov, dtype=np.uint32)


def _operand_words(series: Any, other: Any, result: Any) -> tuple[np.ndarray, np.ndarray] | None:
    """Words of both operands, one pair per result element, aligned on the index as pandas
    aligned their values; None when ``other`` lends no words (untracked) and the
    alignment left the rows in place."""
    left = _aligned_words(series)
    right = _aligned_words(other) if isinstance(other, TrackedSeries) else None
    if right is None:
        right = array_words(other, len(left))  # numpy's result for tracked inputs
    if isinstance(other, Series) and not _same_rows(series.index, other.index):
        if series.index.is_unique and other.index.is_unique:
            # pandas aligned on the union of the labels: find each side's rows in it
            left_rows = series.index.get_indexer(result.index)
            right_rows = other.index.get_indexer(result.index)
        else:
            joined, left_rows, right_rows = series.index.join(
                other.index, how="outer", return_indexers=True
            )
            if len(joined) != len(result):
                raise AssertionError("alignment differs from pandas")  # pragma: no cover
        left = gather(left, left_rows, WORDS.absent, np.uint32)
        if right is not None:
            right = gather(right, right_rows, WORDS.absent, np.uint32)
    if right is None:
        return None if len(left) != len(result) else (left, left)
    return left, right


def _derived_words(tracker: Any, result: Any, operands: list, op_code: int) -> np.ndarray:
    """Words of a result made element by element from tracked ``operands``, which pandas
    aligned on the result's index: every element combines its operands' elements."""
    if not operands:
        return np.zeros(len(result), dtype=np.uint32)
    aligned = [
        gather(_aligned_words(x), row_positions(result.index, x), WORDS.absent, np.uint32)
        for x in operands
    ]
    if not tracker:  # no algebra without a tracker: the first operand's words, as they are
        return aligned[0].copy()
    if len(aligned) == 1:
        words = _engine_function("update_chain_batch")(tracker._rust, aligned[0], op_code)
    elif len(aligned) == 2:
        words = _engine_function("combine_batch")(tracker._rust, *aligned, op_code)
    else:  # one step over all of them, not one per operand
        words = _groups.row_words(tracker, aligned, len(result), op_code)
    return np.asarray(words, dtype=np.uint32)


#: numpy functions whose element-wise result carries words (see TrackedArray) combining
#: every tracked input, the conditions of np.where and np.select included.
_ARRAY_FUNCTIONS = frozenset({np.where, np.select, np.piecewise, np.choose})


def _flatten(items: Any) -> list:
    flat: list = []
    for item in items:
        if isinstance(item, (list, tuple)):
            flat.extend(_flatten(item))
        else:
            flat.append(item)
    return flat


# How many two-operand operations this thread ran: a ufunc that pandas hands to one of them
# has its words already.
_binop_count = threading.local()


def _count_binop() -> None:
    _binop_count.n = getattr(_binop_count, "n", 0) + 1


def _binop_calls() -> int:
    return getattr(_binop_count, "n", 0)


def _same_rows(a: pd.Index, b: pd.Index) -> bool:
    return a is b or a.equals(b)


class TrackedSeries(SeriesAccessors, _groups.WindowingSeries, FollowingSeries, Series):
    """Pandas Series with ORRIN-32 provenance (taint + depth aware)."""

    _metadata: ClassVar[list[str]] = ["_name", "_prov", "_tracker"]
    _fields = (WORDS,)
    _prov = followed_attribute("_prov")

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        prov = kwargs.pop("_prov", None)
        tracker = kwargs.pop("_tracker", None)
        super().__init__(*args, **kwargs)
        self._tracker = tracker
        _row_order.carry(self, args[0] if args else kwargs.get("data"))
        if prov is not None:
            self._prov = prov
        elif args and isinstance(args[0], TrackedSeries) and len(args[0]) == len(self):
            self._prov = _aligned_words(args[0])
        else:
            self._prov = no_words(len(self))
            self._followed = False  # bare values: provenance unknown until given
            _groups.cut_from(self, _compat.pandas_caller_local("_postprocess_for_cut", "original"))

    def __setstate__(self, state: Any) -> None:
        super().__setstate__(state)
        _lineage.come_home(self, "_prov", per_column=False)

    # -- pandas construction hooks ------------------------------------------------------

    @property
    def _constructor(self) -> type[TrackedSeries]:
        return TrackedSeries

    @property
    def _constructor_expanddim(self) -> type:
        from ._frame import TrackedDataFrame

        return TrackedDataFrame

    def _constructor_from_mgr(self, mgr: Any, axes: Any) -> TrackedSeries:
        # Built without __init__ (see _compat); the attributes get defaults here and the
        # source's through __finalize__.
        ser = _compat.from_mgr(TrackedSeries, mgr, axes)
        object.__setattr__(ser, "_name", None)
        object.__setattr__(ser, "_prov", no_words(len(ser)))
        object.__setattr__(ser, "_tracker", None)
        object.__setattr__(ser, "_followed", False)
        return ser

    def _constructor_expanddim_from_mgr(self, mgr: Any, axes: Any) -> Any:
        from ._frame import TrackedDataFrame

        return TrackedDataFrame._from_mgr_with_defaults(mgr, axes)

    # -- word propagation ---------------------------------------------------------------

    def _chain_words(self, op_code: int) -> np.ndarray:
        words = _aligned_words(self)
        tracker = self._tracker
        if tracker and not _in_place_call():
            return np.asarray(
                _engine_function("update_chain_batch")(tracker._rust, words, op_code),
                dtype=np.uint32,
            )
        return words.copy()

    def _stepped(self, result: Any, op_code: int) -> Any:
        """``result`` (built by pandas from this series, same rows) with one step more."""
        if isinstance(result, TrackedSeries) and result is not self:
            object.__setattr__(result, "_prov", result._chain_words(_as_op_code(op_code)))
        return result

    def _derived(self, result: Any, operands: list, op_name: str, op_code: int) -> Any:
        """``result`` (pandas' values, aligned on its index) made element by element from
        tracked ``operands``: each element combines its operands' words with one step."""
        tracker = self._tracker
        if isinstance(result, TrackedSeries) and tracker:
            object.__setattr__(result, "_tracker", tracker)
            result._prov = _derived_words(tracker, result, operands, op_code)
        return result

    def _tracked_binop(self, other: Any, pandas_op: Callable[[Any, Any], Any], op_code: int) -> Any:
        op_code = _as_op_code(op_code)
        _count_binop()
        if _in_parent() and _compat.caller_is_pandas(depth=3):
            return pandas_op(self, other)  # pandas' own step inside one of ours
        result = pandas_op(self, other)
        tracker = self._tracker
        if not isinstance(result, TrackedSeries):
            return result
        # pandas finalises the result from both operands in turn: the receiver's tracker
        # is the result's.
        object.__setattr__(result, "_tracker", tracker)
        operands = _operand_words(self, other, result)
        if not tracker or _in_place_call():
            if operands is not None:
                result._prov = operands[0].copy()
        elif operands is None:
            result._prov = np.full(len(result), _unknown_word(tracker), dtype=np.uint32)
        elif operands[1] is not operands[0]:
            result._prov = np.asarray(
                _engine_function("combine_batch")(tracker._rust, *operands, op_code),
                dtype=np.uint32,
            )
        else:
            result._prov = operands[0].copy()
        return result

    # -- operators: pandas computes and aligns, the words follow (see BINARY_OPERATORS) ------------

    def __neg__(self) -> Any:
        return self._stepped(Series.__neg__(self), OpCode.NEG)

    def __invert__(self) -> Any:
        return self._stepped(Series.__invert__(self), OpCode.LOGIC)

    def abs(self) -> Any:
        return self._stepped(super().abs(), OpCode.ABS)

    def round(self, *args: Any, **kwargs: Any) -> Any:
        return self._stepped(super().round(*args, **kwargs), OpCode.ROUND)

    def __round__(self, decimals: int = 0) -> Any:
        # pandas' own finalises the rounded result once more, from the receiver.
        return self.round(decimals)

    # -- conditions are inputs --------------------------------------------------------------

    def where(self, cond: Any, other: Any = np.nan, **kwargs: Any) -> Any:
        return self._conditional("where", cond, other, kwargs)

    def mask(self, cond: Any, other: Any = np.nan, **kwargs: Any) -> Any:
        return self._conditional("mask", cond, other, kwargs)

    def _conditional(self, name: builtins.str, cond: Any, other: Any, kwargs: dict) -> Any:
        in_place = _compat.inplace_requested(kwargs)
        if _in_parent() and _compat.caller_is_pandas(depth=3):
            return getattr(Series, name)(self, cond, other, **kwargs)
        with _inside_parent(in_place=in_place):
            result = getattr(Series, name)(self, cond, other, **kwargs)
        target = self if in_place else result
        if isinstance(target, TrackedSeries) and self._tracker:
            operands = [self, *(x for x in (cond, other) if isinstance(x, TrackedSeries))]
            target._prov = _derived_words(self._tracker, target, operands, OpCode.WHERE)
        return result

    def between(self, left: Any, right: Any, inclusive: Any = "both") -> Any:
        result = super().between(left, right, inclusive=inclusive)
        operands = [self, *(x for x in (left, right) if isinstance(x, TrackedSeries))]
        if isinstance(result, TrackedSeries) and self._tracker:
            result._prov = _derived_words(self._tracker, result, operands, OpCode.CMP)
        return result

    def isin(self, values: Any) -> Any:
        return self._stepped(super().isin(values), OpCode.CMP)

    def __array_ufunc__(self, ufunc: Any, method: builtins.str, *inputs: Any, **kwargs: Any) -> Any:
        calls = _binop_calls()
        result = super().__array_ufunc__(ufunc, method, *inputs, **kwargs)
        if method != "__call__" or _binop_calls() != calls:
            return result  # a reduction, or pandas ran one of the operators above
        outputs = result if isinstance(result, tuple) else (result,)
        operands = [x for x in inputs if isinstance(x, TrackedSeries)]
        for out in outputs:
            if isinstance(out, TrackedSeries):
                object.__setattr__(out, "_tracker", self._tracker)
                out._prov = _derived_words(self._tracker, out, operands, OpCode.UFUNC)
        return result

    def clip(self, lower: Any = None, upper: Any = None, **kwargs: Any) -> Any:
        in_place = _compat.inplace_requested(kwargs)
        with _inside_parent(in_place=in_place):
            result = super().clip(lower, upper, **kwargs)
        bounds = [x for x in (lower, upper) if isinstance(x, TrackedSeries)]
        if in_place or not bounds or not self._tracker or not isinstance(result, TrackedSeries):
            return result if in_place else self._stepped(result, OpCode.CLIP)
        result._prov = _derived_words(self._tracker, result, [self, *bounds], OpCode.CLIP)
        return result

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        # numpy's own implementation, as if this class did not take part: for a series that
        # is what numpy does anyway (it calls the series' method, or converts it).
        result = func._implementation(*args, **kwargs)
        if func not in _ARRAY_FUNCTIONS or not self._tracker:
            if getattr(self._tracker, "strict", False) and not _compat.caller_is_pandas():
                with operation(f"np.{func.__name__}"):
                    self._tracker.unknown_word()  # raises: numpy's result carries no words
            return result
        flat = _flatten(args) + _flatten(list(kwargs.values()))
        operands = [x for x in flat if isinstance(x, TrackedSeries) and len(x) == len(self)]
        if not isinstance(result, np.ndarray) or result.ndim != 1 or len(result) != len(self):
            return result
        # Positional, as numpy is: the operands' words line up element by element.
        index = pd.RangeIndex(len(result))
        positional = [TrackedSeries(x._prov, index=index, _prov=x._prov) for x in operands]
        shape = TrackedSeries(np.zeros(len(result)), index=index)
        words = _derived_words(self._tracker, shape, positional, OpCode.WHERE)
        return tracked_array(result, words, self._tracker)

    # -- .str and .dt (see _accessors): their steps ------------------------------------------

    def _elementwise(
        self, values: Series, op_name: builtins.str, op_code: int, others: list
    ) -> Any:
        """``values`` (pandas' result, made element by element from this series and the
        tracked series ``others``, same rows) as a tracked series one step further."""
        result = TrackedSeries(values, _prov=_aligned_words(self), _tracker=self._tracker)
        if others:
            return self._derived(result, [self, *others], op_name, op_code)
        return self._stepped(result, op_code)

    # -- groups, windows and the whole column (see _groups) ----------------------------------

    def groupby(self, by: Any = None, *args: Any, **kwargs: Any) -> Any:
        grouped = super().groupby(by, *args, **kwargs)
        if _compat.caller_is_pandas():
            return grouped
        return _groups.TrackedGroupBy(self, grouped, _groups.key_arrays(self, by))

    # -- transforms through pandas ----------------------------------------------------------

    def _transform(
        self, name: builtins.str, op_code: int, args: tuple, kwargs: dict, pandas_calls: bool
    ) -> Any:
        parent = getattr(Series, name)
        if pandas_calls:
            return parent(self, *args, **kwargs)
        in_place = _compat.inplace_requested(kwargs)
        with _inside_parent(in_place=in_place):
            result = parent(self, *args, **kwargs)
        if in_place or not isinstance(result, Series):
            return result
        return self._stepped(result, op_code)

    def fillna(self, value: Any = 0, **kwargs: Any) -> Any:
        inner = _in_parent() and _compat.caller_is_pandas()
        return self._transform("fillna", OpCode.FILL, (value,), kwargs, inner)

    def map(self, arg: Any, **kwargs: Any) -> Any:
        inner = _in_parent() and _compat.caller_is_pandas()
        return self._transform("map", OpCode.MAP, (arg,), kwargs, inner)

    def replace(self, *args: Any, **kwargs: Any) -> Any:
        inner = _in_parent() and _compat.caller_is_pandas()
        return self._transform("replace", OpCode.MAP, args, kwargs, inner)


#: Two-operand operators of both roads, reflected forms included (pandas' augmented forms,
#: ``+=``, call them and then update the receiver in place): the operation's name (a
#: reflected operator has its forward one's) and its code.
BINARY_OPERATORS = {
    "__add__": ("add", OpCode.ADD), "__radd__": ("add", OpCode.ADD),
    "__sub__": ("sub", OpCode.SUB), "__rsub__": ("sub", OpCode.SUB),
    "__mul__": ("mul", OpCode.MUL), "__rmul__": ("mul", OpCode.MUL),
    "__truediv__": ("div", OpCode.DIV), "__rtruediv__": ("div", OpCode.DIV),
    "__floordiv__": ("floordiv", OpCode.DIV), "__rfloordiv__": ("floordiv", OpCode.DIV),
    "__mod__": ("mod", OpCode.MOD), "__rmod__": ("mod", OpCode.MOD),
    "__pow__": ("pow", OpCode.POW), "__rpow__": ("pow", OpCode.POW),
    "__gt__": ("gt", OpCode.CMP), "__lt__": ("lt", OpCode.CMP),
    "__ge__": ("ge", OpCode.CMP), "__le__": ("le", OpCode.CMP),
    "__eq__": ("eq", OpCode.CMP), "__ne__": ("ne", OpCode.CMP),
    "__and__": ("and", OpCode.LOGIC), "__rand__": ("and", OpCode.LOGIC),
    "__or__": ("or", OpCode.LOGIC), "__ror__": ("or", OpCode.LOGIC),
    "__xor__": ("xor", OpCode.LOGIC), "__rxor__": ("xor", OpCode.LOGIC),
}  # fmt: skip


def _binary_operator(name: str, op_code: int) -> Callable[[TrackedSeries, Any], Any]:
    pandas_op = getattr(Series, name)

    def operator(self: TrackedSeries, other: Any) -> Any:
        return self._tracked_binop(other, pandas_op, op_code)

    operator.__name__ = operator.__qualname__ = name
    return operator


for _name, (_, _code) in BINARY_OPERATORS.items():
    setattr(TrackedSeries, _name, _binary_operator(_name, _code))


report_warnings_at_caller(TrackedSeries)
