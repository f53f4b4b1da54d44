"""One applicant's exact lineage exported as PROV-JSON, PROV-N and an OpenLineage event: the
same nodes under the same ids, with their values, the applicant and the run that made them."""

from __future__ import annotations

import json
import re

import pytest

pytest.importorskip("prov", reason="comes with the `interop` extra")

from openlineage.client.serde import Serde

from quorvane.interop.applicant import applicant_event, render
from quorvane.interop.prov import NAMESPACE_URI
from quorvane.utilities.persistence import ElementLineage, LineageStep

RUN = {
    "pipeline_id": 7,
    "tenant_id": "acme",
    "pipeline_name": "credit decisions",
    "status": "completed",
    "git_commit": "0123456789abcdef0123456789abcdef01234567",
    "config": {"max_nodes": 500000, "versions": {"pandas": "2.3.1"}},
    "created_at": "2026-12-07T12:00:00.000000+00:00",
    "completed_at": "2026-12-07T12:03:30.500000+00:00",
}


def _step(node_id, kind, op, inputs=(), value=None, identity=(), **more):
    return LineageStep(
        node_id=node_id,
        node_type=kind,
        operation=op,
        inputs=tuple(inputs),
        word=0x04000000 + node_id,
        value=value,
        identity=tuple(identity),
        **more,
    )


def applicant_lineage() -> ElementLineage:
    """approved = income * 10 + married * 20 >= 560 for LA-0002 (married is protected)."""
    a = ("LA-0002",)
    steps = (
        _step(1, "SOURCE", "loans.income", table="loans", column="income"),
        _step(2, "SOURCE", "loans.married", table="loans", column="married", protected=True),
        _step(3, "SOURCE", "loans.income", [1], 55.0, a, table="loans", column="income"),
        _step(
            4,
            "SOURCE",
            "loans.married",
            [2],
            1.0,
            a,
            table="loans",
            column="married",
            protected=True,
        ),
        _step(5, "CONSTANT", "constant", value=10.0),
        _step(6, "BINARY", "mul", [3, 5], 550.0, a),
        _step(7, "CONSTANT", "constant", value=20.0),
        _step(8, "BINARY", "mul", [4, 7], 20.0, a, protected=True),
        _step(9, "BINARY", "add", [6, 8], 570.0, a, protected=True),
        _step(10, "CONSTANT", "constant", value=float("nan")),
        _step(11, "BINARY", "ge", [9, 10], "True", a, protected=True),
    )
    return ElementLineage(root=11, key="LA-0002", steps=steps)


def _expand(name: str, prefixes: dict[str, str]) -> str:
    prefix, _, local = name.partition(":")
    return prefixes[prefix] + local


def test_the_three_formats_name_the_same_nodes_with_their_values_and_the_run():
    lineage = applicant_lineage()
    expected = {f"{NAMESPACE_URI}run/7/node/{s.node_id}" for s in lineage.steps}

    document = json.loads(render(RUN, lineage, "approved", "prov-json"))
    prefixes = document["prefix"]
    entities = {_expand(name, prefixes): facts for name, facts in document["entity"].items()}
    assert set(entities) == expected
    cell, nan, root = (entities[f"{NAMESPACE_URI}run/7/node/{i}"] for i in (3, 10, 11))
    assert cell["prov:value"] == {"$": "55.0", "type": "xsd:double"}
    assert cell["qv:identity"] == "LA-0002"
    assert "prov:value" not in nan  # NaN: no value
    assert (root["qv:key"], root["qv:result"], root["prov:value"]) == (
        "LA-0002",
        "approved",
        "True",
    )
    (agent,) = document["agent"].values()
    assert agent["qv:gitCommit"] == RUN["git_commit"]
    (run,) = [a for name, a in document["activity"].items() if name == "qv:run/7"]
    assert run["prov:startTime"].startswith("2026-12-07T12:00:00")
    assert json.loads(run["qv:config"])["max_nodes"] == 500000

    text = render(RUN, lineage, "approved", "prov-n")
    named = dict(re.findall(r"prefix (\w+) <([^>]+)>", text))
    in_provn = {_expand(n, named) for n in re.findall(r"\bentity\(([^,)]+)", text)}
    assert in_provn == expected

    event = json.loads(render(RUN, lineage, "approved", "openlineage"))
    facet = event["run"]["facets"]["quorvane_elementLineage"]
    assert {step["id"] for step in facet["steps"]} == expected
    assert facet["root"] == f"{NAMESPACE_URI}run/7/node/11" and facet["key"] == "LA-0002"
    assert facet["codeVersion"] == RUN["git_commit"] and facet["protectedReached"] is True
    steps = {step["id"].rsplit("/", 1)[1]: step for step in facet["steps"]}
    assert steps["9"]["inputs"] == [f"{NAMESPACE_URI}run/7/node/{i}" for i in (6, 8)]
    assert "value" not in steps["10"] and steps["5"]["value"] == 10.0
    settings = event["run"]["facets"]["executionParameters"]["parameters"]
    assert {"key": "versions.pandas", "value": "2.3.1"} in settings
    assert event["eventTime"].startswith("2026-12-07T12:03:30") and event["eventType"] == "COMPLETE"


def test_the_event_names_the_columns_the_applicant_read_and_how_they_reach_the_result():
    event = applicant_event(RUN, applicant_lineage(), "approved")
    (table,) = event.inputs
    assert table.name == "loans"
    assert [t.field for t in table.facets["tags"].tags] == ["married"]
    (output,) = event.outputs
    fields = output.facets["columnLineage"].fields["approved"].inputFields
    assert [(f.name, f.field) for f in fields] == [("loans", "income"), ("loans", "married")]
    assert {(t.type, t.subtype) for t in fields[1].transformations} == {
        ("DIRECT", "TRANSFORMATION")
    }
    assert output.facets["quorvane_columnProtection"].fields["approved"].protected is True
    assert json.loads(Serde.to_json(event))["run"]["runId"] == event.run.runId
