"""Values written into a tracked container in place: ``s[cond] = v``, ``s.loc[cond] = v``,
``s.iloc[rows] = v``, ``frame.loc[cond, cols] = v``.

pandas writes the values where the key points and leaves the container's entries as they
were, so on their own the written elements would keep the words of the values they
replaced. Which elements hold the new value was decided by the key, and the value came from
its own inputs: each element of what was written into combines its old entries, the key's
(a tracked mask, aligned on the labels) and the value's (a tracked series aligned on the
labels, a tracked scalar), as ``s.where(~cond, v)`` would. A key or value of unseen origin
(a plain mask, plain labels, a plain array) makes them unknown. A safe over-approximation:
elements the key did not pick combine them too.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from pandas import DataFrame, Series
from pandas.api.types import is_scalar

from ..core._word import OpCode
from ._calls import _in_parent
from ._elementwise import untracked_rows
from ._positions import _followed, _same_family, unknown_entries
from ._scalars import scalar_entries


def written(target: Any, old: Any, key: Any, value: Any) -> Any:
    """``target`` (a series holding the values after the write; ``old``, the series before
    it, or None) with its entries combining the key's and the value's (a frame's column
    written with constants takes one step of its old entries); None when nothing changes
    (a series written with a slice, labels written in the code, a constant value)."""
    tracker = getattr(target, "_tracker", None)
    if not tracker or _in_parent() or not isinstance(target, Series):
        return None
    fields, n = target._fields, len(target)
    inputs = [x for x in (key, value) if isinstance(x, Series) and _same_family(x, fields)]
    lent = []
    scalar = scalar_entries(value, tracker, fields)
    if scalar is not None:
        lent.append({f.series_attr: np.full(n, scalar[f.series_attr], f.dtype) for f in fields})
    if any(untracked_rows(x) for x in (key, value)):
        lent.append(unknown_entries(fields, tracker, n))
    operands = ([old] if old is not None and _followed(old, fields) else []) + inputs
    if not inputs and not lent and (not operands or old is target):
        return None  # a series written with constants keeps its entries as they are
    if scalar is None and is_scalar(value):
        # the scalar written is the step's constant (last, as the value it is), on a road
        # that logs constants: a replay then sees what the rows were set to
        constant = target._constant_operand(value, n)
        lent += [constant] if constant is not None else []
    return target._derived(target, operands, "loc", OpCode.WHERE, tuple(lent))


def column_value(value: Any, label: Any) -> Any:
    """What a write of ``value`` puts into the column ``label``: a frame's column of that
    label (pandas aligns a frame's columns on the labels), else ``value`` itself."""
    if isinstance(value, DataFrame):
        return value[label] if label in value.columns else None
    return value


class WritesFollow:
    """``s[key] = value`` on a tracked series (see the module doc)."""

    def __setitem__(self, key: Any, value: Any) -> None:
        if callable(key):
            key = key(self)  # called once here, as pandas would call it
        super().__setitem__(key, value)  # type: ignore[misc]
        written(self, self, key, value)
