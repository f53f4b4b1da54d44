"""Every tracked input of an operation counts, wherever it is given.

A series operation takes values in its arguments as well as from its receiver: a fill value
(``fillna(group_mean)``), a lookup table (``map(mapping_series)``), bounds, the values of
``isin``, the other series of ``combine_first``. Each tracked one becomes an operand of the
result, lined up with the result's elements in the way the operation uses it:

- *aligned*: pandas aligns it on the labels, element by element (``fillna``, ``clip``,
  ``where``, ``combine_first``, ``update``);
- *looked up*: each element reads the entry whose label is the element's value (``map``
  with a series);
- *whole*: every element may depend on every element of it (``isin``, and any argument an
  operation uses otherwise): one value made of the whole of it, for every element.

A tracked scalar (a reduction's result) lends its entries to every element. A safe
over-approximation: a filled element depends on the fill value, an unfilled one does not,
but nothing an element depends on is left out.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np
import pandas as pd

from ..core._word import OpCode
from ._arrays import array_entries
from ._combining import whole_entries
from ._positions import gather, row_positions
from ._scalars import scalar_entries

Entries = dict[str, np.ndarray]

#: Operations that align a series argument with the receiver on the labels.
ALIGNED = frozenset({"fillna", "clip", "where", "mask", "combine_first", "update"})
#: Operations that look each element's value up in a series argument's labels.
LOOKED_UP = frozenset({"map"})


def argument_operands(source: Any, result: Any, name: str, values: list) -> list[Entries]:
    """The entries of every tracked input among ``values`` (the arguments of ``name``),
    lined up with the elements of ``result`` (built from ``source``)."""
    n = len(result)
    out = []
    for value in _inputs(values):
        entries = _lined_up(source, result, name, value, n)
        if entries is not None:
            out.append(entries)
    return out


def _inputs(values: list) -> Iterator[Any]:
    for value in values:
        if isinstance(value, (list, tuple)):
            yield from _inputs(list(value))
        elif isinstance(value, dict):
            yield from _inputs(list(value.values()))
        else:
            yield value


def _lined_up(source: Any, result: Any, name: str, value: Any, n: int) -> Entries | None:
    fields, tracker = source._fields, source._tracker
    lent = scalar_entries(value, tracker, fields)
    if lent is not None:
        return {f.series_attr: np.full(n, lent[f.series_attr], dtype=f.dtype) for f in fields}
    if isinstance(value, np.ndarray):
        found = {f.series_attr: array_entries(value, n, f.series_attr) for f in fields}
        if all(e is not None for e in found.values()):
            return {f.series_attr: np.asarray(found[f.series_attr], f.dtype) for f in fields}
        return None
    if not isinstance(value, type(source)):
        return None
    if name in ALIGNED:
        rows = row_positions(result.index, value)
        return {
            f.series_attr: gather(getattr(value, f.series_attr), rows, f.absent, f.dtype)
            for f in fields
        }
    if name in LOOKED_UP and value.index.is_unique:
        rows = value.index.get_indexer(pd.Index(np.asarray(result_keys(source, result))))
        return {
            f.series_attr: gather(getattr(value, f.series_attr), rows, f.absent, f.dtype)
            for f in fields
        }
    return whole(value, n, name)


def result_keys(source: Any, result: Any) -> Any:
    """The values ``source``'s elements look up, lined up with ``result``'s elements."""
    return source.reindex(result.index)._values if len(source) != len(result) else source._values


def whole(value: Any, n: int, name: str) -> Entries:
    """For ``n`` elements, the entries of one value made of every element of ``value``."""
    fields = value._fields
    arrays = {f.series_attr: [getattr(value, f.series_attr)] for f in fields}
    entry = whole_entries(value._tracker, fields, arrays, name, OpCode.AGG)
    return {
        f.series_attr: np.full(n, entry[f.series_attr], dtype=f.dtype)
        for f in fields
        if f.series_attr in entry
    }
