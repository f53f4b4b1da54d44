"""pytest plugin: run pandas' own Series tests with ``pandas.Series`` replaced by the tracked
series, so that they check that a tracked series behaves as a plain one.

Used by ``make conformance``; the tracked series of either road can be chosen with the
environment variable ``QUORVANE_SERIES`` (``words``, the default, or ``dag``).
"""

from __future__ import annotations

import os

import pandas as pd


def _tracked_class() -> type:
    if os.environ.get("QUORVANE_SERIES", "words") == "dag":
        from quorvane.utilities.orrin32_dag import DAGTrackedSeries

        return DAGTrackedSeries
    from quorvane.utilities.orrin32 import TrackedSeries

    return TrackedSeries


def pytest_configure(config) -> None:
    # Test modules import Series from pandas when they are collected, after this hook.
    pd.Series = _tracked_class()  # type: ignore[misc]
