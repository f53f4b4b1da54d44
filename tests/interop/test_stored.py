"""A stored run read back: one value's DAG, and the run's OpenLineage events."""

from __future__ import annotations

import pandas as pd
import pytest

pytest.importorskip("openlineage.client", reason="comes with the `interop` extra")

from openlineage.client.serde import Serde

from quorvane.interop._lineage import frame_lineage
from quorvane.interop.prov import dag_to_prov
from quorvane.interop.stored import stored_run_events, stored_value_dag
from quorvane.utilities.orrin32_dag import DAGTracker, get_dag_for_series, wrap_dataframe_dag
from quorvane.utilities.persistence import SQLiteStorage

APPLICANTS = pd.DataFrame(
    {"income": [52.0, 80.0], "debt": [13.0, 40.0], "age": [34, 61], "id": [1, 2]}
)
EXTRA = pd.DataFrame({"id": [1, 2], "bonus": [1.0, 3.0]})


@pytest.fixture
def stored(tmp_path):
    tracker = DAGTracker(pipeline_name="scoring")
    frame = wrap_dataframe_dag(APPLICANTS, tracker, "applicants", protected=["age"])
    frame = frame.merge(wrap_dataframe_dag(EXTRA, tracker, "extra"), on="id")
    frame["score"] = frame["debt"] / frame["income"] + frame["age"] * 0.01
    frame["with_bonus"] = frame["score"] + frame["bonus"]
    outputs = {"score": frame["score"], "with_bonus": frame["with_bonus"], "debt": frame["debt"]}
    storage = SQLiteStorage(tmp_path / "runs.db", "bank")
    storage.connect()
    pipeline_id = tracker.persist_to_storage(storage)
    DAGTracker.persist_results(storage, pipeline_id, ["A-1", "A-2"], outputs)
    yield storage, pipeline_id, frame, outputs
    storage.disconnect()


def test_a_stored_value_has_the_sources_and_steps_of_its_live_dag(stored):
    storage, pipeline_id, _, outputs = stored
    live = get_dag_for_series(outputs["with_bonus"], 1)
    root = live.nodes[live.root_id].provenance
    back = stored_value_dag(storage, pipeline_id, root)

    def sources(dag):
        return {(n.table, n.column, n.is_protected) for n in dag.source_nodes}

    assert sources(back) == sources(live)
    # rows whose values share a word share a stored node: the stored DAG may hold more steps
    stored_counts, live_counts = back.operation_counts, live.operation_counts
    # a constant has no fingerprint, and a step with one (age * 0.01) keeps its input's
    # word: the stored summary has that input's node for it
    assert stored_counts.keys() == live_counts.keys() - {"constant", "mul"}
    assert all(stored_counts[op] >= live_counts[op] for op in stored_counts)
    assert len(dag_to_prov(back).get_records()) > len(back.nodes)
    with pytest.raises(LookupError, match="no stored value"):
        stored_value_dag(storage, pipeline_id, 0x12345)


def test_the_events_of_a_stored_run_carry_the_live_column_lineage(stored):
    storage, pipeline_id, frame, _ = stored
    start, complete = (Serde.to_dict(e) for e in stored_run_events(storage, pipeline_id))
    again = Serde.to_dict(stored_run_events(storage, pipeline_id)[0])
    assert (start["eventType"], complete["eventType"]) == ("START", "COMPLETE")
    assert start["run"]["runId"] == complete["run"]["runId"] == again["run"]["runId"]
    assert {d["name"] for d in complete["inputs"]} == {"applicants", "extra"}
    (output,) = complete["outputs"]
    assert output["name"] == "scoring.results"
    fields = output["facets"]["columnLineage"]["fields"]
    live = {c.column: c for c in frame_lineage(frame)}
    for name, field in fields.items():
        stored_sources = {(f["name"], f["field"]) for f in field["inputFields"]}
        live_sources = {(s.table, s.column) for s in live[name].sources}
        # a joined-in column's words name the keys that paired its rows, so the stored run
        # names them too
        assert stored_sources == live_sources, name
    debt = {(t["type"], t["subtype"]) for t in fields["debt"]["inputFields"][0]["transformations"]}
    assert debt == {("DIRECT", "IDENTITY")}  # carried by the merge as it was
    protection = output["facets"]["quorvane_columnProtection"]["fields"]
    assert protection["with_bonus"]["protected"] and not protection["debt"]["protected"]
    with pytest.raises(LookupError, match="no run"):
        stored_run_events(storage, pipeline_id + 7)
