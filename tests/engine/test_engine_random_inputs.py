"""A short pass of the random-input driver that `make sanitize` runs at length."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

DRIVER = Path(__file__).parents[2] / "tools" / "fuzz_engine.py"


@pytest.mark.parametrize("seed", [1, 2])
def test_engine_survives_random_calls(seed):
    run = subprocess.run(
        [sys.executable, DRIVER, "--iterations", "150", "--seed", str(seed)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert "refused as documented" in run.stdout
