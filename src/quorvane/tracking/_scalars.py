"""Scalars that carry their entries: what a reduction of tracked data returns.

``t.loc[t.race == 1, "lti"].median()`` is a number made from the rows the mask chose, and a
threshold made from it (``t.lti - ref``, ``s > cutoff``) derives from every element it was
made of. So a reduction returns its value as an instance of a subclass of the very type
pandas returns (``numpy.float64``, ``int``, ``str`` for a label, ...), which carries the
entries of one value made of the whole column: ``isinstance(x, float)``, formatting,
comparisons, hashing and its use as a dict key or index label are those of pandas' scalar.

It combines into any container operation it takes part in (an operand, a fill value, a
bound). Arithmetic between such scalars keeps carrying: the result combines both. Where its
entries cannot follow (a Python ``if``, an f-string, ``float(x)``, a pickle), it simply is
the plain value: Python makes ``float(x)`` and ``int(x)`` of its own exact type whatever
the scalar gives back, and ``math.log(x)`` reads the bare number.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from pandas.api.extensions import ExtensionArray

from ..core._algebra import chain_words, combine_words
from ..core._word import OpCode


class TrackedScalar:
    """The mixin of every tracked scalar class: its fields (those of the container it came
    from), one entry per field, and its tracker."""

    _fields: tuple
    _tracker: Any

    @property
    def _entries(self) -> dict[str, int]:
        # made when first needed: most reductions end in a report or an ``if``
        made = self.__dict__.get("_made")
        if made is None:
            made = self.__dict__["_made"] = dict(self.__dict__.pop("_make")())
        return made

    def __reduce__(self) -> tuple:
        # a pickled scalar is its plain value: its entries mean nothing in another process
        return (_plain_type(type(self)), (_plain_type(type(self))(self),))

    def __repr__(self) -> str:
        return repr(_plain_type(type(self))(self))


_CLASSES: dict[type, type] = {}


def _plain_type(cls: type) -> type:
    return cls.__bases__[0]


Entries = dict[str, int]


def tracked_scalar(
    value: Any, tracker: Any, fields: tuple, entries: Entries | Callable[[], Entries]
) -> Any:
    """``value`` carrying ``entries`` (one per field, or a function that makes them when
    they are first needed), as a subclass of its own type; ``value`` itself when its type
    cannot carry them (``bool``, ``None``, pandas' missing values) or there is no tracker."""
    if isinstance(value, TrackedScalar):  # carrying other entries: its plain value carries these
        value = _plain_type(type(value))(value)
    cls = _class_for(type(value))
    if cls is None or not tracker:
        return value
    out = cls(value)
    out._fields = fields
    out._tracker = tracker
    if callable(entries):
        out.__dict__["_make"] = entries
    else:
        out.__dict__["_made"] = dict(entries)
    return out


def valued(
    value: Any, fields: tuple, tracker: Any, entries: Callable[[], Entries]
) -> Callable[[], Entries]:
    """``entries`` of a scalar a step has just made, which, once made, record ``value`` on
    the entries of the fields that keep values. Only a step's own entries: a scalar that
    lends its operand's entries (``cutoff + 5``) must not overwrite the operand's value."""

    def made() -> Entries:
        out = entries()
        plain = _plain_type(type(value))(value) if isinstance(value, TrackedScalar) else value
        for f in fields:
            if f.value is not None and f.series_attr in out:
                f.value(tracker, np.array([out[f.series_attr]], f.dtype), [plain])
        return out

    return made


def _class_for(kind: type) -> type | None:
    cls = _CLASSES.get(kind)
    if cls is None and kind not in _CLASSES:
        try:
            # the plain type first: numpy reads its scalars by the layout of their first base
            own = {
                "__reduce__": TrackedScalar.__reduce__,
                "__repr__": TrackedScalar.__repr__,
                "__array_ufunc__": _ufunc,
            }
            cls = type(f"Tracked{kind.__name__.capitalize()}", (kind, TrackedScalar), own)
        except TypeError:  # a final type (bool)
            cls = None
        if cls is not None and not _takes_attributes(cls, kind):
            cls = None
        if cls is not None:
            for name, code in _ARITHMETIC.items():
                if hasattr(kind, name):
                    setattr(cls, name, _carrying(getattr(kind, name), code))
            for name in _KEPT:
                if hasattr(kind, name):
                    setattr(cls, name, _kept(getattr(kind, name)))
        _CLASSES[kind] = cls  # type: ignore[assignment]
    return cls


def _takes_attributes(cls: type, kind: type) -> bool:
    try:
        probe = cls(kind())
        probe.__dict__["_made"] = {}
    except (TypeError, ValueError, AttributeError):
        return False
    return True


_ARITHMETIC = {
    "__add__": OpCode.ADD, "__radd__": OpCode.ADD,
    "__sub__": OpCode.SUB, "__rsub__": OpCode.SUB,
    "__mul__": OpCode.MUL, "__rmul__": OpCode.MUL,
    "__truediv__": OpCode.DIV, "__rtruediv__": OpCode.DIV,
    "__floordiv__": OpCode.DIV, "__rfloordiv__": OpCode.DIV,
    "__mod__": OpCode.MOD, "__rmod__": OpCode.MOD,
    "__pow__": OpCode.MUL, "__rpow__": OpCode.MUL,
    "__neg__": OpCode.NEG, "__abs__": OpCode.ABS,
    "__round__": OpCode.ROUND, "round": OpCode.ROUND,  # round(x, 1), np.round(x, 1)
    # math.floor(x), math.ceil(x), math.trunc(x): Python's whole number, as the type gives
    "__floor__": OpCode.ROUND, "__ceil__": OpCode.ROUND, "__trunc__": OpCode.ROUND,
}  # fmt: skip


#: Methods whose result is the same value in another form (numpy's scalar as Python's).
_KEPT = ("item",)


def _carrying(method: Any, op_code: int) -> Any:
    """``method`` of the plain type, whose plain scalar result carries the entries of its
    tracked operands (a container operand answers for itself: its operator runs)."""

    def carrying(self: TrackedScalar, *other: Any, **kwargs: Any) -> Any:
        if other and hasattr(other[0], "_mgr"):
            return NotImplemented  # the container's reflected operator reads this scalar
        if other and isinstance(other[0], (ExtensionArray, np.ndarray)):
            # an array answers for itself, as it does to the plain scalar (str's own
            # operator would refuse it: ``"a" + array`` reaches the array's only because
            # str's own is no number operator)
            return NotImplemented
        result = method(self, *other, **kwargs)
        if result is NotImplemented or not isinstance(result, (int, float, np.number, str)):
            return result
        operands = [self._entries]
        if other:
            lent = scalar_entries(other[0], self._tracker, self._fields)
            if lent is None:  # a constant adds no source, as it does to a series
                return tracked_scalar(result, self._tracker, self._fields, self._entries)
            operands.append(lent)
        entries = valued(
            result,
            self._fields,
            self._tracker,
            lambda: made_entries(self._tracker, self._fields, operands, method.__name__, op_code),
        )()
        return tracked_scalar(result, self._tracker, self._fields, entries)

    carrying.__name__ = method.__name__
    return carrying


def _kept(method: Any) -> Any:
    """``method`` of the plain type, whose result is the same value: it keeps the entries."""

    def kept(self: TrackedScalar, *args: Any, **kwargs: Any) -> Any:
        return tracked_scalar(
            method(self, *args, **kwargs), self._tracker, self._fields, self._entries
        )

    kept.__name__ = method.__name__
    return kept


def _ufunc(self: TrackedScalar, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
    """numpy's function of tracked scalars (``np.sqrt(var)``, ``np.log(mean)``): its plain
    result, a number made of them carrying their entries. With a tracked container among
    the inputs (``np.minimum(s, cap)``), the container's result, each element also
    combining the scalars; with plain arrays, numpy's plain result."""
    plain = [_plain_type(type(x))(x) if isinstance(x, TrackedScalar) else x for x in inputs]
    result = getattr(ufunc, method)(*plain, **kwargs)
    lent = [e for x in inputs if (e := scalar_entries(x, self._tracker, self._fields))]
    containers = [x for x in inputs if hasattr(x, "_mgr")]  # pandas' series and frames
    lend = getattr(containers[0], "_lent_scalars", None) if containers else None
    if lend is not None:  # pandas deferred to this scalar: the container made its entries
        scalars = [x for x in inputs if isinstance(x, TrackedScalar)]
        if isinstance(result, tuple):  # divmod, modf: each result
            return tuple(lend(r, scalars, ufunc.__name__) for r in result)
        return lend(result, scalars, ufunc.__name__)
    if method != "__call__" or not lent or len(lent) > 2 or np.ndim(result) != 0:
        return result
    tracker, fields = self._tracker, self._fields
    entries = valued(
        result,
        fields,
        tracker,
        lambda: made_entries(tracker, fields, lent, ufunc.__name__, OpCode.UFUNC),
    )
    return tracked_scalar(result, tracker, fields, entries)


def made_entries(
    tracker: Any, fields: tuple, operands: list[dict[str, int]], op_name: str, op_code: int
) -> dict[str, int]:
    """The entries of one value made from ``operands`` (per field, one entry each): one
    step of the only one, or the combination of two."""
    words_attr = fields[0].series_attr
    words = [np.array([o[words_attr]], dtype=np.uint32) for o in operands]
    if len(words) == 1:
        made = chain_words(tracker, words[0], op_code)
    else:
        made = combine_words(tracker, words[0], words[1], op_code)
    entries = {words_attr: int(made[0])}
    for f in fields[1:]:
        if f.element is not None:
            inputs = [np.array([o[f.series_attr]], dtype=f.dtype) for o in operands]
            entries[f.series_attr] = int(f.element(tracker, inputs, made, op_name)[0])
    return entries


def scalar_entries(value: Any, tracker: Any, fields: tuple) -> dict[str, int] | None:
    """The entries of a tracked scalar of ``tracker`` and of the same ``fields``, or None
    (a plain value, or one of another tracker or road, lends no entries)."""
    if not isinstance(value, TrackedScalar) or value._tracker is not tracker:
        return None
    if value._fields != fields:
        return None
    return value._entries


__all__ = ["TrackedScalar", "scalar_entries", "tracked_scalar", "valued"]
