"""Tracked frames on Dask: partitions are TrackedDataFrames, words travel with them.

Install with ``pip install "quorvane[dask]"``. A dask DataFrame wrapped here has partitions
that are :class:`TrackedDataFrame`s of one tracker lineage: every source is registered on the
client when the frame is wrapped, so all processes number the sources alike, and the dense
words that workers make are translated into the client's tracker when their partitions come
back (see ``quorvane.core._lineage``). ``compute()`` therefore returns a tracked pandas frame whose
words decode in the client's tracker.

The dispatch functions registered below tell Dask that the tracked classes are pandas
objects that carry words: their empty and non-empty metadata stay tracked (so Dask keeps
building tracked collections), and concatenation keeps the words of every piece.
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable
from typing import Any

try:
    import dask
    import dask.dataframe as dd
    from dask.dataframe import get_collection_type
    from dask.dataframe.dispatch import (
        concat_dispatch,
        from_pyarrow_table_dispatch,
        make_meta_dispatch,
        meta_nonempty,
        to_pyarrow_table_dispatch,
    )
    from dask.dataframe.extensions import make_array_nonempty
    from dask.tokenize import normalize_token
    from distributed import WorkerPlugin, get_client
except ImportError as exc:  # pragma: no cover - depends on the installed extras
    raise ImportError(
        'quorvane.dask needs Dask: pip install "quorvane[dask]" (dask[dataframe], distributed)'
    ) from exc

import numpy as np
import pandas as pd

from .core import _lineage
from .tracking import WordsArray, WordsDtype
from .tracking._files import as_arrow_table, from_arrow_table
from .tracking._row_order import partitions_of_one_frame
from .utilities.orrin32 import ProvenanceTracker, TrackedDataFrame, TrackedSeries, _audit
from .utilities.orrin32 import audit as _audit_series
from .utilities.orrin32 import column_risk_report as _column_risk_report
from .utilities.orrin32 import wrap_dataframe as _wrap_pandas
from .utilities.orrin32_dag import DAGTracker

__all__ = [
    "TrackedDaskFrame",
    "TrackedDaskSeries",
    "audit",
    "column_risk_report",
    "from_pandas",
    "wrap_dataframe",
]

_PandasFrame: Any = get_collection_type(pd.DataFrame(dtype=object))
_PandasSeries: Any = get_collection_type(pd.Series(dtype=object))


# -- wrapping -------------------------------------------------------------------------------


def wrap_dataframe(
    ddf: Any,
    tracker: ProvenanceTracker,
    table: str,
    protected: bool | Iterable[Any] = False,
    include_entity: bool = True,
) -> TrackedDaskFrame:
    """A dask DataFrame as a tracked one: each partition wrapped as ``wrap_dataframe`` does.

    The sources are registered on the client now, before any partition is built, so the
    words of every partition mean the same in every process. The partitions are wrapped
    where they are, so the entity of a str row label is the hash of the process that wraps
    it (fix PYTHONHASHSEED for all processes to make it the same everywhere).
    """
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"ddf must be a dask DataFrame, not {type(ddf).__name__}")
    _check_tracker(tracker)
    _teach_workers()
    protected = protected if isinstance(protected, bool) else list(protected)
    meta = _wrap_pandas(ddf._meta, tracker, table, protected, include_entity)
    # Registered here so that no worker has to register it (and number it) on its own.
    tracker.unknown_word()
    return ddf.map_partitions(
        _wrap_partition,
        tracker,
        table,
        protected,
        include_entity,
        meta=meta,
        align_dataframes=False,
    )


def from_pandas(
    df: pd.DataFrame,
    tracker: ProvenanceTracker,
    table: str,
    protected: bool | Iterable[Any] = False,
    include_entity: bool = True,
    **partitioning: Any,
) -> TrackedDaskFrame:
    """``dd.from_pandas(df, **partitioning)``, tracked as ``wrap_dataframe`` tracks it.

    The words are made here, on the client, so they are exactly those of the pandas road:
    the entity of a str row label is the interpreter's hash of it, which differs between
    processes unless PYTHONHASHSEED is fixed for all of them.
    """
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"df must be a pandas DataFrame, not {type(df).__name__}")
    _check_tracker(tracker)
    _teach_workers()
    if not partitioning:
        partitioning = {"npartitions": 1}
    tracked = _wrap_pandas(pd.DataFrame(df), tracker, table, protected, include_entity)
    tracker.unknown_word()
    return dd.from_pandas(tracked, **partitioning)


def _check_tracker(tracker: Any) -> None:
    if not isinstance(tracker, ProvenanceTracker):
        raise TypeError(f"tracker must be a ProvenanceTracker, not {type(tracker).__name__}")
    if isinstance(tracker, DAGTracker):
        # Node ids are indices into one process's log: they cannot follow the partitions.
        raise TypeError("Dask frames are tracked on the vectorised road: use a ProvenanceTracker")


class TrackedClassesPlugin(WorkerPlugin):
    """Teaches a worker the dispatch functions of the tracked classes.

    Nothing else imports quorvane.dask on a worker, and without its dispatch functions Dask
    treats an arriving tracked partition as plain pandas and drops its words.
    """

    name = "quorvane-tracked-classes"

    def setup(self, worker: Any) -> None:
        importlib.import_module(__name__)


def _teach_workers() -> None:
    # The plugin reaches the workers there are and any that join later; a client that
    # already has it replaces it with an equal one.
    try:
        client = get_client()
    except ValueError:  # no distributed client: the local schedulers share this process
        return
    client.register_plugin(TrackedClassesPlugin(), name=TrackedClassesPlugin.name)


def _wrap_partition(part, tracker, table, protected, include_entity):
    # The tracker copy that came with this task joins the lineage's live tracker here.
    live, _ = _lineage.live_tracker(tracker)
    return _wrap_pandas(part, live, table, protected, include_entity)


# -- reports without collecting the rows ------------------------------------------------------


def column_risk_report(ddf: Any) -> list[dict[str, Any]]:
    """``column_risk_report`` of a tracked dask frame, computed per partition and combined:
    only one small report per partition reaches the client."""
    if not isinstance(ddf, dd.DataFrame):
        return _column_risk_report(ddf)
    parts = dask.compute(*(dask.delayed(_column_risk_report)(p) for p in ddf.to_delayed()))
    columns = list(ddf.columns)
    combined = [_combine_entries(column, parts) for column in columns]
    return sorted(combined, key=lambda entry: entry["max_risk"], reverse=True)


def _combine_entries(column: Any, parts: Iterable[list[dict[str, Any]]]) -> dict[str, Any]:
    entries = [e for report in parts for e in report if e["column"] == column]
    depths = [e["min_depth"] for e in entries if e["min_depth"] is not None]
    max_risk = max((e["max_risk"] for e in entries), default=0.0)
    unknown = any(e["unknown"] for e in entries)
    return {
        "column": column,
        "tainted": any(e["tainted"] for e in entries),
        "max_risk": max_risk,
        "min_depth": min(depths) if depths else None,
        "risk_level": _audit._risk_level(max_risk, unknown),
        "unknown": unknown,
    }


def audit(series: Any) -> dict[str, Any]:
    """``audit`` of a tracked dask series: its first value's word, the only row fetched."""
    if not isinstance(series, dd.Series):
        return _audit_series(series)
    return _audit_series(series.head(1, npartitions=-1))


