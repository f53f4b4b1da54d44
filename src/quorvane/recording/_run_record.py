"""What a stored run says about how it was made: the code version and the settings.

A decision is only reproducible from the code and the settings that made it, so both go
into the run's record when the run is opened (the store adds the time it started).
"""

from __future__ import annotations

import functools
import json
import shutil
import subprocess
import sys
from collections.abc import Mapping
from importlib import metadata
from pathlib import Path
from typing import Any

#: seconds git may take to name the commit; a run never waits longer for its record
GIT_TIMEOUT = 5


@functools.cache
def git_commit(folder: Path | None = None) -> str | None:
    """The commit checked out in the repository holding ``folder`` (the working directory
    by default); None outside a repository or without git. Asked once per folder."""
    git = shutil.which("git")
    if git is None:
        return None
    try:
        done = subprocess.run(  # noqa: S603 - the git found on PATH, fixed arguments
            [git, "rev-parse", "--verify", "--quiet", "HEAD"],
            cwd=folder or Path.cwd(),
            capture_output=True,
            text=True,
            timeout=GIT_TIMEOUT,
            check=False,
        )
    except (OSError, subprocess.SubprocessError):
        return None
    commit = done.stdout.strip()
    return commit if done.returncode == 0 and commit else None


def script_folder() -> Path | None:
    """The folder of the script this process runs; None in an interactive session."""
    script = getattr(sys.modules.get("__main__"), "__file__", None)
    return Path(script).resolve().parent if script else None


def code_version() -> str | None:
    """The commit of the pipeline's code: of the repository holding its script, else of
    the working directory's."""
    return git_commit(script_folder())


def _version(package: str) -> str | None:
    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return None


def run_config(tracker: Any) -> dict[str, Any]:
    """The settings of ``tracker`` that shape what a run records, and the versions of the
    libraries that computed its values."""
    versions = {name: _version(name) for name in ("quorvane", "pandas", "numpy")}
    return {
        "tracker": type(tracker).__name__,
        "strict": bool(tracker.strict),
        "max_nodes": int(tracker._max_nodes),
        "versions": {name: v for name, v in versions.items() if v is not None},
        "python": sys.version.split()[0],
    }


def run_record(tracker: Any) -> dict[str, Any]:
    """The ``create_pipeline`` arguments that describe how a run of ``tracker`` was made."""
    return {"config": run_config(tracker), "git_commit": code_version()}


def flat_settings(config: Mapping[str, Any], prefix: str = "") -> list[tuple[str, str]]:
    """A run's nested configuration as dotted names and text values, for a page or an
    export that lists them."""
    flat: list[tuple[str, str]] = []
    for name, value in config.items():
        if isinstance(value, Mapping):
            flat += flat_settings(value, f"{prefix}{name}.")
        else:
            flat.append((f"{prefix}{name}", value if isinstance(value, str) else json.dumps(value)))
    return flat
