"""DAG-tracked provenance: every operation on an element becomes a node of a computation DAG."""

from ._frame import DAGTrackedDataFrame, wrap_dataframe_dag
from ._series import DAGTrackedSeries

__all__ = [
    "DAGTrackedDataFrame",
    "DAGTrackedSeries",
    "wrap_dataframe_dag",
]
