"""Run-level flip counts: for each protected attribute, how many decisions change when that
attribute alone is set to each of its other values, over every applicant at once.

The engine replays the whole log in one forward pass per value. Every applicant's cell is
set at once, which equals changing each applicant alone because the pass holds every
aggregate over many rows at its recorded value: an element-wise step reads only its own
row. An applicant whose change moves it into another group sees that group's recorded
aggregate, as the one-applicant replay does: the pass knows each node's applicant (its
row's, or for a step of a group's value alone, that of the one applicant reading it).
Recorded tables (maps, isin lists, cut bins, astype targets) are evaluated too. A decision
the pass cannot compute (an operation it does not evaluate, a group no aggregate was
recorded for) is counted as unknown, never as a flip or a non-flip.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..core import _engine
from ..core._tracker import UNKNOWN_SOURCE
from ..utilities.persistence import NODE_TYPES, ElementLog, applicant_rows, two_applicants
from ._groups import group_key
from ._operations import closed_sides, evaluator
from ._tables import Parsed, Unreadable, engine_tables, lookups, parse, table_steps, texts_in

#: attributes with more distinct values than this are listed, not counted (an income is
#: not "set to each of its other values")
MAX_VALUES = 20

_CHANGED, _UNKNOWN = 1, 2
_SOURCE = NODE_TYPES.index("SOURCE")


@dataclass(frozen=True)
class FlipCount:
    """Decisions of ``result`` when ``attribute`` is set to ``value`` for every applicant."""

    attribute: str
    value: float | str
    changed: int  # applicants whose attribute had another value
    flips: int
    unknown: int  # decisions the replay could not compute
    held: int  # aggregates kept at their recorded value although an input changed


@dataclass(frozen=True)
class FlipCounts:
    """The flip counts of one result over a run."""

    result: str
    decisions: int
    counts: tuple[FlipCount, ...]
    not_counted: tuple[str, ...] = ()  # attributes left out, and why
    not_replayed: int = 0  # steps whose recorded value the replay does not reproduce

    def flips(self, attribute: str) -> int:
        """All flips of ``attribute``, over its values."""
        return sum(c.flips for c in self.counts if c.attribute == attribute)

    def lines(self) -> list[str]:
        """One line per attribute and value, for a reader."""
        out = [
            f"{c.attribute} set to {_shown(c.value)}: {c.flips} of {c.changed} changed "
            f"{self.result} decisions flip" + (f", {c.unknown} unknown" if c.unknown else "")
            for c in self.counts
        ]
        return out + [f"{why}" for why in self.not_counted]


def _shown(value: float | str) -> str:
    if isinstance(value, str):
        return repr(value)
    return str(int(value)) if value == int(value) else repr(value)


class ReplayColumns:
    """A log's columns as the engine's replay pass reads them, checked once."""

    def __init__(self, log: ElementLog) -> None:
        self.log = log
        self.input_start = np.ascontiguousarray(log.input_start, dtype=np.int64)
        self.inputs = rows_of(log, log.inputs)
        self.code = _codes(log, self.inputs)
        _assignments_as_where(log, self.inputs, self.code)
        _group_lookups_in(log, self.inputs, self.code)
        parsed = _parsed_tables(log, self.inputs, self.code)
        self.texts = _text_codes(log, texts_in(p for _, p in parsed.values()))
        self.value = _coded_values(log, self.texts)
        _between_sides(log, self.inputs, self.value)
        self.group_start, self.group_values, self.family = _group_columns(log, self.texts)
        self.tables = engine_tables(parsed, lambda v: _key_value(v, self.texts))
        ok = _engine.replay_check(**self._program())
        evaluated = self.code >= _engine.REPLAY_PASS
        self.not_replayed = int(np.count_nonzero(evaluated & (ok == 0)))
        self.code[ok == 0] = _engine.REPLAY_UNKNOWN
        rows = applicant_rows(log, log.row)
        self.owner = _engine.replay_owners(self.code, self.input_start, self.inputs, rows)

    def changed(self, cells: np.ndarray, value: float) -> tuple[np.ndarray, np.ndarray, int]:
        """(values, states, aggregates held) with the rows ``cells`` set to ``value``."""
        return _engine.replay_changed(
            **self._program(), owner=self.owner, cells=cells, new_value=float(value)
        )

    def _program(self) -> dict[str, Any]:
        """The columns every replay pass takes, by the engine's names."""
        rows, start, keys, values, param = self.tables.columns()
        return {
            "code": self.code,
            "input_start": self.input_start,
            "inputs": self.inputs,
            "value": self.value,
            "group_start": self.group_start,
            "group_values": self.group_values,
            "family": self.family,
            "table_rows": rows,
            "table_start": start,
            "table_keys": keys,
            "table_values": values,
            "table_param": param,
            "text_from": TEXT_SCALE,
        }


