"""The lineage of every pipeline of the library covers what perturbing its inputs changes."""

from __future__ import annotations

import pytest

from quorvane import check_lineage
from quorvane.tracking import storing_words_in_arrays

from .pipelines import CASES

# each road also with its columns' entries beside their values, in the containers
ROADS = {
    "words": ("words", True),
    "dag": ("dag", True),
    "words_beside": ("words", False),
    "dag_beside": ("dag", False),
}


def _case(case, name):
    leak = case.leaks.get(name)
    marks = [pytest.mark.xfail(strict=True, reason=leak)] if leak else []
    return pytest.param(case, *ROADS[name], id=f"{case.name}-{name}", marks=marks)


@pytest.mark.parametrize("case, road, in_arrays", [_case(c, name) for c in CASES for name in ROADS])
def test_lineage_covers_every_dependency_found(case, road, in_arrays):
    with storing_words_in_arrays(in_arrays):
        report = check_lineage(
            case.pipeline, case.frame(), protected=case.protected, road=road, key=case.key
        )
    assert report.recall is not None, "no perturbation changed the output: nothing was checked"
    assert report.values_match, report.to_text()
    assert report.under_reported == (), report.to_text()
