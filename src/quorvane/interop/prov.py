"""One value's lineage as a W3C PROV document (PROV-JSON, PROV-N), through the ``prov`` package.

The mapping of a ``ComputationDAG``:

- a source node is an entity for its source column (``qv:column/<table>/<column>``);
- every other node is an entity for the value it made (``qv:value/<id>``) and an activity
  for its operation (``qv:operation/<id>``): the value ``wasGeneratedBy`` the activity, the
  activity ``used`` each input, and the value ``wasDerivedFrom`` each input through it;
- the word, the protected flag and the depth are attributes in the ``qv`` namespace.

    from quorvane.interop.prov import dag_to_prov_json
    text = dag_to_prov_json(get_dag_for_series(result["score"], 0))
"""

from __future__ import annotations

from typing import Any, cast
from urllib.parse import quote

from prov.model import ProvDocument

from ..utilities.orrin32 import ProvenanceTracker
from ..utilities.orrin32_dag import ComputationDAG, DAGNode

NAMESPACE_PREFIX = "qv"
NAMESPACE_URI = "https://quorvane.dev/ns/prov#"

__all__ = ["NAMESPACE_URI", "dag_to_prov", "dag_to_prov_json", "dag_to_prov_n"]


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


def _add_step(doc: ProvDocument, node: DAGNode, nodes: dict[int, DAGNode]) -> None:
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
    for index, input_id in enumerate(node.inputs):
        used = _entity_id(input_id, nodes)
        doc.used(activity, used, other_attributes={"qv:inputIndex": index})
        doc.wasDerivedFrom(value, used, activity)


def dag_to_prov(dag: ComputationDAG) -> ProvDocument:
    """The lineage of the DAG's root value as a PROV document."""
    if not isinstance(dag, ComputationDAG):
        raise TypeError(f"dag must be a ComputationDAG, not {type(dag).__name__}")
    doc = ProvDocument()
    doc.add_namespace(NAMESPACE_PREFIX, NAMESPACE_URI)
    nodes = dag.nodes
    for node_id in sorted(nodes):
        node = nodes[node_id]
        if node.is_source:
            _add_source(doc, node, nodes)
        else:
            _add_step(doc, node, nodes)
    # Inputs the log has evicted are still named, as entities with nothing known.
    for missing in sorted({edge.source_id for edge in dag.edges} - nodes.keys(), key=str):
        doc.entity(_entity_id(missing, nodes))
    return doc


def dag_to_prov_json(dag: ComputationDAG, indent: int | None = 2) -> str:
    """The lineage of the DAG's root value as PROV-JSON text."""
    # Without a destination, serialize returns the text.
    return cast(str, dag_to_prov(dag).serialize(format="json", indent=indent))


def dag_to_prov_n(dag: ComputationDAG) -> str:
    """The lineage of the DAG's root value as PROV-N text."""
    return dag_to_prov(dag).get_provn()
