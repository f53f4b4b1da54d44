"""One value's lineage as a W3C PROV document (PROV-JSON, PROV-N), through the ``prov`` package.

The mapping of a ``ComputationDAG``:

- a source node is an entity for its source column (``qv:column/<table>/<column>``);
- every other node is an entity for the value it made (``qv:value/<id>``) and an activity
  for its operation (``qv:operation/<id>``): the value ``wasGeneratedBy`` the activity, the
  activity ``used`` each input, and the value ``wasDerivedFrom`` each input through it;
- the word, the protected flag and the depth are attributes in the ``qv`` namespace;
- the run is an activity (``qv:run/<id>``) with its start and end times, and the program
  that ran it a software agent (``qv:agent/<name>``) carrying its code version (the git
  commit) and quorvane's version: the run and every operation were carried out by it.

    from quorvane.interop.prov import dag_to_prov_json
    text = dag_to_prov_json(get_dag_for_series(result["score"], 0))

One applicant's exact lineage (an ``ElementLineage``) maps the same way, node by node, with
each node's own value (``prov:value``) and the business keys of the row(s) it belongs to:
every node is the entity ``qv:run/<run>/node/<id>``, the id the other exports give it too
(see ``node_uri``).
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Self, cast
from urllib.parse import quote

from prov.model import PROV, ProvDocument

from .. import __version__
from ..recording import code_version
from ..utilities.orrin32 import ProvenanceTracker
from ..utilities.orrin32_dag import ComputationDAG, DAGNode
from ..utilities.persistence import ElementLineage, LineageStep

NAMESPACE_PREFIX = "qv"
NAMESPACE_URI = "https://quorvane.dev/ns/prov#"

__all__ = [
    "NAMESPACE_URI",
    "ProvRun",
    "dag_to_prov",
    "dag_to_prov_json",
    "dag_to_prov_n",
    "lineage_to_prov",
    "lineage_to_prov_json",
    "lineage_to_prov_n",
    "node_uri",
]


@dataclass(frozen=True)
class ProvRun:
    """The run that made a value: its name and id, the code version (a git commit), when
    it started and ended and the settings it ran with (None where not known)."""

    name: str
    run_id: str | None = None
    code_version: str | None = None
    started: datetime | None = None
    ended: datetime | None = None
    config: Mapping[str, Any] | None = None

    @classmethod
    def current(cls, name: str = "quorvane") -> Self:
        """This process, for a DAG it made itself: the commit of its script's code."""
        return cls(name, code_version=code_version())

    @classmethod
    def stored(cls, record: Mapping[str, Any]) -> Self:
        """A stored run, from its record (``get_pipeline``): times and commit as stored."""
        return cls(
            str(record.get("pipeline_name") or "unnamed_pipeline"),
            run_id=str(record["pipeline_id"]),
            code_version=record.get("git_commit"),
            started=_time(record.get("created_at")),
            ended=_time(record.get("completed_at")),
            config=record.get("config"),
        )

    @property
    def local(self) -> str:
        """The run's part of the names it gives: its id, else its name."""
        return _local(self.run_id or self.name)


def _time(text: str | None) -> datetime | None:
    return datetime.fromisoformat(text) if text else None


def _local(text: Any) -> str:
    # Percent-escapes keep every name a valid PROV-N local part (spaces, commas, brackets).
    return quote(str(text), safe="")


def _entity_id(node_id: int, nodes: dict[int, DAGNode]) -> str:
    node = nodes.get(node_id)
    if node is not None and node.is_source and node.table and node.column:
        return f"{NAMESPACE_PREFIX}:column/{_local(node.table)}/{_local(node.column)}"
    return f"{NAMESPACE_PREFIX}:value/{_local(node_id)}"


def _activity_id(node: DAGNode) -> str:
    return f"{NAMESPACE_PREFIX}:operation/{_local(node.node_id)}"


