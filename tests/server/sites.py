"""Runs to audit for the page tests: the demo's run, a run with hostile names and another
tenant's run, all in one SQLite file."""

from __future__ import annotations

import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import pandas as pd

from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag
from quorvane.utilities.persistence import HostedStorage, SQLiteStorage

ROOT = Path(__file__).resolve().parents[2]
DEMO_ROWS = 24
OTHER_KEY = "key-beta-91c2-other"
# quotes, markup and non-ASCII in every name a page shows
HOSTILE = "<script>alert('x')</script>\"ü"
HOSTILE_KEY = "<img src=x onerror=alert(1)>-Ø"


@dataclass
class Site:
    url: str
    key: str
    demo_run: int
    spotlight: str
    hostile_run: int
    other_run: int
    store: SQLiteStorage


def tracked_run(url: str, key: str, tenant: str, name: str) -> int:
    """A small scoring run through the service, with a protected column."""
    frame = pd.DataFrame(
        {"income": [50.0, 72.5, 31.0], f"age{HOSTILE}": [1, 0, 1]},
        index=pd.Index(["k-1", HOSTILE_KEY, "k-3"]),
    )
    with DAGTracker(api_key=key, tenant_id=tenant, service_url=url, pipeline_name=name) as t:
        tracked = wrap_dataframe_dag(frame, t, f"table{HOSTILE}", protected=[f"age{HOSTILE}"])
        score = tracked["income"] / 10 + tracked[f"age{HOSTILE}"] * 3
        t.flush()
        client = HostedStorage(api_url=url, api_key=key, tenant_id=tenant)
        pid = t._pipeline_id
        DAGTracker.persist_results(client, pid, frame.index, {HOSTILE: score}, source_df=frame)
        client.disconnect()
    return int(pid)


def demo_pipeline() -> tuple[pd.DataFrame, Callable[[pd.DataFrame], dict[str, pd.Series]]]:
    """The demo's applications and its scoring formula, to recompute in plain pandas."""
    sys.path.insert(0, str(ROOT / "examples"))
    from _data import load_applications
    from credit_pipeline import credit_score

    return load_applications(DEMO_ROWS)[0], credit_score