# -- collections and dispatch ------------------------------------------------------------------


class TrackedDaskFrame(_PandasFrame):
    """A dask DataFrame whose partitions are TrackedDataFrames."""

    @property
    def tracker(self) -> ProvenanceTracker:
        return self._meta._tracker

    def column_risk_report(self) -> list[dict[str, Any]]:
        return column_risk_report(self)


class TrackedDaskSeries(_PandasSeries):
    """A dask Series whose partitions are TrackedSeries."""

    @property
    def tracker(self) -> ProvenanceTracker:
        return self._meta._tracker

    def audit(self) -> dict[str, Any]:
        return audit(self)


get_collection_type.register(TrackedDataFrame, lambda _: TrackedDaskFrame)
get_collection_type.register(TrackedSeries, lambda _: TrackedDaskSeries)


@make_meta_dispatch.register((TrackedDataFrame, TrackedSeries))
def _empty_meta(x: Any, index: Any = None) -> Any:
    return x.iloc[:0]


@make_array_nonempty.register(WordsDtype)
def _nonempty_words(dtype: WordsDtype) -> WordsArray:
    # Dask's stand-in values of a words column: two of its kind, words of no source
    return WordsArray(np.ones(2, dtype.numpy_dtype), np.zeros(2, np.uint32), dtype)


@meta_nonempty.register(TrackedDataFrame)
def _nonempty_frame(x: TrackedDataFrame) -> TrackedDataFrame:
    plain = meta_nonempty.dispatch(pd.DataFrame)(pd.DataFrame(x))
    return TrackedDataFrame(plain, _tracker=x._tracker)


@meta_nonempty.register(TrackedSeries)
def _nonempty_series(x: TrackedSeries) -> TrackedSeries:
    plain = meta_nonempty.dispatch(pd.Series)(pd.Series(x))
    return TrackedSeries(plain, _tracker=x._tracker)


@concat_dispatch.register((TrackedDataFrame, TrackedSeries))
def _concat(dfs: list[Any], *args: Any, **kwargs: Any) -> Any:
    # pandas' concatenation, through the tracked classes' own concat hooks; the pieces
    # joined the same live tracker when they arrived in this process. They are partitions
    # of one frame: a filter of each is one condition, not a segment of its own.
    with partitions_of_one_frame():
        return concat_dispatch.dispatch(pd.DataFrame)(dfs, *args, **kwargs)


def _lineage_of(container: Any) -> str | None:
    return getattr(container._tracker, "_lineage", None)


# Dask names results by the token of their inputs: equal data with other words is another
# input, or a cluster could hand back a result computed from the wrong words.
@normalize_token.register(TrackedDataFrame)
def _frame_token(df: TrackedDataFrame) -> Any:
    words = [(normalize_token(label), normalize_token(w)) for label, w in df._col_prov.items()]
    return ("tracked", _lineage_of(df), normalize_token(pd.DataFrame(df)), words)


@normalize_token.register(TrackedSeries)
def _series_token(s: TrackedSeries) -> Any:
    return ("tracked", _lineage_of(s), normalize_token(pd.Series(s)), normalize_token(s._prov))


# The peer-to-peer shuffle moves partitions as Arrow tables: the words ride in columns of
# their own beside the values (see ``quorvane.tracking._files``).
@to_pyarrow_table_dispatch.register(TrackedDataFrame)
def _to_arrow(df: TrackedDataFrame, **kwargs: Any) -> Any:
    return as_arrow_table(df, **kwargs)


@from_pyarrow_table_dispatch.register(TrackedDataFrame)
def _from_arrow(meta: TrackedDataFrame, table: Any, **kwargs: Any) -> TrackedDataFrame:
    plain = from_pyarrow_table_dispatch.dispatch(pd.DataFrame)
    return from_arrow_table(
        table, lambda t: plain(meta, t, **kwargs), lambda _: TrackedDataFrame, meta._tracker
    )
