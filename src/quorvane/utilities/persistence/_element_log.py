"""One run's per-element log, as columns, and one element's exact lineage read from it.

The per-fingerprint tables merge every element that shares a word; these records keep each
element apart, so an auditor can follow one applicant's result back to the source cells it
read. The log is columnar (numpy arrays, one row per node) because a run has millions of
nodes and the store writes and reads them in bulk.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping, Sized
from dataclasses import dataclass, field, replace
from functools import cached_property
from typing import Any

import numpy as np

# the DAG's node types, in enum order: ElementLog.node_type indexes this tuple
NODE_TYPES: tuple[str, ...] = (
    "SOURCE",
    "CONSTANT",
    "UNARY",
    "BINARY",
    "AGGREGATE",
    "MERGE",
    "FILTER",
    "CUSTOM",
)

# row identity kinds (ElementLog.identity_kind)
SOURCE_ROW, MERGED_ROW, GROUP = 0, 1, 2


class ElementLogError(ValueError):
    """An ElementLog whose columns do not fit together."""


def _check_length(name: str, column: Sized | None, expected: int) -> None:
    if column is not None and len(column) != expected:
        raise ElementLogError(f"{name} has {len(column)} entries, expected {expected}")


def _check_offsets(name: str, offsets: np.ndarray, rows: int, flat: int) -> None:
    _check_length(name, offsets, rows + 1)
    if offsets[0] != 0 or offsets[-1] != flat:
        raise ElementLogError(f"{name} must run from 0 to {flat}")
    if rows and bool(np.any(offsets[1:] < offsets[:-1])):
        raise ElementLogError(f"{name} must not decrease")


@dataclass(frozen=True, kw_only=True)
class ElementLog:
    """One run's per-element log: one row per node, in ascending node id (a topological order).

    ``inputs[input_start[r]:input_start[r + 1]]`` are row r's inputs in operand order.
    ``row`` indexes the row identities (``identity_*``; -1: the node belongs to no one row),
    and ``members[member_start[i]:member_start[i + 1]]`` are identity i's member identities.
    ``results`` maps a result's name to (business keys, the node id of each key's element).
    """

    node_id: np.ndarray
    node_type: np.ndarray
    operation: np.ndarray
    operations: tuple[str, ...]
    word: np.ndarray
    input_start: np.ndarray
    inputs: np.ndarray
    value: np.ndarray
    text: tuple[str | None, ...] | None
    row: np.ndarray
    protected: np.ndarray
    identity_kind: np.ndarray
    identity_table: tuple[str, ...]
    identity_key: tuple[str, ...]
    member_start: np.ndarray
    members: np.ndarray
    sources: dict[int, tuple[str, str, bool]]
    group: tuple[str | None, ...] | None = None
    results: dict[str, tuple[np.ndarray, np.ndarray]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        n = len(self.node_id)
        for name in ("node_type", "operation", "word", "value", "text", "row", "protected"):
            _check_length(name, getattr(self, name), n)
        _check_length("group", self.group, n)
        _check_offsets("input_start", self.input_start, n, len(self.inputs))
        m = len(self.identity_kind)
        for name in ("identity_table", "identity_key"):
            _check_length(name, getattr(self, name), m)
        _check_offsets("member_start", self.member_start, m, len(self.members))
        if n > 1 and bool(np.any(self.node_id[1:] <= self.node_id[:-1])):
            raise ElementLogError("node_id must be strictly ascending")
        for name, (keys, nodes) in self.results.items():
            _check_length(f"results[{name!r}] node ids", nodes, len(keys))

    @property
    def size(self) -> int:
        """The number of nodes."""
        return len(self.node_id)


#: nodes per part of a log read in parts: small enough that a part's columns are memory the
#: allocator hands out again (fresh pages cost more than the copying), large enough that the
#: calls per part are few
PART_ROWS = 1 << 16


def no_nodes(text: bool, group: bool) -> dict[str, Any]:
    """The node columns of a log without nodes, as the head of a log in parts has them:
    ``text``/``group``, whether its parts have those columns."""
    none = np.zeros(0, np.int64)
    return {
        "node_id": none,
        "node_type": np.zeros(0, np.uint8),
        "operation": np.zeros(0, np.int32),
        "word": none,
        "input_start": np.zeros(1, np.int64),
        "inputs": none,
        "value": np.zeros(0, np.float64),
        "text": () if text else None,
        "row": none,
        "protected": np.zeros(0, bool),
        "group": () if group else None,
    }


def _part(log: ElementLog, start: int, end: int) -> ElementLog:
    """Rows ``start`` .. ``end`` - 1 of ``log``'s nodes (views), with no identities or
    results of their own."""
    low, high = int(log.input_start[start]), int(log.input_start[end])
    nodes = {
        name: getattr(log, name)[start:end]
        for name in ("node_id", "node_type", "operation", "word", "value", "row", "protected")
    }
    return nodes_part(
        log,
        **nodes,
        input_start=np.asarray(log.input_start[start : end + 1], np.int64) - low,
        inputs=log.inputs[low:high],
        text=None if log.text is None else log.text[start:end],
        group=None if log.group is None else log.group[start:end],
    )


def nodes_part(head: ElementLog, **nodes: Any) -> ElementLog:
    """A part of a log in parts: the node columns ``nodes`` (every node column of an
    ElementLog), with ``head``'s operation names and no identities, sources or results."""
    return ElementLog(
        **nodes,
        operations=head.operations,
        identity_kind=np.zeros(0, np.uint8),
        identity_table=(),
        identity_key=(),
        member_start=np.zeros(1, np.int64),
        members=np.zeros(0, np.int64),
        sources={},
    )


