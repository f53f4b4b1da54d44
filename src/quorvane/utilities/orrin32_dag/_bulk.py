"""Deduplicated bulk writes of a DAGTracker's DAG: into the run of its persistence session
at ``flush``, and into any storage with ``persist_to_storage``."""

from __future__ import annotations

from typing import Any

from .._checks import as_int


def write_dag(tracker: Any, storage: Any, pipeline_id: Any) -> tuple[int, int]:
    """Persist deduplicated nodes and edges to storage; (nodes, edges) written."""
    from ..persistence.storage import StoredNode

    nodes = tracker._nodes
    seen: dict = {}
    for node in nodes.values():
        if node.provenance not in seen:
            seen[node.provenance] = node
    nodes_batch = []
    type_name = _type_names()
    for node in seen.values():
        info = tracker.decode_full(node.provenance)
        nodes_batch.append(
            StoredNode(
                fingerprint=int(node.provenance),
                node_type=type_name(node.node_type),
                operation=node.operation,
                table_name=node.table,
                column_name=node.column,
                pair_id=int(node.pair_id) if node.pair_id is not None else None,
                is_protected=bool(node.is_protected),
                entity_hash=int(info.entity),
                chain_hash=int(info.chain),
                metadata=node.metadata,
                pipeline_id=pipeline_id,
            )
        )
    if nodes_batch:
        storage.store_nodes(nodes_batch)
    fp_map = storage.get_fingerprint_node_map(pipeline_id)
    edge_rows = _edge_rows(nodes, fp_map, int)
    if edge_rows:
        storage.store_edges_resolved(edge_rows)
    return len(nodes_batch), len(edge_rows)


def persist_to_storage(
    tracker: Any, storage: Any, pipeline_id: int | None, pipeline_name: str | None
) -> int | None:
    """Write the tracker's DAG, deduplicated, into ``storage`` under ``pipeline_id`` (a
    new pipeline named ``pipeline_name`` when None) and complete that pipeline."""
    from ..persistence.storage import StoredNode

    if pipeline_id is not None:
        pipeline_id = as_int("pipeline_id", pipeline_id)
    else:
        # a backend that does not number its pipelines may answer None: go on with that
        pipeline_id = storage.create_pipeline(pipeline_name or "unnamed")
        if pipeline_id is not None:
            pipeline_id = as_int("pipeline_id", pipeline_id)
    for pair_id, (table, column) in tracker._id_to_name.items():
        storage.register_source(
            pair_id, table, column, is_protected=tracker.is_protected(table, column)
        )
    nodes = tracker._nodes
    seen_fingerprints: dict = {}
    for node in nodes.values():
        if node.provenance not in seen_fingerprints:
            seen_fingerprints[node.provenance] = node
    type_name = _type_names()
    nodes_batch = [
        StoredNode(
            fingerprint=node.provenance,
            node_type=type_name(node.node_type),
            operation=node.operation,
            table_name=node.table,
            column_name=node.column,
            pair_id=node.pair_id,
            is_protected=node.is_protected,
            pipeline_id=pipeline_id,
        )
        for node in seen_fingerprints.values()
    ]
    storage.store_nodes(nodes_batch)
    fp_to_db_id = storage.get_fingerprint_node_map(pipeline_id)
    storage.store_edges_resolved(_edge_rows(nodes, fp_to_db_id, None))
    storage.complete_pipeline(pipeline_id, "completed")
    return pipeline_id


def _type_names() -> Any:
    """node type -> its name, remembered (an enum's ``name`` is slow to read 10^5 times)."""
    names: dict = {}

    def name_of(node_type: Any) -> str:
        name = names.get(node_type)
        if name is None:
            name = names[node_type] = node_type.name
        return name

    return name_of


def _edge_rows(nodes: dict, fp_map: Any, convert: Any) -> list:
    """(parent db id, child db id, input position) for every input still in the table,
    each (parent, child, position) of fingerprints once; unresolvable edges are dropped."""
    seen_edges: set = set()
    edge_rows = []
    get_node = nodes.get
    lookup = fp_map.get
    for node in nodes.values():
        child_fp = convert(node.provenance) if convert else node.provenance
        for i, input_id in enumerate(node.inputs):
            input_node = get_node(input_id)
            if input_node is None:
                continue
            parent_fp = convert(input_node.provenance) if convert else input_node.provenance
            edge_key = (parent_fp, child_fp, i)
            if edge_key in seen_edges:
                continue
            seen_edges.add(edge_key)
            parent_db_id = lookup(parent_fp)
            child_db_id = lookup(child_fp)
            if parent_db_id is not None and child_db_id is not None:
                edge_rows.append((parent_db_id, child_db_id, i))
    return edge_rows
