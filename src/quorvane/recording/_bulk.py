"""Deduplicated bulk writes of a DAGTracker's DAG: into the run of its persistence session
at ``flush``, and into any storage with ``persist_to_storage``."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from ...core._checks import as_int
from ._node_table import PROTECTED
from ._run_record import run_record


def write_dag(tracker: Any, storage: Any, pipeline_id: Any) -> tuple[int, int]:
    """Persist deduplicated nodes and edges to storage; (nodes, edges) written."""
    distinct = _distinct(tracker)
    decode = tracker.decode_full
    nodes_batch = []
    for fields in _node_fields(tracker, distinct):
        info = decode(fields["fingerprint"])
        fields.update(
            entity_hash=int(info.entity), chain_hash=int(info.chain), pipeline_id=pipeline_id
        )
        nodes_batch.append(_stored_node(fields))
    if nodes_batch:
        storage.store_nodes(nodes_batch)
    fp_map = storage.get_fingerprint_node_map(pipeline_id)
    edge_rows = _edge_rows(distinct[-1], fp_map)
    if edge_rows:
        storage.store_edges_resolved(edge_rows)
    return len(nodes_batch), len(edge_rows)


def persist_to_storage(
    tracker: Any,
    storage: Any,
    pipeline_id: int | None,
    pipeline_name: str | None,
    element_log: Callable[[], Any] | None = None,
) -> int | None:
    """Write the tracker's DAG, deduplicated, into ``storage`` under ``pipeline_id`` (a
    new pipeline named ``pipeline_name`` when None), then the per-element log that
    ``element_log`` gives, and complete that pipeline."""
    # Without the persistence package nothing could be completed: refuse before the
    # caller's storage gets a pipeline or sources that no nodes would follow.
    from ..persistence.storage import StoredNode

    if pipeline_id is not None:
        pipeline_id = as_int("pipeline_id", pipeline_id)
    else:
        # a backend that does not number its pipelines may answer None: go on with that
        pipeline_id = storage.create_pipeline(pipeline_name or "unnamed", **run_record(tracker))
        if pipeline_id is not None:
            pipeline_id = as_int("pipeline_id", pipeline_id)
    for pair_id, (table, column) in tracker._id_to_name.items():
        storage.register_source(
            pair_id, table, column, is_protected=tracker.is_protected(table, column)
        )
    distinct = _distinct(tracker)
    nodes_batch = []
    for fields in _node_fields(tracker, distinct):
        fields["pipeline_id"] = pipeline_id
        fields.pop("metadata")
        nodes_batch.append(StoredNode(**fields))
    storage.store_nodes(nodes_batch)
    fp_to_db_id = storage.get_fingerprint_node_map(pipeline_id)
    storage.store_edges_resolved(_edge_rows(distinct[-1], fp_to_db_id))
    if element_log is not None:
        storage.write_element_log(pipeline_id, element_log())
    storage.complete_pipeline(pipeline_id, "completed")
    return pipeline_id


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


def _stored_node(fields: dict) -> Any:
    from ..persistence.storage import StoredNode

    return StoredNode(**fields)


def _edge_rows(edges: np.ndarray, fp_map: Any) -> list:
    """(parent db id, child db id, input position) of each distinct edge whose ends are
    both stored; the others are dropped."""
    triples = edges.reshape(-1, 3)
    if not len(triples) or not fp_map:
        return []
    known = np.fromiter(fp_map.keys(), dtype=np.int64, count=len(fp_map))
    db_ids = np.fromiter(fp_map.values(), dtype=np.int64, count=len(fp_map))
    order = np.argsort(known)
    known, db_ids = known[order], db_ids[order]

    def resolve(fingerprints: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        at = np.minimum(np.searchsorted(known, fingerprints), len(known) - 1)
        return db_ids[at], known[at] == fingerprints

    parents, parent_found = resolve(triples[:, 0])
    children, child_found = resolve(triples[:, 1])
    found = parent_found & child_found
    rows = np.stack([parents[found], children[found], triples[found, 2]], axis=1)
    return [tuple(row) for row in rows.tolist()]
