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
  operation uses otherwise; labels or values handed out on their own, such as
  ``value_counts().index`` or ``unique()``, see ``_labels``): one value made of the whole
  of it, for every element.

A tracked scalar (a reduction's result) lends its entries to every element. A safe
over-approximation: a filled element depends on the fill value, an unfilled one does not,
but nothing an element depends on is left out.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import pandas as pd

from ..core._word import OpCode
from ._arrays import array_entries, untracked_rows
from ._combining import whole_entries
from ._labels import label_entries
from ._positions import PENDING, gather, row_positions, unknown_entries
from ._row_order import SELECTION, aligned_back, row_order_of
from ._scalars import scalar_entries

Entries = dict[str, np.ndarray]

#: Operations that align a series argument with the receiver on the labels (a filtered
#: segment given so also lends the condition that chose its rows: see ``choices``).
ALIGNED = frozenset({"fillna", "clip", "where", "mask", "combine_first", "update"})
#: Operations that look each element's value up in a series argument's labels.
LOOKED_UP = frozenset({"map"})


def argument_operands(source: Any, result: Any, name: str, values: list) -> list[Entries]:
    """The entries of every tracked input among ``values`` (the arguments of ``name``),
    lined up with the elements of ``result`` (built from ``source``)."""
    n = len(result)
    out = []
    for value in values:
        table = _table_scalars(source, result, name, value, n)
        if table is not None:
            out.append(table)
        for item in flat_inputs([value]):
            if table is not None and scalar_entries(item, source._tracker, source._fields):
                continue  # counted with its table
            entries = _lined_up(source, result, name, item, n)
            if entries is not None:
                out.append(entries)
                out.extend(choices(source, item, n))
    return out


def _table_scalars(source: Any, result: Any, name: str, table: Any, n: int) -> Entries | None:
    """The entries that the tracked scalars held in a table (a dict, list, tuple or set
    given as one argument: ``s.map(means.to_dict())``) lend to ``n`` elements: for a
    mapping ``map`` looks up, each element the entry of the value it looked up; otherwise
    one value made of all of them, for every element. None: a table holds none."""
    if not isinstance(table, (dict, list, tuple, set, frozenset)):
        return None
    tracker, fields = source._tracker, source._fields
    items = table.items() if isinstance(table, dict) else enumerate(table)
    held = [(key, e) for key, v in items if (e := scalar_entries(v, tracker, fields))]
    if not held:
        return None
    if name in LOOKED_UP and isinstance(table, dict):
        keys = pd.Index([key for key, _ in held])
        rows = keys.get_indexer(pd.Index(np.asarray(result_keys(source, result))))
        return {
            f.series_attr: gather(
                np.array([e[f.series_attr] for _, e in held], f.dtype), rows, f.absent, f.dtype
            )
            for f in fields
        }
    arrays = {
        f.series_attr: [np.array([e[f.series_attr] for _, e in held], f.dtype)] for f in fields
    }
    entry = whole_entries(tracker, fields, arrays, name, OpCode.AGG)
    return {f.series_attr: np.full(n, entry[f.series_attr], dtype=f.dtype) for f in fields}


def choices(source: Any, value: Any, n: int) -> list[Entries]:
    """A series that some condition chose the rows of (a filtered segment) and that is
    recombined with ``source``'s rows: that condition decided which value each element
    took, so its entries reach every element (unless ``source``'s rows were chosen by it
    too)."""
    if not isinstance(value, type(source)):
        return []
    own = {id(d) for d in row_order_of(source)}
    chosen = [d for d in row_order_of(value) if d.kind == SELECTION and id(d) not in own]
    fields = source._fields
    return [
        {f.series_attr: np.full(n, entries[k], dtype=f.dtype) for k, f in enumerate(fields)}
        for entries in (d.entries() for d in chosen)
    ]


def lacking(holder: Any, value: Any, rows: np.ndarray | None, n: int) -> list[Entries]:
    """For ``n`` elements, the selections of ``value`` lined up onto rows it lacks (its
    ``rows``, with NO_ROW: see ``aligned_back``): every element depends on them."""
    fields = value._fields
    return [
        {f.series_attr: np.full(n, entries[k], dtype=f.dtype) for k, f in enumerate(fields)}
        for entries in aligned_back(holder, value, rows)
    ]


def flat_inputs(values: list) -> Iterator[Any]:
    """Every value given, with lists, tuples and the values of dicts opened."""
    for value in values:
        if isinstance(value, (list, tuple)):
            yield from flat_inputs(list(value))
        elif isinstance(value, dict):
            yield from flat_inputs(list(value.values()))
        else:
            yield value


def _lined_up(source: Any, result: Any, name: str, value: Any, n: int) -> Entries | None:
    fields, tracker = source._fields, source._tracker
    lent = scalar_entries(value, tracker, fields)
    if lent is not None:
        return {f.series_attr: np.full(n, lent[f.series_attr], dtype=f.dtype) for f in fields}
    if isinstance(value, np.ndarray) and name in ALIGNED:  # read by position, as pandas does
        found = {f.series_attr: array_entries(value, n, f.series_attr) for f in fields}
        if all(e is not None for e in found.values()):
            return {f.series_attr: np.asarray(found[f.series_attr], f.dtype) for f in fields}
    held = label_entries(value, source)
    if held is not None:  # labels or values handed out on their own (value_counts().index)
        return _whole_of(held, source, n, name)
    if untracked_rows(value) and tracker:  # data of unseen origin: unknown, not clean
        return unknown_entries(fields, tracker, n)
    if isinstance(value, np.ndarray) and name in ALIGNED:
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


def _whole_of(held: Entries, source: Any, n: int, name: str) -> Entries:
    """For ``n`` elements, the entries of one value made of all the ``held`` entries."""
    fields = source._fields
    arrays = {f.series_attr: [held[f.series_attr]] for f in fields}
    entry = whole_entries(source._tracker, fields, arrays, name, OpCode.AGG)
    return {f.series_attr: np.full(n, entry[f.series_attr], dtype=f.dtype) for f in fields}


def result_keys(source: Any, result: Any) -> Any:
    """The values ``source``'s elements look up, lined up with ``result``'s elements."""
    return source.reindex(result.index)._values if len(source) != len(result) else source._values


def whole(value: Any, n: int, name: str) -> Entries:
    """For ``n`` elements, the entries of one value made of every element of ``value``."""
    entry = one_value(value, name)()
    return {f.series_attr: np.full(n, entry[f.series_attr], dtype=f.dtype) for f in value._fields}


def one_value(series: Any, name: str) -> Callable[[], dict[str, int]]:
    """A function that makes the entries of one value derived from every element of
    ``series`` and from what selected its rows (a reduction, or a whole argument): made when
    first called, from the arrays the series has now."""
    tracker, fields = series._tracker, series._fields
    # a series still waiting for its arrays (pandas built it from bare values) is read only
    # if the value is used: pandas' own temporaries are reduced inside its methods
    pending = PENDING in series.__dict__
    arrays = None if pending else {f.series_attr: getattr(series, f.series_attr) for f in fields}
    chosen = [d for d in row_order_of(series) if d.kind == SELECTION]

    def entries() -> dict[str, int]:
        own = arrays or {f.series_attr: getattr(series, f.series_attr) for f in fields}
        decided = [d.entries() for d in chosen]
        lent = {
            f.series_attr: [own[f.series_attr], *(np.array([e[k]]) for e in decided)]
            for k, f in enumerate(fields)
        }
        made = whole_entries(tracker, fields, lent, name, OpCode.AGG)
        return {f.series_attr: made.get(f.series_attr, f.absent) for f in fields}

    return entries
