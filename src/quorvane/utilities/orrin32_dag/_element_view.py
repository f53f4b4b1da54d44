"""A DAGTracker's per-element log as one ``ElementLog``, and one element's exact lineage.

Both read the native log with its source cells (which its table views see through), the
values and rows of the element store (``_elements``) and the row identities. The log is
built with numpy over whole columns; a lineage walks only the nodes it reaches.
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np

from ..persistence import (
    NODE_TYPES,
    PART_ROWS,
    ElementLineage,
    ElementLog,
    ElementLogParts,
    Identities,
    IdentityRows,
    LineageStep,
    NodeRows,
    no_nodes,
    nodes_part,
    own_inputs_of,
    walk_lineage,
)
from ._named import named
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


def element_log_parts(
    tracker: Any, results: Mapping[str, Any] | None = None, rows: int = PART_ROWS
) -> ElementLogParts:
    """The same log as ``element_log`` (its nodes as they are now), read in parts of
    ``rows`` rows of the native log when its parts are asked for: each part's values and
    rows are slices of what the element store keeps, where it can."""
    named = _results(tracker, results or {})
    store = tracker._elements
    with tracker._dag_lock:
        texts = store.text is not None and any(
            bool((chunk != None).any())  # noqa: E711 - element-wise, not identity
            for chunk in store.text.chunks
        )
        groups = _GroupKeys(store.group_keys) if store.group_keys else None
        cells = sum(count for _, count, _ in store.cell_blocks)
        head = ElementLog(
            **no_nodes(texts, groups is not None),
            operations=tuple(str(name) for name in tracker._operations.values),
            sources=_sources(tracker),
            results=named,
            **store.identities.columns(),
        )
        size = len(tracker._log) + cells
        end, evictions = tracker._log.row_count, tracker._log.evictions

    def parts() -> Iterator[ElementLog]:
        # The lock is taken for each part, not held while the caller writes one: a
        # caller whose write fails may go on logging (or store again) on this thread
        # while the unfinished reading is still referenced. Nodes logged meanwhile lie
        # past ``end``; only an eviction would move the rows.
        for lo in range(0, max(end, 1), rows):
            with tracker._dag_lock:
                if tracker._log.evictions != evictions:
                    raise RuntimeError(
                        "the log evicted nodes while it was being stored: store it once "
                        "the pipeline has finished"
                    )
                part = _part(tracker, head, lo, min(lo + rows, end), groups)
            yield part

    return ElementLogParts(head=head, size=size, parts=parts, rows_of=store.row.get)


def _part(tracker: Any, head: ElementLog, lo: int, hi: int, groups: Any) -> ElementLog:
    """Rows ``lo`` .. ``hi`` - 1 of the native log (those still in its table) as a part."""
    ids, words, input_start, inputs, ops, types, flags = tracker._log.rows_state(lo, hi)
    keep = (flags & _ALIVE) != 0
    if not keep.all():
        input_start, inputs = _kept_inputs(input_start, inputs, keep)
        ids, types, ops, words, flags = (c[keep] for c in (ids, types, ops, words, flags))
    store = tracker._elements
    texts = store.texts_of(ids) if head.text is not None else None
    return nodes_part(
        head,
        node_id=ids,
        node_type=types,
        operation=ops,
        word=words,
        input_start=input_start,
        inputs=inputs,
        value=store.value.get(ids),
        text=None if texts is None else tuple(texts),
        row=store.row.get(ids),
        protected=(flags & PROTECTED) != 0,
        group=None if groups is None else groups.of(ids),
    )


def _groups(ids: np.ndarray, keys: dict[int, str]) -> tuple | None:
    """Per row, the group key of an aggregate node of a groupby (None elsewhere); None
    when the log has none."""
    return _GroupKeys(keys).of(ids) if keys else None


class _GroupKeys:
    """The group keys of aggregate nodes, looked up for node ids in ascending order."""

    def __init__(self, keys: dict[int, str]) -> None:
        nodes = np.fromiter(keys.keys(), dtype=np.int64, count=len(keys))
        order = np.argsort(nodes)
        self._nodes = nodes[order]
        self._texts = np.array(list(keys.values()), dtype=object)[order]

    def of(self, ids: np.ndarray) -> tuple:
        at = np.searchsorted(self._nodes, ids)
        found = at < len(self._nodes)
        found[found] = self._nodes[at[found]] == ids[found]
        out = np.full(len(ids), None, dtype=object)
        out[found] = self._texts[at[found]]
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
        nodes = np.asarray(named(series)._node_ids, dtype=np.int64)
        made = nodes >= 0
        keys = element_keys(tracker, nodes[made], series.index[made])
        out[str(name)] = (keys, nodes[made])
    return out


def element_keys(tracker: Any, nodes: np.ndarray, labels: Any) -> np.ndarray:
    """The business key of the row each node belongs to; a node of no one row (a group's,
    or one of two rows of a table: a value shifted in beside the row's own) is keyed by
    its element's index label, unless it aggregates an applicant's rows back
    by that applicant's key (after a one-to-many join, ``as_index=False``)."""
    store = tracker._elements
    rows = store.row.get(nodes)
    keys = store.identities.business_keys(rows)
    keys[store.identities.two_rows_of_a_table(rows)] = ""  # no one row's: keyed by label
    unkeyed = keys == ""
    if unkeyed.any():
        keys[unkeyed] = _grouped_by_applicant(store, rows[unkeyed])
        unkeyed = keys == ""
    if unkeyed.any():
        keys[unkeyed] = np.asarray(labels[unkeyed].astype(str), dtype=object)
    return keys


def _grouped_by_applicant(store: Any, rows: np.ndarray) -> np.ndarray:
    """Per row identity, the business key a group's rows share when the group was made
    by that very key (its aggregate's group key is the key): the steps after it are the
    applicant's too. "" elsewhere."""
    shared = store.identities.applicants_of_groups(rows)
    asked = set(rows[shared != ""].tolist())
    if not asked:
        return shared
    aggregates = np.fromiter(store.group_keys, dtype=np.int64, count=len(store.group_keys))
    made_by: dict[int, str] = {}
    for node, identity in zip(aggregates.tolist(), store.row.get(aggregates).tolist(), strict=True):
        if identity in asked:
            made_by.setdefault(identity, store.group_keys[node])
    for i in np.flatnonzero(shared != "").tolist():
        values = json.loads(made_by.get(int(rows[i]), "[]"))
        if len(values) != 1 or str(values[0]) != shared[i]:
            shared[i] = ""
    return shared


def element_lineage(
    tracker: Any, node_id: int, key: str = "", full: bool = False
) -> ElementLineage:
    """The exact lineage of the element whose node is ``node_id``: every node reached from
    it through the cells it read, inputs first, with each node's own value and rows. An
    aggregate over a group of rows is one step (the element's own inputs followed, the
    others counted) unless ``full``."""
    key = key or _business_key(tracker, node_id)
    if full:
        return _full_lineage(tracker, node_id, key)
    store = tracker._elements
    identities = _identity_lookups(store.identities)
    own = own_inputs_of(
        key,
        int(store.row.get([node_id])[0]),
        identities,
        lambda i: str(store.identities.key.get([i])[0]),
        store.row.get,
    )
    if own is None:
        return _full_lineage(tracker, node_id, key)
    names = tracker._operations.values
    return walk_lineage(
        node_id,
        key,
        lambda ids: _node_rows(tracker, ids),
        lambda indices: _identity_rows(store.identities, indices),
        [str(n) for n in names],
        _sources(tracker),
        own,
    )


def _business_key(tracker: Any, node_id: int) -> str:
    identities, row = tracker._elements.identities, tracker._elements.row
    return str(identities.business_keys(np.array([row.get([node_id])[0]]))[0])


def _node_rows(tracker: Any, ids: Any) -> list[tuple[NodeRows, int]]:
    """The log's rows of ``ids``, as one block of node rows (in the order asked)."""
    ids = np.asarray(ids, dtype=np.int64)
    found = [tracker._log.row(int(i), cells=True) for i in ids.tolist()]
    store = tracker._elements
    types = {i: NODE_TYPES.index(t.name) for i, t in enumerate(tracker._node_types.values)}
    counts = [len(f[4]) for f in found]
    texts = store.texts_of(ids)
    rows = NodeRows(
        node_id=ids,
        node_type=np.array([types[f[0]] for f in found], np.uint8),
        operation=np.array([f[1] for f in found], np.int32),
        word=np.array([f[2] for f in found], np.int64),
        input_start=np.concatenate([[0], np.cumsum(counts)]).astype(np.int64),
        inputs=np.concatenate(
            [np.zeros(0, np.int64), *(np.asarray(f[4], np.int64) for f in found)]
        ),
        value=store.value.get(ids),
        text=None if texts is None else list(texts),
        row=store.row.get(ids),
        protected=np.array([bool(f[3] & PROTECTED) for f in found]),
        group=[store.group_keys.get(i) for i in ids.tolist()],
    )
    return [(rows, at) for at in range(len(ids))]


def _identity_lookups(identities: Any) -> Identities:
    return Identities.of_ends(
        identities.kind.get, identities.member_end.get, identities.members.get
    )


def _identity_rows(identities: Any, indices: Any) -> list[tuple[IdentityRows, int]]:
    ids = np.asarray(indices, dtype=np.int64)
    counts, flat = _identity_lookups(identities).members(ids)
    rows = IdentityRows(
        first=0,
        kind=identities.kind.get(ids),
        key=[str(k) for k in identities.key.get(ids)],
        member_start=np.concatenate([[0], np.cumsum(counts)]).astype(np.int64),
        members=flat,
    )
    return [(rows, at) for at in range(len(ids))]


def _full_lineage(tracker: Any, node_id: int, key: str) -> ElementLineage:
    """Every node reached from ``node_id`` through the cells it read, inputs first, with
    each node's own value and rows."""
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
                group=store.group_keys.get(step_id),
            )
        )
    root = int(ids[-1])
    key = key or _business_key(tracker, root)
    return ElementLineage(root=root, key=key, steps=tuple(steps))


def _identity(identities: Any, row: int) -> tuple[str, ...]:
    keys = identities.key.get(np.asarray(identities.source_members(row), dtype=np.int64))
    return tuple(str(k) for k in keys)
