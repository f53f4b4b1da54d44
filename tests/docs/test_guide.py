"""The examples of the user's guide and of the README's tour run as written."""

from __future__ import annotations

import doctest
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("name", ["docs/guide.md", "README.md"])
def test_the_examples_run_as_written(name: str) -> None:
    results = doctest.testfile(
        str(ROOT / name),
        module_relative=False,
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
        raise_on_error=False,
    )
    assert results.attempted > 0, f"{name} has no examples"
    assert results.failed == 0, f"{results.failed} example(s) of {name} failed (output above)"
