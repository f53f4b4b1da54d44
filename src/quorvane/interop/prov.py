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
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Self, cast
from urllib.parse import quote

from prov.model import PROV, ProvDocument

from .. import __version__
from ..utilities.orrin32 import ProvenanceTracker
from ..utilities.orrin32_dag import ComputationDAG, DAGNode
from ..utilities.orrin32_dag._run_record import code_version

NAMESPACE_PREFIX = "qv"
NAMESPACE_URI = "https://quorvane.dev/ns/prov#"

__all__ = ["NAMESPACE_URI", "ProvRun", "dag_to_prov", "dag_to_prov_json", "dag_to_prov_n"]


@dataclass(frozen=True)
class ProvRun:
    """The run that made a value: its name and id, the code version (a git commit) and
    when it started and ended (None where not known)."""

    name: str
    run_id: str | None = None
    code_version: str | None = None
    started: datetime | None = None
    ended: datetime | None = None

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
        )


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
    activity = f"{NAMESPACE_PREFIX}:run/{_local(run.run_id or run.name)}"
    doc.activity(activity, run.started, run.ended, {"prov:label": f"run of {run.name}"})
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
