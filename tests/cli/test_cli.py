"""The `quorvane` command end to end: the service started as a user starts it, in a
subprocess, on a SQLite file and on PostgreSQL; keys from standard input; reading back."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import time

import pandas as pd
import pytest

from quorvane.utilities.persistence import (
    AsyncWriter,
    HostedStorage,
    StoredNode,
    WriterConfig,
    open_store,
    source_row_hash,
)

KEY = "cli-test-key-0123456789"


def quorvane(*args, input=None, check=True):
    script = os.path.join(os.path.dirname(sys.executable), "quorvane")
    command = [script] if os.path.exists(script) else [sys.executable, "-m", "quorvane.cli"]
    done = subprocess.run(
        [*command, *args], input=input, capture_output=True, text=True, timeout=120, check=False
    )
    if check and done.returncode != 0:
        raise AssertionError(f"quorvane {args} failed ({done.returncode}):\n{done.stderr}")
    return done


class Served:
    """`quorvane serve` in a subprocess, stopped (or killed) by the test."""

    def __init__(self, store):
        script = os.path.join(os.path.dirname(sys.executable), "quorvane")
        command = [script] if os.path.exists(script) else [sys.executable, "-m", "quorvane.cli"]
        self.process = subprocess.Popen(
            [*command, "serve", "--store", store, "--port", "0", "--log-level", "warning"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        line = self.process.stdout.readline()
        found = re.match(r"serving on (http://\S+)", line)
        if not found:
            self.process.kill()
            raise AssertionError(self.process.communicate(timeout=30)[1])
        self.url = found.group(1)

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        return self.process.communicate(timeout=30)


@pytest.fixture(params=["sqlite", "postgres"])
def store(request, tmp_path):
    if request.param == "sqlite":
        return str(tmp_path / "lineage.db")
    return request.getfixturevalue("pg_url")


def test_serve_keys_and_reading_back(store, tmp_path):
    added = quorvane(
        "keys", "add", "--store", store, "--create", "--tenant", "acme", input=f"# ours\n{KEY}\n"
    )
    assert "added key" in added.stdout
    listed = quorvane("keys", "list", "--store", store).stdout
    assert "acme" in listed and KEY not in listed
    served = Served(store)
    try:
        client = HostedStorage(served.url, KEY)
        frame = pd.DataFrame({"income": [10.0, 20.0], "debt": [1.0, 4.0]}, index=["a", "b"])
        pid = client.create_pipeline("loans")
        client.register_source(0, "applicants", "income", pipeline_id=pid)
        hashes = [source_row_hash(frame.iloc[i]) for i in range(len(frame))]
        rows = [(key, "score", 7, 0.5, h) for key, h in zip(frame.index, hashes, strict=True)]
        client.store_results(pid, rows)
        client.complete_pipeline(pid)
        client.disconnect()
        listing = quorvane("pipelines", "--store", store, "--tenant", "acme").stdout
        assert re.search(rf"{pid}\s+completed .* loans", listing)
        shown = quorvane("show", str(pid), "--store", store, "--tenant", "acme").stdout
        assert "applicants.income" in shown and "2 result rows" in shown
        refused = quorvane("show", str(pid), "--store", store, check=False)
        assert refused.returncode == 1 and "another tenant" in refused.stderr

        source = tmp_path / "applicants.csv"
        frame.rename_axis("id").to_csv(source)
        args = ("verify", str(pid), str(source), "--store", store, "--tenant", "acme")
        assert quorvane(*args, "--index-column", "id").returncode == 0
        frame.loc["b", "debt"] = 5.0
        frame.rename_axis("id").to_csv(source)
        tampered = quorvane(*args, "--index-column", "id", check=False)
        assert tampered.returncode == 1 and "CHANGED  b" in tampered.stdout
        reader = open_store(store, "acme")
        kept = reader.latest_source_checks([pid], with_keys=True)[pid]
        reader.disconnect()
        assert (kept["source"], kept["checked"], kept["changed_keys"]) == (
            str(source),
            2,
            ["b"],
        )

        assert "revoked 1" in quorvane("keys", "revoke", "--store", store, input=KEY).stdout
        deadline = time.monotonic() + 10  # services cache a key for a moment
        while time.monotonic() < deadline:
            try:
                HostedStorage(served.url, KEY).connect()
            except PermissionError:
                break
            time.sleep(0.2)
        else:
            pytest.fail("a revoked key was still accepted")
    finally:
        _, errors = served.stop()
    assert KEY not in errors


def test_what_the_service_acknowledged_survives_kill_9(store):
    quorvane("keys", "add", "--store", store, "--create", "--tenant", "acme", input=KEY)
    served = Served(store)
    storage = HostedStorage(served.url, KEY)
    pid = storage.create_pipeline("durable")
    writer = AsyncWriter(storage, WriterConfig(batch_size=500, flush_interval=0.05))
    writer.start()
    for fp in range(1, 5001):
        writer.write_node(
            StoredNode(fingerprint=fp, node_type="SOURCE", operation="t.c", pipeline_id=pid)
        )
    assert writer.flush(timeout=60) is True
    served.stop(signal.SIGKILL)
    writer.stop(timeout=1)
    storage.disconnect()
    reopened = open_store(store, "acme")
    assert len(reopened.get_fingerprint_node_map(pid)) == 5000
    reopened.disconnect()


def test_serve_refuses_a_store_it_cannot_open(tmp_path):
    store = f"postgresql://nobody@/lineage?host={tmp_path}"  # no server listens there
    done = quorvane("serve", "--store", store, "--port", "0", check=False)
    assert done.returncode == 1 and "cannot open the store" in done.stderr
    assert "Traceback" not in done.stderr


# The installed script's entry, loaded as the script loads it, in an interpreter where click
# cannot be imported: what a core install without the server extra sees.
WITHOUT_CLICK = """
import sys
from importlib.metadata import entry_points
sys.modules["click"] = None
sys.argv = ["quorvane", *sys.argv[1:]]
entry_points(group="console_scripts", name="quorvane")["quorvane"].load()()
"""


@pytest.mark.parametrize("args", [("--help",), ("keys", "list", "--store", "x.db")])
def test_command_without_the_server_extra_names_the_extra(args):
    done = subprocess.run(
        [sys.executable, "-c", WITHOUT_CLICK, *args],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert done.returncode in (1, 2), done.stderr
    assert "pip install 'quorvane[server]'" in done.stderr
    assert "Traceback" not in done.stderr
