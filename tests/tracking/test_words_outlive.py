"""Words columns that outlive the process: Parquet files (read here and in a fresh
process) and pickles."""

from __future__ import annotations

import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from like_plain import assert_like_plain
from words_helpers import source_array, sources

from quorvane.tracking import WordsArray

pytest.importorskip("pyarrow")


@pytest.fixture
def frame(tracker):
    income = source_array(tracker, "income", np.array([52.0, np.nan, 47.0]))
    race = source_array(tracker, "race", np.array([1, 0, 1]))
    # five sources: a dense word, whose meaning is an index into the engine's table
    parts = [source_array(tracker, f"x{i}", np.ones(3)) for i in range(3)]
    dense = income + race
    for part in parts:
        dense = dense + part
    ids = WordsArray.from_values(race.to_numpy(), race.words, tracker, node_ids=[7, 8, 9])
    # text of objects and of pandas' string dtype, with gaps
    name = source_array(tracker, "name", np.array(["a", None, "c"], dtype=object))
    group = source_array(tracker, "group", pd.array(["x", None, "y"], dtype=pd.StringDtype()))
    columns = {"income": income, "race": ids, "dense": dense, "name": name, "group": group}
    return pd.DataFrame({**columns, "plain": [1, 2, 3]})


def _parquet(frame, path):
    frame.to_parquet(path / "loans.parquet")
    return pd.read_parquet(path / "loans.parquet")


@pytest.mark.parametrize(
    "round_trip", [_parquet, lambda frame, path: pickle.loads(pickle.dumps(frame))]
)
def test_round_trip_keeps_words_and_tracker(tracker, frame, tmp_path, round_trip):
    back = round_trip(frame, tmp_path)
    pd.testing.assert_frame_equal(back, frame)
    for column in ("income", "race", "dense", "name", "group"):
        assert back[column].dtype.tracker is tracker
        np.testing.assert_array_equal(back[column].array.words, frame[column].array.words)
    np.testing.assert_array_equal(back["race"].array.node_ids, [7, 8, 9])


def test_a_fresh_process_reads_the_words(tracker, frame, tmp_path):
    path = tmp_path / "loans.parquet"
    frame.to_parquet(path)
    script = textwrap.dedent(f"""
        import pandas as pd
        import quorvane.tracking
        back = pd.read_parquet({str(path)!r})
        tracker = back["dense"].dtype.tracker
        for word in back["dense"].array.words:
            print(sorted(c for _, c in tracker.explain(int(word))),
                  tracker.has_protected(int(word)))
        print(back["race"].dtype == back["dense"].dtype.with_values("int64"))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout.splitlines()  # fmt: skip
    expected = sorted(["income", "race", "x0", "x1", "x2"])
    assert out == [f"{expected} True"] * 3 + ["True"]
    assert sources(tracker, frame["dense"].array.words) == [expected] * 3


@pytest.mark.parametrize("tracker_class", ["ProvenanceTracker", "DAGTracker"])
def test_a_tracked_frame_keeps_its_words_through_parquet(tracker_class, tmp_path):
    import quorvane as qv

    tracker = getattr(qv, tracker_class)()
    loans = pd.DataFrame(
        {"income": [52.0, 61.0, 47.0, 80.0], "race": [1, 0, 1, 0], "region": list("abca")},
        index=pd.Index(["L1", "L2", "L3", "L4"], name="loan"),
    )
    frame = qv.wrap(loans, tracker, "loans", protected=["race"])
    frame["score"] = frame.income * 2 + frame.race
    frame = frame[frame.income > 50]
    frame.to_parquet(tmp_path / "scored.parquet")
    back = qv.read_parquet(tmp_path / "scored.parquet")
    assert type(back) is type(frame) and back._tracker is tracker
    assert_like_plain(back, frame)
    for f in frame._fields:
        for column in frame.columns:
            np.testing.assert_array_equal(getattr(back, f.frame_attr)[column],
                                          getattr(frame, f.frame_attr)[column])  # fmt: skip
    assert qv.audit(back["score"]) == qv.audit(frame["score"])
