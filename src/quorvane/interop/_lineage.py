"""Column lineage of a tracked frame: which source columns reach each column, and how.

Computed from the words alone: a column of a million rows carries a handful of distinct
source sets, so each distinct set is decoded once, never each element.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..core import UNKNOWN_SOURCE
from ..tracking._joins import join_key_pairs
from ..tracking._source_keys import source_keys
from ..utilities import orrin32 as _orrin32
from ..utilities.orrin32_dag import NodeType

# OpenLineage's transformation vocabulary.
IDENTITY = ("DIRECT", "IDENTITY")
TRANSFORMATION = ("DIRECT", "TRANSFORMATION")
AGGREGATION = ("DIRECT", "AGGREGATION")
JOIN = ("INDIRECT", "JOIN")
FILTER = ("INDIRECT", "FILTER")
GROUP_BY = ("INDIRECT", "GROUP_BY")
CONDITIONAL = ("INDIRECT", "CONDITIONAL")

# What the operation log of the DAG road can tell about a step, by node type and by name.
KIND_OF_NODE_TYPE = {
    NodeType.MERGE: JOIN,
    NodeType.FILTER: FILTER,
    NodeType.AGGREGATE: AGGREGATION,
}
KIND_OF_OPERATION = {
    "merge": JOIN,
    "filter": FILTER,
    "groupby": GROUP_BY,
    "where": CONDITIONAL,
    "mask": CONDITIONAL,
}


@dataclass(frozen=True)
class SourceField:
    """One source column that reaches an output column, with the ways it reaches it."""

    table: str
    column: str
    protected: bool
    transformations: tuple[tuple[str, str], ...]


@dataclass(frozen=True)
class ColumnLineage:
    """The lineage of one output column."""

    column: str
    sources: tuple[SourceField, ...]
    tainted: bool  # some element derives from a protected attribute
    risk: float  # the highest risk of any element
    tracked: bool  # False when the frame keeps no words for the column
    unknown: bool  # some value's provenance was not followed: no words, or the unknown source


def _header(key: int) -> tuple[bool, int]:
    taint = bool((key >> _orrin32.TAINT_SHIFT) & 1)
    depth = (key >> _orrin32.DEPTH_SHIFT) & 7
    return taint, depth


class _ColumnAccumulator:
    """Sources, their transformations and the taint of one column, key by key."""

    def __init__(self, tracker: Any) -> None:
        self.tracker = tracker
        self.kinds: dict[int, set[tuple[str, str]]] = {}
        self.tainted = False
        self.risk = 0.0
        self.unknown = False
        self.logged_words: set[tuple[tuple[str, str], int]] = set()
        self.join_keys: set[int] = set()

    def add_key(self, key: int) -> None:
        taint, depth = _header(key)
        if taint:
            self.tainted = True
            self.risk = max(self.risk, 1.0 / (1.0 + depth))
        kind = IDENTITY if depth == 0 else TRANSFORMATION
        for pair_id in self.tracker.decode(key):
            self.kinds.setdefault(pair_id, set()).add(kind)

    def add_logged(self, kind: tuple[str, str], word: int) -> None:
        """A step of the log that the sources of ``word`` passed through."""
        if (kind, word) in self.logged_words:
            return  # every element of a column has its own node, mostly with one word
        self.logged_words.add((kind, word))
        if kind == JOIN:
            # a join's inputs, for what it paired, are its keys, not the columns it carried
            for pair_id in join_key_pairs(self.tracker, word):
                self.kinds.setdefault(pair_id, set()).add(JOIN)
                self.join_keys.add(pair_id)
            return
        for pair_id in self.tracker.decode(word):
            if pair_id in self.kinds:
                self.kinds[pair_id].add(kind)

    def result(self, column: str) -> ColumnLineage:
        sources = []
        for pair_id in sorted(self.kinds):
            name = self.tracker.get_name(pair_id)
            if name is None:
                continue  # a pair of another tracker: nothing to name
            if name == UNKNOWN_SOURCE:
                self.unknown = True  # a stand-in, not a column anyone can look up
                continue
            kinds = self.kinds[pair_id]
            if pair_id in self.join_keys:
                # a key's sources are in the joined words, but it chose rows, not values
                kinds = {kind for kind in kinds if kind[0] == "INDIRECT"}
            if TRANSFORMATION in kinds or AGGREGATION in kinds:
                kinds = kinds - {IDENTITY}
            sources.append(
                SourceField(
                    table=name[0],
                    column=name[1],
                    protected=self.tracker.is_protected(*name),
                    transformations=tuple(sorted(kinds)),
                )
            )
        return ColumnLineage(column, tuple(sources), self.tainted, self.risk, True, self.unknown)


def _logged_steps(tracker: Any, node_ids: np.ndarray) -> Iterable[tuple[tuple[str, str], int]]:
    """(kind, word) of every step in the log, above the given nodes, whose kind is known."""
    get_node = getattr(tracker, "get_node", None)
    if get_node is None:
        return
    pending = [int(i) for i in np.unique(node_ids) if i >= 0]
    seen = set(pending)
    while pending:
        node = get_node(pending.pop())
        if node is None:
            continue  # evicted
        kind = KIND_OF_NODE_TYPE.get(node.node_type)
        if kind is None:
            kind = KIND_OF_OPERATION.get(node.operation.split("_", 1)[0])
        if kind is not None:
            yield kind, node.provenance
        for parent in node.inputs:
            if parent not in seen:
                seen.add(parent)
                pending.append(parent)


def column_lineage(frame: Any, column: Hashable) -> ColumnLineage:
    """The lineage of one column of a tracked frame."""
    name = str(column)
    words = frame._col_prov.get(column)
    tracker = frame._tracker
    if words is None or tracker is None:
        return ColumnLineage(name, (), False, 0.0, tracked=False, unknown=True)
    acc = _ColumnAccumulator(tracker)
    for key in source_keys(words).tolist():
        acc.add_key(key)
    node_ids = getattr(frame, "_col_nodes", {}).get(column)
    if node_ids is not None:
        for kind, word in _logged_steps(tracker, node_ids):
            acc.add_logged(kind, word)
    return acc.result(name)


def frame_lineage(frame: Any) -> list[ColumnLineage]:
    """The lineage of every column of a tracked frame, in column order."""
    if getattr(frame, "_col_prov", None) is None:
        raise TypeError(f"frame must be a tracked DataFrame, not {type(frame).__name__}")
    return [column_lineage(frame, label) for label in frame.columns]
