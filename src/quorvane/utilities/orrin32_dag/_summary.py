"""The per-fingerprint summary of a DAGTracker's log, as the store writes it in bulk: the
oldest node of each word and each distinct edge between words."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np

from ._node_table import PROTECTED


def dag_summary(tracker: Any) -> tuple[Iterator[dict], np.ndarray]:
    """The stored fields of each node of the summary, and its edges as rows of (parent
    word, child word, input position) of an input still in the table."""
    distinct = _distinct(tracker)
    return _node_fields(tracker, distinct), distinct[-1]


def _distinct(tracker: Any) -> tuple:
    """(ids, words, ops, types, flags, edges) from the log: the oldest node of each word,
    and each distinct (input word, word, position) of an input still in the table."""
    with tracker._dag_lock:
        return tracker._log.distinct_rows()


def _node_fields(tracker: Any, distinct: tuple) -> Iterator[dict]:
    """The stored fields of each node kept; a node object the tracker holds (made by a
    public call, perhaps with a table, column or metadata) gives its own."""
    ids, words, ops, types, flags, _ = (a.tolist() for a in distinct)
    cache = tracker._node_cache
    type_of, operation_of = tracker._node_types.values, tracker._operations.values
    names: dict = {}
    for node_id, word, op, type_code, flag in zip(ids, words, ops, types, flags, strict=True):
        node = cache.get(node_id)
        if node is not None:
            yield {
                "fingerprint": int(node.provenance),
                "node_type": node.node_type.name,
                "operation": node.operation,
                "table_name": node.table,
                "column_name": node.column,
                "pair_id": int(node.pair_id) if node.pair_id is not None else None,
                "is_protected": bool(node.is_protected),
                "metadata": node.metadata,
            }
            continue
        name = names.get(type_code)
        if name is None:
            name = names[type_code] = type_of[type_code].name
        yield {
            "fingerprint": word,
            "node_type": name,
            "operation": operation_of[op],
            "table_name": None,
            "column_name": None,
            "pair_id": None,
            "is_protected": bool(flag & PROTECTED),
            "metadata": {},
        }
