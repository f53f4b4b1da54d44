"""Operators and numpy ufuncs on words arrays: values as numpy computes them, and each
element's word combining the words of that element in every words input (one step further
for one input alone; with constants or plain values beside one words input, its words as
they are, as the containers make them)."""

from __future__ import annotations

import functools
import operator
import threading
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from ..core import _ahead
from ..core._operations import operation
from ..core._word import OpCode
from . import _words
from ._calls import _in_parent

_OP_CODES = {
    "add": OpCode.ADD,
    "sub": OpCode.SUB,
    "mul": OpCode.MUL,
    "truediv": OpCode.DIV,
    "floordiv": OpCode.DIV,
    "divmod": OpCode.DIV,
    "mod": OpCode.MOD,
    "pow": OpCode.MUL,
    "and": OpCode.LOGIC,
    "or": OpCode.LOGIC,
    "xor": OpCode.LOGIC,
    **dict.fromkeys(("eq", "ne", "lt", "le", "gt", "ge"), OpCode.CMP),
}

_UFUNC_CODES = {
    np.add: OpCode.ADD,
    np.subtract: OpCode.SUB,
    np.multiply: OpCode.MUL,
    np.true_divide: OpCode.DIV,
    np.floor_divide: OpCode.DIV,
    np.divmod: OpCode.DIV,
    np.remainder: OpCode.MOD,
    np.fmod: OpCode.MOD,
    np.power: OpCode.MUL,
    np.float_power: OpCode.MUL,
    np.negative: OpCode.NEG,
    np.absolute: OpCode.ABS,
    np.fabs: OpCode.ABS,
    np.rint: OpCode.ROUND,
    np.floor: OpCode.ROUND,
    np.ceil: OpCode.ROUND,
    np.trunc: OpCode.ROUND,
    **dict.fromkeys(
        (np.equal, np.not_equal, np.less, np.less_equal, np.greater, np.greater_equal),
        OpCode.CMP,
    ),
    **dict.fromkeys(
        (np.logical_and, np.logical_or, np.logical_xor, np.logical_not, np.bitwise_and,
         np.bitwise_or, np.bitwise_xor, np.invert),
        OpCode.LOGIC,
    ),
}  # fmt: skip

# pandas containers handle the operation themselves (aligning, then calling the arrays).
_CONTAINERS = (pd.Series, pd.Index, pd.DataFrame)


def op_code(name: str) -> int:
    """The operation code of a Python operator named ``name`` (``add``, ``rsub``, ``and_``)."""
    name = name.strip("_")
    if name not in _OP_CODES and name.startswith("r"):
        name = name[1:]
    return _OP_CODES.get(name, OpCode.CUSTOM)


def _reversed(op: Callable) -> bool:
    return op.__name__.startswith("r") and op.__name__.strip("_")[1:] in _OP_CODES


def _tracker(arrays: list) -> Any:
    keys = {a.dtype.tracker_key for a in arrays} - {0}
    if len(keys) > 1:
        raise ValueError("cannot combine words of different trackers")
    return next((a.dtype.tracker for a in arrays if a.dtype.tracker_key), None)


def _wrap(values: Any, words: Any, tracker: Any, cls: Any, made_by: int | None) -> Any:
    from ._dtype import WordsDtype, supported

    if isinstance(values, tuple):
        return tuple(_wrap(part, words, tracker, cls, made_by) for part in values)
    text = isinstance(getattr(values, "dtype", None), pd.StringDtype)  # pandas' string array
    if not text and (
        not isinstance(values, np.ndarray) or values.ndim != 1 or not supported(values.dtype)
    ):
        return values
    array = cls(values, words, WordsDtype(values.dtype, tracker))
    array.made_by = made_by
    return array


# numpy's floating-point errors met inside the outermost operation a thread is in
_met = threading.local()


def numpy_warnings_at_caller(method: Callable) -> Callable:
    """``method`` of a words array, with the warnings numpy gives on its values (``np.log``
    of a negative value) issued at the method's caller: where numpy names them for a plain
    column's values, pandas' code that called the array, not this module."""

    @functools.wraps(method)
    def _entry(*args: Any, **kwargs: Any) -> Any:
        if getattr(_met, "errors", None) is not None:  # inside another entry: it issues
            return method(*args, **kwargs)
        errors: list[str] = []
        _met.errors = errors
        try:
            result = method(*args, **kwargs)
        finally:
            _met.errors = None
        for message in dict.fromkeys(errors):
            warnings.warn(message, RuntimeWarning, stacklevel=2)
        return result

    return _entry


