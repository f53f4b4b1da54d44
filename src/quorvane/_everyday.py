"""The everyday API, as ``import quorvane as qv`` offers it."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import pandas as pd

from .tracking._files import from_words_columns
from .utilities.orrin32 import (
    ProvenanceTracker,
    TrackedDataFrame,
    audit,
    column_risk_report,
    wrap_dataframe,
)
from .utilities.orrin32_dag import DAGTrackedDataFrame, DAGTracker, wrap_dataframe_dag

__all__ = [
    "DAGTracker",
    "ProvenanceTracker",
    "audit",
    "column_risk_report",
    "read_parquet",
    "wrap",
]


def wrap(
    frame: pd.DataFrame,
    tracker: ProvenanceTracker,
    table: str,
    protected: bool | Iterable[Any] = False,
    include_entity: bool = True,
    key: Any = None,
) -> pd.DataFrame:
    """``frame`` as the source table ``table`` of ``tracker``, tracked on the tracker's road:
    the DAG road for a :class:`DAGTracker`, the words road for a :class:`ProvenanceTracker`.

    ``protected`` is True for a wholly protected table, or the names of its protected columns.
    ``key`` names the column of the rows' business keys (by default the index is).
    """
    if isinstance(tracker, DAGTracker):
        return wrap_dataframe_dag(frame, tracker, table, protected, include_entity, key=key)
    if isinstance(tracker, ProvenanceTracker):
        return wrap_dataframe(frame, tracker, table, protected, include_entity, key=key)
    raise TypeError(
        f"tracker must be a ProvenanceTracker or a DAGTracker, not {type(tracker).__name__}"
    )


def read_parquet(path: Any, **kwargs: Any) -> pd.DataFrame:
    """A Parquet file written from a tracked frame (``frame.to_parquet``), tracked again: its
    columns keep their words, attached to the live tracker of the writer's lineage in this
    process (the file carries the tracker's registry). ``kwargs`` go to ``pandas.read_parquet``.

    A DAG-road frame read in the process that wrote it is a DAG-road frame with its node ids;
    read elsewhere, where the operation log is not, it is a words-road frame.
    """
    return from_words_columns(pd.read_parquet(path, **kwargs), frame_class_of)


def frame_class_of(tracker: Any) -> type:
    """The tracked frame class of ``tracker``'s road."""
    return DAGTrackedDataFrame if isinstance(tracker, DAGTracker) else TrackedDataFrame
