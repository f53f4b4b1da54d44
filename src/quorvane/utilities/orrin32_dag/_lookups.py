"""Lineage look-ups for single values of DAG-tracked series."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from ...core._checks import as_int
from ..orrin32._audit import tracked_only
from ._dag import ComputationDAG
from ._log import logger  # noqa: F401  (one logger for the whole module)


def combine_provenances(tracker: Any, node_ids: Iterable[int], op_code: Any = None) -> int:
    """Combine provenance from multiple node IDs into a single value.

    Iterates over the node IDs, fetches each node's provenance from the tracker and
    combines them with the tracker's combine.

    Returns:
        The combined provenance, or 0 if no nodes were found.
    """
    from ..orrin32 import OpCode as _OpCode

    if op_code is None:
        op_code = _OpCode.CUSTOM
    combined = 0
    for nid in node_ids:
        node = tracker.get_node(nid)
        if node is None:
            continue
        if combined == 0:
            combined = node.provenance
        else:
            combined = tracker.combine(combined, node.provenance, op_code)
    return combined


def get_dag_for_series(series: Any, row_index: int = 0) -> ComputationDAG | None:
    """Get the computation DAG for a specific row in a series."""
    row_index = as_int("row_index", row_index)
    if not series._tracker or not hasattr(series, "_node_ids"):
        return None
    if row_index >= len(series._node_ids):
        return None
    node_id = int(series._node_ids[row_index])
    if node_id < 0:  # the containers' mark for an element without a node
        return None
    return series._tracker.get_dag(node_id)


def dag_audit(series: Any, row_index: int = 0) -> dict[str, Any]:
    """Full audit of a series value including DAG reconstruction."""
    row_index = as_int("row_index", row_index)
    tracked_only(series)
    if not series._tracker or len(series) == 0:
        return {"error": "No tracker or empty series"}
    prov = int(series._prov[row_index])
    tracker = series._tracker
    info = tracker.decode_full(prov)
    dag = get_dag_for_series(series, row_index)
    result: dict[str, Any] = {
        "provenance": f"0x{prov:08X}",
        "mode": tracker.get_mode(prov),
        "pair_count": len(info.pairs),
        "pair_ids": sorted(info.pairs),
        "columns": tracker.explain(prov),
        "tables": tracker.explain_tables(prov),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(prov),
        "has_protected": tracker.has_protected(prov),
        "unknown": tracker.is_unknown(prov),
    }
    if dag is not None:
        result["dag"] = {
            "depth": dag.depth,
            "node_count": len(dag.nodes),
            "operation_counts": dag.operation_counts,
            "sources": [(n.table, n.column) for n in dag.source_nodes],
            "protected_sources": [(n.table, n.column) for n in dag.protected_sources],
        }
    return result
