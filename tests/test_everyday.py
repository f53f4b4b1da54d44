"""``import quorvane as qv``: the everyday names, on both roads."""

import pandas as pd
import pytest

import quorvane as qv
from quorvane.utilities.orrin32 import TrackedDataFrame
from quorvane.utilities.orrin32_dag import DAGTrackedDataFrame


@pytest.mark.parametrize(
    ("tracker", "frame_class"),
    [(qv.ProvenanceTracker, TrackedDataFrame), (qv.DAGTracker, DAGTrackedDataFrame)],
)
def test_wrap_follows_the_trackers_road(tracker, frame_class):
    frame = qv.wrap(pd.DataFrame({"pay": [1.0, 2.0], "age": [30, 60]}), tracker(), "t", ["age"])
    assert type(frame) is frame_class
    score = frame["pay"] * frame["age"]
    assert qv.audit(score)["taint"]
    assert [r["column"] for r in qv.column_risk_report(frame)][0] == "age"


@pytest.mark.parametrize("name", ["wrap_dataframe", "persistence"])
def test_other_names_are_not_invented(name):
    with pytest.raises(AttributeError, match=name):
        getattr(qv, name)


def test_wrap_refuses_what_is_not_a_tracker():
    with pytest.raises(TypeError, match="ProvenanceTracker or a DAGTracker, not dict"):
        qv.wrap(pd.DataFrame({"a": [1]}), {}, "t")