def rows_of(log: ElementLog, node_ids: np.ndarray) -> np.ndarray:
    """The rows of the log that hold ``node_ids``."""
    ids = np.asarray(node_ids, dtype=np.int64)
    first = int(log.node_id[0]) if log.size else 0
    if log.size and int(log.node_id[-1]) - first == log.size - 1:  # ids without gaps
        rows = ids - first
        if len(rows) and (rows.min() < 0 or rows.max() >= log.size):
            raise ValueError("the log refers to a node it does not hold")
        return np.ascontiguousarray(rows, dtype=np.int64)
    rows = np.searchsorted(log.node_id, ids)
    inside = rows < log.size
    if not inside.all() or not np.array_equal(log.node_id[rows], ids):
        raise ValueError("the log refers to a node it does not hold")
    return np.ascontiguousarray(rows, dtype=np.int64)


def _codes(log: ElementLog, input_rows: np.ndarray) -> np.ndarray:
    known = _engine.replay_codes()
    by_operation = np.array(
        [known.get(name, _engine.REPLAY_UNKNOWN) for name in log.operations] or [0],
        dtype=np.int32,
    )
    code = by_operation[log.operation] if log.size else np.zeros(0, np.int32)
    # an element-wise operation the engine's pass does not evaluate (a map, cut bins) is
    # unknown to it, never an aggregate it may hold
    element_wise = np.array([evaluator(name) is not None for name in log.operations] or [False])
    kind = log.node_type
    given = (kind == _SOURCE) | (kind == NODE_TYPES.index("CONSTANT"))
    code = np.where(given, _engine.REPLAY_KEEP, code)
    passed = np.isin(log.operation, _operation_codes(log, ("row selection", "row order")))
    code = np.where((kind == NODE_TYPES.index("MERGE")) | passed, _engine.REPLAY_PASS, code)
    code[lookups(log, input_rows)] = _engine.replay_codes()["map"]  # a join from a table
    grouped = np.zeros(log.size, dtype=bool)
    groups = np.asarray(_grouped_rows(log), dtype=np.int64)
    # a group of one applicant's own rows (its rows of a one-to-many join, aggregated back)
    # is no aggregate over others: a change of them is not held
    grouped[groups[_reads_other_rows(log, input_rows, groups)]] = True
    aggregate = kind == NODE_TYPES.index("AGGREGATE")
    # the source of values the log could not follow may stand for any changed value
    for node_id, (table, column, _) in log.sources.items():
        if (table, column) == UNKNOWN_SOURCE:
            code[rows_of(log, np.array([node_id]))] = _engine.REPLAY_UNKNOWN
    # a clip or a where is logged as an aggregate (three inputs): only an aggregate of no
    # element-wise operation, or one of a group, is held
    unknown = (code == _engine.REPLAY_UNKNOWN) & ~element_wise[log.operation]
    code = np.where(grouped, _engine.REPLAY_HELD_GROUP, code)
    code = np.ascontiguousarray(code, dtype=np.int32)
    # an aggregate with no value recorded (the condition that chose a segment's rows, the
    # order of a sort) cannot be held at one: a change of it is unknown
    candidates = np.flatnonzero(aggregate & ~grouped & unknown)
    recorded = ~np.isnan(log.value[candidates])
    if log.text is not None:
        recorded |= np.array([log.text[r] is not None for r in candidates.tolist()], dtype=bool)
    candidates = candidates[recorded]
    code[candidates[_reads_other_rows(log, input_rows, candidates)]] = _engine.REPLAY_HELD
    # a step of two applicants' rows (a value shifted in from the row before) reads both
    # changed at once here, where each applicant's change is asked alone: unknown
    crossed = two_applicants(log)
    if crossed.any():
        rows = log.row
        code[(rows >= 0) & crossed[np.maximum(rows, 0)] & ~given] = _engine.REPLAY_UNKNOWN
    return code