def _computed(func: Callable, values: list, kwargs: dict) -> Any:
    """``func`` over ``values`` under the caller's floating-point settings; a warning numpy
    gives is kept for the entry method to issue (see ``numpy_warnings_at_caller``)."""
    modes = np.geterr()
    errors = getattr(_met, "errors", None)
    if errors is None or "warn" not in modes.values() or {"call", "log"} & set(modes.values()):
        return func(*values, **kwargs)  # nothing to warn of, or the caller's own handler
    found: list[str] = []
    settings: dict[str, Any] = {
        kind: "call" if mode == "warn" else mode for kind, mode in modes.items()
    }
    with np.errstate(call=lambda error, _flag: found.append(error), **settings):
        result = func(*values, **kwargs)
    name = getattr(func, "__name__", "operation")
    errors.extend(f"{error} encountered in {name}" for error in found)
    return result


#: ``made_by`` of words that each element kept from its one words operand, the others
#: being constants or plain values (see ``apply``).
KEPT = -1


def _lazy_words(tracker: Any, arrays: list, n_inputs: int, code: int) -> np.ndarray:
    """The words ``apply`` makes, made when first read: the inputs' own may be so too."""
    own = [a._words for a in arrays]
    if len(arrays) == 1 and n_inputs > 1:
        return own[0].copy()
    return _words.combine(tracker, own, code)


def _shared(words: np.ndarray) -> np.ndarray:
    """``words`` themselves, read-only, for a result whose elements keep their operand's
    words: a copy would be a pass over every word and as many new pages. A write into an
    array copies its words first (``WordsArray.__setitem__``); any other write into these
    fails instead of changing the operand's words under it."""
    view = words.view()
    view.flags.writeable = False
    return view


def apply(cls: Any, func: Callable, inputs: list, code: int, **kwargs: Any) -> Any:
    """``func`` over the values of ``inputs``; words combine those of every words input."""
    arrays = [x for x in inputs if isinstance(x, cls)]
    values = _operands([x._plain if isinstance(x, cls) else x for x in inputs])
    tracker = _tracker(arrays)
    made_by: int | None = None if tracker is None else code
    words: Any
    if _in_parent():
        # pandas' own step inside one of the containers' calls (a clip's comparison with its
        # bound): the containers make the call's words, these are made only if read
        words = functools.partial(_lazy_words, tracker, arrays, len(inputs), code)
        made_by = None
        result = _computed(func, values, kwargs)
    elif len(arrays) == 1 and len(inputs) > 1 and (lent := _rows_beside(inputs, tracker, cls)):
        # values of a row each beside the one words operand, outside the containers (a
        # plain frame's columns): what they lend is made only if read, the containers make
        # their own
        words = arrays[0]._later(functools.partial(_with_rows_beside, tracker, lent, code))
        made_by = None
        result = _computed(func, values, kwargs)
    elif len(arrays) == 1 and len(inputs) > 1:
        # the other operands are constants: they add no source, and the elements keep
        # their words
        words = _shared(arrays[0]._words)
        result = _computed(func, values, kwargs)
        made_by = None if tracker is None else KEPT
    else:
        # the words made while numpy makes the values (see ``_ahead``)
        operands = [a._words for a in arrays]
        made = _ahead.ahead(lambda: _words.combine(tracker, operands, code), len(arrays[0]))
        result = _computed(func, values, kwargs)
        words = made()
    return _wrap(_numpy_of(result), words, tracker, cls, made_by)


#: What strict provenance's error calls an operation with plain values of a row each.
PLAIN_ROWS = "an operation of a words column with plain values of a row each (a plain column)"


def _rows_beside(inputs: list, tracker: Any, cls: type) -> list[np.ndarray | None]:
    """Per operand holding a value per row that is no words array: numpy's array with
    words of ``tracker`` (``np.select``'s) lends them; any other (a plain column of a
    frame pandas built, ``to_numpy()``) was made by something unseen: None, unknown.
    Empty when the other operands are constants."""
    lent: list[np.ndarray | None] = []
    for x in inputs:
        if not isinstance(x, (np.ndarray, pd.api.extensions.ExtensionArray)) or x.ndim != 1:
            continue
        if len(x) <= 1 or isinstance(x, cls):
            continue  # one value is a constant; a words array lends its words already
        words = getattr(x, "_prov", None) if getattr(x, "_tracker", None) is tracker else None
        usable = words is not None and np.shape(words) == (len(x),)
        lent.append(np.asarray(words, dtype=np.uint32) if usable else None)
    return lent if tracker is not None else []


