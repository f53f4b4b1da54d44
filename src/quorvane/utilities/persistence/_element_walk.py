"""One element's lineage: the exact walk back from its node through a per-element log.

The walk reads the log through two lookups (node id -> row, identity index -> row), so the
same code answers from a log in memory and from the blocks a store fetches on demand: a
store never loads a whole run to answer for one applicant.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _element_members as members
from ._element_log import GROUP, NODE_TYPES, ElementLineage, ElementLog, LineageStep

#: offsets (from 0, one longer than the rows) and the flat values of a list column
ListColumn = tuple[np.ndarray, np.ndarray]


@dataclass(frozen=True, eq=False)
class NodeRows:
    """Consecutive rows of a log's node columns (a whole log, or one stored block).

    A stored block may come without its inputs (``inputs`` None): they are read by
    ``load_inputs`` when first asked for, so that a walk that only counts a wide aggregate's
    inputs (``arity``) never reads them."""

    node_id: np.ndarray
    node_type: np.ndarray
    operation: np.ndarray
    word: np.ndarray
    input_start: np.ndarray | None  # from 0, one longer than the rows
    inputs: np.ndarray | None
    value: np.ndarray
    text: Sequence[str | None] | None
    row: np.ndarray
    protected: np.ndarray
    group: Sequence[str | None] | None = None
    arity: np.ndarray | None = None
    load_inputs: Callable[[], ListColumn] | None = None

    @classmethod
    def of_log(cls, log: ElementLog) -> NodeRows:
        return cls(
            node_id=log.node_id,
            node_type=log.node_type,
            operation=log.operation,
            word=log.word,
            input_start=log.input_start,
            inputs=log.inputs,
            value=log.value,
            text=log.text,
            row=log.row,
            protected=log.protected,
            group=log.group,
        )

    def index(self, node_id: int) -> int:
        """The row of ``node_id`` here (LookupError when it has none)."""
        at = int(np.searchsorted(self.node_id, node_id))
        if at == len(self.node_id) or self.node_id[at] != node_id:
            raise LookupError(f"the element log has no node {node_id}")
        return at

    def input_columns(self) -> ListColumn:
        if self.input_start is None or self.inputs is None:
            if self.load_inputs is None:
                raise LookupError("these rows came without their inputs")
            start, flat = self.load_inputs()
            object.__setattr__(self, "input_start", start)
            object.__setattr__(self, "inputs", flat)
            return start, flat
        return self.input_start, self.inputs

    def inputs_of(self, at: int) -> tuple[int, ...]:
        start, flat = self.input_columns()
        return tuple(flat[start[at] : start[at + 1]].tolist())

    def count_of(self, at: int) -> int:
        """How many inputs row ``at`` has."""
        if self.arity is not None:
            return int(self.arity[at])
        start, _ = self.input_columns()
        return int(start[at + 1] - start[at])


@dataclass(frozen=True, eq=False)
class IdentityRows:
    """Consecutive row identities of a log, the first of them numbered ``first``; like
    NodeRows, a stored block may come without its members (read when first asked for)."""

    first: int
    kind: np.ndarray
    key: Sequence[str]
    member_start: np.ndarray | None  # from 0, one longer than the rows
    members: np.ndarray | None
    member_count: np.ndarray | None = None
    load_members: Callable[[], ListColumn] | None = None

    @classmethod
    def of_log(cls, log: ElementLog) -> IdentityRows:
        return cls(
            first=0,
            kind=log.identity_kind,
            key=log.identity_key,
            member_start=log.member_start,
            members=log.members,
        )

    def member_columns(self) -> ListColumn:
        if self.member_start is None or self.members is None:
            if self.load_members is None:
                raise LookupError("these rows came without their members")
            start, flat = self.load_members()
            object.__setattr__(self, "member_start", start)
            object.__setattr__(self, "members", flat)
            return start, flat
        return self.member_start, self.members

    def members_of(self, at: int) -> list[int]:
        start, flat = self.member_columns()
        return flat[start[at] : start[at + 1]].tolist()

    def count_of(self, at: int) -> int:
        """How many members identity ``at`` has."""
        if self.member_count is not None:
            return int(self.member_count[at])
        start, _ = self.member_columns()
        return int(start[at + 1] - start[at])


#: node ids -> (rows, row) of each; identity indices -> (rows, row) of each
FindNodes = Callable[[Sequence[int]], list[tuple[NodeRows, int]]]
FindIdentities = Callable[[Sequence[int]], list[tuple[IdentityRows, int]]]
#: an aggregate's node id, rows and row -> the inputs the walk follows (the element's own
#: and those of no one row) and whether one of them is the element's own, or None when they
#: cannot be told apart (then all are followed)
OwnInputs = Callable[[int, NodeRows, int], tuple[tuple[int, ...], bool] | None]


@dataclass(frozen=True)
class Narrowed:
    """An aggregate over other rows, as the walk keeps it: the inputs it follows, how
    many it leaves out, and how many rows the group has."""

    inputs: tuple[int, ...]
    unlisted: int
    members: int
    member: bool  # whether the element's own row is one of the group's members


def reachable(
    root: int,
    find: FindNodes,
    narrow: Callable[[list[tuple[int, NodeRows, int]]], dict[int, Narrowed]] | None = None,
) -> tuple[dict[int, tuple[NodeRows, int]], dict[int, Narrowed]]:
    """Every node reachable from ``root`` through inputs, with its rows; the lookups go a
    level at a time, so a store fetches what a level needs in one go. ``narrow`` picks,
    per level, the aggregates whose other rows' inputs are not followed."""
    found: dict[int, tuple[NodeRows, int]] = {}
    narrowed: dict[int, Narrowed] = {}
    level = [root]
    while level:
        located = find(level)
        wanted: dict[int, None] = {}
        for node_id, (rows, at) in zip(level, located, strict=True):
            found[node_id] = (rows, at)
        if narrow is not None:
            narrowed.update(narrow([(n, r, a) for n, (r, a) in zip(level, located, strict=True)]))
        for node_id, (rows, at) in zip(level, located, strict=True):
            kept = narrowed.get(node_id)
            for parent in kept.inputs if kept else rows.inputs_of(at):
                if parent not in found:
                    wanted[parent] = None
        level = list(wanted)
    return found, narrowed


