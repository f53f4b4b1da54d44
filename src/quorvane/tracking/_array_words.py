"""The words a column's words array made in the operation pandas just ran, for the
containers to take instead of making them again.

With words in arrays (see ``_storage``), pandas runs an element-wise operation on the
arrays of its operands, whose operators make the result's words through the tracker's
engine (see ``_ops``). Those are the words the containers make when every operand reads the
words its own array holds, in place (no alignment), on the road whose only per-element
field is the words: the containers then read them instead of combining the operands again.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ._array import WordsArray
from ._dtype import WordsDtype, supported
from ._plain_values import holds_words
from ._positions import (
    ARRAY_ENTRIES,
    PENDING,
    _same_memory,
    carried_array,
    reads_carried_column,
)


def _array_of(series: Any) -> WordsArray | None:
    try:
        array = series.array
    except AttributeError:  # not built yet
        return None
    return array if isinstance(array, WordsArray) else None


def reads_own_array(series: Any) -> bool:
    """Whether every entry of ``series`` is the one its words array holds, made by the
    series' tracker (the same memory: words a write into place changed are not)."""
    array = _array_of(series)
    fields: tuple = getattr(series, "_fields", ())
    if array is None or array.tracker is None or array.tracker is not series._tracker:
        return False
    if len(fields) != 1:  # a road with entries beside the words: those are its own
        return False
    attributes = series.__dict__
    if PENDING in attributes:  # its entries are still to be given
        return False
    own = attributes.get(fields[0].series_attr + "_array")
    if own is None:  # it reads what its values carry, if they carry any
        return carried_array(series) is not None
    words = getattr(array, ARRAY_ENTRIES[fields[0].series_attr])
    return _same_memory(own, words)


def made_words(result: Any, operands: list, op_code: int) -> np.ndarray | None:
    """The words of ``result`` that its array made in one step ``op_code`` from those of
    ``operands`` (series whose rows are the result's, in place), when each operand reads
    its array's own; else None: the containers make them.

    Words taken are the values' own from then on (``carried``): where pandas moves the
    values next (a filter, a sort), the result there reads the words moved with them."""
    array = _array_of(result)
    if array is None or array.made_by != op_code or not operands:
        return None
    if not all(reads_own_array(x) and _same_rows(x, result) for x in operands):
        return None
    return taken(array, op_code)


def _same_rows(operand: Any, result: Any) -> bool:
    index = operand.index
    return index is result.index or index.equals(result.index)


def reads_own_column(frame: Any, label: Any, array: Any) -> bool:
    """Whether the entries of ``frame``'s column ``label`` are those its words ``array``
    holds (the same memory), made by the frame's tracker, on the road of words alone."""
    if not isinstance(array, WordsArray) or array.tracker is None:
        return False
    if array.tracker is not frame._tracker or len(frame._fields) != 1:
        return False
    return reads_carried_column(frame, label, array)


def hold(result: Any, inputs: tuple = ()) -> None:
    """Put the entries the containers just made for the series ``result`` in its words
    array (see ``hold_in``)."""
    fields = getattr(result, "_fields", ())
    entries = {f.series_attr: result.__dict__.get(f.series_attr + "_array") for f in fields}
    hold_in(_array_of(result), entries, result._tracker, [_array_of(x) for x in inputs])


#: The words array's attribute that holds each field's entries, written.
_ARRAY_SLOTS = {"_prov": "_words", "_node_ids": "_node_ids"}


def hold_in(array: Any, entries: dict[str, Any], tracker: Any, inputs: list) -> None:
    """Put ``entries`` (per field), which the containers just made for the values of
    ``array``, in it, so that its holder reads its array's own entries: the next step over
    them takes the words the array makes, and pandas moves these with the values, so that
    a result of a filter or a sort reads them there instead of following its rows.

    Only into an array the operation made for its result: not one of the ``inputs``' (the
    arrays the operands hold: pandas hands an unchanged column on as it is), nor one whose
    words some other holder reads as its values' own (``carried``)."""
    if not isinstance(array, WordsArray) or array.carried or array.tracker is None:
        return
    if array.tracker is not tracker or any(x is array for x in inputs):
        return
    if not entries or any(e is None or len(e) != len(array) for e in entries.values()):
        return
    for name, made in entries.items():
        setattr(array, _ARRAY_SLOTS[name], made)
    array.made_by = None
    array.carried = True