@dataclass(frozen=True, kw_only=True)
class ElementLogParts:
    """An ``ElementLog`` read in parts, so that storing it never holds a copy of every
    node at once: ``head`` is the log without its nodes (operations, identities, sources,
    results; its ``text``/``group`` are ``()`` when the parts have those columns, else
    None), ``parts()`` gives its nodes as ElementLogs of consecutive rows in ascending id
    (each without identities or results), and ``rows_of`` the row of any node ids."""

    head: ElementLog
    size: int
    parts: Callable[[], Iterator[ElementLog]]
    rows_of: Callable[[np.ndarray], np.ndarray]

    @classmethod
    def of(cls, log: ElementLog, rows: int = PART_ROWS) -> ElementLogParts:
        """A whole log in parts of ``rows`` nodes (views of its columns); an empty log is
        one empty part."""

        def parts() -> Iterator[ElementLog]:
            for start in range(0, max(log.size, 1), rows):
                yield _part(log, start, min(start + rows, log.size))

        return cls(
            head=replace(log, **no_nodes(log.text is not None, log.group is not None)),
            size=log.size,
            parts=parts,
            rows_of=lambda ids: log.row[np.searchsorted(log.node_id, ids)],
        )

    def whole(self) -> ElementLog:
        """Every part as one ElementLog (for a store that takes the log whole)."""
        found = list(self.parts())
        if sum(p.size for p in found) != self.size:  # queued = given, or nothing is
            raise ElementLogError(
                f"the log has {self.size} nodes and its parts gave {sum(p.size for p in found)}"
            )
        starts = [p.input_start[:-1] + offset for p, offset in _offsets(found)]
        head = self.head
        columns: dict[str, Any] = {
            name: np.concatenate([getattr(head, name), *(getattr(p, name) for p in found)])
            for name in ("node_id", "node_type", "operation", "word", "value", "row")
        }
        return replace(
            head,
            **columns,
            protected=np.concatenate([head.protected, *(p.protected for p in found)]),
            input_start=np.concatenate([*starts, [sum(len(p.inputs) for p in found)]]),
            inputs=np.concatenate([head.inputs, *(p.inputs for p in found)]),
            text=None if head.text is None else tuple(t for p in found for t in p.text or ()),
            group=None if head.group is None else tuple(g for p in found for g in p.group or ()),
        )


def _offsets(parts: list[ElementLog]) -> Iterator[tuple[ElementLog, int]]:
    """Each part with the offset of its first input in the parts' inputs laid end to end."""
    offset = 0
    for part in parts:
        yield part, offset
        offset += len(part.inputs)


@dataclass(frozen=True, kw_only=True)
class LineageStep:
    """One node of an element's lineage, with its own value and the row(s) it belongs to.

    A lineage read without its groups' members keeps an aggregate over other rows as one
    step: ``group`` is its group's key (JSON), ``members`` the rows it aggregates (then not
    listed in ``identity``) and ``unlisted`` the inputs of other rows it read (left out of
    ``inputs``, which keep the element's own and the shared ones, such as constants).
    """

    node_id: int
    node_type: str
    operation: str
    inputs: tuple[int, ...]
    word: int
    value: float | str | None
    identity: tuple[str, ...]
    table: str | None = None
    column: str | None = None
    protected: bool = False
    group: str | None = None
    members: int = 0
    unlisted: int = 0


@dataclass(frozen=True, kw_only=True)
class MemberPage:
    """A page of the members a lineage counts in a group aggregate's ``unlisted`` inputs:
    (business key of the member's row, the input node), from ``offset`` of ``total``."""

    total: int
    offset: int
    members: tuple[tuple[str, int], ...]


@dataclass(frozen=True, kw_only=True)
class ElementLineage:
    """One element's exact lineage: every node reachable from ``root``, inputs first, root last.

    ``exact`` is False only for runs stored before per-element logs existed.
    """

    root: int
    key: str
    steps: tuple[LineageStep, ...]
    exact: bool = True

    def __post_init__(self) -> None:
        if self.steps and self.steps[-1].node_id != self.root:
            raise ElementLogError("the root must be the last step")

    @cached_property
    def _by_id(self) -> Mapping[int, LineageStep]:
        return {s.node_id: s for s in self.steps}

    def step(self, node_id: int) -> LineageStep:
        """The step of ``node_id`` (KeyError when it is not in this lineage)."""
        return self._by_id[node_id]

    @property
    def protected_reached(self) -> bool:
        """Whether the element read any protected source: a protected source step, or an
        aggregate whose unlisted inputs carry the taint (its word says so)."""
        return any(s.protected for s in self.steps if s.node_type == "SOURCE" or s.unlisted)