def _between_sides(log: ElementLog, input_rows: np.ndarray, value: np.ndarray) -> None:
    """A between's fourth operand, the text of which bounds count, as the number the pass
    reads (see ``closed_sides``), in the values the pass takes: where that constant is
    read by betweens alone (elsewhere it stays a text, and the between unknown)."""
    if "between" not in log.operations or log.text is None:
        return
    rows = np.flatnonzero(log.operation == log.operations.index("between"))
    rows = rows[log.input_start[rows + 1] - log.input_start[rows] == 4]
    if not len(rows):
        return
    sides = input_rows[log.input_start[rows] + 3]
    read = np.bincount(input_rows, minlength=log.size)
    read_here = np.bincount(sides, minlength=log.size)
    for side in np.unique(sides).tolist():
        if log.node_type[side] == NODE_TYPES.index("CONSTANT") and read[side] == read_here[side]:
            value[side] = closed_sides(log.text[side])


def _operation_codes(log: ElementLog, names: tuple[str, ...]) -> list[int]:
    return [i for i, name in enumerate(log.operations) if name in names]


def _assignments_as_where(log: ElementLog, input_rows: np.ndarray, code: np.ndarray) -> None:
    """A ``.loc`` assignment of a value to the rows of a mask (its operands: the old value,
    the mask, the value) is, to the pass, a where of the mask, the value and the old value:
    its operands are put in that order. One of other operands stays unknown."""
    if "loc" not in log.operations or not log.size:
        return
    counts = np.diff(log.input_start)
    rows = np.flatnonzero((log.operation == log.operations.index("loc")) & (counts == 3))
    starts = log.input_start[rows]
    old, mask, value = (input_rows[starts + k].copy() for k in range(3))
    input_rows[starts], input_rows[starts + 1], input_rows[starts + 2] = mask, value, old
    code[rows] = _engine.replay_codes()["where"]


def _reads_other_rows(log: ElementLog, input_rows: np.ndarray, nodes: np.ndarray) -> np.ndarray:
    """Per node of ``nodes``, whether it reads another applicant than its own: an aggregate
    over other applicants, as opposed to an element-wise step of many inputs. Applicants,
    not row identities: after a join the applicant's steps belong to its merged row and
    its unjoined columns to its source row, and a row-wise step over an applicant's own
    columns belongs to a group of its rows; none of them reads anyone else. A node of no
    one applicant reads others when its inputs belong to two or more."""
    starts, ends = log.input_start[nodes], log.input_start[nodes + 1]
    owner = np.repeat(np.arange(len(nodes)), ends - starts)
    pieces = [input_rows[s:e] for s, e in zip(starts.tolist(), ends.tolist(), strict=True)]
    applicant = applicant_rows(log, log.row)
    input_applicant = applicant[np.concatenate([np.zeros(0, np.int64), *pieces])]
    own = applicant[nodes][owner]
    read = input_applicant >= 0
    other = read & (own >= 0) & (input_applicant != own)
    several = _several(owner[read & (own < 0)], input_applicant[read & (own < 0)], len(nodes))
    return (np.bincount(owner[other], minlength=len(nodes)) > 0) | several


def _several(owner: np.ndarray, applicant: np.ndarray, n: int) -> np.ndarray:
    """Per node 0 .. n - 1, whether its inputs (``owner``, in ascending order, beside each
    input's ``applicant``) belong to two applicants or more: the least and the greatest of
    each node's differ. One pass over runs, no sort of the pairs."""
    out = np.zeros(n, dtype=bool)
    if not len(owner):
        return out
    starts = np.concatenate([[0], np.flatnonzero(np.diff(owner)) + 1])
    least = np.minimum.reduceat(applicant, starts)
    greatest = np.maximum.reduceat(applicant, starts)
    out[owner[starts]] = least != greatest
    return out


