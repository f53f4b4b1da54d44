"""Computation DAG of quorvane: node and edge records, the reconstructed lineage of a
result value with its analyses and exports, the DAGTracker operation log, and lineage
look-ups for single values."""

from ..orrin32 import (
    MAX_PAIRS,
    MODE_01_CHAIN_BITS,
    MODE_01_ENTITY_BITS,
    OpCode,
    ProvenanceTracker,
    _hash_entity,
)
from ._dag import ComputationDAG
from ._log import logger
from ._lookups import combine_provenances, dag_audit, get_dag_for_series
from ._records import DAGEdge, DAGNode, NodeType
from ._tracker import DAGTracker

__all__ = [
    "NodeType",
    "DAGNode",
    "DAGEdge",
    "ComputationDAG",
    "DAGTracker",
    "combine_provenances",
    "get_dag_for_series",
    "dag_audit",
]
