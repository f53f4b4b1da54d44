"""Dict-like views of a DAGTracker's native node log: the node table (id -> DAGNode) and
the provenance index (word -> node ids).

The log keeps nodes as columns; a ``DAGNode`` is built when one is asked for and kept, so
that the same id gives the same object while the node is in the table.
"""

from __future__ import annotations

import weakref
from collections.abc import Iterator, Mapping, MutableMapping
from typing import Any

from ...core._checks import as_int
from ._records import DAGNode, NodeType

# Flag bits of a row of the native log.
PROTECTED = 4
SOURCE = 8
#: A cell of a source column (see the native log): beside the table, seen as its column.
CELL = 16
#: A constant operand (see the native log): left out of the per-fingerprint summary.
CONSTANT = 32


class Interned:
    """Small codes for the values many nodes share (node types, operations)."""

    def __init__(self, values: tuple = ()) -> None:
        self.values: list = []
        self._codes: dict = {}
        for value in values:
            self.code(value)

    def code(self, value: Any) -> int:
        try:
            known = self._codes.get(value)
        except TypeError:  # unhashable: found by identity
            known = next((i for i, v in enumerate(self.values) if v is value), None)
            if known is None:
                self.values.append(value)
                return len(self.values) - 1
            return known
        if known is None:
            known = self._codes[value] = len(self.values)
            self.values.append(value)
        return known


def node_types() -> Interned:
    # NodeType members first, so that their codes do not depend on which came first
    return Interned(tuple(NodeType))


class _TrackerView:
    """Holds its tracker weakly: a strong reference would be a cycle, and a tracker (its
    log, and a run its finalizer reports) would then live until the garbage collector
    happens to run, instead of going when its last user lets go."""

    def __init__(self, tracker: Any) -> None:
        self._tracker_ref = weakref.ref(tracker)

    @property
    def _tracker(self) -> Any:
        tracker = self._tracker_ref()
        if tracker is None:
            raise ReferenceError("the tracker of this view is gone")
        return tracker


class NodeTable(_TrackerView, MutableMapping):
    """``tracker._nodes``: node id -> ``DAGNode``, oldest first, read from the native log.

    Nodes are made by the tracker's logging calls only; deleting one takes it out of the
    table alone (its index entry stays), as deleting from a plain dict of nodes would.
    """

    def __getitem__(self, node_id: Any) -> DAGNode:
        node = self._tracker._node_at(node_id)
        if node is None:
            raise KeyError(node_id)
        return node

    def get(self, node_id: Any, default: Any = None) -> Any:
        node = self._tracker._node_at(node_id)
        return default if node is None else node

    def __contains__(self, node_id: object) -> bool:
        try:
            return as_int("node_id", node_id) in self._tracker._log
        except (TypeError, OverflowError):
            return False

    def __iter__(self) -> Iterator[int]:
        return iter(self._tracker._log.table_ids().tolist())

    def __len__(self) -> int:
        return len(self._tracker._log)

    def __setitem__(self, node_id: Any, node: Any) -> None:
        raise TypeError("nodes are added by the tracker's logging calls, not by assignment")

    def __delitem__(self, node_id: Any) -> None:
        tracker = self._tracker
        with tracker._dag_lock:
            if not tracker._log.remove(as_int("node_id", node_id)):
                raise KeyError(node_id)

    def __repr__(self) -> str:
        return f"<node table of {len(self)} nodes>"


class ProvenanceIndex(_TrackerView, Mapping):
    """``tracker._prov_to_nodes``: word -> ids of its nodes (a new list, oldest first), the
    words in the order of their oldest node."""

    def __getitem__(self, word: Any) -> list[int]:
        try:
            key = as_int("provenance", word)
        except TypeError:
            raise KeyError(word) from None
        ids = self._ids_for(key)
        if not ids:
            raise KeyError(word)
        return ids

    def _ids_for(self, word: int) -> list[int]:
        tracker = self._tracker
        with tracker._dag_lock:
            try:
                return tracker._log.ids_for_word(word).tolist()
            except TypeError:  # a word beyond what the log stores has no nodes
                return []

    def _grouped(self) -> dict[int, list[int]]:
        tracker = self._tracker
        with tracker._dag_lock:
            words, ids = tracker._log.index_items()
        grouped: dict[int, list[int]] = {}
        for word, node_id in zip(words.tolist(), ids.tolist(), strict=True):
            grouped.setdefault(word, []).append(node_id)
        return grouped

    def __iter__(self) -> Iterator[int]:
        return iter(self._grouped())

    def __len__(self) -> int:
        tracker = self._tracker
        with tracker._dag_lock:
            return tracker._log.distinct_indexed_words()

    def items(self) -> Any:
        return self._grouped().items()

    def values(self) -> Any:
        return self._grouped().values()

    def __repr__(self) -> str:
        return f"<provenance index of {len(self)} words>"
