"""TrackedSeries: a pandas Series that carries one ORRIN-32 word per element."""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, ClassVar

import numpy as np
import pandas as pd
from pandas import Series

from .._checks import as_int
from .._follow import Field, FollowingSeries, gather
from . import _compat, _engine
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


def _aligned_words(series: Any) -> np.ndarray:
    """The word array of ``series``, one word per element (not a copy)."""
    return np.asarray(series._prov, dtype=np.uint32)


def _operand_words(series: Any, other: Any, result: Any) -> tuple[np.ndarray, np.ndarray] | None:
    """Words of both operands, one pair per result element, aligned on the index as pandas
    aligned their values; None when ``other`` lends no words (untracked) and the
    alignment left the rows in place."""
    left = _aligned_words(series)
    right = _aligned_words(other) if isinstance(other, TrackedSeries) else None
    if isinstance(other, Series) and not _same_rows(series.index, other.index):
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


def _same_rows(a: pd.Index, b: pd.Index) -> bool:
    return a is b or a.equals(b)


class TrackedSeries(FollowingSeries, Series):
    """Pandas Series with ORRIN-32 provenance (taint + depth aware)."""

    _metadata: ClassVar[list[str]] = ["_name", "_prov", "_tracker"]
    _fields = (WORDS,)

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        prov = kwargs.pop("_prov", None)
        tracker = kwargs.pop("_tracker", None)
        super().__init__(*args, **kwargs)
        self._tracker = tracker
        if prov is not None:
            self._prov = prov
        elif args and isinstance(args[0], TrackedSeries) and len(args[0]) == len(self):
            self._prov = _aligned_words(args[0])
        else:
            self._prov = np.zeros(len(self), dtype=np.uint32)

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
        object.__setattr__(ser, "_prov", np.zeros(len(ser), dtype=np.uint32))
        object.__setattr__(ser, "_tracker", None)
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

    def _tracked_binop(self, other: Any, pandas_op: Callable[[Any, Any], Any], op_code: int) -> Any:
        op_code = _as_op_code(op_code)
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
        elif isinstance(other, TrackedSeries):
            result._prov = np.asarray(
                _engine_function("combine_batch")(tracker._rust, *operands, op_code),
                dtype=np.uint32,
            )
        else:
            result._prov = operands[0].copy()
        return result

    # -- two-operand operators: pandas computes and aligns, the words follow ------------------

    def __add__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__add__, OpCode.ADD)

    def __sub__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__sub__, OpCode.SUB)

    def __mul__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__mul__, OpCode.MUL)

    def __truediv__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__truediv__, OpCode.DIV)

    def __floordiv__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__floordiv__, OpCode.DIV)

    def __pow__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__pow__, OpCode.MUL)

    def __radd__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__radd__, OpCode.ADD)

    def __rsub__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__rsub__, OpCode.SUB)

    def __rmul__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__rmul__, OpCode.MUL)

    def __rtruediv__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__rtruediv__, OpCode.DIV)

    def __gt__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__gt__, OpCode.CMP)

    def __lt__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__lt__, OpCode.CMP)

    def __ge__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__ge__, OpCode.CMP)

    def __le__(self, other: Any) -> Any:
        return self._tracked_binop(other, Series.__le__, OpCode.CMP)

    # -- one-operand operations -------------------------------------------------------------

    def __neg__(self) -> Any:
        return self._stepped(Series.__neg__(self), OpCode.NEG)

    def clip(self, lower: Any = None, upper: Any = None, **kwargs: Any) -> Any:
        in_place = _compat.inplace_requested(kwargs)
        with _inside_parent(in_place=in_place):
            result = super().clip(lower, upper, **kwargs)
        return result if in_place else self._stepped(result, OpCode.CLIP)

    # -- transforms through pandas ----------------------------------------------------------

    def _transform(
        self, name: str, op_code: int, args: tuple, kwargs: dict, pandas_calls: bool
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