def _word_attributes(node: DAGNode) -> dict[str, Any]:
    word = node.provenance
    return {
        "qv:word": f"0x{word:08X}",
        "qv:protected": bool(node.is_protected or ProvenanceTracker.is_tainted(word)),
        "qv:depth": ProvenanceTracker.get_depth(word),
    }


def _add_source(doc: ProvDocument, node: DAGNode, nodes: dict[int, DAGNode]) -> None:
    attributes = _word_attributes(node)
    attributes |= {
        "prov:label": f"{node.table}.{node.column}",
        "qv:table": str(node.table),
        "qv:column": str(node.column),
    }
    doc.entity(_entity_id(node.node_id, nodes), attributes)


def _add_run(doc: ProvDocument, run: ProvRun) -> tuple[str, str]:
    """The run's agent and activity; their identifiers."""
    agent = f"{NAMESPACE_PREFIX}:agent/{_local(run.name)}"
    attributes: dict[str, Any] = {
        "prov:type": PROV["SoftwareAgent"],
        "prov:label": run.name,
        "qv:quorvaneVersion": __version__,
    }
    if run.code_version:
        attributes["qv:gitCommit"] = run.code_version
    doc.agent(agent, attributes)
    activity = f"{NAMESPACE_PREFIX}:run/{run.local}"
    facts: dict[str, Any] = {"prov:label": f"run of {run.name}"}
    if run.config:
        facts["qv:config"] = json.dumps(run.config, sort_keys=True)
    doc.activity(activity, run.started, run.ended, facts)
    doc.wasAssociatedWith(activity, agent)
    return agent, activity


def _add_step(
    doc: ProvDocument, node: DAGNode, nodes: dict[int, DAGNode], run: tuple[str, str]
) -> None:
    value = doc.entity(_entity_id(node.node_id, nodes), _word_attributes(node))
    if node.is_leaf:
        return  # a constant: a value made by no recorded step
    activity = doc.activity(
        _activity_id(node),
        other_attributes={
            "prov:label": node.operation,
            "qv:operation": node.operation,
            "qv:nodeType": node.node_type.name,
        },
    )
    doc.wasGeneratedBy(value, activity)
    doc.wasAssociatedWith(activity, run[0])
    doc.wasInformedBy(activity, run[1])
    for index, input_id in enumerate(node.inputs):
        used = _entity_id(input_id, nodes)
        doc.used(activity, used, other_attributes={"qv:inputIndex": index})
        doc.wasDerivedFrom(value, used, activity)


def dag_to_prov(dag: ComputationDAG, run: ProvRun | None = None) -> ProvDocument:
    """The lineage of the DAG's root value as a PROV document, made by ``run`` (by default
    this process, ``ProvRun.current()``)."""
    if not isinstance(dag, ComputationDAG):
        raise TypeError(f"dag must be a ComputationDAG, not {type(dag).__name__}")
    doc = ProvDocument()
    doc.add_namespace(NAMESPACE_PREFIX, NAMESPACE_URI)
    ran = _add_run(doc, run or ProvRun.current())
    nodes = dag.nodes
    for node_id in sorted(nodes):
        node = nodes[node_id]
        if node.is_source:
            _add_source(doc, node, nodes)
        else:
            _add_step(doc, node, nodes, ran)
    # Inputs the log has evicted are still named, as entities with nothing known.
    for missing in sorted({edge.source_id for edge in dag.edges} - nodes.keys(), key=str):
        doc.entity(_entity_id(missing, nodes))
    return doc


def dag_to_prov_json(
    dag: ComputationDAG, indent: int | None = 2, run: ProvRun | None = None
) -> str:
    """The lineage of the DAG's root value as PROV-JSON text."""
    # Without a destination, serialize returns the text.
    return cast(str, dag_to_prov(dag, run).serialize(format="json", indent=indent))


def dag_to_prov_n(dag: ComputationDAG, run: ProvRun | None = None) -> str:
    """The lineage of the DAG's root value as PROV-N text."""
    return dag_to_prov(dag, run).get_provn()


