"""Arrays that numpy's element-wise functions return for tracked inputs, with words."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..core._word import OpCode
from ._array_wholes import POSITIONAL, makers_of, scalar_of
from ._calls import _flatten, _in_parent
from ._combining import derived_words
from ._elementwise import operand_entries, step_entries, untracked_rows
from ._scalars import tracked_scalar


class TrackedArray(np.ndarray):
    """What numpy's element-wise functions (``np.where``, ``np.select``) return for tracked
    inputs: numpy's own array, unchanged for every numpy and pandas purpose, carrying the
    words of its elements (``_prov``) and their tracker. An operation with a tracked series
    or an assignment into a tracked frame reads them by position, as pandas reads the array.
    An element read out, or each one looped over, is a tracked scalar; a cut keeps them.

    What numpy makes of it as a whole (a reduction, ``np.percentile``, ``np.sort``), and
    the values of a tracked series handed out to numpy, carry instead the makers of one
    value made of all their elements (``_whole``, see ``_array_wholes``).
    """

    _prov: np.ndarray | None
    _node_ids: np.ndarray | None  # on the DAG road
    _tracker: Any
    _fields: tuple  # those of the series it was made from
    _whole: tuple = ()  # makers of one value made of every element it stands for

    def __array_finalize__(self, obj: Any) -> None:
        # A view of the same elements keeps their entries; anything reshaped has none (a cut
        # by indexing gets its elements' entries in ``__getitem__``).
        same = obj is not None and getattr(obj, "shape", None) == self.shape
        self._prov = getattr(obj, "_prov", None) if same else None
        self._node_ids = getattr(obj, "_node_ids", None) if same else None
        self._tracker = getattr(obj, "_tracker", None)
        self._fields = getattr(obj, "_fields", ())
        # made of the same elements, whatever its shape
        self._whole = getattr(obj, "_whole", ())

    def __repr__(self) -> str:
        # what users see is numpy's array: the entries are the library's business
        return repr(self.view(np.ndarray))

    def __getitem__(self, key: Any) -> Any:
        # one element read out (``np.cov(a, b)[0, 1]``) is a tracked scalar with its entries;
        # a cut (``arr[mask]``, ``arr[0]``) keeps its elements' entries, cut alike
        value = super().__getitem__(key)
        # a mask or positions made of tracked data decide which elements there are
        chosen = self._chosen_by(key)
        if chosen and isinstance(value, TrackedArray):
            value._whole = (*value._whole, *chosen)
        entries = self._entries_alike()
        whole = (*self._whole, *chosen)
        if entries is None and whole and isinstance(value, np.generic):
            return scalar_of(value, whole, self._tracker, self._fields, "getitem", True)
        if entries is None or _in_parent():
            return value
        if isinstance(value, TrackedArray):
            cut = [np.asarray(e)[key] for e in entries]
            if all(np.shape(c) == value.shape for c in cut):
                for f, c in zip(self._fields, cut, strict=True):
                    setattr(value, f.series_attr, c)
            return value
        if isinstance(value, np.generic):
            pairs = zip(self._fields, entries, strict=True)
            one = {f.series_attr: int(np.asarray(e)[key]) for f, e in pairs}
            return tracked_scalar(value, self._tracker, self._fields, one)
        return value

    def _chosen_by(self, key: Any) -> tuple:
        """The makers that tracked arrays among ``key`` lend (see ``_array_wholes``)."""
        keys = [k for k in _flatten([key]) if isinstance(k, TrackedArray)]
        if not keys or keys[0]._tracker is not self._tracker or _in_parent():
            return ()
        return makers_of(keys, "getitem")

    def _entries_alike(self) -> list[np.ndarray] | None:
        """Each field's entries, one per element in this array's shape; None without."""
        if self._prov is None or not self._tracker or not self._fields:
            return None
        entries = [getattr(self, f.series_attr) for f in self._fields]
        if any(e is None or np.shape(e) != self.shape for e in entries):
            return None
        return entries

    def __iter__(self) -> Any:
        # unpacked or looped over (``lo, hi = np.percentile(s, [10, 90])``), each element is
        # a tracked scalar carrying its entries, as a series' elements are
        values = super().__iter__()
        if self._prov is None and self._whole and self.ndim == 1:
            tracker, fields, whole = self._tracker, self._fields, self._whole
            return (scalar_of(v, whole, tracker, fields, "iter", True) for v in values)
        if self._prov is None or self.ndim != 1 or not self._tracker or _in_parent():
            return values
        entries = [getattr(self, f.series_attr) for f in self._fields]
        if any(e is None or len(e) != len(self) for e in entries):
            return values
        attrs = [f.series_attr for f in self._fields]
        rows = zip(*(e.tolist() for e in entries), strict=True)
        return (
            tracked_scalar(value, self._tracker, self._fields, dict(zip(attrs, row, strict=True)))
            for value, row in zip(values, rows, strict=True)
        )

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        # A pandas operand answers for itself (its operators read these entries).
        if any(hasattr(x, "_mgr") for x in inputs):
            return NotImplemented
        out = kwargs.get("out")
        if out is not None:  # written in place (``c /= d``): what wrote it is not followed
            kwargs = {**kwargs, "out": tuple(plain_array(o) for o in out)}
            getattr(ufunc, method)(*(plain_array(x) for x in inputs), **kwargs)
            for o in out:
                if isinstance(o, TrackedArray):
                    o._prov = o._node_ids = None
            return out[0] if len(out) == 1 else out
        result = getattr(ufunc, method)(*(plain_array(x) for x in inputs), **kwargs)
        tracked = [x for x in inputs if isinstance(x, TrackedArray) and x._prov is not None]
        if (
            method == "__call__"
            and tracked
            and isinstance(result, np.ndarray)
            and result.shape == self.shape
            and result.ndim == 1
        ):
            # element by element, as numpy computed them: each combines its operands' elements
            return _made(result, tracked[0], inputs, ufunc.__name__)
        # a reduction (np.add.reduce, as arr.sum() runs it), or elements not lined up
        arrays = [x for x in inputs if isinstance(x, TrackedArray)]
        return made_of_whole(result, arrays, ufunc.__name__)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        # a tracked series among the inputs answers for itself (it reads these entries); a
        # container without numpy's hook is an input as any other
        inputs = _flatten(list(args)) + _flatten(list(kwargs.values()))
        if any(hasattr(x, "_mgr") and hasattr(x, "__array_function__") for x in inputs):
            return NotImplemented
        plain_kwargs = dict(zip(kwargs, _plain_items(kwargs.values()), strict=True))
        result = func(*_plain_items(args), **plain_kwargs)
        arrays = [x for x in inputs if isinstance(x, TrackedArray)]
        return made_of_whole(result, arrays, func.__name__)


def _whole_reduction(name: str) -> Any:
    """numpy's method ``name`` of the array: its value made of every element."""
    parent = getattr(np.ndarray, name)

    def reduce(self: TrackedArray, *args: Any, **kwargs: Any) -> Any:
        return made_of_whole(parent(self.view(np.ndarray), *args, **kwargs), [self], name)

    reduce.__name__ = reduce.__qualname__ = name
    reduce.__doc__ = parent.__doc__
    return reduce