def _group_lookups_in(log: ElementLog, input_rows: np.ndarray, code: np.ndarray) -> None:
    """The steps that looked their value up in a group's aggregate by the very key the
    group was made by (a ``map`` of the key through it, its second input; a join of it on
    the key, its first input; a merge with the grouped table joins the table's column of
    group keys first, then the frame's key) take the aggregate as the applicant sees it,
    held or moved with the key: their inputs are put key first, aggregate second, as that
    code reads them, and the table's key column, which they need not read, is kept."""
    grouped = np.asarray(_grouped_rows(log), dtype=np.int64)
    if not len(grouped):
        return
    under = {row: row for row in grouped.tolist()}
    _mark_lookups(log, input_rows, code, "map", 1, under)
    _mark_lookups(log, input_rows, code, "merge", 0, under)  # the table's key column first
    _mark_lookups(log, input_rows, code, "merge", 0, under)  # then the frame's key


def _mark_lookups(
    log: ElementLog, input_rows: np.ndarray, code: np.ndarray, name: str, at: int, under: dict
) -> None:
    """One pass of ``_group_lookups_in`` over the steps ``name`` whose input ``at`` is a
    group's aggregate, or a lookup of one found before (``under``: its aggregate's row)."""
    lookup = _engine.replay_codes()["group lookup"]
    if name not in log.operations:
        return
    steps = np.flatnonzero(log.operation == log.operations.index(name))
    steps = steps[
        (log.input_start[steps + 1] - log.input_start[steps] == 2) & (code[steps] != lookup)
    ]
    tables = input_rows[log.input_start[steps] + at]
    keys = input_rows[log.input_start[steps] + 1 - at]
    known = _looked_up_in(under, tables)
    key_column = log.operations.index("group key") if "group key" in log.operations else -1
    for aggregate in np.unique(known[(known >= 0) & (keys >= 0)]).tolist():
        at_aggregate = np.flatnonzero((known == aggregate) & (keys >= 0))
        members = input_rows[log.input_start[aggregate] : log.input_start[aggregate + 1]]
        ok = np.isin(keys[at_aggregate], members)
        for k in np.unique(keys[at_aggregate][~ok]).tolist():  # the table's column of keys
            made_of = input_rows[log.input_start[k] : log.input_start[k + 1]]
            if log.operation[k] == key_column and len(made_of) and np.isin(made_of, members).all():
                ok |= keys[at_aggregate] == k
                code[k] = _engine.REPLAY_KEEP
        found = at_aggregate[ok]
        first = log.input_start[steps[found]]
        # the aggregate itself, as this step's applicant sees it (a join of the grouped
        # table's rows is every member's, of no one applicant)
        input_rows[first], input_rows[first + 1] = keys[found], aggregate
        code[steps[found]] = lookup
        for row in steps[found].tolist():
            under[row] = aggregate


def _looked_up_in(under: dict, rows: np.ndarray) -> np.ndarray:
    """Per row, the aggregate row ``under`` gives it, -1 where it gives none."""
    keys = np.fromiter(under.keys(), np.int64, len(under))
    values = np.fromiter(under.values(), np.int64, len(under))
    order = np.argsort(keys)
    keys, values = keys[order], values[order]
    at = np.minimum(np.searchsorted(keys, rows), len(keys) - 1)
    return np.where(keys[at] == rows, values[at], -1)


def _grouped_rows(log: ElementLog) -> list[int]:
    """The rows of the aggregates that carry a group key (only aggregates can)."""
    group = log.group
    if group is None:
        return []
    aggregates = np.flatnonzero(log.node_type == NODE_TYPES.index("AGGREGATE"))
    return [r for r in aggregates.tolist() if group[r] is not None]


#: texts stand in the engine's pass as numbers no pipeline's value is likely to be, in the
#: texts' sorted order and far enough apart that the pass's tolerance never joins two:
#: equality and order between texts hold there
TEXT_SCALE = 1e290


def _text_codes(log: ElementLog, more: set[str]) -> dict[str, float]:
    """Codes of the log's texts and of ``more`` (the texts its tables name)."""
    found = sorted({t for t in log.text or () if t is not None} | more)
    return {text: TEXT_SCALE * (i + 1) for i, text in enumerate(found)}


def _parsed_tables(
    log: ElementLog, input_rows: np.ndarray, code: np.ndarray
) -> dict[int, tuple[str, Parsed]]:
    """The recorded table of each table step's constant; the steps of a table the replay
    does not read are set unknown to the pass."""
    parsed: dict[int, tuple[str, Parsed]] = {}
    for row, (operation, steps) in table_steps(log, input_rows).items():
        try:
            if row < 0:
                raise Unreadable("no table recorded")
            text = log.text[row] if log.text is not None else None
            parsed[row] = (operation, parse(operation, text))
        except Unreadable:  # (a group's aggregate looked up by its key needs no table)
            steps = [r for r in steps if code[r] != _engine.replay_codes()["group lookup"]]
            code[steps] = _engine.REPLAY_UNKNOWN
    return parsed