# -- one applicant's exact lineage -------------------------------------------------------------


def node_local(run: ProvRun, node_id: int) -> str:
    """The local name of a node of ``run``: ``run/<run>/node/<id>``."""
    return f"run/{run.local}/node/{int(node_id)}"


def node_uri(run: ProvRun, node_id: int) -> str:
    """The node's full identifier, the same in every export of an applicant's lineage."""
    return NAMESPACE_URI + node_local(run, node_id)


def _node_entity(run: ProvRun, node_id: int) -> str:
    return f"{NAMESPACE_PREFIX}:{node_local(run, node_id)}"


def shown_value(value: float | str | None) -> float | str | None:
    """A step's value as an export writes it: None where none was recorded or it is NaN
    (JSON has no NaN)."""
    if isinstance(value, float) and math.isnan(value):
        return None
    return value


def _step_attributes(step: LineageStep) -> dict[str, Any]:
    attributes: dict[str, Any] = {
        "prov:label": step_label(step),
        "qv:nodeType": step.node_type,
        "qv:operation": step.operation,
        "qv:word": f"0x{step.word:08X}",
        "qv:protected": bool(step.protected),
    }
    value = shown_value(step.value)
    if value is not None:
        attributes["prov:value"] = value
    if step.identity:
        attributes["qv:identity"] = ", ".join(step.identity)
    if step.table is not None:
        attributes["qv:table"] = step.table
    if step.column is not None:
        attributes["qv:column"] = step.column
    return attributes


def step_label(step: LineageStep) -> str:
    """What a step is, in a few words: its source column, or its operation."""
    if step.table and step.column:
        return f"{step.table}.{step.column}"
    return step.operation or step.node_type.lower()


def _add_lineage_step(
    doc: ProvDocument, step: LineageStep, run: ProvRun, ran: tuple[str, str]
) -> None:
    entity = doc.entity(_node_entity(run, step.node_id), _step_attributes(step))
    if not step.inputs:
        return  # a source column or a constant: made by no recorded step
    activity = doc.activity(
        f"{NAMESPACE_PREFIX}:run/{run.local}/operation/{step.node_id}",
        other_attributes={"prov:label": step.operation, "qv:operation": step.operation},
    )
    doc.wasGeneratedBy(entity, activity)
    doc.wasAssociatedWith(activity, ran[0])
    doc.wasInformedBy(activity, ran[1])
    for index, input_id in enumerate(step.inputs):
        used = _node_entity(run, input_id)
        doc.used(activity, used, other_attributes={"qv:inputIndex": index})
        doc.wasDerivedFrom(entity, used, activity)


def lineage_to_prov(lineage: ElementLineage, run: ProvRun, result: str) -> ProvDocument:
    """One applicant's exact lineage of ``result`` as a PROV document made by ``run``: every
    step with its value, the applicant's key on the result."""
    if not isinstance(lineage, ElementLineage):
        raise TypeError(f"lineage must be an ElementLineage, not {type(lineage).__name__}")
    doc = ProvDocument()
    doc.add_namespace(NAMESPACE_PREFIX, NAMESPACE_URI)
    ran = _add_run(doc, run)
    for step in lineage.steps:
        _add_lineage_step(doc, step, run, ran)
    for root in doc.get_record(_node_entity(run, lineage.root)):
        root.add_attributes({"qv:key": lineage.key, "qv:result": result, "qv:exact": lineage.exact})
    return doc


def lineage_to_prov_json(
    lineage: ElementLineage, run: ProvRun, result: str, indent: int | None = 2
) -> str:
    """One applicant's exact lineage as PROV-JSON text."""
    return cast(str, lineage_to_prov(lineage, run, result).serialize(format="json", indent=indent))


def lineage_to_prov_n(lineage: ElementLineage, run: ProvRun, result: str) -> str:
    """One applicant's exact lineage as PROV-N text."""
    return lineage_to_prov(lineage, run, result).get_provn()
