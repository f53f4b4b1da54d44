"""What decided the row order: an order-dependent result names the keys of the sorts before it.

A sort puts rows in an order chosen by values (``sort_values``, ``sort_index`` of an index
made of a column, ``sample`` with weights, ``nlargest``). The sorted rows keep their own
words, as they should, but an operation that reads its rows in order (a cumulative sum, a
window, ``diff``, ``shift``, a group's cumulative sum or ``first``) computes values that
also depend on the keys: which rows come before which. So a sorted container remembers
its *row order*: per field, the entry of one value derived from every key element (one
step over the whole key columns and the order the rows had before; on the DAG road one
AGGREGATE node named after the sort). Every result pandas builds from it carries that
row order on (rows moved or taken, columns picked, element-wise operations; a result of
several tracked operands takes the orders of all), and an order-dependent operation
combines it into every element it produces, one ORDER step further than the elements it
made first (on the DAG road one "row order" node per element).

A safe over-approximation: a cumulative sum's first element does not depend on the key,
but nothing the values depend on through their order is left out.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from pandas import DataFrame, Series

from ._positions import _has_key, _same_family, lookup

#: Per field, the key arrays of a sort (None: a key whose provenance is not known).
Keys = dict[str, list[np.ndarray | None]]

#: The attribute of a container holding its row order: a tuple of the orders (see
#: ``Order``) of the sorts that decided it, one per operand whose order a result took.
ATTRIBUTE = "_row_order"


class Order:
    """What one sort ordered its rows by: per field, the key arrays of the rows it sorted,
    and the orders those rows had before. Its entries are made when an order-dependent
    operation first needs them (so a sort alone logs no node), then kept."""

    def __init__(self, tracker: Any, fields: tuple, keys: Keys, prior: tuple, name: str):
        self._tracker = tracker
        self._fields = fields
        self._keys: Keys | None = keys
        self._prior = prior
        self._name = name
        self._entries: tuple[int, ...] | None = None

    def entries(self) -> tuple[int, ...]:
        """One entry per field: a value derived from every key element and prior order."""
        if self._entries is None:
            from .orrin32._groups import whole_entries

            keys = self._keys or {}
            arrays = {
                f.series_attr: [
                    *(_known(a, f, self._tracker) for a in keys.get(f.series_attr, [])),
                    *(np.array([order.entries()[k]]) for order in self._prior),
                ]
                for k, f in enumerate(self._fields)
            }
            entry = whole_entries(self._tracker, self._fields, arrays, self._name)
            self._entries = tuple(entry.get(f.series_attr, f.absent) for f in self._fields)
            self._keys, self._prior = None, ()  # made: the arrays are no longer needed
        return self._entries


def _known(array: np.ndarray | None, field: Any, tracker: Any) -> np.ndarray:
    """A key's array, or for a key whose provenance is not known the unknown entry (made,
    and under strict provenance refused, only when an operation needs the order)."""
    return np.array([field.unknown(tracker)]) if array is None else array


def row_order_of(obj: Any) -> tuple:
    return getattr(obj, ATTRIBUTE, None) or ()


def carry(result: Any, *sources: Any) -> None:
    """``result``, built from ``sources``, takes their row orders (with any it has)."""
    orders = list(row_order_of(result))
    for source in sources:
        orders.extend(o for o in row_order_of(source) if all(o is not x for x in orders))
    if orders:
        object.__setattr__(result, ATTRIBUTE, tuple(orders))


def remember(source: Any, target: Any, keys: Keys, operation: str) -> None:
    """``target`` (``source`` sorted by ``keys``: per field, the key arrays of its rows) is
    in an order decided by the keys and by the order ``source`` had."""
    tracker = getattr(source, "_tracker", None)
    if not tracker or not any(keys.values()):
        return
    order = Order(tracker, source._fields, keys, row_order_of(source), operation)
    object.__setattr__(target, ATTRIBUTE, (order,))


def column_keys(frame: Any, labels: list) -> Keys:
    """Per field, the arrays of the key columns (or index levels) ``labels`` of ``frame``:
    None for a column whose provenance is not known; an index level that did not come
    from a column is not data of a source, and counts for nothing."""
    index_names = list(frame.index.names)
    out: Keys = {}
    for f in frame._fields:
        level_arrays = (getattr(frame, "_index_words", None) or {}).get(f.series_attr) or []
        arrays = out.setdefault(f.series_attr, [])
        for label in labels:
            if _has_key(label) and label in frame.columns:
                arrays.append(lookup(getattr(frame, f.frame_attr), label))
            elif label in index_names and len(level_arrays) == len(index_names):
                level = level_arrays[index_names.index(label)]
                if level is not None:
                    arrays.append(level)
    return out


def own_keys(series: Any) -> Keys:
    """Per field, the series' own array: it is its own sort key."""
    return {f.series_attr: [getattr(series, f.series_attr)] for f in series._fields}


def index_keys(obj: Any) -> Keys:
    """Per field, the arrays of the index levels that came from columns."""
    words = getattr(obj, "_index_words", None) or {}
    return {
        f.series_attr: [a for a in words.get(f.series_attr) or [] if a is not None]
        for f in obj._fields
    }


def sort_keys(obj: Any, method: str, args: tuple, kwargs: dict) -> Keys:
    """Per field, the arrays of what a sort of ``obj`` orders its rows by."""
    if kwargs.get("axis", 0) not in (0, "index"):
        return {}
    if method == "sort_index":
        return index_keys(obj)
    if isinstance(obj, Series):
        return own_keys(obj)
    by = kwargs.get("by", args[0] if args else None)
    return column_keys(obj, by if isinstance(by, list) else [by])


def applied(source: Any, result: Any) -> Any:
    """``result`` (of an operation that read ``source``'s rows in order, each element's
    entries already made) with ``source``'s row order combined into every element; a
    frame's, column by column."""
    orders = row_order_of(source)
    tracker = getattr(source, "_tracker", None)
    if not orders or not tracker or not _same_family(result, source._fields):
        return result
    object.__setattr__(result, "_tracker", tracker)
    if isinstance(result, DataFrame):
        mappings = {f.frame_attr: dict(getattr(result, f.frame_attr)) for f in result._fields}
        for label in mappings[result._fields[0].frame_attr]:
            column = result[label]
            if isinstance(column, Series):
                _combined(column, orders, tracker)
                for f in result._fields:
                    mappings[f.frame_attr][label] = getattr(column, f.series_attr)
        result._set_mappings(mappings)
    else:
        _combined(result, orders, tracker)
    carry(result, source)
    return result


def _combined(result: Series, orders: tuple, tracker: Any) -> None:
    """Every element of ``result`` combined with the row ``orders``, in place."""
    from .orrin32._word import OpCode

    n = len(result)
    fields = result._fields
    operands = [
        type(result)(
            np.zeros(n),
            index=result.index,
            _tracker=tracker,
            **{f.series_attr: np.full(n, e[k], dtype=f.dtype) for k, f in enumerate(fields)},
        )
        for e in (order.entries() for order in orders)
    ]
    object.__setattr__(result, "_tracker", tracker)
    result._derived(result, [result, *operands], "row order", OpCode.ORDER)