def _with_rows_beside(tracker: Any, lent: list, code: int, own: np.ndarray) -> np.ndarray:
    """``own`` words combined with those the operands beside lend (see ``_rows_beside``)."""
    with operation(PLAIN_ROWS):
        unknown = [np.full(len(own), tracker.unknown_word(), np.uint32) for w in lent if w is None]
    return _words.combine(tracker, [own, *(w for w in lent if w is not None), *unknown], code)


def _operands(values: list) -> list:
    """Values as an operation reads them: Python objects (text) as pandas' own array of
    them, whose operators pass gaps over (``None + "x"`` is a gap, not an error) as a plain
    column's do, unless pandas' string array is among them, which reads numpy's objects
    itself; numpy's numbers as they are."""
    if any(isinstance(v, pd.api.extensions.ExtensionArray) for v in values):
        return values
    return [pd.arrays.NumpyExtensionArray(v) if _holds_objects(v) else v for v in values]


def _holds_objects(values: Any) -> bool:
    return isinstance(values, np.ndarray) and values.dtype == object


def _numpy_of(result: Any) -> Any:
    """An operation's result on objects back as numpy's array (see ``_operand``)."""
    if isinstance(result, tuple):
        return tuple(_numpy_of(part) for part in result)
    if isinstance(result, pd.arrays.NumpyExtensionArray) and not isinstance(
        result.dtype,
        pd.StringDtype,  # pandas 2's string array is one: text stays so
    ):
        return result.to_numpy()
    return result


def _masked_numbers(value: Any) -> bool:
    """Whether ``value`` is pandas' array of numbers or booleans with a mask of gaps."""
    masked = (pd.arrays.IntegerArray, pd.arrays.FloatingArray, pd.arrays.BooleanArray)
    return isinstance(value, masked)


def binary_method(op: Callable) -> Callable:
    """The method ``self <op> other`` of a words array."""
    code = op_code(op.__name__)
    swap = _reversed(op)

    def method(self: Any, other: Any) -> Any:
        if isinstance(other, _CONTAINERS):
            return NotImplemented
        if isinstance(other, list):
            other = np.asarray(other)
        if _masked_numbers(other):
            # pandas' numbers with gaps (Int64, boolean) stay so, as with a plain column:
            # theirs is the result, and the containers that hold the operands combine the
            # words (a bare operand of this array's, made here, would be numpy's numbers)
            return op(self._plain, other)
        if (
            isinstance(other, pd.api.extensions.ExtensionArray)
            and not isinstance(other, type(self))
            and not isinstance(other.dtype, pd.StringDtype)  # text with text: computed here
        ):
            return NotImplemented
        # The operands' words combine in the order the operation reads them.
        if swap:
            return apply(type(self), lambda b, a: op(a, b), [other, self], code)
        return apply(type(self), op, [self, other], code)

    method.__name__ = f"__{op.__name__.strip('_')}__"
    return numpy_warnings_at_caller(method)


def array_ufunc(self: Any, ufunc: np.ufunc, method: str, *inputs: Any, **kwargs: Any) -> Any:
    cls = type(self)
    if any(isinstance(x, _CONTAINERS) for x in inputs):
        return NotImplemented
    if method != "__call__" or "out" in kwargs:
        # reductions and in-place forms: plain numpy on the values, no words
        plain = [x._plain if isinstance(x, cls) else x for x in inputs]
        return getattr(ufunc, method)(*plain, **kwargs)
    return apply(cls, ufunc, list(inputs), _UFUNC_CODES.get(ufunc, OpCode.UFUNC), **kwargs)


#: Unary operator methods: the function on the values and the operation code of the step.
UNARY = {
    "__neg__": (operator.neg, OpCode.NEG),
    "__pos__": (operator.pos, OpCode.CUSTOM),
    "__abs__": (operator.abs, OpCode.ABS),
    "__invert__": (operator.invert, OpCode.LOGIC),
}