def _identity_keys(
    indices: set[int], find: FindIdentities, groups: bool = True
) -> dict[int, tuple[str, ...]]:
    """The business keys of each identity: its own for a source row, its members' (down to
    their source rows) for a merged row or a group; a group has none unless ``groups``."""
    rows: dict[int, tuple[IdentityRows, int]] = {}
    wanted = set(indices)
    while wanted:
        batch = sorted(wanted)
        rows.update(zip(batch, find(batch), strict=True))
        wanted = {m for i in batch for m in _members(rows[i], groups) if m not in rows}
    keys: dict[int, tuple[str, ...]] = {}

    def of(index: int, seen: frozenset[int]) -> tuple[str, ...]:
        if index not in keys:
            block, at = rows[index]
            if not groups and block.kind[at] == GROUP:
                keys[index] = ()
                return ()
            members = [m for m in _members(rows[index], groups) if m not in seen]
            if not members:
                keys[index] = (block.key[at],)
            else:
                parts = (of(m, seen | {index}) for m in members)
                keys[index] = tuple(dict.fromkeys(k for part in parts for k in part))
        return keys[index]

    return {index: of(index, frozenset()) for index in indices}


def _members(located: tuple[IdentityRows, int], groups: bool = True) -> list[int]:
    block, at = located
    if not block.kind[at] or (not groups and block.kind[at] == GROUP):
        return []
    return block.members_of(at)


def _value(rows: NodeRows, at: int) -> float | str | None:
    if rows.text is not None and rows.text[at] is not None:
        return rows.text[at]
    number = float(rows.value[at])
    return None if math.isnan(number) else number


def _narrower(
    find_identities: FindIdentities, own_inputs: OwnInputs
) -> Callable[[list[tuple[int, NodeRows, int]]], dict[int, Narrowed]]:
    """The aggregates of a level whose row is a group (they read other rows), with the
    inputs a walk without the groups' members follows."""
    aggregate = NODE_TYPES.index("AGGREGATE")

    def narrow(level: list[tuple[int, NodeRows, int]]) -> dict[int, Narrowed]:
        candidates = [
            (n, rows, at)
            for n, rows, at in level
            if rows.node_type[at] == aggregate and rows.row[at] >= 0
        ]
        if not candidates:
            return {}
        identities = find_identities([int(rows.row[at]) for _, rows, at in candidates])
        out = {}
        for (node_id, rows, at), (block, i) in zip(candidates, identities, strict=True):
            if block.kind[i] != GROUP:
                continue
            own = own_inputs(node_id, rows, at)
            if own is not None:
                inputs, member = own
                total = rows.count_of(at)
                out[node_id] = Narrowed(inputs, total - len(inputs), block.count_of(i), member)
        return out

    return narrow


