"""The entries of an element-wise step, from operands given as numpy gives them: by position.

numpy's functions (a ufunc of a tracked series, ``np.where``, arithmetic on the tracked
array ``np.select`` returns) take their operands in order, element by element, whatever
labels they had: a tracked series or array lends its elements' entries, a tracked scalar
its entries to every element, plain data with a value per row (``s.to_numpy()``) unknown
entries (where it came from cannot be seen), and a constant (``150``, a threshold) no words
but, on a road that logs constants, a node of its own, so that the step shows and replays
from every operand it took.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from pandas.api.types import is_scalar

from ._combining import derived_words
from ._positions import unknown_entries
from ._scalars import TrackedScalar, scalar_entries

Entries = dict[str, Any]


def array_entries(value: Any, n: int, attr: str = "_prov") -> np.ndarray | None:
    """The entries (``_prov``: words) a tracked array lends to ``n`` elements, or None."""
    # numpy's array with entries is a ``TrackedArray`` (``_arrays``, which builds on this)
    entries = getattr(value, attr, None) if isinstance(value, np.ndarray) else None
    if entries is None or np.ndim(value) != 1 or len(entries) != n:
        return None
    return entries


def array_words(value: Any, n: int) -> np.ndarray | None:
    return array_entries(value, n)


class Unfollowed:
    """Data a user's function could read that was not followed to the end (see
    ``_closures``): what it makes is unknown."""

    def __repr__(self) -> str:
        return "<data not followed>"


UNFOLLOWED = Unfollowed()


def untracked_rows(value: Any) -> bool:
    """Whether ``value`` is data with a value per row that carries no entries: numpy's
    array (``s.to_numpy()``, ``.values``, ``index.isin(...)``), pandas' plain series,
    index or extension array. Where it came from cannot be seen, so what it makes is
    unknown, not clean. A scalar, a one-element array and a list or table written in the
    code are constants."""
    if value is UNFOLLOWED:
        return True
    if isinstance(value, np.ndarray) and getattr(value, "_prov", None) is not None:
        return False  # numpy's array with words
    if not isinstance(value, (np.ndarray, pd.Series, pd.Index, pd.api.extensions.ExtensionArray)):
        return False
    if not isinstance(value, np.ndarray) and getattr(value, "_tracker", None) is not None:
        return False  # a tracked container answers for itself
    return np.ndim(value) == 1 and len(value) > 1


def is_constant(value: Any) -> bool:
    """A scalar that carries no entries, or a table of values (a mapping, a list)."""
    if isinstance(value, TrackedScalar):
        return False
    return is_scalar(value) or isinstance(value, (dict, list, tuple, set, frozenset))


def constant_entries(tracker: Any, fields: tuple, value: Any, n: int) -> Entries | None:
    """The entries of a constant operand for ``n`` elements, on a road with a field that
    logs constants: one entry made once, no words (a constant adds no source). None for
    anything else."""
    logging = [(f, f.constant) for f in fields[1:] if f.constant is not None]
    if not logging or not tracker or not is_constant(value):
        return None
    entries: Entries = {f.series_attr: None for f in fields}
    for f, constant in logging:
        # one entry seen n times (read-only), not n written: a step only reads its operands
        entries[f.series_attr] = np.broadcast_to(np.asarray(constant(tracker, value), f.dtype), n)
    return entries


def positional_entries(tracker: Any, fields: tuple, value: Any, n: int) -> Entries | None:
    """The entries ``value`` lends to ``n`` elements by position (module doc); None for a
    value that lends none (a constant, or something of another shape)."""
    lent = scalar_entries(value, tracker, fields)
    if lent is not None:
        return {f.series_attr: np.full(n, lent[f.series_attr], dtype=f.dtype) for f in fields}
    if isinstance(value, np.ndarray) and array_entries(value, n) is not None:
        # numpy's array with words; a field it lacks (nodes of an array made without them)
        # is not followed there: unknown, not absent
        found = {f.series_attr: array_entries(value, n, f.series_attr) for f in fields}
        return {
            f.series_attr: np.full(n, f.unknown(tracker), f.dtype)
            if e is None
            else np.asarray(e, f.dtype)
            for f, e in zip(fields, found.values(), strict=True)
        }
    if tracker and untracked_rows(value) and np.ndim(value) == 1 and len(value) == n:
        return unknown_entries(fields, tracker, n)
    return None


def operand_entries(tracker: Any, fields: tuple, value: Any, n: int) -> Entries | None:
    """A non-container operand's entries for ``n`` elements: a constant's, or what it lends
    by position."""
    if is_constant(value):
        return constant_entries(tracker, fields, value, n)
    return positional_entries(tracker, fields, value, n)


def step_entries(
    tracker: Any,
    fields: tuple,
    operands: list[Entries],
    op_name: str,
    op_code: int,
    *,
    words: np.ndarray | None = None,
    order: list[int] | None = None,
) -> Entries:
    """Per field, the entries of one element-wise step over ``operands``: one step of their
    words (unless ``words`` are given), and for every other field one entry per element,
    over the operands in ``order`` (their own order by default). A constant operand has no
    words and takes part only in the fields that log constants."""
    words_attr = fields[0].series_attr
    if words is None:
        lent = [o[words_attr] for o in operands if o[words_attr] is not None]
        words = derived_words(tracker, lent, op_code)
    in_order = operands if order is None else [operands[i] for i in order]
    entries: Entries = {words_attr: words}
    for f in fields[1:]:
        if f.element is None:
            raise TypeError(f"field {f.series_attr} has no entries for element-wise steps")
        inputs = [o[f.series_attr] for o in in_order if o.get(f.series_attr) is not None]
        entries[f.series_attr] = np.asarray(f.element(tracker, inputs, words, op_name), f.dtype)
    return entries
