"""Which inputs of an aggregate over a group of rows are one element's own.

A group's aggregate reads every member's cell; one applicant's lineage needs only its own
(the cell it gave and the key cells that put it in the group) and the inputs of no one row
(constants). An input is the applicant's when its row is, or is made from, the applicant's
source row: a merged row stands for the rows it joined, a group for its members. A store
indexes every such aggregate's inputs by those source rows when it writes a log, so reading
one applicant's part of a million-member group costs one block.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._element_log import GROUP, MERGED_ROW, NODE_TYPES, SOURCE_ROW, ElementLog

#: how deep merged rows and groups nest (a join of a join ...) when followed to source rows
_MAX_NESTING = 8
_AGGREGATE = NODE_TYPES.index("AGGREGATE")


@dataclass(frozen=True)
class Identities:
    """Row identities as the expansion reads them: the kind of each, and each one's members
    (counts, then all of them flat, in order)."""

    kind: Callable[[np.ndarray], np.ndarray]
    members: Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]

    @classmethod
    def of_columns(
        cls, kind: np.ndarray, member_start: np.ndarray, members: np.ndarray
    ) -> Identities:
        def members_of(ids: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
            starts, ends = member_start[ids], member_start[ids + 1]
            return ends - starts, members[spans(starts, ends)]

        return cls(kind=lambda ids: kind[ids], members=members_of)

    @classmethod
    def of_ends(
        cls,
        kind: Callable[[np.ndarray], np.ndarray],
        member_end: Callable[[np.ndarray], np.ndarray],
        members: Callable[[np.ndarray], np.ndarray],
    ) -> Identities:
        """Identities read through lookups: each one's kind, the end of its members (the
        start is the previous one's end) and members by position."""

        def members_of(ids: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
            ends = member_end(ids)
            starts = np.where(ids > 0, member_end(np.maximum(ids - 1, 0)), 0)
            return ends - starts, members(spans(starts, ends))

        return cls(kind=kind, members=members_of)

    @classmethod
    def of_log(cls, log: ElementLog) -> Identities:
        return cls.of_columns(log.identity_kind, log.member_start, log.members)


def spans(starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
    """The positions of every span ``starts[i]:ends[i]``, one after the other."""
    counts = ends - starts
    total = int(counts.sum())
    if not total:
        return np.zeros(0, np.int64)
    offsets = np.repeat(starts - np.concatenate([[0], np.cumsum(counts)[:-1]]), counts)
    return np.arange(total, dtype=np.int64) + offsets


def source_rows(rows: np.ndarray, identities: Identities) -> tuple[np.ndarray, np.ndarray]:
    """(owner, source row) pairs: the source rows each of ``rows`` stands for (itself for a
    source row, -1 for none), ``owner`` its position in ``rows``."""
    current = np.asarray(rows, np.int64)
    owner = np.arange(len(current), dtype=np.int64)
    owners, sources = [], []
    for _ in range(_MAX_NESTING):
        kind = np.full(len(current), SOURCE_ROW, np.uint8)
        some = current >= 0
        kind[some] = identities.kind(current[some])
        leaf = kind == SOURCE_ROW
        owners.append(owner[leaf])
        sources.append(current[leaf])
        if leaf.all():
            break
        counts, flat = identities.members(current[~leaf])
        owner, current = np.repeat(owner[~leaf], counts), flat
    return np.concatenate(owners), np.concatenate(sources)


def own_positions(
    input_rows: np.ndarray, source: int, identities: Identities
) -> tuple[np.ndarray, bool]:
    """The positions (in operand order) of the inputs that are ``source``'s own or of no
    one row, and whether any is ``source``'s own."""
    owner, rows = source_rows(input_rows, identities)
    mine = rows == source
    return np.unique(owner[mine | (rows < 0)]), bool(mine.any())


def applicant_row(row: int, identities: Identities, key_of: Callable[[int], str], key: str) -> int:
    """The source row of the applicant of business key ``key`` that row ``row`` stands for
    (a merged row's left member first, as business keys are given); -1 when none."""
    if row < 0:
        return -1
    _, rows = source_rows(np.array([row], np.int64), identities)
    for candidate in rows.tolist():
        if candidate >= 0 and key_of(candidate) == key:
            return int(candidate)
    return -1


class GroupInputs:
    """The inputs of a log's group aggregates (those whose row is a group: they read other
    rows), gathered part by part as a log's nodes go by."""

    def __init__(self, identity_kind: np.ndarray) -> None:
        self._kind = identity_kind
        self._found: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []

    def add(self, part: ElementLog) -> None:
        """The group aggregates of ``part`` (nodes of a log with this one's identities)."""
        row = part.row
        candidates = np.flatnonzero((part.node_type == _AGGREGATE) & (row >= 0))
        if not len(candidates):
            return
        aggregates = candidates[self._kind[row[candidates]] == GROUP]
        starts, ends = part.input_start[aggregates], part.input_start[aggregates + 1]
        flat = spans(starts, ends)
        counts = ends - starts
        self._found.append(
            (
                np.repeat(part.node_id[aggregates], counts),
                flat - np.repeat(starts, counts),
                part.inputs[flat].astype(np.int64, copy=True),  # the part's memory is let go
            )
        )

    def index(
        self, rows_of: Callable[[np.ndarray], np.ndarray], identities: Identities
    ) -> dict[str, np.ndarray]:
        """Every input gathered by (aggregate, source row, position): the columns a store
        keeps so that one applicant's inputs of a group are found by key. ``rows_of``: the
        row of node ids."""
        none = np.zeros(0, np.int64)
        aggregate, position, inputs = (
            np.concatenate([none, *(found[at] for found in self._found)]) for at in range(3)
        )
        owner, source = source_rows(rows_of(inputs), identities)
        columns = {
            "aggregate": aggregate[owner],
            "row": source,
            "position": position[owner],
            "node": inputs[owner],
        }
        order = np.lexsort((columns["position"], columns["row"], columns["aggregate"]))
        columns = {name: values[order] for name, values in columns.items()}
        # an input that stands for the same source row twice is listed once
        repeated = np.zeros(len(order), bool)
        if len(order) > 1:
            repeated[1:] = (
                (columns["aggregate"][1:] == columns["aggregate"][:-1])
                & (columns["row"][1:] == columns["row"][:-1])
                & (columns["position"][1:] == columns["position"][:-1])
            )
        return {name: values[~repeated] for name, values in columns.items()}


def applicant_rows(log: ElementLog, rows: np.ndarray) -> np.ndarray:
    """The source row each of ``rows`` (row identities) stands for as an applicant: itself,
    a merged row's left member (as business keys are given); -1 for none and for a group."""
    rows = np.asarray(rows, np.int64)
    kind = log.identity_kind
    if not bool((kind != SOURCE_ROW).any()):  # source rows only: each is its own
        return rows.copy()
    # worked out once per identity, then looked up per row
    of = np.arange(len(kind), dtype=np.int64)
    for _ in range(_MAX_NESTING):
        some = of >= 0
        inner = np.zeros(len(of), bool)
        inner[some] = kind[of[some]] != SOURCE_ROW
        if not inner.any():
            break
        firsts = log.member_start[of[inner]]
        lefts = log.members[np.minimum(firsts, max(len(log.members) - 1, 0))]
        of[inner] = np.where(kind[of[inner]] == GROUP, -1, lefts)
    return np.append(of, -1)[rows]  # row -1 reads the -1 appended


def two_applicants(log: ElementLog) -> np.ndarray:
    """Per row identity, whether it merges two rows of one table (a value shifted in from
    the row before, beside the row's own): a step of it reads two applicants, where a
    join's pair of an applicant and a looked-up row reads one."""
    kind = log.identity_kind
    out = np.zeros(len(kind), dtype=bool)
    merged = np.flatnonzero(kind == MERGED_ROW)
    if not len(merged):
        return out
    start = log.member_start[merged]
    pairs = log.member_start[merged + 1] - start >= 2
    merged, start = merged[pairs], start[pairs]
    left = applicant_rows(log, log.members[start])
    right = applicant_rows(log, log.members[start + 1])
    apart = (left >= 0) & (right >= 0) & (left != right)
    tables = np.asarray(log.identity_table, dtype=object)
    apart[apart] = tables[left[apart]] == tables[right[apart]]
    out[merged[apart]] = True
    return out


def result_rows(log: ElementLog, keys: Any, node_rows: np.ndarray) -> np.ndarray:
    """Per result element, its applicant's source row (-1 where its node belongs to no one
    applicant): the row a store looks up an aggregate's own inputs by. ``node_rows``: the
    row of each element's node."""
    out = applicant_rows(log, node_rows)
    keys = np.asarray(keys, dtype=object)
    found = out >= 0
    if found.any():
        own_keys = np.asarray(log.identity_key, dtype=object)[out[found]]
        out[np.flatnonzero(found)[own_keys != keys[found]]] = -1
    if (out < 0).any():  # an element of a group's node is keyed by its index label
        out[out < 0] = _source_rows_by_key(log, keys[out < 0])
    return out


def _source_rows_by_key(log: ElementLog, keys: np.ndarray) -> np.ndarray:
    """The source row of each business key (the first with it; -1 for none)."""
    sources = np.flatnonzero(log.identity_kind == SOURCE_ROW)
    first: dict[str, int] = {}
    for row, key in zip(
        sources.tolist(), np.asarray(log.identity_key, object)[sources], strict=True
    ):
        first.setdefault(key, row)
    return np.array([first.get(k, -1) for k in keys.tolist()], np.int64)


def own_inputs_of(
    key: str,
    root_row: int,
    identities: Identities,
    key_of: Callable[[int], str],
    rows_of: Callable[[np.ndarray], np.ndarray],
) -> Callable[[int, Any, int], tuple[tuple[int, ...], bool]] | None:
    """A walk's pick of the inputs of a group aggregate that are ``key``'s own or of no one
    row (``rows_of``: the rows of node ids); None when the root's row names no applicant
    of that key (then the walk follows every input)."""
    applicant = applicant_row(root_row, identities, key_of, key) if key else -1
    if applicant < 0:
        return None

    def own(node_id: int, rows: Any, at: int) -> tuple[tuple[int, ...], bool]:
        start, flat = rows.input_columns()
        inputs = flat[start[at] : start[at + 1]]
        positions, member = own_positions(rows_of(inputs), applicant, identities)
        return tuple(inputs[positions].tolist()), member

    return own