def lineage(
    root: int,
    key: str,
    find_nodes: FindNodes,
    find_identities: FindIdentities,
    operations: Sequence[str],
    sources: dict[int, tuple[str, str, bool]],
    own_inputs: OwnInputs | None = None,
) -> ElementLineage:
    """The exact lineage of node ``root`` (the element of business key ``key``). With
    ``own_inputs``, an aggregate over a group of rows is one step: its inputs of other rows
    are counted, not walked, and its group's members are counted, not listed."""
    narrow = None if own_inputs is None else _narrower(find_identities, own_inputs)
    found, narrowed = reachable(root, find_nodes, narrow)
    identities = {int(rows.row[at]) for rows, at in found.values() if rows.row[at] >= 0}
    keys = _identity_keys(identities, find_identities, groups=own_inputs is None)
    members: dict[int, int] = {}
    if own_inputs is not None:
        joined = {int(found[n][0].row[found[n][1]]) for n, kept in narrowed.items() if kept.member}
        members = _groups_seen(identities, keys, key, find_identities, joined)
    steps = []
    for node_id in sorted(found):
        rows, at = found[node_id]
        kept = narrowed.get(node_id)
        inputs = kept.inputs if kept else rows.inputs_of(at)
        node_type = NODE_TYPES[int(rows.node_type[at])]
        source = _source(node_id, node_type, inputs, sources)
        identity = int(rows.row[at])
        steps.append(
            LineageStep(
                node_id=node_id,
                node_type=node_type,
                operation=operations[int(rows.operation[at])],
                inputs=inputs,
                word=int(rows.word[at]),
                value=_value(rows, at),
                identity=keys[identity] if identity >= 0 else (),
                table=source[0] if source else None,
                column=source[1] if source else None,
                protected=bool(rows.protected[at]),
                group=rows.group[at] if rows.group is not None else None,
                members=members.get(identity, 0),
                unlisted=kept.unlisted if kept else 0,
            )
        )
    return ElementLineage(root=root, key=key, steps=tuple(steps))


def _groups_seen(
    identities: set[int],
    keys: dict[int, tuple[str, ...]],
    key: str,
    find: FindIdentities,
    joined: set[int],
) -> dict[int, int]:
    """The member count of each group among ``identities`` (whose members are not listed);
    a group the applicant is a member of gets the applicant's key in ``keys``. ``joined``:
    the groups whose aggregate the walk found one of the applicant's own cells in (the
    others' members are read to tell)."""
    own = np.array([i for i in identities if key in keys[i]], np.int64)
    groups = sorted(i for i in identities if not keys[i])
    counts = {}
    for index, (block, at) in zip(groups, find(groups), strict=True):
        if block.kind[at] != GROUP:
            continue
        counts[index] = block.count_of(at)
        if index in joined or np.isin(block.members_of(at), own).any():
            keys[index] = (key,)
    return counts


def _source(
    node_id: int, node_type: str, inputs: tuple[int, ...], sources: dict[int, Any]
) -> tuple[str, str, bool] | None:
    """The source column of a SOURCE node: its own, or (for a source cell) its column's."""
    if node_type != "SOURCE":
        return None
    if node_id in sources:
        return sources[node_id]
    return sources.get(inputs[0]) if len(inputs) == 1 else None


def lineage_in_log(
    log: ElementLog, node_id: int, key: str = "", *, full: bool = False
) -> ElementLineage:
    """The exact lineage of ``node_id`` in a log held in memory; an aggregate over a group
    of rows is one step with the element's own inputs unless ``full``."""
    nodes, identities = NodeRows.of_log(log), IdentityRows.of_log(log)
    own = None if full else _own_inputs_in_log(log, nodes.index(node_id), key)
    return lineage(
        node_id,
        key,
        lambda ids: [(nodes, nodes.index(i)) for i in ids],
        lambda indices: [(identities, i) for i in indices],
        log.operations,
        log.sources,
        own,
    )


def _own_inputs_in_log(log: ElementLog, root_at: int, key: str) -> OwnInputs | None:
    expand = members.Identities.of_log(log)
    own = members.own_inputs_of(
        key,
        int(log.row[root_at]),
        expand,
        lambda i: log.identity_key[i],
        lambda ids: log.row[np.searchsorted(log.node_id, ids)],
    )
    if own is None and key:  # a group's node as the result: its key names the applicant
        applicant = int(members.result_rows(log, [key], log.row[[root_at]])[0])
        own = members.own_inputs_of(
            key,
            applicant,
            expand,
            lambda i: log.identity_key[i],
            lambda ids: log.row[np.searchsorted(log.node_id, ids)],
        )
    return own


def result_node_in_log(log: ElementLog, result: str, key: str) -> int | None:
    """The node of ``key``'s element of ``result`` in a log held in memory (None: none)."""
    if result not in log.results:
        return None
    keys, nodes = log.results[result]
    hits = np.flatnonzero(np.asarray(keys, dtype=object) == key)
    return int(nodes[hits[-1]]) if len(hits) else None
