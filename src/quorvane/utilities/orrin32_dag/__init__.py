"""Computation DAG of quorvane: node and edge records, the reconstructed lineage of a
result value with its analyses and exports, the DAGTracker operation log, and lineage
look-ups for single values."""

# The module works with these names of orrin32 under the same names.
from ...recording import PersistenceRequiredError
from ..orrin32 import (  # noqa: F401
    MAX_PAIRS,
    MODE_01_CHAIN_BITS,
    MODE_01_ENTITY_BITS,
    OpCode,
    ProvenanceTracker,
    TrackedDataFrame,
    TrackedSeries,
    _hash_entity,
)
from ._dag import ComputationDAG
from ._frame import DAGTrackedDataFrame, wrap_dataframe_dag
from ._log import logger  # noqa: F401  (the module logger)
from ._lookups import combine_provenances, dag_audit, get_dag_for_series
from ._records import DAGEdge, DAGNode, NodeType
from ._series import DAGTrackedSeries
from ._tracker import DAGTracker

__all__ = [
    "ComputationDAG",
    "DAGEdge",
    "DAGNode",
    "DAGTrackedDataFrame",
    "DAGTrackedSeries",
    "DAGTracker",
    "NodeType",
    "PersistenceRequiredError",
    "combine_provenances",
    "dag_audit",
    "get_dag_for_series",
    "wrap_dataframe_dag",
]
