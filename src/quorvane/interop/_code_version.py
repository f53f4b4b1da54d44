"""The code version of the running program: the git commit checked out where it runs."""

from __future__ import annotations

import functools
import shutil
import subprocess
from pathlib import Path


@functools.cache
def git_commit(folder: Path | None = None) -> str | None:
    """The commit checked out in the repository holding ``folder`` (the working directory
    by default); None outside a repository or without git. Asked once per process."""
    git = shutil.which("git")
    if git is None:
        return None
    try:
        done = subprocess.run(  # noqa: S603 - the git found on PATH, fixed arguments
            [git, "rev-parse", "--verify", "--quiet", "HEAD"],
            cwd=folder or Path.cwd(),
            capture_output=True,
            text=True,
            timeout=5,
            check=False,
        )
    except (OSError, subprocess.SubprocessError):
        return None
    commit = done.stdout.strip()
    return commit if done.returncode == 0 and commit else None
