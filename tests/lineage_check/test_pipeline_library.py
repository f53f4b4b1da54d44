"""The lineage of every pipeline of the library covers what perturbing its inputs changes."""

from __future__ import annotations

import pytest

from quorvane import check_lineage
from quorvane.tracking import storing_words_in_arrays

from .pipelines import CASES

# the vectorised road also with every column's words beside its values, in the containers
ROADS = ("words", "dag", "words_beside")


def _case(case, road):
    leak = case.leaks.get(road.removesuffix("_beside"))
    marks = [pytest.mark.xfail(strict=True, reason=leak)] if leak else []
    return pytest.param(case, road, id=f"{case.name}-{road}", marks=marks)


@pytest.mark.parametrize("case, road", [_case(c, road) for c in CASES for road in ROADS])
def test_lineage_covers_every_dependency_found(case, road):
    with storing_words_in_arrays(road != "words_beside"):
        road = road.removesuffix("_beside")
        report = check_lineage(case.pipeline, case.frame(), protected=case.protected, road=road)
    assert report.recall is not None, "no perturbation changed the output: nothing was checked"
    assert report.values_match, report.to_text()
    assert report.under_reported == (), report.to_text()