def hold_remade(array: Any, entries: dict[str, Any], inputs: list) -> dict[str, Any] | None:
    """Write ``entries`` into ``array``, which an operation made for its result from the
    ``inputs``' arrays and whose words that operation then changed (a concat of segments
    combines the condition that chose each): its words are then its values' own. Written
    into the array's memory, which the operation made new, because pandas may hand out a
    view of the array rather than the one it holds. The entries held, for the result to
    read as its own; None where they cannot be (a field the array does not hold)."""
    if not isinstance(array, WordsArray) or any(x is array for x in inputs):
        return None
    held = {name: getattr(array, ARRAY_ENTRIES[name]) for name in entries}
    theirs = [getattr(x, ARRAY_ENTRIES[name]) for x in inputs if isinstance(x, WordsArray)
              for name in entries]  # fmt: skip
    for name, own in held.items():
        made = entries[name]
        if own is None or made is None or len(own) != len(made) or not own.flags.writeable:
            return None
        if any(t is not None and np.may_share_memory(own, t) for t in theirs):
            return None  # a view of an input's: not the operation's own to write
    for name, own in held.items():
        own[...] = entries[name]
    array.made_by = None
    array.carried = True
    return held


def taken(array: Any, op_code: int) -> np.ndarray | None:
    """The words ``array`` made in one step ``op_code`` (see ``made_words``), taken: the
    caller has checked that every operand read its array's own."""
    if not isinstance(array, WordsArray) or array.made_by != op_code:
        return None
    array.carried = True
    return array.words


def held_as_words(result: Any, source: Any) -> Any:
    """``result``, a series the containers made from ``source`` with its entries given,
    with those entries held in its words array (see ``hold``); where pandas put its values
    in an array of its own (the text of a ``.str`` method, ``astype``'s numbers, a map's
    objects, a rank's numbers) and ``source`` holds its own in words arrays, a series of
    the same values in a words array holding them: pandas then moves its entries with its
    values, so that what is built from it later reads them there. The dtype is the words
    dtype of the one pandas gave; datetimes, categories, pandas' nullable dtypes and
    objects that are not text stay in pandas' own array."""
    hold(result, (source,))
    if result is source or not isinstance(result, pd.Series) or not holds_words(source):
        return result
    if isinstance(_array_of(result), WordsArray) or not hasattr(result, "_set_fields"):
        return result
    fields = getattr(result, "_fields", ())
    entries = {f.series_attr: result.__dict__.get(f.series_attr + "_array") for f in fields}
    if not entries or any(e is None or len(e) != len(result) for e in entries.values()):
        return result
    values = _held_values(result)
    if values is None or result._tracker is None or set(entries) - set(ARRAY_ENTRIES):
        return result
    words = np.asarray(entries["_prov"], dtype=np.uint32)
    dtype = WordsDtype(result.dtype, result._tracker)
    held = WordsArray(values, words, dtype, entries.get("_node_ids"))
    held.carried = True  # the entries the series reads, as they were made
    made = type(result)(held, index=result.index, name=result.name, copy=False)
    return made.__finalize__(result)  # its tracker, the same entries and row decisions


def _held_values(result: pd.Series) -> Any:
    """The values of ``result`` as a words array holds them, or None for a dtype that
    stays in pandas' own array."""
    dtype = result.dtype
    if isinstance(dtype, pd.StringDtype):
        return result.array
    if not supported(dtype):
        return None
    values = result.to_numpy(copy=False)
    if dtype.kind == "O" and pd.api.types.infer_dtype(values, skipna=True) not in _TEXT:
        return None  # lists, mixed objects: pandas' own object column explodes and sorts them
    return values


#: What pandas infers of an object column that holds text (gaps aside).
_TEXT = frozenset({"string", "empty"})
