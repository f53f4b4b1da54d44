"""The words of a join's joined-in columns, whichever way the rows were followed.

Which row of the other side a row was paired with depends on the key values of both
sides. A joined-in element goes into the join with the words of the keys of its own row
(``taken_in``), and after it takes those of the kept side's keys of the row it was paired
with (``paired``): one merge step each where both sides' keys hold words, one in all
otherwise. A fill, where the keys paired no row, has the keys' words alone.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from ..core._word import OpCode
from ._positions import lookup
from ._row_order import with_decided

#: By field, one column's entries (words, and on the DAG road node ids).
Entries = dict[str, np.ndarray]


def entries_of(frame: Any, label: Any) -> Entries | None:
    """By field, the entries ``frame`` reads for its column ``label``; None when it has none
    (an untracked frame has none)."""
    fields = getattr(frame, "_fields", None)
    if not fields:
        return None
    found = {f.series_attr: lookup(getattr(frame, f.frame_attr), label) for f in fields}
    return None if any(entries is None for entries in found.values()) else found


def taken_in(
    combiner: Any, own: Entries | None, keys: list[Entries], values: Callable[[], Any]
) -> Entries | None:
    """The entries a joined-in column takes into the join, per row of its side: its own
    combined with those of the row's ``keys``, one merge step; its own alone without keys
    of words. ``combiner`` is a tracked frame of the join's tracker and family; ``values``
    gives the column's values (the DAG road records them)."""
    if not keys:
        return own
    operands = keys if own is None else [own, *keys]
    return combiner._combine_entries(operands, values, "merge", OpCode.MERGE)


def paired(
    combiner: Any,
    brought: Entries | None,
    keys: list[Entries],
    before: bool,
    values: Callable[[], Any],
    decided: list,
) -> Entries | None:
    """The entries of a joined-in column after the join: what each row brought (``taken_in``
    of the row it was paired with, which took its keys' words if ``before``; absent for a
    fill) combined with the kept side's ``keys`` of the row, one merge step. Every element
    also takes the ``decided`` entries of the conditions that chose the joined-in side's
    rows: they decided which row, or none, a row was paired with."""
    operands = ([] if brought is None else [brought]) + keys
    if not operands:
        return None
    fields = combiner._fields
    if before and not keys:
        made = {name: np.array(entries) for name, entries in operands[0].items()}
    else:
        made = combiner._combine_entries(operands, values, "merge", OpCode.MERGE)
        _absent_where_no_operand(fields, made, operands)
    columns = {f: made[f.series_attr] for f in fields}
    columns = with_decided(combiner._tracker, fields, columns, decided)
    return {f.series_attr: columns[f] for f in fields}


def _absent_where_no_operand(fields: tuple, made: Entries, operands: list[Entries]) -> None:
    """A fill whose keys hold no source's words (an index turned into a column) stays a
    fill of no source."""
    words = fields[0]
    empty = np.ones(len(made[words.series_attr]), dtype=bool)
    for entries in operands:
        if entries[words.series_attr] is not None:  # a constant adds no source
            empty &= np.asarray(entries[words.series_attr]) == words.absent
    if empty.any():
        for f in fields:
            made[f.series_attr][empty] = f.absent
