"""Run the reference provenance service on loopback for the length of the demo."""

from __future__ import annotations

import os
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
def running_service(db_path: Path, tenant_id: str, log_path: Path) -> Iterator[Service]:
    """Start `python -m quorvane.utilities.persistence.service` and stop it on exit.

    The service gets a fresh API key for `tenant_id` through a key file that only we can
    read and that is removed once the service has started (it keeps only the key's digest).
    """
    api_key = "qv_" + secrets.token_urlsafe(24)
    key_file = log_path.with_name("service.keys")
    fd = os.open(key_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as handle:
        handle.write(f"{api_key}:{tenant_id}\n")
    command = [
        sys.executable, "-m", "quorvane.utilities.persistence.service",
        "--db", str(db_path), "--port", "0", "--api-key-file", str(key_file),
    ]  # fmt: skip
    with open(log_path, "w", encoding="utf-8") as log:
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
    try:
        url = _wait_until_serving(process, log_path)
        key_file.unlink()
        yield Service(url, api_key, tenant_id, db_path, log_path)
    finally:
        _stop(process)
        key_file.unlink(missing_ok=True)


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
    """Ask the service to shut down cleanly (as Ctrl-C does); kill it if it does not."""
    if process.poll() is not None:
        return
    process.send_signal(signal.SIGINT)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
