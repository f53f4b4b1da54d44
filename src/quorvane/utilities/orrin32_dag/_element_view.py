"""A DAGTracker's per-element log as one ``ElementLog``, and one element's exact lineage.

Both read the native log with its source cells (which its table views see through), the
values and rows of the element store (``_elements``) and the row identities. The log is
built with numpy over whole columns; a lineage walks only the nodes it reaches.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from ..persistence import ElementLineage, ElementLog, LineageStep
from ._node_table import CELL, PROTECTED

# the native log's flag of a row in the table (see nodelog.hpp)
_ALIVE = 1


def element_log(tracker: Any, results: Mapping[str, Any] | None = None) -> ElementLog:
    """A snapshot of every node still in the log (cells included), in id order."""
    # Read before the lock: a result's node ids may be made only when first read (a series
    # pandas built from bare values), and making them logs nodes under the same lock.
    named = _results(tracker, results or {})
    with tracker._dag_lock:
        ids, words, input_start, inputs, ops, types, flags, *_ = tracker._log.__getstate__()
        operations = tuple(str(name) for name in tracker._operations.values)
        store = tracker._elements
        keep = (flags & _ALIVE) != 0
        starts, flat = _kept_inputs(input_start, inputs, keep)
        if not keep.all():  # nodes taken out of the table: the log leaves them out
            ids, types, ops, words, flags = (c[keep] for c in (ids, types, ops, words, flags))
        texts = store.texts_of(ids)
        groups = store.group_keys
        identities = store.identities.columns()
        log = ElementLog(
            node_id=ids,
            node_type=types.astype(np.uint8, copy=False),
            operation=ops.astype(np.int32, copy=False),
            operations=operations,
            word=words,
            input_start=starts,
            inputs=flat,
            value=store.value.get(ids),
            text=_texts(texts),
            row=store.row.get(ids),
            protected=(flags & PROTECTED) != 0,
            sources=_sources(tracker),
            group=_groups(ids, groups),
            results=named,
            **identities,
        )
    return log


def _groups(ids: np.ndarray, keys: dict[int, str]) -> tuple | None:
    """Per row, the group key of an aggregate node of a groupby (None elsewhere); None
    when the log has none."""
    if not keys:
        return None
    nodes = np.fromiter(keys.keys(), dtype=np.int64, count=len(keys))
    texts = np.array(list(keys.values()), dtype=object)
    at = np.searchsorted(ids, nodes)
    found = at < len(ids)
    found[found] = ids[at[found]] == nodes[found]
    out = np.full(len(ids), None, dtype=object)
    out[at[found]] = texts[found]
    return tuple(out)


def _texts(texts: np.ndarray | None) -> tuple | None:
    """The texts of the log's rows, or None when no row has one."""
    if texts is None or not (texts != None).any():  # noqa: E711 - element-wise, not identity
        return None
    return tuple(texts)


def _kept_inputs(
    input_start: np.ndarray, inputs: np.ndarray, keep: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """The input offsets and inputs of the kept rows."""
    if keep.all():
        return input_start.astype(np.int64, copy=False), inputs.astype(np.int64, copy=False)
    counts = np.diff(input_start)
    flat = inputs[np.repeat(keep, counts)]
    starts = np.concatenate([[0], np.cumsum(counts[keep])]).astype(np.int64)
    return starts, flat.astype(np.int64)


def _sources(tracker: Any) -> dict[int, tuple[str, str, bool]]:
    return {
        node_id: (table, column, bool(tracker.is_protected(table, column)))
        for (table, column), node_id in tracker._source_nodes.items()
        if node_id in tracker._log
    }


def _results(tracker: Any, results: Mapping[str, Any]) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """Per result, the business key of each element that has a node, and that node."""
    out = {}
    for name, series in results.items():
        if getattr(series, "_tracker", None) is not tracker:
            raise ValueError(f"result {name!r} is not a series tracked by this tracker")
        nodes = np.asarray(series._node_ids, dtype=np.int64)
        made = nodes >= 0
        keys = element_keys(tracker, nodes[made], series.index[made])
        out[str(name)] = (keys, nodes[made])
    return out


def element_keys(tracker: Any, nodes: np.ndarray, labels: Any) -> np.ndarray:
    """The business key of the row each node belongs to; a node of no one row (a group's)
    is keyed by its element's index label."""
    store = tracker._elements
    keys = store.identities.business_keys(store.row.get(nodes))
    unkeyed = keys == ""
    if unkeyed.any():
        keys[unkeyed] = np.asarray(labels[unkeyed].astype(str), dtype=object)
    return keys


def element_lineage(tracker: Any, node_id: int, key: str = "") -> ElementLineage:
    """The exact lineage of the element whose node is ``node_id``: every node reached from
    it through the cells it read, inputs first, with each node's own value and rows."""
    ids, _ = tracker._log.lineage(node_id, cells=True)
    if not len(ids):
        raise KeyError(f"node {node_id} is not in the log")
    ids = np.sort(ids)  # ids ascend in creation order: inputs first
    store = tracker._elements
    values = store.value.get(ids)
    texts = store.texts_of(ids)
    rows = store.row.get(ids).tolist()
    sources = _sources(tracker)
    names, types = tracker._operations.values, tracker._node_types.values
    steps = []
    for at, step_id in enumerate(ids.tolist()):
        type_code, op_code, word, flags, inputs = tracker._log.row(step_id, cells=True)
        origin = sources.get(inputs[0] if flags & CELL and inputs else step_id)
        text = texts[at] if texts is not None else None
        number = float(values[at])
        steps.append(
            LineageStep(
                node_id=step_id,
                node_type=types[type_code].name,
                operation=names[op_code],
                inputs=tuple(inputs),
                word=int(word),
                value=text if text is not None else (None if number != number else number),
                identity=_identity(store.identities, rows[at]),
                table=origin[0] if origin else None,
                column=origin[1] if origin else None,
                protected=bool(flags & PROTECTED),
            )
        )
    root = int(ids[-1])
    if not key:
        key = str(store.identities.business_keys(np.array([store.row.get([root])[0]]))[0])
    return ElementLineage(root=root, key=key, steps=tuple(steps))


def _identity(identities: Any, row: int) -> tuple[str, ...]:
    keys = identities.key.get(np.asarray(identities.source_members(row), dtype=np.int64))
    return tuple(str(k) for k in keys)
