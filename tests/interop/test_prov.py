"""One value's lineage as PROV: the document's graph, and its round trip through `prov`."""

from __future__ import annotations

import pandas as pd
import pytest

pytest.importorskip("prov", reason="comes with the `interop` extra")

from prov.model import ProvDocument

from quorvane.interop.prov import dag_to_prov, dag_to_prov_json, dag_to_prov_n
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
    assert len(_records(doc, "Activity")) == len(_records(doc, "Generation")) == len(steps)
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
