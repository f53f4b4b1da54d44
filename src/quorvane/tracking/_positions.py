"""Which source row each result row came from, and the per-element arrays gathered by it.

The primitives of the follow mechanism (see ``_follow``): fields, positions, gathers and
fills, column origins.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Hashable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ._array import WordsArray

#: Position of a result row that no source row produced.
NO_ROW = -1

_known = threading.local()
_aligning = threading.local()


@dataclass(frozen=True)
class Field:
    """One per-element array of a container family.

    ``unknown(tracker)`` is the entry of an element whose origin cannot be followed;
    ``absent`` the entry of a cell that holds a fill value (the NaN of an alignment or an
    outer join), which derives from no source at all.
    """

    series_attr: str
    frame_attr: str
    dtype: Any
    absent: int
    unknown: Callable[[Any], int]
    #: For a field beside the words: its entries for results made of many elements (a group's
    #: members): ``aggregate(tracker, arrays, segments, n, words, operation)`` gives one
    #: entry per segment, ``words`` being the segments' words. None: not followed there.
    aggregate: Callable[..., np.ndarray] | None = None
    #: Likewise for windows: ``window(tracker, entries, span, words, operation)`` gives one
    #: entry per element for the window of ``span`` elements ending there (0: all before).
    window: Callable[..., np.ndarray] | None = None
    #: Likewise for element-wise steps: ``element(tracker, inputs, words, operation)`` gives
    #: one entry per element made from the aligned entries of its operands (one array each).
    element: Callable[..., np.ndarray] | None = None
    #: For a field that logs constant operands (the DAG road): ``constant(tracker, value)``
    #: gives the entry of a constant (a scalar, a threshold, a table) that an operation
    #: takes, once per operation; its elements take it as an operand. None: constants add
    #: nothing to the field, as they add no source to the words.
    constant: Callable[[Any, Any], int] | None = None
    #: For a field whose entries keep their values (the DAG road's nodes): ``value(tracker,
    #: entries, values)`` records the values of elements a step made outside a series'
    #: operators (a reduction's scalar, such as a median cutoff; the rows of a segment a
    #: concat took), so that the step shows, and replays from, its values.
    value: Callable[[Any, np.ndarray, Any], None] | None = None


#: The attribute of a series pandas built from bare values through a tracked series'
#: constructor: a function that gives it its arrays when they are first read, unless pandas
#: hands it the source's arrays first (``__finalize__``).
PENDING = "_pending"


#: The words array's attribute that holds each field's entries.
ARRAY_ENTRIES = {"_prov": "words", "_node_ids": "node_ids"}


def carried_array(series: Any) -> WordsArray | None:
    """The words array of ``series`` when its words are its values' own, moved by pandas
    with them (see ``WordsArray.carried``); None otherwise."""
    try:
        array = series.array
    except AttributeError:  # not built yet
        return None
    return array if isinstance(array, WordsArray) and array.carried else None


def followed_attribute(name: str) -> property:
    """A series' per-element array as an attribute that records, when set, that the series
    has its own arrays (a series pandas built from bare values has not: see ``_followed``).

    Entries set on the series (those an operation made) are its own; a series that was
    given none reads those its values carry (see ``carried_array``)."""
    key = name + "_array"

    def get(self: Any) -> Any:
        attributes = self.__dict__
        if PENDING in attributes:
            attributes.pop(PENDING)(self)
        try:
            return attributes[key]
        except KeyError:
            pass
        array = carried_array(self)
        entries = None if array is None else getattr(array, ARRAY_ENTRIES[name])
        if entries is None:
            raise AttributeError(name)
        return entries

    def set_(self: Any, value: Any) -> None:
        attributes = self.__dict__
        attributes[key] = value
        attributes["_followed"] = True
        attributes.pop(PENDING, None)

    return property(get, set_)


def reads_carried(series: Any, fields: tuple[Field, ...]) -> bool:
    """Whether every entry ``series`` reads is the one its values carry."""
    array = carried_array(series)
    if array is None:
        return False
    attributes = series.__dict__
    for f in fields:
        own = attributes.get(f.series_attr + "_array")
        if own is not None and not _same_memory(own, getattr(array, ARRAY_ENTRIES[f.series_attr])):
            return False
    return True


def carried_columns(frame: Any) -> dict[Hashable, WordsArray]:
    """By label, the words arrays of ``frame``'s columns whose words are their values' own
    (see ``carried_array``); a label that repeats names none."""
    # a plain view: reading a column of the tracked frame would follow it
    out: dict[Hashable, WordsArray] = {}
    seen: set = set()
    for label, column in pd.DataFrame(frame, copy=False).items():
        if not _has_key(label) or label in seen:
            out.pop(label, None)
            continue
        seen.add(label)
        array = column.array
        if isinstance(array, WordsArray) and array.carried:
            out[label] = array
    return out


def carried_column(frame: Any, label: Hashable) -> WordsArray | None:
    """The words array of ``frame``'s one column ``label`` when its words are its values'
    own (see ``carried_array``); None otherwise, or for a label held twice."""
    plain = pd.DataFrame(frame, copy=False)  # reading the tracked frame's would follow it
    try:
        column = plain[label]
    except (KeyError, TypeError):
        return None
    if not isinstance(column, pd.Series):
        return None
    array = column.array
    return array if isinstance(array, WordsArray) and array.carried else None


def reads_carried_column(frame: Any, label: Hashable, array: Any) -> bool:
    """Whether every entry the frame reads for column ``label`` is the one its values
    ``array`` (see ``carried_columns``) carry."""
    if array is None:
        return False
    for f in frame._fields:
        own = lookup(getattr(frame, f.frame_attr), label)
        if not _same_memory(own, getattr(array, ARRAY_ENTRIES[f.series_attr])):
            return False
    return True


def moved_columns(result: Any, source: Any, origins: list) -> dict[Hashable, WordsArray]:
    """By label, the columns of ``result`` whose values pandas moved (taken, sliced, in
    another order) from those of ``source`` column ``origins[i]`` together with the words
    that ``source`` reads for it: the words to read there are the moved ones."""
    moved = carried_columns(result)
    if not moved:
        return {}
    sources = carried_columns(source)
    out = {}
    for label, origin in zip(result.columns, origins, strict=True):
        array = lookup(moved, label)
        if array is None or origin is None:
            continue
        if reads_carried_column(source, origin, lookup(sources, origin)):
            out[label] = array
    return out


def _same_memory(a: Any, b: Any) -> bool:
    """Whether two arrays are the same elements in memory (a view of all of one is the
    other), not merely equal."""
    if a is b:
        return True
    if not isinstance(a, np.ndarray) or not isinstance(b, np.ndarray):
        return False
    return (
        a.shape == b.shape
        and a.strides == b.strides
        and a.dtype == b.dtype
        and a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
    )


def read_carried(series: Any, fields: tuple[Field, ...], source: Any = None) -> bool:
    """Let ``series`` read the entries its values carry, when pandas moved them there from
    ``source``'s values, whose entries they were: that is where the rows went. False when
    they carry none, or the source's entries were made by an operation (its own)."""
    array = carried_array(series)
    if array is None:
        return False
    if source is not None and not reads_carried(source, fields):
        return False
    attributes = series.__dict__
    for f in fields:
        # the array's own entries, not a copy: the series reads what pandas moves, and
        # keeps them when a write into place makes the array's words no longer carried
        attributes[f.series_attr + "_array"] = getattr(array, ARRAY_ENTRIES[f.series_attr])
    attributes.pop(PENDING, None)
    attributes["_followed"] = True
    return True


