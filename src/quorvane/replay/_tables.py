"""The recorded tables of a log (``map`` tables, ``isin`` lists, ``cut`` bins, ``astype``
targets) as the engine's bulk pass reads them: numbers, with texts as their codes.

Each table is parsed once from its CONSTANT node's JSON, the way the one-applicant replay
reads it (``_operations``), so that both give the same answers: a mapping's text keys are
matched as the values they name, a missing key maps to nothing, a value outside every bin
is in none. A step whose table is not recorded, or not in a form the replay reads, stays
unknown to the pass.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ..utilities.persistence import NODE_TYPES, ElementLog
from ._operations import _interval, _keys_of

#: the operations whose second input is a recorded table
TABLE_OPERATIONS = ("map", "isin", "cut", "astype")
#: astype targets by the engine's kinds (int, float, bool, text)
_ASTYPE = (("int", "uint"), ("float",), ("bool",), ("str", "string", "object"))
_CONSTANT = NODE_TYPES.index("CONSTANT")


class Unreadable(ValueError):
    """A table the replay does not read."""


@dataclass
class Parsed:
    """A table as values: keys (None: missing, text, float) with their outputs, and a param."""

    pairs: list[tuple[Any, Any]]
    param: int = 0


@dataclass
class Tables:
    """The tables of a log as the engine takes them (see the engine's ``Tables``)."""

    rows: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    start: np.ndarray = field(default_factory=lambda: np.zeros(1, np.int64))
    keys: np.ndarray = field(default_factory=lambda: np.zeros(0))
    values: np.ndarray = field(default_factory=lambda: np.zeros(0))
    param: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int32))

    def columns(self) -> tuple[np.ndarray, ...]:
        return self.rows, self.start, self.keys, self.values, self.param


def table_steps(log: ElementLog, input_rows: np.ndarray) -> dict[int, tuple[str, list[int]]]:
    """Per constant row that a table operation reads as its second input: the operation and
    the rows of the steps that read it; a step without one is keyed -1."""
    names = np.array([name in TABLE_OPERATIONS for name in log.operations] or [False])
    steps = np.flatnonzero(names[log.operation]) if log.size else np.zeros(0, np.int64)
    looked_up = lookups(log, input_rows)
    steps = np.union1d(steps, looked_up)
    found: dict[int, tuple[str, list[int]]] = {}
    for r in steps.tolist():
        start, end = int(log.input_start[r]), int(log.input_start[r + 1])
        operation = "map" if r in looked_up else log.operations[int(log.operation[r])]
        table = int(input_rows[start + 1]) if end - start == 2 else -1
        if table >= 0 and log.node_type[table] != _CONSTANT:
            table = -1
        known = found.setdefault(table, (operation, []))
        if known[0] != operation:  # one constant read as two kinds of table
            found.setdefault(-1, (operation, []))[1].append(r)
        else:
            known[1].append(r)
    return found


def lookups(log: ElementLog, input_rows: np.ndarray) -> np.ndarray:
    """The rows of the join steps that looked their value up in a table written in the code
    by one key (its second input, a constant): a ``map`` of the key through the table."""
    if not log.size:
        return np.zeros(0, np.int64)
    merges = np.flatnonzero(log.node_type == NODE_TYPES.index("MERGE"))
    starts = log.input_start[merges]
    merges = merges[log.input_start[merges + 1] - starts == 2]
    tables = input_rows[log.input_start[merges] + 1]
    known = tables >= 0
    merges, tables = merges[known], tables[known]
    return merges[log.node_type[tables] == _CONSTANT]


def parse(operation: str, text: str | None) -> Parsed:
    """The table of a step of ``operation`` recorded as ``text``."""
    if not isinstance(text, str):
        raise Unreadable("no table recorded")
    if operation == "astype":
        return _astype(text)
    try:
        table = json.loads(text)
    except ValueError:
        raise Unreadable("not JSON") from None
    if operation == "map":
        return _map(table)
    if operation == "isin":
        if not isinstance(table, list):
            raise Unreadable("the isin values are not a list")
        return Parsed([(_plain(m), 1.0) for m in table])
    return _cut(table)


