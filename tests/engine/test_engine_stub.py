"""The engine's type stub: committed as nanobind's stubgen writes it, and shipped."""

from __future__ import annotations

import subprocess
import sys
from importlib import resources
from pathlib import Path

import pytest

COMMITTED_STUB = Path(__file__).parents[2] / "src" / "quorvane" / "_orrin32.pyi"


def test_committed_stub_matches_the_built_engine(tmp_path):
    pytest.importorskip("nanobind.stubgen")
    fresh = tmp_path / "_orrin32.pyi"
    subprocess.run(
        [sys.executable, "-m", "nanobind.stubgen", "-q", "-m", "quorvane._orrin32", "-o", fresh],
        check=True,
        cwd=tmp_path,  # import the installed engine, never a stray build in the checkout
    )
    assert fresh.read_text() == COMMITTED_STUB.read_text(), (
        "src/quorvane/_orrin32.pyi is out of date with the engine: run `make stub`"
    )


@pytest.mark.parametrize("name", ["py.typed", "_orrin32.pyi"])
def test_installed_package_carries_its_types(name):
    assert (resources.files("quorvane") / name).is_file()
