"""TrackedSeries: a pandas Series that carries one ORRIN-32 word per element."""

from __future__ import annotations

import operator
import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, ClassVar

import numpy as np
import pandas as pd

from .._checks import as_int
from . import _compat, _engine
from ._word import OpCode

_ZERO_WORD = np.zeros(1, dtype=np.uint32)

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


def _fit_words(prov: np.ndarray, n: int) -> np.ndarray:
    """Words of a container of ``n`` elements whose word array has another length.

    Results that pandas derives (row filters, ``head``) share their source's word array
    unchanged. Such an array is read as ``n`` copies of its first word (zeros when it is
    empty), the same rule a frame applies to its columns.
    """
    first = prov[:1] if len(prov) else _ZERO_WORD
    return np.broadcast_to(first, n).astype(np.uint32, copy=True)


def _aligned_words(series: Any) -> np.ndarray:
    """The word array of ``series`` with exactly one word per element (not a copy)."""
    prov = series._prov
    n = len(series)
    if len(prov) == n:
        return prov
    return _fit_words(np.asarray(prov, dtype=np.uint32), n)


def _negate(values: Any) -> Any:
    # numpy refuses "-" on booleans; pandas negates them logically and relies on that
    # itself (for example "-cond" inside where/clip).
    if isinstance(values, np.ndarray) and values.dtype == np.bool_:
        return np.logical_not(values)
    return operator.neg(values)


