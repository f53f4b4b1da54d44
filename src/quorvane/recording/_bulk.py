"""Deduplicated bulk writes of a DAGTracker's DAG: into the run of its persistence session
at ``flush``, and into any storage with ``persist_to_storage``.

The tracker gives the DAG as its summary: one node per fingerprint, and each distinct edge
between fingerprints (see ``Summary``).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from ..core._checks import as_int
from ._run_record import run_record

#: A DAG as the store keeps it: the fields of each node kept, as ``StoredNode`` keywords
#: without ``entity_hash``, ``chain_hash`` and ``pipeline_id``, and the distinct edges as
#: rows of (parent fingerprint, child fingerprint, input position).
Summary = tuple[Iterable[dict], np.ndarray]


def write_dag(tracker: Any, storage: Any, pipeline_id: Any, summary: Summary) -> tuple[int, int]:
    """Persist deduplicated nodes and edges to storage; (nodes, edges) written."""
    node_fields, edges = summary
    decode = tracker.decode_full
    nodes_batch = []
    for fields in node_fields:
        info = decode(fields["fingerprint"])
        fields.update(
            entity_hash=int(info.entity), chain_hash=int(info.chain), pipeline_id=pipeline_id
        )
        nodes_batch.append(_stored_node(fields))
    if nodes_batch:
        storage.store_nodes(nodes_batch)
    fp_map = storage.get_fingerprint_node_map(pipeline_id)
    edge_rows = _edge_rows(edges, fp_map)
    if edge_rows:
        storage.store_edges_resolved(edge_rows)
    return len(nodes_batch), len(edge_rows)


def persist_to_storage(
    tracker: Any,
    storage: Any,
    pipeline_id: int | None,
    pipeline_name: str | None,
    summary: Callable[[], Summary],
    element_log: Callable[[], Any] | None = None,
) -> int | None:
    """Write the tracker's DAG (the ``summary`` it gives, read once the sources are
    registered), deduplicated, into ``storage`` under ``pipeline_id`` (a new pipeline named
    ``pipeline_name`` when None), then the per-element log that ``element_log`` gives, and
    complete that pipeline."""
    # Without the persistence package nothing could be completed: refuse before the
    # caller's storage gets a pipeline or sources that no nodes would follow.
    from ..utilities.persistence.storage import StoredNode

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
    node_fields, edges = summary()
    nodes_batch = []
    for fields in node_fields:
        fields["pipeline_id"] = pipeline_id
        fields.pop("metadata")
        nodes_batch.append(StoredNode(**fields))
    storage.store_nodes(nodes_batch)
    fp_to_db_id = storage.get_fingerprint_node_map(pipeline_id)
    storage.store_edges_resolved(_edge_rows(edges, fp_to_db_id))
    if element_log is not None:
        storage.write_element_log(pipeline_id, element_log())
    storage.complete_pipeline(pipeline_id, "completed")
    return pipeline_id


def _stored_node(fields: dict) -> Any:
    from ..utilities.persistence.storage import StoredNode

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
