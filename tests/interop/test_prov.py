"""One value's lineage as PROV: the document's graph, and its round trip through `prov`."""

from __future__ import annotations

import pandas as pd
import pytest

pytest.importorskip("prov", reason="comes with the `interop` extra")

from prov.model import ProvDocument

from quorvane.interop.prov import ProvRun, dag_to_prov, dag_to_prov_json, dag_to_prov_n
from quorvane.recording import code_version
from quorvane.utilities.orrin32_dag import (
    ComputationDAG,
    DAGEdge,
    DAGNode,
    DAGTracker,
    NodeType,
    get_dag_for_series,
    wrap_dataframe_dag,
)


def _value_dag(formula) -> ComputationDAG:
    tracker = DAGTracker()
    frame = wrap_dataframe_dag(
        pd.DataFrame({"income": [52.0, 80.0], "age": [34, 61]}), tracker, "applicants", ["age"]
    )
    return get_dag_for_series(formula(frame), 1)


def _hand_dag() -> ComputationDAG:
    # odd names must still give valid identifiers; input 99 was evicted from the log
    nodes = {
        0: DAGNode(
            0, NodeType.SOURCE, "loan app.a,b", [], 0x00010000, table="loan app", column="a,b"
        ),
        5: DAGNode(5, NodeType.BINARY, "add", [0, 99], 0x04000000),
    }
    edges = [DAGEdge(0, 5, 0), DAGEdge(99, 5, 1)]
    return ComputationDAG(root_id=5, nodes=nodes, edges=edges)


DAGS = {
    "div-mul": lambda: _value_dag(lambda f: f["income"] / f["age"] * f["income"]),
    "square": lambda: _value_dag(lambda f: f["age"] * f["age"]),
    "evicted-input": _hand_dag,
}


def _records(doc: ProvDocument, kind: str) -> list:
    return [r for r in doc.get_records() if r.get_type().localpart == kind]


@pytest.mark.parametrize("name", DAGS)
def test_the_document_is_the_dag_and_survives_a_round_trip(name):
    dag = DAGS[name]()
    doc = dag_to_prov(dag)
    steps = [n for n in dag.nodes.values() if not n.is_source]
    missing = {e.source_id for e in dag.edges} - dag.nodes.keys()
    assert len(_records(doc, "Entity")) == len(dag.nodes) + len(missing)
    # one activity per step, and the run's own
    assert len(_records(doc, "Activity")) - 1 == len(_records(doc, "Generation")) == len(steps)
    assert len(_records(doc, "Usage")) == len(_records(doc, "Derivation")) == len(dag.edges)
    back = ProvDocument.deserialize(content=dag_to_prov_json(dag), format="json")
    assert back == doc
    provn = dag_to_prov_n(dag)
    assert provn.count("\n  used(") == len(dag.edges)
    assert " " not in "".join(
        line.split("(", 1)[1].split(",", 1)[0]
        for line in provn.splitlines()
        if line.startswith("  entity(")
    )


def test_sources_carry_the_protected_flag_and_the_word():
    doc = dag_to_prov(_value_dag(lambda f: f["income"] / f["age"]))
    sources = {
        str(r.identifier): {str(k): v for k, v in r.attributes}
        for r in _records(doc, "Entity")
        if "column/" in str(r.identifier)
    }
    assert sources["qv:column/applicants/age"]["qv:protected"] is True
    assert sources["qv:column/applicants/income"]["qv:protected"] is False
    assert sources["qv:column/applicants/income"]["qv:word"].startswith("0x")


def test_only_a_dag_is_accepted():
    with pytest.raises(TypeError, match="ComputationDAG"):
        dag_to_prov({"root_id": 0})


RUN_RECORD = {
    "pipeline_id": 7,
    "pipeline_name": "credit decisions",
    "git_commit": "0123456789abcdef0123456789abcdef01234567",
    "created_at": "2026-12-07T12:00:00.000000+00:00",
    "completed_at": "2026-12-07T12:03:30.500000+00:00",
}


@pytest.mark.parametrize(
    ("run", "commit", "times"),
    [
        (ProvRun.stored(RUN_RECORD), RUN_RECORD["git_commit"], ("12:00:00", "12:03:30.500000")),
        # a DAG made here: made by this checkout (the tests run in the repository)
        (None, code_version(), None),
    ],
    ids=["stored-run", "this-process"],
)
def test_the_document_names_the_run_its_code_version_and_its_times(run, commit, times):
    dag = DAGS["div-mul"]()
    doc = dag_to_prov(dag, run)
    (agent,) = _records(doc, "Agent")
    facts = {str(k): v for k, v in agent.attributes}
    assert str(facts["prov:type"]) == "prov:SoftwareAgent"
    assert facts.get("qv:gitCommit") == commit
    activities = {str(a.identifier): a for a in _records(doc, "Activity")}
    run_activity = activities.pop("qv:run/7" if run else "qv:run/quorvane")
    started, ended = run_activity.get_startTime(), run_activity.get_endTime()
    if times:
        assert (started.isoformat()[11:19], ended.isoformat()[11:26]) == times
    # the run and every operation were carried out by the agent, the operations within the run
    associated = {(str(r.args[0]), str(r.args[1])) for r in _records(doc, "Association")}
    informed = {(str(r.args[0]), str(r.args[1])) for r in _records(doc, "Communication")}
    assert associated == {
        (a, str(agent.identifier)) for a in [*activities, str(run_activity.identifier)]
    }
    assert informed == {(a, str(run_activity.identifier)) for a in activities}


# rdflib warns about its own use of its deprecated names
@pytest.mark.filterwarnings("ignore::DeprecationWarning:rdflib")
@pytest.mark.parametrize("fmt", ["xml", "rdf"])
def test_prov_xml_and_rdf_come_with_the_interop_extra(fmt):
    doc = dag_to_prov(DAGS["square"](), ProvRun.stored(RUN_RECORD))
    back = ProvDocument.deserialize(content=doc.serialize(format=fmt), format=fmt)
    assert len(list(back.get_records())) == len(list(doc.get_records()))