class TrackedSeries(pd.Series):
    """Pandas Series with ORRIN-32 provenance (taint + depth aware)."""

    _metadata: ClassVar[list[str]] = ["_prov", "_tracker"]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        prov = kwargs.pop("_prov", None)
        tracker = kwargs.pop("_tracker", None)
        super().__init__(*args, **kwargs)
        self._prov = prov if prov is not None else np.zeros(len(self), dtype=np.uint32)
        self._tracker = tracker

    # -- pandas construction hooks ------------------------------------------------------

    @property
    def _constructor(self) -> type[TrackedSeries]:
        return TrackedSeries

    def _constructor_from_mgr(self, mgr: Any, axes: Any) -> TrackedSeries:
        # Built without __init__ (see _compat); the attributes get defaults here and the
        # source's values through __finalize__ when pandas propagates metadata.
        ser = _compat.from_mgr(TrackedSeries, mgr, axes)
        object.__setattr__(ser, "_name", None)
        object.__setattr__(ser, "_prov", np.zeros(len(ser), dtype=np.uint32))
        object.__setattr__(ser, "_tracker", None)
        return ser

    def __finalize__(self, other: Any, method: str | None = None, **kwargs: Any) -> TrackedSeries:
        result = super().__finalize__(other, method=method, **kwargs)
        # pandas keeps a Series' name through its "_name" metadata entry, which the
        # tracked metadata list replaces; carry the name as plain pandas would.
        if isinstance(other, pd.Series):
            object.__setattr__(result, "_name", other.name)
        return result

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

    def _result(self, values: Any, words: np.ndarray) -> TrackedSeries:
        # The values are fresh numpy output owned by nobody else, so no copy is needed.
        if len(words) != len(values):
            words = _fit_words(words, len(values))
        return TrackedSeries(
            values, index=self.index, copy=False, _prov=words, _tracker=self._tracker
        )

    def _from_pandas_result(
        self, result: pd.Series, words: np.ndarray, index: Any
    ) -> TrackedSeries:
        # `result` is a new object from the pandas parent method; building from it (not
        # from its raw values) keeps pandas' copy-on-write bookkeeping of shared memory.
        out = TrackedSeries(result, _prov=words, _tracker=self._tracker)
        object.__setattr__(out, "_name", None)
        if out.index is not index:
            out.index = index
        return out

    def _binop(
        self, other: Any, op: Callable[[Any, Any], Any], op_code: int = OpCode.ADD
    ) -> TrackedSeries:
        op_code = _as_op_code(op_code)
        # Positional on purpose: a pandas operand contributes its raw values, unaligned.
        operand = other.values if hasattr(other, "values") else other
        # As in pandas, division by zero and invalid values give inf/NaN without a warning.
        with np.errstate(all="ignore"):
            values = op(self.values, operand)
        tracker = self._tracker
        if isinstance(other, TrackedSeries) and tracker and not _in_place_call():
            words = np.asarray(
                _engine_function("combine_batch")(
                    tracker._rust, _aligned_words(self), _aligned_words(other), op_code
                ),
                dtype=np.uint32,
            )
        else:
            words = _aligned_words(self).copy()
        return self._result(values, words)

    def _unop(self, op: Callable[[Any], Any], op_code: int) -> TrackedSeries:
        op_code = _as_op_code(op_code)
        with np.errstate(all="ignore"):
            values = op(self.values)
        return self._result(values, self._chain_words(op_code))

    # -- two-operand operators ------------------------------------------------------------

    def __add__(self, other: Any) -> TrackedSeries:
        return self._binop(other, np.add, OpCode.ADD)

    def __sub__(self, other: Any) -> TrackedSeries:
        return self._binop(other, np.subtract, OpCode.SUB)

    def __mul__(self, other: Any) -> TrackedSeries:
        return self._binop(other, np.multiply, OpCode.MUL)

    def __truediv__(self, other: Any) -> TrackedSeries:
        return self._binop(other, np.true_divide, OpCode.DIV)

    def __floordiv__(self, other: Any) -> TrackedSeries:
        return self._binop(other, np.floor_divide, OpCode.DIV)

    def __pow__(self, other: Any) -> TrackedSeries:
        return self._binop(other, np.power, OpCode.MUL)

    def __radd__(self, other: Any) -> TrackedSeries:
        return self._binop(other, lambda a, b: np.add(b, a), OpCode.ADD)

    def __rsub__(self, other: Any) -> TrackedSeries:
        return self._binop(other, lambda a, b: np.subtract(b, a), OpCode.SUB)

    def __rmul__(self, other: Any) -> TrackedSeries:
        return self._binop(other, lambda a, b: np.multiply(b, a), OpCode.MUL)

    def __rtruediv__(self, other: Any) -> TrackedSeries:
        return self._binop(other, lambda a, b: np.true_divide(b, a), OpCode.DIV)

    def __gt__(self, other: Any) -> TrackedSeries:
        return self._binop(other, operator.gt, OpCode.CMP)

    def __lt__(self, other: Any) -> TrackedSeries:
        return self._binop(other, operator.lt, OpCode.CMP)

    def __ge__(self, other: Any) -> TrackedSeries:
        return self._binop(other, operator.ge, OpCode.CMP)

    def __le__(self, other: Any) -> TrackedSeries:
        return self._binop(other, operator.le, OpCode.CMP)

    # -- one-operand operations -------------------------------------------------------------

    def __neg__(self) -> TrackedSeries:
        return self._unop(_negate, OpCode.NEG)

    def clip(self, lower: Any = None, upper: Any = None, **kwargs: Any) -> Any:
        if _compat.inplace_requested(kwargs):
            # Clipping in place must change the receiver's values; pandas does that and
            # returns what it returns. No words are built.
            with _inside_parent(in_place=True):
                return super().clip(lower, upper, **kwargs)
        # Other pandas keywords (axis, ...) do not apply to numpy's clip and are ignored.
        return self._unop(lambda a: np.clip(a, lower, upper), OpCode.CLIP)

    # -- transforms through pandas ----------------------------------------------------------

    def fillna(self, value: Any = 0, **kwargs: Any) -> Any:
        if _in_parent() and _compat.caller_is_pandas():
            return super().fillna(value, **kwargs)
        with _inside_parent(in_place=_compat.inplace_requested(kwargs)):
            result = super().fillna(value, **kwargs)
        if _compat.inplace_requested(kwargs) or not isinstance(result, pd.Series):
            return result
        return self._from_pandas_result(result, self._chain_words(OpCode.FILL), self.index)

    def map(self, arg: Any, **kwargs: Any) -> Any:
        if _in_parent() and _compat.caller_is_pandas():
            return super().map(arg, **kwargs)
        with _inside_parent(in_place=_compat.inplace_requested(kwargs)):
            result = super().map(arg, **kwargs)
        return self._from_pandas_result(result, self._chain_words(OpCode.MAP), self.index)

    def replace(self, *args: Any, **kwargs: Any) -> Any:
        if _in_parent() and _compat.caller_is_pandas():
            return super().replace(*args, **kwargs)
        with _inside_parent(in_place=_compat.inplace_requested(kwargs)):
            result = super().replace(*args, **kwargs)
        if _compat.inplace_requested(kwargs) or not isinstance(result, pd.Series):
            return result
        return self._from_pandas_result(result, self._chain_words(OpCode.MAP), result.index)
