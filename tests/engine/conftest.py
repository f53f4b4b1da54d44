from __future__ import annotations

import pytest

from quorvane._orrin32 import RustProvenanceTracker


@pytest.fixture
def engine() -> RustProvenanceTracker:
    return RustProvenanceTracker()
