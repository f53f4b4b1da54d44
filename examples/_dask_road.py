"""The demo's vectorised road again, on a local Dask cluster of worker processes."""

from __future__ import annotations

import logging
from collections.abc import Callable
from typing import Any

import pandas as pd
from _console import Steps, say
from _data import PROTECTED, TABLE

from quorvane.utilities.orrin32 import ProvenanceTracker, column_risk_report, wrap_dataframe

WORKERS = 2


def dask_road(
    steps: Steps, applications: pd.DataFrame, formula: Callable[[Any], dict]
) -> dict[str, Any]:
    """The formula on pandas and on Dask with one tracker; are values and words the same?"""
    import dask
    from distributed import Client, LocalCluster

    import quorvane.dask as qd

    partitions = max(1, min(4, len(applications) // 2))
    title = f"Vectorised road on Dask: {WORKERS} worker processes, {partitions} partitions"
    # Dask turns text (the applicant ids of the index) into Arrow strings as a frame enters
    # it, unless told not to; pandas 3 has such strings already, pandas 2 has objects.
    with steps.step(title) as notes, dask.config.set({"dataframe.convert-string": False}):
        tracker = ProvenanceTracker()
        on_pandas = wrap_dataframe(applications, tracker, TABLE, protected=PROTECTED)
        on_dask = qd.from_pandas(
            applications, tracker, TABLE, protected=PROTECTED, npartitions=partitions
        )
        for frame in (on_pandas, on_dask):
            for name, series in formula(frame).items():
                frame[name] = series
        with (
            LocalCluster(
                n_workers=WORKERS,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                silence_logs=logging.ERROR,
            ) as cluster,
            Client(cluster),
        ):
            same_report = qd.column_risk_report(on_dask) == column_risk_report(on_pandas)
            computed = on_dask.compute()
        expected = on_pandas.sort_index()  # Dask orders the partitions by the index
        same_values = pd.DataFrame(computed).equals(pd.DataFrame(expected))
        same_words = all(
            _decoded(tracker, computed, column) == _decoded(tracker, expected, column)
            for column in expected.columns
        )
        notes.append(f"{len(computed):,} rows back in the client's tracker")
    say(f"same values as pandas: {same_values}; same decoded words: {same_words}")
    say(f"column_risk_report per partition, combined, equals the pandas one: {same_report}")
    return {
        "workers": WORKERS,
        "partitions": partitions,
        "same_values": same_values,
        "same_words": same_words,
        "same_report": same_report,
    }


def _decoded(tracker: ProvenanceTracker, frame: Any, column: Any) -> list:
    return [tracker.explain_full(int(word)) for word in frame._col_prov[column]]