def _coded_values(log: ElementLog, codes: dict[str, float]) -> np.ndarray:
    value = np.array(log.value, dtype=np.float64)
    if codes and log.text is not None:
        rows = [r for r, t in enumerate(log.text) if t is not None]
        value[rows] = [codes[str(log.text[r])] for r in rows]
    return value


def _group_columns(
    log: ElementLog, codes: dict[str, float]
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per node, the values of its group key, texts by their codes, and its family: the
    first row of the run of group aggregates one operation logged with it (-1 elsewhere)."""
    counts = np.zeros(log.size, dtype=np.int64)
    family = np.full(log.size, -1, dtype=np.int64)
    values: list[float] = []
    group = log.group or ()
    previous = -2
    for r in _grouped_rows(log):
        key = [_key_value(v, codes) for v in group_key(str(group[r]))]
        counts[r] = len(key)
        values.extend(key)
        same_run = previous == r - 1 and log.operation[previous] == log.operation[r]
        family[r] = family[previous] if same_run else r
        previous = r
    start = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    return start, np.asarray(values, dtype=np.float64), family


def _key_value(value: object, codes: dict[str, float]) -> float:
    if isinstance(value, float):
        return value
    return codes.get(value, math.nan) if isinstance(value, str) else math.nan  # None: NaN


def attribute_cells(log: ElementLog) -> dict[str, np.ndarray]:
    """The rows of the source cells of every protected column, by ``table.column``."""
    cells: dict[str, np.ndarray] = {}
    source = np.flatnonzero((log.node_type == _SOURCE) & (log.row >= 0))
    one_input = source[(log.input_start[source + 1] - log.input_start[source]) == 1]
    column_of = log.inputs[log.input_start[one_input]]
    for node_id, (table, column, protected) in sorted(log.sources.items()):
        if protected:
            cells[f"{table}.{column}"] = one_input[column_of == node_id]
    return cells


def flip_counts(log: ElementLog, result: str, max_values: int = MAX_VALUES) -> FlipCounts:
    """How many of ``result``'s decisions flip when each protected attribute alone is set
    to each of its other values, every applicant at once (see the module's note)."""
    if result not in log.results:
        known = ", ".join(sorted(log.results)) or "none"
        raise KeyError(f"the run has no result {result!r} (results: {known})")
    columns = ReplayColumns(log)
    texts = {code: text for text, code in columns.texts.items()}
    decisions = rows_of(log, log.results[result][1])
    old = columns.value[decisions]
    counts: list[FlipCount] = []
    not_counted: list[str] = []
    for attribute, cells in attribute_cells(log).items():
        values = columns.value[cells]
        distinct = np.unique(values[~np.isnan(values)])
        if len(distinct) > max_values:
            not_counted.append(f"{attribute}: {len(distinct)} values, more than {max_values}")
            continue
        for value in distinct.tolist():
            new, state, held = columns.changed(cells, value)
            after = (new[decisions], state[decisions], held)
            counts.append(_count(attribute, value, values, old, *after, texts))
    return FlipCounts(
        result=result,
        decisions=len(decisions),
        counts=tuple(counts),
        not_counted=tuple(not_counted),
        not_replayed=columns.not_replayed,
    )


def _count(
    attribute: str,
    value: float,
    values: np.ndarray,
    old: np.ndarray,
    new: np.ndarray,
    state: np.ndarray,
    held: int,
    texts: dict[float, str],
) -> FlipCount:
    unknown = state == _UNKNOWN
    if np.isin(old[~np.isnan(old)], (0.0, 1.0)).all():
        flipped = (old != 0) != (new != 0)  # a yes/no decision
    else:
        flipped = state == _CHANGED
    return FlipCount(
        attribute=attribute,
        value=texts.get(value, value),
        changed=int(np.count_nonzero(values != value)),
        flips=int(np.count_nonzero(flipped & ~unknown)),
        unknown=int(np.count_nonzero(unknown)),
        held=int(held),
    )