# numpy computes these through its own scalar type (``mean`` divides a sum and casts the
# quotient back), which would drop what the sum carried: each is taken whole here
for _name in ("sum", "prod", "mean", "std", "var", "min", "max", "argmin", "argmax"):
    setattr(TrackedArray, _name, _whole_reduction(_name))


def _plain_items(items: Any) -> list:
    """``items`` with every tracked array among them (in lists too) as numpy's own."""
    out = []
    for item in items:
        if isinstance(item, (list, tuple)):
            out.append(type(item)(_plain_items(item)))
        else:
            out.append(plain_array(item))
    return out


def made_of_whole(result: Any, arrays: list[TrackedArray], name: str) -> Any:
    """numpy's ``result`` made of ``arrays`` as a whole: a number carrying one value made
    of all their elements, an array the makers of it (see ``_array_wholes``)."""
    makers = makers_of(arrays, name)
    if not makers or _in_parent():
        return result
    tracker, fields = arrays[0]._tracker, arrays[0]._fields
    if isinstance(result, tuple):  # np.histogram: the counts and the edges
        return tuple(made_of_whole(r, arrays, name) for r in result)
    if isinstance(result, np.ndarray) and result.ndim > 0:
        return holding_whole(result, makers, tracker, fields)
    return scalar_of(result, makers, tracker, fields, name, name in POSITIONAL)


def holding_whole(values: np.ndarray, makers: tuple, tracker: Any, fields: tuple) -> TrackedArray:
    """numpy's ``values`` carrying ``makers`` (no entry per element)."""
    out = np.asarray(values).view(TrackedArray)
    out._prov = out._node_ids = None
    out._tracker, out._fields, out._whole = tracker, fields, makers
    return out


def tracked_array(
    values: np.ndarray,
    words: np.ndarray,
    tracker: Any,
    node_ids: np.ndarray | None = None,
    fields: tuple = (),
) -> TrackedArray:
    out = np.asarray(values).view(TrackedArray)
    out._prov = words
    out._node_ids = node_ids
    out._tracker = tracker
    out._fields = fields
    return out


def plain_array(value: Any) -> Any:
    """``value`` as numpy's plain array when it is a tracked one, else itself."""
    return value.view(np.ndarray) if isinstance(value, TrackedArray) else value


def _made(result: np.ndarray, first: TrackedArray, inputs: tuple, op_name: str) -> TrackedArray:
    """``result`` carrying the entries of elements made from ``inputs`` (``first`` the
    first tracked one among them), each operand in its place."""
    tracker, fields = first._tracker, first._fields
    if not fields or any(f.element is None for f in fields[1:]):
        # numpy's array with words alone, or fields not followed element by element
        return _made_words(result, tracker, inputs, fields)
    n = len(result)
    operands = [e for x in inputs if (e := operand_entries(tracker, fields, x, n)) is not None]
    entries = step_entries(tracker, fields, operands, op_name, OpCode.UFUNC)
    nodes = [entries[f.series_attr] for f in fields[1:]]
    for f in fields[1:]:
        if f.value is not None:  # the step shows, and replays from, its values
            f.value(tracker, entries[f.series_attr], result)
    return tracked_array(
        result, entries[fields[0].series_attr], tracker, nodes[0] if nodes else None, fields
    )


def _made_words(result: np.ndarray, tracker: Any, inputs: tuple, fields: tuple) -> TrackedArray:
    """``result`` carrying words only (numpy's array made without its other fields)."""
    lent = [
        np.asarray(x._prov) for x in inputs if isinstance(x, TrackedArray) and x._prov is not None
    ]
    lent += [_unknown_words(tracker, len(result)) for x in inputs if untracked_rows(x)]
    return tracked_array(result, derived_words(tracker, lent, OpCode.UFUNC), tracker, None, fields)


def _unknown_words(tracker: Any, n: int) -> np.ndarray:
    return np.full(n, tracker.unknown_word(), dtype=np.uint32)
