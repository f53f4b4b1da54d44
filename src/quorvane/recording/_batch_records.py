"""The storage records of a batch of nodes logged in one native call: the same nodes and
edges, with the same fields, that handing the nodes over one at a time gives."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..core import TAINT_SHIFT, ProvenanceTracker, entity_chain_batch


def hand_over_batch(
    tracker: Any,
    node_type: Any,
    operation: str,
    words: np.ndarray,
    made: np.ndarray,
    edges: np.ndarray,
) -> None:
    """Give the tracker's writer the nodes of the elements ``made`` that the summary keeps
    (of type ``node_type``, whose name is stored) and their edges (rows of input word,
    word, position, element, as the log noted them when each node was made).

    A writer that takes whole lists of nodes gets one list of the nodes and one of the
    edges the store does not have yet: a store keeps one node per fingerprint and one
    edge per (parent, child, position) of a run, so handing each over once leaves stored
    what one call per node leaves. Any other writer gets each node followed by its
    edges, as one call per node would give them.
    """
    writer = tracker._writer
    rows = edges.reshape(-1, 4)
    if getattr(writer, "write_nodes", None) is None:
        nodes = _stored_nodes(tracker, node_type, operation, words[made])
        _one_by_one(writer, nodes, _stored_edges(rows), made, rows.tolist())
        return
    handed = _handed_over(tracker)
    fresh_words = words[made][_first_unseen(words[made], handed.fingerprints)]
    fresh_edges = rows[_first_unseen(rows[:, :3], handed.edges)]
    writer.write_nodes(_stored_nodes(tracker, node_type, operation, fresh_words))
    writer.write_edges(_stored_edges(fresh_edges))


class _HandedOver:
    """Fingerprints and edges already handed to the writer in one run."""

    def __init__(self, pipeline_id: Any) -> None:
        self.pipeline_id = pipeline_id
        self.fingerprints: set = set()
        self.edges: set = set()


def _handed_over(tracker: Any) -> _HandedOver:
    handed = tracker.__dict__.get("_handed_over")
    if handed is None or handed.pipeline_id != tracker._pipeline_id:
        handed = tracker._handed_over = _HandedOver(tracker._pipeline_id)
    return handed


def _first_unseen(keys: np.ndarray, seen: set) -> np.ndarray:
    """Positions of the first occurrence of each key (a value, or a row of values) not in
    ``seen``, in order; those keys join ``seen``."""
    if not len(keys):
        return np.zeros(0, dtype=np.intp)
    # a stable sort keeps equal keys in their order, so each run starts at its first one
    table = keys.reshape(len(keys), -1)
    order = np.lexsort(table.T[::-1])
    ordered = table[order]
    starts = np.ones(len(order), dtype=bool)
    starts[1:] = (ordered[1:] != ordered[:-1]).any(axis=1)
    first = np.sort(order[starts])
    distinct = keys[first].tolist()
    if keys.ndim > 1:
        distinct = [tuple(key) for key in distinct]
    keep = [i for i, key in enumerate(distinct) if key not in seen]
    seen.update(distinct)
    return first[keep]


def _stored_nodes(tracker: Any, node_type: Any, operation: str, words: np.ndarray) -> list:
    from ..utilities.persistence import StoredNode

    protected = ((words >> TAINT_SHIFT) & 1).astype(bool).tolist()
    entities, chains = _entities_and_chains(tracker, words)
    pipeline_id = tracker._pipeline_id
    type_name = node_type.name
    return [
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
            words.tolist(), protected, entities, chains, strict=True
        )
    ]


def _stored_edges(rows: np.ndarray) -> list:
    from ..utilities.persistence import StoredEdge

    return [
        StoredEdge(parent_fingerprint=parent, child_fingerprint=child, input_position=position)
        for parent, child, position, _ in rows.tolist()
    ]


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
