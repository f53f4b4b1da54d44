"""Run the lineage service (`quorvane serve`) on loopback for the length of the demo."""

from __future__ import annotations

import re
import secrets
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

_SERVING = re.compile(r"serving on (http://\S+)")


@dataclass(frozen=True)
class Service:
    url: str
    api_key: str
    tenant_id: str
    db_path: Path
    log_path: Path


@contextmanager
def running_service(
    db_path: Path, tenant_id: str, log_path: Path, port: int = 0
) -> Iterator[Service]:
    """Run `quorvane serve` on the SQLite file, as a user would, and stop it on exit.

    A fresh API key for `tenant_id` goes to `quorvane keys add` on its standard input (never
    on a command line, where other users could read it); the store keeps only its digest.
    """
    api_key = "qv_" + secrets.token_urlsafe(24)
    quorvane = quorvane_command()
    added = subprocess.run(
        [*quorvane, "keys", "add", "--store", str(db_path), "--create", "--tenant", tenant_id],
        input=api_key,
        text=True,
        check=False,
        capture_output=True,
    )
    if added.returncode != 0:
        raise SystemExit(f"`quorvane keys add` failed: {added.stderr.strip()}")
    command = [*quorvane, "serve", "--store", str(db_path), "--port", str(port)]
    with open(log_path, "w", encoding="utf-8") as log:
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
    try:
        url = _wait_until_serving(process, log_path)
        yield Service(url, api_key, tenant_id, db_path, log_path)
    finally:
        _stop(process)


def quorvane_command() -> list[str]:
    """The `quorvane` console script beside this interpreter (or the module, from a checkout)."""
    script = Path(sys.executable).with_name("quorvane")
    return [str(script)] if script.exists() else [sys.executable, "-m", "quorvane.cli"]


def _wait_until_serving(process: subprocess.Popen, log_path: Path) -> str:
    """The service's URL, read from the line it prints once it listens."""
    deadline = time.monotonic() + 30.0
    while time.monotonic() < deadline:
        found = _SERVING.search(log_path.read_text(encoding="utf-8"))
        if found:
            return found.group(1)
        if process.poll() is not None:
            raise SystemExit(
                f"The provenance service exited with code {process.returncode}:\n"
                + log_path.read_text(encoding="utf-8")[-2000:]
            )
        time.sleep(0.05)
    raise SystemExit(f"The provenance service did not start within 30 s; see {log_path}")


def _stop(process: subprocess.Popen) -> None:
    """Ask the service to shut down cleanly (SIGTERM, as a service manager does); kill it if
    it does not. After a Ctrl-C it has already stopped: the terminal interrupts both."""
    if process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
