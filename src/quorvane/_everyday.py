"""The everyday API, as ``import quorvane as qv`` offers it."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import pandas as pd

from .utilities.orrin32 import ProvenanceTracker, audit, column_risk_report, wrap_dataframe
from .utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag

__all__ = ["DAGTracker", "ProvenanceTracker", "audit", "column_risk_report", "wrap"]


def wrap(
    frame: pd.DataFrame,
    tracker: ProvenanceTracker,
    table: str,
    protected: bool | Iterable[Any] = False,
    include_entity: bool = True,
) -> pd.DataFrame:
    """``frame`` as the source table ``table`` of ``tracker``, tracked on the tracker's road:
    the DAG road for a :class:`DAGTracker`, the words road for a :class:`ProvenanceTracker`.

    ``protected`` is True for a wholly protected table, or the names of its protected columns.
    """
    if isinstance(tracker, DAGTracker):
        return wrap_dataframe_dag(frame, tracker, table, protected, include_entity)
    if isinstance(tracker, ProvenanceTracker):
        return wrap_dataframe(frame, tracker, table, protected, include_entity)
    raise TypeError(
        f"tracker must be a ProvenanceTracker or a DAGTracker, not {type(tracker).__name__}"
    )