# -- positions ----------------------------------------------------------------------------


#: Announced positions of a result that takes every row of its source, in place.
EVERY_ROW = np.empty(0, dtype=np.intp)


@contextmanager
def known_rows(source: Any, positions: np.ndarray) -> Iterator[None]:
    """Announce that the next result pandas builds from ``source`` takes these rows
    (``EVERY_ROW``: all of them, in place)."""
    stack = getattr(_known, "stack", None)
    if stack is None:
        stack = _known.stack = []
    stack.append((source, positions))
    try:
        yield
    finally:
        stack.pop()


def _announced(source: Any, n: int) -> np.ndarray | None:
    stack = getattr(_known, "stack", None)
    if stack:
        announced, positions = stack[-1]
        if announced is source and positions is EVERY_ROW and n == len(source):
            return positions
        if announced is source and len(positions) == n:
            return positions
    return None


def positions_of_slice(slobj: slice, n: int) -> np.ndarray:
    """The rows a slice takes; ``EVERY_ROW`` for all of them in order (pandas' own
    operations cut their operands so), whose entries need no gathering."""
    if slobj.indices(n) == (0, n, 1):
        return EVERY_ROW
    return np.arange(n, dtype=np.intp)[slobj]


def positions_of_take(indices: Any, n: int) -> np.ndarray:
    positions = np.asarray(indices, dtype=np.intp)
    if len(positions) and positions.min() < 0:  # counted from the end
        return np.where(positions < 0, positions + n, positions)
    return positions


