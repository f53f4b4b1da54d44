"""The storage records of a batch of nodes logged in one native call: the same nodes and
edges, with the same fields, that handing the nodes over one at a time gives."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..orrin32 import TAINT_SHIFT, ProvenanceTracker
from ..orrin32._engine import entity_chain_batch
from ._records import NodeType


def hand_over_batch(
    tracker: Any,
    node_type: NodeType,
    operation: str,
    words: np.ndarray,
    ids: np.ndarray,
    edges: np.ndarray,
) -> None:
    """Give the tracker's writer the nodes made (``ids`` >= 0) and their edges (rows of
    input word, word, position, element, as the log noted them when each node was made).

    A writer that takes whole lists of nodes gets one list of nodes and one of edges;
    any other gets each node followed by its edges, as one call per node would give it.
    """
    from ..persistence import StoredEdge, StoredNode

    writer = tracker._writer
    made = np.flatnonzero(ids >= 0)
    fingerprints = words[made].tolist()
    protected = ((words[made] >> TAINT_SHIFT) & 1).astype(bool).tolist()
    pipeline_id = tracker._pipeline_id
    type_name = node_type.name
    entities, chains = _entities_and_chains(tracker, words[made])
    nodes = [
        StoredNode(
            fingerprint=word,
            node_type=type_name,
            operation=operation,
            table_name=None,
            column_name=None,
            pair_id=None,
            is_protected=is_protected,
            entity_hash=entity,
            chain_hash=chain,
            metadata={},
            pipeline_id=pipeline_id,
        )
        for word, is_protected, entity, chain in zip(
            fingerprints, protected, entities, chains, strict=True
        )
    ]
    rows = edges.reshape(-1, 4).tolist()
    stored_edges = [
        StoredEdge(parent_fingerprint=parent, child_fingerprint=child, input_position=position)
        for parent, child, position, _ in rows
    ]
    write_nodes = getattr(writer, "write_nodes", None)
    if write_nodes is not None:
        write_nodes(nodes)
        writer.write_edges(stored_edges)
        return
    _one_by_one(writer, nodes, stored_edges, made, rows)


def _entities_and_chains(tracker: Any, words: np.ndarray) -> tuple[list, list]:
    """The entity and chain fields of each word, as the tracker's ``decode_full`` gives
    them: from the engine in one call when that method is the base tracker's own."""
    own = "decode_full" in tracker.__dict__
    if type(tracker).decode_full is ProvenanceTracker.decode_full and not own:
        entities, chains = entity_chain_batch(tracker._rust, words.astype(np.uint32))
        return entities.tolist(), chains.tolist()
    infos = [tracker.decode_full(word) for word in words.tolist()]
    return [i.entity for i in infos], [i.chain for i in infos]


def _one_by_one(writer: Any, nodes: list, stored_edges: list, made: np.ndarray, rows: list) -> None:
    element_of = made.tolist()
    at = 0
    for k, node in enumerate(nodes):
        writer.write_node(node)
        mine = []
        while at < len(rows) and rows[at][3] == element_of[k]:
            mine.append(stored_edges[at])
            at += 1
        if mine:
            writer.write_edges(mine)
