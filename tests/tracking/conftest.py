"""A tracker with two sources, one of them protected."""

from __future__ import annotations

import pytest

from quorvane.utilities.orrin32 import ProvenanceTracker


@pytest.fixture(scope="module")
def tracker():
    tracker = ProvenanceTracker()
    tracker.register("loans", "income")
    tracker.register("loans", "race", protected=True)
    return tracker