def _plain(value: Any) -> Any:
    """A JSON value as the replay reads it: None, text or a float."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, bool | int | float):
        number = float(value)
        return None if math.isnan(number) else number
    raise Unreadable(f"{value!r} is neither a number nor a text")


def _map(table: Any) -> Parsed:
    if isinstance(table, list):
        return Parsed([(_plain(k), _plain(v)) for k, v in table])
    if not isinstance(table, dict):
        raise Unreadable("the mapping is neither an object nor a list of pairs")
    pairs = []
    for text, mapped in table.items():
        # a key names the numbers whose texts the replay tries, and the text itself
        for number in _numbers_named(text):
            pairs.append((number, _plain(mapped)))
        pairs.append((text, _plain(mapped)))
    return Parsed(pairs)


def _numbers_named(text: str) -> list[float | None]:
    if text in ("null", "NaN", "nan"):
        return [None]
    named = {"true": 1.0, "false": 0.0}
    if text in named:
        return [named[text]]
    try:
        number = float(text)
    except ValueError:
        return []
    return [number] if math.isfinite(number) and text in _keys_of(number) else []


def _cut(table: Any) -> Parsed:
    binning = table if isinstance(table, dict) else {"bins": table}
    try:
        edges = [float(e) for e in binning.get("bins", ())]
    except (TypeError, ValueError):
        raise Unreadable("bins that are not numbers") from None
    labels = binning.get("labels")
    right = bool(binning.get("right", True))
    lowest = bool(binning.get("include_lowest", False))
    if len(edges) < 2 or (isinstance(labels, list) and len(labels) < len(edges) - 1):
        raise Unreadable("the bins of cut were not recorded")
    if labels is not None and labels is not False and not isinstance(labels, list):
        raise Unreadable("the labels of cut are not a list")
    outputs = [
        _plain(labels[i]) if isinstance(labels, list) else _interval(lo, hi, right)
        for i, (lo, hi) in enumerate(zip(edges, edges[1:], strict=False))
    ]
    return Parsed(list(zip(edges, [*outputs, None], strict=True)), int(right) | 2 * int(lowest))


def _astype(kind: str) -> Parsed:
    name = kind.lower()
    for code, prefixes in enumerate(_ASTYPE):
        if name.startswith(prefixes) if code < 3 else name in prefixes:
            return Parsed([], code)
    raise Unreadable(f"astype to {kind}")


def texts_in(parsed: Iterable[Parsed]) -> set[str]:
    """Every text a table names, as a key or an output."""
    return {v for p in parsed for pair in p.pairs for v in pair if isinstance(v, str)}


def engine_tables(parsed: dict[int, tuple[str, Parsed]], code: Callable[[Any], float]) -> Tables:
    """The parsed tables by constant row, as the engine's columns (``code``: a value as the
    pass holds it)."""
    if not parsed:
        return Tables()
    rows = sorted(parsed)
    keys: list[np.ndarray] = []
    values: list[np.ndarray] = []
    for row in rows:
        operation, table = parsed[row]
        k = np.array([code(key) for key, _ in table.pairs], np.float64)
        v = np.array([code(value) for _, value in table.pairs], np.float64)
        if operation in ("map", "isin"):  # looked up: sorted, NaN last, the first of a key kept
            order = np.argsort(k, kind="stable")
            k, v = k[order], v[order]
            first = np.ones(len(k), bool)
            first[1:] = (k[1:] != k[:-1]) & ~(np.isnan(k[1:]) & np.isnan(k[:-1]))
            k, v = k[first], v[first]
        keys.append(k)
        values.append(v)
    return Tables(
        rows=np.array(rows, np.int64),
        start=np.concatenate([[0], np.cumsum([len(k) for k in keys])]).astype(np.int64),
        keys=np.concatenate(keys),
        values=np.concatenate(values),
        param=np.array([parsed[row][1].param for row in rows], np.int32),
    )
