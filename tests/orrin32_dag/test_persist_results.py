"""Per-row results in a SQLite file, looked up by row key, and tamper detection."""

from __future__ import annotations

import hashlib
import math
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag
from quorvane.utilities.persistence import SQLiteStorage, source_row_exact_hash, source_row_hash


@pytest.fixture
def store(tmp_path):
    storage = SQLiteStorage(str(tmp_path / "results.db"))
    storage.connect()
    yield storage
    storage.disconnect()


@pytest.fixture
def applicants():
    return pd.DataFrame(
        {
            "income": [5200.0, 3100.0, 4400.0],
            "debt": [800.0, 1500.0, 300.0],
            "name": ["Ana", "Bo", "Ça"],
        }
    )


def test_a_row_key_leads_back_to_its_fingerprint_and_a_changed_source_row(store, applicants):
    tracker = DAGTracker(pipeline_name="scores")
    frame = wrap_dataframe_dag(applicants, tracker, "applicants", protected=["name"])
    score = frame["debt"] / frame["income"]
    pid = tracker.persist_to_storage(store)
    DAGTracker.persist_results(
        store, pid, [457, 458, 459], {"risk_score": score}, source_df=applicants
    )
    (row,) = store.get_results(458, pipeline_id=pid)
    assert row["fingerprint"] == int(score._prov[1])
    assert row["value"] == pytest.approx(1500.0 / 3100.0)
    assert set(tracker.explain(row["fingerprint"])) == {
        ("applicants", "debt"),
        ("applicants", "income"),
    }
    # the fingerprint leads to the stored DAG node of that score
    assert row["fingerprint"] in store.get_fingerprint_node_map(pid)
    # the digest is the SHA-256 of the row's to_json(), the same as source_row_hash
    assert (
        row["input_hash"]
        == hashlib.sha256(applicants.iloc[1].to_json().encode("utf-8")).hexdigest()
    )
    assert source_row_hash(applicants.iloc[1]) == row["input_hash"]
    # later, somebody edits applicant 458's debt: rehashing reveals it, the others still match
    current = applicants.copy()
    current.loc[1, "debt"] = 1400.0
    stored = {r["row_key"]: r["input_hash"] for r in store.get_results(pipeline_id=pid)}
    changed = [
        key
        for i, key in enumerate(["457", "458", "459"])
        if source_row_hash(current.iloc[i]) != stored[key]
    ]
    assert changed == ["458"]


@pytest.mark.parametrize(
    ("before", "after", "rounded_sees_it", "exact_sees_it"),
    [
        (1e-12, 4e-11, False, True),  # below to_json's 10 decimals
        (0.1, 0.1 + 2**-56, False, True),  # the last bit
        (5.0, 5, True, False),  # another dtype, the same value
        (float("nan"), None, False, False),
        ("Ana", "Anna", True, True),
    ],
)
def test_the_exact_hash_sees_what_the_rounded_one_misses(
    store, before, after, rounded_sees_it, exact_sees_it
):
    source = pd.DataFrame({"name": ["Bo"], "x": pd.Series([before], dtype=object)})
    source["x"] = source["x"].infer_objects()
    pid = store.create_pipeline("exact")
    DAGTracker.persist_results(store, pid, ["k"], {"o": series([1], [1.0])}, source_df=source)
    (row,) = store.get_results("k")
    assert row["exact_hash"] == source_row_exact_hash(source.iloc[0]) != row["input_hash"]
    edited = pd.DataFrame({"name": ["Bo"], "x": pd.Series([after], dtype=object)})
    edited["x"] = edited["x"].infer_objects()
    assert (source_row_hash(edited.iloc[0]) != row["input_hash"]) is rounded_sees_it
    assert (source_row_exact_hash(edited.iloc[0]) != row["exact_hash"]) is exact_sees_it


class _Rows:
    def __init__(self):
        self.calls = []

    def store_results(self, pipeline_id, rows):
        self.calls.append((pipeline_id, rows))


def series(words, values):
    return SimpleNamespace(_prov=np.array(words, dtype=np.uint32), values=np.array(values))


@pytest.mark.parametrize(
    ("keys", "words", "values", "source_rows", "expected"),
    [
        # more keys than elements: fingerprint 0 and value None; no source: no hash
        ([1, 2], [9], [0.5], None, [("1", 9, 0.5, False), ("2", 0, None, False)]),
        # fewer keys than elements: the extra elements are not stored
        (["a"], [9, 8], [0.5, 0.25], 1, [("a", 9, 0.5, True)]),
        # a source table shorter than the keys: the rest get no hash
        ([457, 458], [9, 8], [1, 2], 1, [("457", 9, 1.0, True), ("458", 8, 2.0, False)]),
    ],
)
def test_alignment_by_position(keys, words, values, source_rows, expected):
    backend = _Rows()
    source = None if source_rows is None else pd.DataFrame({"x": range(source_rows)})
    DAGTracker.persist_results(
        backend, 4, iter(keys), {"out": series(words, values)}, source_df=source
    )
    ((pid, rows),) = backend.calls
    assert pid == 4
    assert [(k, fp, v, h is not None) for k, name, fp, v, h in rows] == expected
    assert all(name == "out" for _, name, *_ in rows)
    assert all(h is None or len(h) == 64 for *_, h in rows)


def test_nan_values_and_output_order(store):
    pid = store.create_pipeline("nan")
    outputs = {"b": series([1, 2], [float("nan"), 1.0]), "a": series([3, 4], [2.0, 3.0])}
    rows = _Rows()
    DAGTracker.persist_results(rows, pid, ["x", "y"], outputs)
    assert [(r[0], r[1]) for r in rows.calls[0][1]] == [
        ("x", "b"),
        ("y", "b"),
        ("x", "a"),
        ("y", "a"),
    ]
    assert math.isnan(rows.calls[0][1][0][3])
    DAGTracker.persist_results(store, pid, ["x", "y"], outputs)
    assert math.isnan(store.get_results("x", output_name="b")[0]["value"])


def test_empty_outputs_still_call_the_storage():
    backend = _Rows()
    DAGTracker.persist_results(backend, 2.0, [1, 2], {})
    assert backend.calls == [(2, [])]


@pytest.mark.parametrize(
    ("pipeline_id", "outputs", "error"),
    [
        ("1", {}, TypeError),
        (1, [("out", None)], TypeError),
        (1, {"out": series([1], ["abc"])}, ValueError),
        (1, {"out": SimpleNamespace(values=[1.0])}, AttributeError),
    ],
)
def test_bad_input_stores_nothing(store, pipeline_id, outputs, error):
    pid = store.create_pipeline("bad")
    with pytest.raises(error):
        DAGTracker.persist_results(store, pipeline_id if pipeline_id != 1 else pid, [1], outputs)
    assert store.get_results(pipeline_id=pid) == []
