"""DAGTrackedSeries: a Series whose every element carries a word and the id of its DAG node.

pandas computes values, index and names; the words and node ids follow their elements
(see ``_follow``). An operation then steps every element through the tracker: its word
from ``combine``/``update_chain``, one logged node and one recorded value. Node id -1 means
"no node": a fill value of an alignment or an outer join, which derives from no source.
An element whose origin cannot be followed has the tracker's unknown source node
(``DAGTracker.unknown_node``), so its lineage says so instead of ending nowhere.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, ClassVar

import numpy as np
import pandas as pd

from ...core._checks import exact
from ...recording import record_values
from ...tracking._caller_warnings import report_warnings_at_caller
from ...tracking._follow import Field, followed_attribute
from ...tracking._series import WORDS, TrackingSeries
from ._element_values import record_group_results, record_node_values
from ._records import NodeType
from ._runs import known_first, sorted_distinct

#: Node id of an element that no logged node produced.
NO_NODE = -1

# pandas' own Series, bound once: code that puts a tracked class in the place of
# ``pandas.Series`` (the conformance run of pandas' tests does) must not turn the parent's
# operators into these.
_Series = pd.Series


def _unknown_node(tracker: Any) -> int:
    unknown = getattr(tracker, "unknown_node", None)
    return unknown() if unknown is not None else NO_NODE


def aggregate_nodes(
    tracker: Any, arrays: list, segments: np.ndarray, n: int, words: np.ndarray, op_name: str
) -> np.ndarray:
    """One AGGREGATE node per segment (a group), its inputs the distinct nodes of its
    members; -1 for a segment none of whose members has a node."""
    nodes = np.concatenate([np.asarray(a, dtype=np.int64) for a in arrays])
    owners = np.concatenate([segments] * len(arrays))
    keep = (owners >= 0) & (nodes >= 0)
    pairs = _distinct_pairs(owners[keep], nodes[keep], n)
    bounds = np.searchsorted(pairs[0], np.arange(n + 1))
    logged = tracker._log_segments(op_name, words, bounds, pairs[1])
    if logged is not None:
        return logged
    out = np.full(n, NO_NODE, dtype=np.int64)
    for segment in range(n):
        inputs = pairs[1, bounds[segment] : bounds[segment + 1]].tolist()
        if inputs:
            out[segment] = tracker.log_aggregate(op_name, inputs, int(words[segment]))
    return out


def _distinct_pairs(owners: np.ndarray, nodes: np.ndarray, n: int) -> np.ndarray:
    """The distinct (owner, node) pairs, by owner then node, as two rows: through one
    integer per pair where they fit in one (numpy's unique of pairs sorts them as records,
    seconds for a whole column's millions of cells)."""
    span = int(nodes.max()) + 1 if len(nodes) else 1
    if (n + 1) * span >= 2**62:
        return np.unique(np.stack([owners, nodes]), axis=1)
    keys = sorted_distinct(owners * span + nodes)
    return np.stack([keys // span, keys % span])


def window_nodes(
    tracker: Any, nodes: Any, span: int, words: np.ndarray, op_name: str
) -> np.ndarray:
    """One AGGREGATE node per element over the nodes of its window's members. An expanding
    window (span 0) chains: each node takes the previous element's node and its own, so
    its lineage still reaches every member before it."""
    logged = tracker._log_windows(op_name, words, nodes, span)
    if logged is not None:
        return logged
    members = np.asarray(nodes, dtype=np.int64).tolist()
    out = np.full(len(members), NO_NODE, dtype=np.int64)
    previous = NO_NODE
    for i, word in enumerate(np.asarray(words).tolist()):
        window = [previous, members[i]] if span == 0 else members[max(0, i - span + 1) : i + 1]
        inputs = sorted({n for n in window if n >= 0})
        if inputs:
            previous = out[i] = tracker.log_aggregate(op_name, inputs, word)
    return out


#: The node ids of a series (``_node_ids``) and of a frame's columns (``_col_nodes``).
NODES = Field(
    "_node_ids",
    "_col_nodes",
    np.int64,
    absent=NO_NODE,
    unknown=_unknown_node,
    aggregate=aggregate_nodes,
    window=window_nodes,
    element=lambda tracker, inputs, words, op_name: _element_nodes(tracker, inputs, words, op_name),
    constant=lambda tracker, value: _constant_node(tracker, value),
    value=record_node_values,
)
FIELDS = (WORDS, NODES)


class DAGTrackedSeries(TrackingSeries):
    """Pandas Series with DAG-tracked provenance."""

    _metadata: ClassVar[list[str]] = ["_name", "_prov", "_tracker", "_node_ids"]
    _fields = FIELDS
    _node_ids = followed_attribute("_node_ids")

    def _record(self, result: Any, words: np.ndarray, op_name: str) -> None:
        record_values(result._tracker, result._values, words, op_name)
        record_node_values(result._tracker, result._node_ids, result._values)

    def _record_groups(self, result: Any, groups: np.ndarray | None, labels: list) -> None:
        record_group_results(self._tracker, result, groups, labels)

    def _binop_dag(self, other: Any, np_op: Callable, op_name: str, op_code: int) -> Any:
        return self._tracked_binop(other, np_op, op_name, op_code)

    def _unop_dag(self, np_op: Callable, op_name: str, op_code: int) -> Any:
        exact("op_name", op_name, str)
        return self._stepped(np_op(self), op_name, op_code)


_KINDS = {1: NodeType.UNARY, 2: NodeType.BINARY}


def _constant_node(tracker: Any, value: Any) -> int:
    log_constant = getattr(tracker, "log_constant", None)
    return log_constant(value) if log_constant is not None else NO_NODE


def _element_nodes(tracker: Any, inputs: list, words: np.ndarray, op_name: str) -> np.ndarray:
    """One node per element over that element's input nodes that exist (an operand an
    alignment filled has none: the element's word derives from the others alone, and so
    does its node); -1 for an element none of whose inputs has a node."""
    columns = [np.asarray(x, dtype=np.int64) for x in inputs]
    if len(columns) < 2:
        return _nodes_over(tracker, columns, words, op_name)
    lowest = [_extreme(c, np.min) for c in columns]  # a pass each, no masks made
    if min(lowest) >= 0:
        return _nodes_over(tracker, columns, words, op_name)
    # an operand no element has (a constant on a road that logs none) is left out whole
    had = [
        (c, low)
        for c, low in zip(columns, lowest, strict=True)
        if low >= 0 or _extreme(c, np.max) >= 0
    ]
    if not had:
        return np.full(len(words), NO_NODE, dtype=NODES.dtype)
    if had[-1][0] is not columns[-1]:  # the last operand, lacked by every element
        op_name = WITHOUT_LAST.get(op_name, op_name)
    columns = [c for c, _ in had]
    if len(columns) < 2 or min(low for _, low in had) >= 0:
        return _nodes_over(tracker, columns, words, op_name)
    present = np.stack([c >= 0 for c in columns])
    # elements grouped by which of their inputs exist: one batch per pattern
    patterns = np.zeros(len(words), dtype=np.int64)
    for j in range(len(columns)):
        patterns |= present[j].astype(np.int64) << j
    out = np.full(len(words), NO_NODE, dtype=NODES.dtype)
    words = np.asarray(words)
    # the patterns present, counted rather than sorted: at most 2**k of them
    for pattern in np.flatnonzero(np.bincount(patterns)[1:]) + 1:
        rows = np.flatnonzero(patterns == pattern)
        kept = [c[rows] for j, c in enumerate(columns) if int(pattern) >> j & 1]
        lacks_last = int(pattern) == (1 << (len(columns) - 1)) - 1
        name = WITHOUT_LAST.get(op_name, op_name) if lacks_last else op_name
        out[rows] = _nodes_over(tracker, kept, words[rows], name)
    return out


#: Steps whose elements lacking their last operand are another step: the rows a ``.loc``
#: assignment's mask did not pick have no value (the old one and the mask only), and keep
#: the old one unless the mask picks them, which the what-if replay must know.
WITHOUT_LAST = {"loc": "loc kept"}


def _extreme(column: np.ndarray, which: Callable) -> int:
    """The least or greatest entry (``which``) of a column of nodes, 0 when it is empty; a
    column that repeats one node (a constant's) is not read through."""
    if not len(column):
        return 0
    if known_first(column) is not None:  # ascending: its ends are its extremes
        return int(which(column[[0, -1]]))
    return int(column[0] if column.strides[0] == 0 else which(column))


def _nodes_over(tracker: Any, inputs: list, words: np.ndarray, op_name: str) -> np.ndarray:
    """One node per element with that element's input nodes (all of them must exist): in
    one native call, or one public logging call per node when the tracker wants those."""
    # a join's steps are MERGE nodes, whatever the number of their inputs (a column and keys)
    kind = NodeType.MERGE if op_name == "merge" else _KINDS.get(len(inputs), NodeType.AGGREGATE)
    logged = tracker._log_columns(kind, op_name, words, inputs)
    if logged is not None:
        return logged
    if kind is NodeType.UNARY:
        log_unary = tracker.log_unary
        log = lambda ids, word: log_unary(op_name, ids[0], word)  # noqa: E731
    elif kind is NodeType.BINARY:
        log_binary = tracker.log_binary
        log = lambda ids, word: log_binary(op_name, ids[0], ids[1], word)  # noqa: E731
    elif kind is NodeType.MERGE:
        create = tracker._create_node
        log = lambda ids, word: create(NodeType.MERGE, op_name, list(ids), word, metadata={})  # noqa: E731
    else:
        log_aggregate = tracker.log_aggregate
        log = lambda ids, word: log_aggregate(op_name, ids, word)  # noqa: E731
    columns = (np.asarray(x, dtype=np.int64).tolist() for x in inputs)
    nodes = [
        log(ids, word) if min(ids) >= 0 else NO_NODE
        for word, *ids in zip(np.asarray(words).tolist(), *columns, strict=True)
    ]
    return np.array(nodes, dtype=NODES.dtype)


report_warnings_at_caller(DAGTrackedSeries)
