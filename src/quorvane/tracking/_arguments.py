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

A tracked scalar (a reduction's result) lends its entries to every element. A function (for
``map``, ``apply``, ``transform``, ...) counts by the data it can read besides its arguments
(see ``_closures``), whole. A safe over-approximation: a filled element depends on the fill
value, an unfilled one does not, but nothing an element depends on is left out.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import pandas as pd

from ..core._word import OpCode
from ._arrays import TrackedArray
from ._closures import referenced
from ._combining import derived_words, whole_entries
from ._elementwise import array_entries, untracked_rows
from ._labels import label_entries
from ._positions import PENDING, gather, lookup, row_positions, unknown_entries
from ._row_order import SELECTION, aligned_back, row_order_of
from ._scalars import TrackedScalar, scalar_entries

Entries = dict[str, np.ndarray]

#: Operations that align a series argument with the receiver on the labels (a filtered
#: segment given so also lends the condition that chose its rows: see ``choices``).
ALIGNED = frozenset({"fillna", "clip", "where", "mask", "combine_first", "update"})
#: Operations that look each element's value up in a series argument's labels.
LOOKED_UP = frozenset({"map"})


def argument_operands(source: Any, result: Any, name: str, values: list) -> list[Entries]:
    """The entries of every tracked input among ``values`` (the arguments of ``name``),
    lined up with the elements of ``result`` (built from ``source``)."""
    n, fs = len(result), source._fields
    out = []
    for value in values:
        if user_function(value):  # what it reads besides its element: whole, every element
            lent = given_whole(source, [value], name)
            if lent is not None:
                out.append({f.series_attr: np.full(n, lent[f.series_attr], f.dtype) for f in fs})
            continue
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
    mapping ``map`` looks up, each element the entry of the value it looked up (one made
    of them all where the mapping lacks its key); otherwise
    one value made of all of them, for every element. None: a table holds none."""
    if not isinstance(table, (dict, list, tuple, set, frozenset)):
        return None
    tracker, fields = source._tracker, source._fields
    items = table.items() if isinstance(table, dict) else enumerate(table)
    held = [(key, e) for key, v in items if (e := scalar_entries(v, tracker, fields))]
    if not held:
        return None
    arrays = {
        f.series_attr: [np.array([e[f.series_attr] for _, e in held], f.dtype)] for f in fields
    }
    if name in LOOKED_UP and isinstance(table, dict):
        keys = pd.Index([key for key, _ in held])
        rows = keys.get_indexer(pd.Index(np.asarray(result_keys(source, result))))
        # a value the table lacks: which keys it holds was decided with its values, whole
        missing = (
            whole_entries(tracker, fields, arrays, name, OpCode.AGG) if (rows < 0).any() else {}
        )
        return {
            f.series_attr: gather(
                arrays[f.series_attr][0], rows, missing.get(f.series_attr, f.absent), f.dtype
            )
            for f in fields
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
    """Every value given, with lists, tuples and the values of dicts opened, and in place
    of a function the data it can read (see ``_closures``)."""
    for value in values:
        if isinstance(value, (list, tuple)):
            yield from flat_inputs(list(value))
        elif isinstance(value, dict):
            yield from flat_inputs(list(value.values()))
        elif user_function(value):
            yield from referenced(value)
        else:
            yield value


def user_function(value: Any) -> bool:
    """Whether ``value`` is a function (or a callable object) pandas would call."""
    return callable(value) and not isinstance(value, type)


def given_whole(source: Any, values: list, name: str) -> dict[str, int] | None:
    """Per field, the entry of one value made of every element of every tracked input
    among ``values`` (unknown for plain data with a value per row); None: none is."""
    arrays = given_arrays(source, values)
    if not any(arrays.values()):
        return None
    return whole_entries(source._tracker, source._fields, arrays, name, OpCode.AGG)


def lend_whole(source: Any, result: Any, values: list, name: str) -> Any:
    """``result`` (made from ``source``, its entries made) with each element also combining
    every tracked input among ``values`` whole: what a function given can read besides its
    arguments, a value given beside it. One more step where there is any."""
    tracker = getattr(source, "_tracker", None)
    if not tracker or getattr(result, "_tracker", None) is not tracker:
        return result
    if not isinstance(result, (pd.Series, pd.DataFrame)):
        return result
    lent = given_whole(source, values, name)
    if lent is None:
        return result
    fields = source._fields
    if isinstance(result, pd.Series):
        own = {f.series_attr: getattr(result, f.series_attr) for f in fields}
        result._set_fields(_with_lent(tracker, fields, own, lent, name))
        return result
    mappings: dict[str, dict] = {f.frame_attr: {} for f in fields}
    for label in dict.fromkeys(result.columns):
        own = {f.series_attr: lookup(getattr(result, f.frame_attr), label) for f in fields}
        if any(entries is None for entries in own.values()):
            continue  # a column without entries reads unknown as it is
        made = _with_lent(tracker, fields, own, lent, name)
        for f in fields:
            if f.series_attr in made:
                mappings[f.frame_attr][label] = made[f.series_attr]
    result._set_mappings(
        {f.frame_attr: {**getattr(result, f.frame_attr), **mappings[f.frame_attr]} for f in fields}
    )
    return result


def _with_lent(
    tracker: Any, fields: tuple, own: Entries, lent: dict[str, int], name: str
) -> Entries:
    words_field, *others = fields
    n = len(own[words_field.series_attr])
    full = {f.series_attr: np.full(n, lent[f.series_attr], f.dtype) for f in fields}
    words = derived_words(
        tracker,
        [np.asarray(own[words_field.series_attr]), full[words_field.series_attr]],
        OpCode.AGG,
    )
    out = {words_field.series_attr: words}
    for f in others:
        if f.element is not None:
            inputs = [np.asarray(own[f.series_attr], f.dtype), full[f.series_attr]]
            out[f.series_attr] = np.asarray(f.element(tracker, inputs, words, name), f.dtype)
    return out


def given_rows(source: Any, values: list, name: str) -> dict[str, np.ndarray] | None:
    """Per field, for every row of ``source``, the entry of one value made of every tracked
    input among ``values`` (a key function's reach, a mapping of labels): what decided each
    row's key or place may read all of it. None: none is tracked."""
    lent = given_whole(source, values, name)
    if lent is None:
        return None
    n = len(source)
    return {f.series_attr: np.full(n, lent[f.series_attr], f.dtype) for f in source._fields}


def given_arrays(source: Any, values: list) -> dict[str, list[np.ndarray]]:
    """Per field, the arrays of every tracked input among ``values`` of ``source``'s road,
    with what selected their rows; an unknown entry for plain data with a value per row."""
    tracker, fields = source._tracker, source._fields
    arrays: dict[str, list] = {f.series_attr: [] for f in fields}
    own = {id(d) for d in row_order_of(source)}
    unseen = False
    for value in flat_inputs(values):
        unseen = unseen or unseen_rows(value)
        if not tracked_input(value, source):
            continue
        for f in fields:
            arrays[f.series_attr].extend(_arrays_of(value, f, source))
        for k, f in enumerate(fields):  # the condition that chose a given segment's rows
            arrays[f.series_attr].extend(
                np.array([d.entries()[k]], dtype=f.dtype)
                for d in row_order_of(value)
                if d.kind == SELECTION and id(d) not in own
            )
    if unseen:  # data of unseen origin: unknown
        for f in fields:
            arrays[f.series_attr].append(np.array([f.unknown(tracker)], dtype=f.dtype))
    return arrays


def unseen_rows(value: Any) -> bool:
    """Whether ``value`` is plain data with a value per row or per cell (an array of one
    or two dimensions, a plain series, frame or index): what made it cannot be seen."""
    if isinstance(value, TrackedArray) and value._prov is not None and value.ndim == 1:
        return False
    if isinstance(value, (pd.DataFrame, np.ndarray)) and np.ndim(value) == 2:
        # a table of numpy's, tracked or not, is not read by position: unknown
        plain = isinstance(value, np.ndarray) or getattr(value, "_tracker", None) is None
        return plain and np.size(value) > 1
    return untracked_rows(value)


def _arrays_of(obj: Any, f: Any, source: Any) -> list[np.ndarray]:
    """A field's arrays of a tracked input: unknown for a column without entries."""
    if isinstance(obj, TrackedScalar):
        return [np.array([obj._entries.get(f.series_attr, f.absent)], dtype=f.dtype)]
    if isinstance(obj, (TrackedArray, pd.Index)):  # labels or values handed out on their own
        return [held[f.series_attr]] if (held := label_entries(obj, source)) is not None else []
    if isinstance(obj, pd.Series):
        return [np.asarray(getattr(obj, f.series_attr), dtype=f.dtype)]
    mapping = getattr(obj, f.frame_attr)
    out = []
    for label in obj.columns:
        found = lookup(mapping, label)
        out.append(
            np.array([f.unknown(source._tracker)], dtype=f.dtype)
            if found is None
            else np.asarray(found, dtype=f.dtype)
        )
    return out


def tracked_input(value: Any, source: Any) -> bool:
    """Whether ``value`` is a tracked input of ``source``'s tracker and road."""
    fields, tracker = source._fields, source._tracker
    if isinstance(value, TrackedScalar):
        return scalar_entries(value, tracker, fields) is not None
    if isinstance(value, (TrackedArray, pd.Index)):
        return label_entries(value, source) is not None
    return (
        isinstance(value, (pd.Series, pd.DataFrame))
        and getattr(value, "_fields", None) == fields
        and getattr(value, "_tracker", None) is tracker
    )


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


def one_value(series: Any, name: str, in_order: bool = False) -> Callable[[], dict[str, int]]:
    """A function that makes the entries of one value derived from every element of
    ``series`` and from what selected its rows (a reduction, or a whole argument), and with
    ``in_order`` from what ordered them too: made when first called, from the arrays the
    series has now."""
    tracker, fields = series._tracker, series._fields
    # a series still waiting for its arrays (pandas built it from bare values) is read only
    # if the value is used: pandas' own temporaries are reduced inside its methods
    pending = PENDING in series.__dict__
    arrays = None if pending else {f.series_attr: getattr(series, f.series_attr) for f in fields}
    chosen = [d for d in row_order_of(series) if in_order or d.kind == SELECTION]

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