def row_positions(result_index: pd.Index, source: Any) -> np.ndarray | None:
    """Source position of each result row; None when the rows are the source's, in place."""
    source_index = source.index
    announced = _announced(source, len(result_index))
    if announced is EVERY_ROW:
        return None
    if announced is not None:
        return announced
    if result_index is source_index:
        return None
    if len(result_index) == len(source_index) and result_index.equals(source_index):
        return None
    if source_index.is_unique:
        return source_index.get_indexer(result_index)
    return np.full(len(result_index), NO_ROW, dtype=np.intp)


Fill = int | Callable[[], int]


def gather(array: Any, positions: np.ndarray | None, fill: Fill, dtype: Any) -> np.ndarray:
    """Entries of ``array`` at ``positions``; ``fill`` (or what it returns when called, only
    if needed) where a position is NO_ROW."""
    array = np.asarray(array, dtype=dtype)
    if positions is None:
        return array
    # NO_ROW reads the last entry; overwritten below
    out = array.take(positions) if len(array) else np.zeros(len(positions), dtype=dtype)
    if len(positions) and positions.min() < 0:
        out[positions < 0] = fill() if callable(fill) else fill
    return out


def unknown_entries(fields: tuple, tracker: Any, n: int) -> dict[str, np.ndarray]:
    """Per field, ``n`` unknown entries of ``tracker``."""
    return {f.series_attr: np.full(n, f.unknown(tracker), f.dtype) for f in fields}


def unknown_fill(field: Field, tracker: Any) -> Fill:
    """The entry of elements that cannot be followed, made only when one turns up (the
    tracker registers its unknown source on first use)."""
    if not tracker or getattr(_aligning, "depth", 0) > 0:
        return field.absent
    return lambda: field.unknown(tracker)


@contextmanager
def operands_aligned() -> Iterator[None]:
    """Run an operator's pandas call, which aligns the operands on the union of their
    labels. A row that the alignment adds to an operand holds a fill value (NaN), which
    derives from no source: it is absent, not unknown, so it neither registers the unknown
    source nor trips strict provenance. The operator then makes its result's entries from
    the operands' own."""
    depth = getattr(_aligning, "depth", 0)
    _aligning.depth = depth + 1
    try:
        yield
    finally:
        _aligning.depth = depth


def full(n: int, field: Field, fill: Fill) -> np.ndarray:
    """``n`` entries of ``fill`` (called only when there is an entry to make)."""
    value = (fill() if callable(fill) else fill) if n else 0
    return np.full(n, value, dtype=field.dtype)


# -- columns ------------------------------------------------------------------------------


def column_origins(result_columns: pd.Index, source_columns: pd.Index) -> list[Hashable | None]:
    """The source column label each result column holds, by label, or by position when the
    columns were relabelled one for one (``rename``, ``add_prefix``, ``set_axis``)."""
    if result_columns.equals(source_columns):
        return list(source_columns)
    source_labels = set(source_columns)
    by_label = [label if _has(source_labels, label) else None for label in result_columns]
    if None in by_label and len(result_columns) == len(source_columns):
        return list(source_columns)
    return by_label


def _has(labels: set, label: Any) -> bool:
    try:
        return label in labels
    except TypeError:
        return False


def lookup(mapping: dict, label: Any) -> Any:
    """``mapping[label]``, or None for a missing or unhashable label."""
    try:
        return mapping.get(label)
    except TypeError:
        return None


def _followed(result: Any, fields: tuple[Field, ...]) -> bool:
    """Whether ``result`` got its arrays from its sources (not pandas' bare defaults), or
    gets them when read (see ``PENDING``)."""
    if not _same_family(result, fields):
        return False
    if PENDING in getattr(result, "__dict__", {}):
        getattr(result, fields[0].series_attr)  # given now
    return getattr(result, "_followed", False)


def _same_family(obj: Any, fields: tuple[Field, ...]) -> bool:
    return getattr(obj, "_fields", None) == fields


def _tracker_of(objs: list) -> Any:
    for obj in objs:
        tracker = getattr(obj, "_tracker", None)
        if tracker is not None:
            return tracker
    return None


def _has_key(label: Any) -> bool:
    try:
        hash(label)
    except TypeError:
        return False
    return True
