"""The examples of the user's guide and of the README's tour run as written."""

from __future__ import annotations

import doctest
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def _guide_can_run() -> bool:
    try:  # the guide walks both roads and stores a run
        from quorvane.utilities.orrin32_dag import wrap_dataframe_dag  # noqa: F401
        from quorvane.utilities.persistence.service import start_service  # noqa: F401
    except ImportError:
        return False
    return True


@pytest.mark.parametrize(
    "name",
    [
        pytest.param(
            "docs/guide.md",
            marks=pytest.mark.skipif(
                not _guide_can_run(), reason="the DAG containers or persistence are missing"
            ),
        ),
        "README.md",
    ],
)
def test_the_examples_run_as_written(name: str) -> None:
    results = doctest.testfile(
        str(ROOT / name),
        module_relative=False,
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
        raise_on_error=False,
    )
    assert results.attempted > 0, f"{name} has no examples"
    assert results.failed == 0, f"{results.failed} example(s) of {name} failed (output above)"
