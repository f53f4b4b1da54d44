"""What the DAG road knows of each element beside its node: the node's own value and the
row it belongs to.

Values are kept by node, not by row position: an element that a filter, a sort or a join
moves keeps its node, so its value goes with it. A node's row is derived when the node is
made, from its inputs' rows (see ``_identities``). Source cells are nodes too: an element
of a wrapped column starts at the cell node of its row, whose one input is the column's
node (the native log sees cells through as their column, so the DAG keeps one node per
column). Every call here takes a whole operation: numpy, no Python per element.
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np
import pandas as pd

from ...tracking._array import WordsArray
from ._growing import Growing
from ._held import Held
from ._identities import NO_IDENTITY, RowIdentities
from ._runs import known_first

#: The operation name of a constant node (a scalar operand, a threshold, a table).
CONSTANT_OPERATION = "constant"


class ElementStore:
    """Per node: value, text and row; per row identity: see ``RowIdentities``."""

    def __init__(self) -> None:
        self.value = Held(np.float64, np.nan)
        self.text: Growing | None = None
        self.row = Held(np.int64, NO_IDENTITY)
        self.identities = RowIdentities()
        #: group key (JSON) of the aggregate node of a groupby's group
        self.group_keys: dict[int, str] = {}
        #: one per wrapped column: (first cell id, cells, column node id)
        self.cell_blocks: list[tuple[int, int, int]] = []

    # -- rows of nodes as they are made ------------------------------------------------

    def made_elementwise(self, ids: np.ndarray, columns: list, operation: str) -> None:
        """Nodes ``ids`` (-1: none made) each over one entry of every input column."""
        made, every = _made(ids)
        if not every and not made.any():
            return
        columns = [np.asarray(c, dtype=np.int64) for c in columns]
        inputs = [self._rows_of(c if every else c[made]) for c in columns]
        if operation == "merge" and len(inputs) > 1:
            # a joined-in value: its own row after the keys that paired it (left side first)
            inputs = inputs[1:] + inputs[:1]
        # an operand of no row (a constant) leaves every other's row as it is
        pinned = [rows for rows in inputs if rows is not None]
        made_ids = ids if every else ids[made]
        if pinned:
            self.row.set(made_ids, self.identities.fold(pinned))

    def _rows_of(self, nodes: np.ndarray) -> np.ndarray | None:
        """The row of each node; None when they all belong to no row. An operand that is
        one node for every element (a constant, a tracked scalar) is looked up once."""
        n = len(nodes)
        same = n and (nodes.strides[0] == 0 or nodes[0] == nodes[-1])
        if same and (nodes.strides[0] == 0 or bool((nodes == nodes[0]).all())):
            row = int(self.row.get(nodes[:1])[0])
            return None if row == NO_IDENTITY else np.full(n, row, dtype=np.int64)
        return self.row.get(nodes)

    def made_segments(self, ids: np.ndarray, offsets: np.ndarray, flat: np.ndarray) -> None:
        """Aggregate nodes ``ids``, node s over ``flat[offsets[s]:offsets[s + 1]]``."""
        made = ids >= 0
        if made.any():
            rows = self.identities.groups(offsets, self.row.get(flat))
            self.row.set(ids[made], rows[made])

    def made_windows(self, ids: np.ndarray, members: np.ndarray) -> None:
        """Window nodes: each belongs to the row of the element it ends at."""
        made = ids >= 0
        self.row.set(ids[made], self.row.get(np.asarray(members, dtype=np.int64)[made]))

    def made_one(self, node_id: int, node_type: Any, inputs: list) -> None:
        """One node made by a public logging call."""
        from ._records import NodeType

        if node_type in (NodeType.SOURCE, NodeType.CONSTANT) or not inputs:
            return
        ids = np.array([node_id], dtype=np.int64)
        flat = np.asarray(inputs, dtype=np.int64)
        if node_type is NodeType.AGGREGATE:
            self.made_segments(ids, np.array([0, len(flat)], dtype=np.int64), flat)
        else:
            self.made_elementwise(ids, [flat[i : i + 1] for i in range(len(flat))], "")

    def source_cells(self, ids: np.ndarray, column_node: int, rows: np.ndarray) -> None:
        """The cell nodes ``ids`` of a wrapped column, one per source row ``rows``."""
        self.row.set(ids, np.asarray(rows, dtype=np.int64))
        if len(ids):
            self.cell_blocks.append((int(ids[0]), len(ids), int(column_node)))

    # -- values ------------------------------------------------------------------------

    def record(self, ids: Any, values: Any, shared: bool = False) -> None:
        """The value of each node ``ids[i]`` (-1: none) is ``values[i]``. ``shared``: ids may
        repeat (a group's node is every member's): a node keeps a number only when all its
        elements agree on it."""
        ids = np.asarray(ids, dtype=np.int64)
        if not len(ids) or len(ids) != len(values):
            return
        made, every = _made(ids)
        if not every and not made.any():
            return
        numbers, texts = numbers_and_texts(values, kept=True)
        if not every:
            ids, numbers = ids[made], numbers[made]
            texts = texts[made] if texts is not None else None
        if shared:
            numbers = _agreed(ids, numbers.astype(np.float64, copy=False))
        elif every:
            numbers = _kept(values, numbers)
        self.value.set(ids, numbers)
        if texts is not None and self.text is None:
            self.text = Growing(object, None)
        if self.text is not None:
            self.text.set(ids, texts)

    def record_constant(self, node_id: int, value: Any) -> None:
        number, text = constant_value(value)
        ids = np.array([node_id], dtype=np.int64)
        self.value.set(ids, number)
        if text is not None and self.text is None:
            self.text = Growing(object, None)
        if self.text is not None:
            self.text.set(ids, text)

    def holds(self, ids: Any, values: Any) -> bool:
        """Whether every node ``ids[i]`` (-1: none, which holds anything) holds
        ``values[i]`` as ``record`` keeps it: numbers to rounding, missing as missing, text
        exactly."""
        ids = np.asarray(ids, dtype=np.int64)
        numbers, texts = numbers_and_texts(values)
        at = np.maximum(ids, 0)
        kept = self.value.get(at)
        same = np.isclose(numbers, kept, rtol=1e-9, atol=1e-12, equal_nan=True)
        if texts is not None or self.text is not None:
            none = np.full(len(ids), None, dtype=object)
            theirs = self.text.get(at) if self.text is not None else none
            same &= (texts if texts is not None else none) == theirs
        return bool((same | (ids < 0)).all())

    def texts_of(self, ids: np.ndarray) -> np.ndarray | None:
        """The texts of nodes ``ids``, or None when no node has one."""
        return None if self.text is None else self.text.get(ids)


def _made(ids: np.ndarray) -> tuple[np.ndarray, bool]:
    """(which ids are nodes, whether all are): one pass without a mask where all are."""
    if not len(ids) or known_first(ids) is not None or int(ids.min()) >= 0:
        return np.ones(0, dtype=bool), True
    return ids >= 0, False


def _kept(values: Any, numbers: np.ndarray) -> np.ndarray:
    """``numbers`` as the log may keep them by reference: an array no one can write into
    afterwards. The values of a words array that owns them are made read-only (a write
    into the array then writes into a copy, see ``WordsArray.__setitem__``); other memory
    of the caller's (a wrapped frame's column) is copied; an array made here is kept."""
    plain = values._plain if isinstance(values, WordsArray) else None
    if plain is not None and numbers is plain and plain.flags.owndata:
        plain.flags.writeable = False
        return numbers
    caller = plain if plain is not None else values
    if isinstance(caller, np.ndarray) and np.may_share_memory(numbers, caller):
        return numbers.copy()
    return numbers


def _agreed(ids: np.ndarray, numbers: np.ndarray) -> np.ndarray:
    """``numbers`` with NaN for every id whose elements hold different numbers."""
    order = np.argsort(ids, kind="stable")
    sorted_ids, sorted_numbers = ids[order], numbers[order]
    starts = np.flatnonzero(np.r_[True, sorted_ids[1:] != sorted_ids[:-1]])
    first = np.repeat(sorted_numbers[starts], np.diff(np.r_[starts, len(ids)]))
    same = (sorted_numbers == first) | (np.isnan(sorted_numbers) & np.isnan(first))
    group = np.cumsum(np.r_[True, sorted_ids[1:] != sorted_ids[:-1]]) - 1
    bad = np.zeros(len(starts), dtype=bool)
    np.logical_or.at(bad, group, ~same)
    out = numbers.copy()
    out[order[bad[group]]] = np.nan
    return out


def numbers_and_texts(values: Any, kept: bool = False) -> tuple[np.ndarray, np.ndarray | None]:
    """Every element as a number (NaN where missing or not a number) and, where it is not
    a number, as text (None elsewhere; None for all when every element is numeric).
    ``kept``: integers and booleans stay as they are (read as numbers when read back)."""
    array = values if isinstance(values, np.ndarray) else np.asarray(values)
    kind = array.dtype.kind
    if kind in "biuf":  # the caller only reads it: numbers are not copied
        return (array if kept else array.astype(np.float64, copy=False)), None
    n = len(array)
    if kind in "mMc":
        texts = array.astype(str).astype(object)
        texts[pd.isna(array)] = None
        return np.full(n, np.nan), texts
    cells = array.astype(object)
    try:
        numbers = pd.to_numeric(pd.Series(cells, dtype=object), errors="coerce")
        numbers = numbers.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError, OverflowError):
        numbers = np.full(n, np.nan)
    wordy = np.isnan(numbers) & ~pd.isna(cells)
    if not wordy.any():
        return numbers, None
    texts = np.full(n, None, dtype=object)
    # one str() per cell: numpy's astype(str) refuses cells that are sequences (lists)
    texts[wordy] = [str(cell) for cell in cells[wordy]]
    return numbers, texts


def constant_value(value: Any) -> tuple[float, str | None]:
    """A constant's (number, text): a table (mapping, list of bins or values) is JSON text,
    a mapping as a list of [key, value] pairs (JSON object keys would all be text)."""
    if isinstance(value, (dict, pd.Series)):
        pairs = [[json_ready(k), json_ready(v)] for k, v in value.items()]
        return np.nan, json.dumps(pairs, default=str)
    if isinstance(value, (list, tuple, set, frozenset, np.ndarray, pd.Index)):
        return np.nan, json.dumps([json_ready(v) for v in value], default=str)
    numbers, texts = numbers_and_texts(np.array([value], dtype=object))
    return float(numbers[0]), None if texts is None else texts[0]


def json_ready(value: Any) -> Any:
    """A JSON-ready form of one table entry: numpy scalars as Python's, missing as null."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and value != value:
        return None
    return value
