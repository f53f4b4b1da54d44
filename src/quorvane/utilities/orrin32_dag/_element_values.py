"""The containers' calls that give nodes their values (see ``_elements``)."""

from __future__ import annotations

import json
from typing import Any

import numpy as np
from pandas import DataFrame

from ._elements import json_ready


def _store(tracker: Any) -> Any:
    return getattr(tracker, "_elements", None)


def record_node_values(tracker: Any, nodes: Any, values: Any, shared: bool = False) -> None:
    """Element i's node ``nodes[i]`` holds ``values[i]`` (a tracker without an element
    store keeps nothing)."""
    store = _store(tracker)
    if store is not None and nodes is not None:
        store.record(nodes, values, shared)


def record_group_results(
    tracker: Any, result: Any, groups: np.ndarray | None, labels: list
) -> None:
    """The values of a groupby's result, whose elements' nodes are their groups' aggregate
    nodes (each shared by every element of its group), and each aggregate node's group key.

    ``groups``: the group of each result row (-1 for none), or None when the result has
    one row per group in group order; ``labels``: the key of each group.
    """
    store = _store(tracker)
    if store is None:
        return
    columns = (
        [(result._col_nodes.get(label), result[label]) for label in result.columns]
        if isinstance(result, DataFrame)
        else [(getattr(result, "_node_ids", None), result)]
    )
    rows_group = np.arange(len(result)) if groups is None else np.asarray(groups)
    for nodes, column in columns:
        if nodes is None or getattr(column, "ndim", 1) != 1 or len(nodes) != len(column):
            continue
        nodes = np.asarray(nodes, dtype=np.int64)
        store.record(nodes, column._values, shared=True)
        _note_group_keys(store, nodes, rows_group, labels)


def _note_group_keys(store: Any, nodes: np.ndarray, groups: np.ndarray, labels: list) -> None:
    if len(groups) != len(nodes):
        return
    known = (nodes >= 0) & (groups >= 0) & (groups < len(labels))
    pairs = np.unique(np.stack([nodes[known], groups[known]]), axis=1)
    for node, group in pairs.T.tolist():
        label = labels[group]
        values = list(label) if isinstance(label, tuple) else [label]
        store.group_keys[node] = json.dumps([json_ready(v) for v in values], default=str)
