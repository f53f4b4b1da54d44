"""Lineage of a stored run, read back from any storage backend.

The store keeps a run's DAG deduplicated by fingerprint (the word of each node), with the
run's sources and per-row results. From it:

- ``stored_value_dag`` rebuilds the ``ComputationDAG`` above one stored value, ready for
  the PROV export (``quorvane.interop.prov``);
- ``stored_run_events`` rebuilds the run's OpenLineage events: START, then COMPLETE or FAIL
  as the run ended (RUNNING while it is open), under a run id that is the same every time.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from datetime import UTC, datetime
from typing import Any

from openlineage.client.event_v2 import Job, Run, RunEvent, RunState
from openlineage.client.uuid import generate_static_uuid

from ..core import UNKNOWN_SOURCE
from ..utilities.orrin32 import ProvenanceTracker
from ..utilities.orrin32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType
from ._datasets import PRODUCER, Naming, engine_run_facets, input_dataset, output_dataset
from ._lineage import (
    IDENTITY,
    JOIN,
    KIND_OF_NODE_TYPE,
    KIND_OF_OPERATION,
    TRANSFORMATION,
    ColumnLineage,
    SourceField,
)

__all__ = ["stored_run_end", "stored_run_events", "stored_run_id", "stored_value_dag"]

_END_STATES = {"completed": RunState.COMPLETE, "failed": RunState.FAIL}


class _StoredGraph:
    """A run's stored nodes by fingerprint, and the inputs of each, in input order."""

    def __init__(self, storage: Any, pipeline_id: int) -> None:
        self.nodes = {node.fingerprint: node for node in storage.get_nodes(pipeline_id)}
        inputs: dict[int, list[tuple[int, int]]] = {}
        for edge in storage.get_edges(pipeline_id):
            inputs.setdefault(edge.child_fingerprint, []).append(
                (edge.input_position, edge.parent_fingerprint)
            )
        self.inputs = {fp: [parent for _, parent in sorted(pairs)] for fp, pairs in inputs.items()}

    def above(self, roots: Iterable[int]) -> list[int]:
        """Every stored fingerprint at or above the given ones (each once)."""
        pending = [fp for fp in roots if fp in self.nodes]
        seen = set(pending)
        for fp in pending:  # grows while it is walked
            for parent in self.inputs.get(fp, ()):
                if parent not in seen and parent in self.nodes:
                    seen.add(parent)
                    pending.append(parent)
        return pending

    def is_source(self, fp: int) -> bool:
        return self.nodes[fp].node_type == NodeType.SOURCE.name

    def dag_node(self, fp: int) -> DAGNode:
        stored = self.nodes[fp]
        node_type = NodeType.__members__.get(stored.node_type, NodeType.CUSTOM)
        return DAGNode(
            node_id=fp,
            node_type=node_type,
            operation=stored.operation,
            inputs=list(self.inputs.get(fp, ())),
            provenance=fp,
            metadata=dict(stored.metadata or {}),
            table=stored.table_name,
            column=stored.column_name,
            pair_id=stored.pair_id,
            is_protected=bool(stored.is_protected),
        )


def stored_value_dag(storage: Any, pipeline_id: int, fingerprint: int) -> ComputationDAG:
    """The DAG above the stored value ``fingerprint`` of run ``pipeline_id``.

    Node ids are fingerprints. Values of different rows that share a word share one stored
    node, so a step may have more inputs than one element's step had.
    """
    graph = _StoredGraph(storage, pipeline_id)
    if fingerprint not in graph.nodes:
        raise LookupError(f"run {pipeline_id} has no stored value 0x{fingerprint:08X}")
    nodes = {fp: graph.dag_node(fp) for fp in graph.above([fingerprint])}
    edges = [
        DAGEdge(source_id=parent, target_id=fp, input_index=index)
        for fp, node in nodes.items()
        for index, parent in enumerate(node.inputs)
    ]
    return ComputationDAG(root_id=fingerprint, nodes=nodes, edges=edges)


def _kind_of(stored: Any) -> tuple[str, str] | None:
    kind = KIND_OF_NODE_TYPE.get(NodeType.__members__.get(stored.node_type, NodeType.CUSTOM))
    return kind or KIND_OF_OPERATION.get(stored.operation.split("_", 1)[0])


def _output_lineage(graph: _StoredGraph, name: str, fingerprints: set[int]) -> ColumnLineage:
    kinds: dict[int, set[tuple[str, str]]] = {}  # source fingerprint -> how it reaches
    for fp in graph.above(fingerprints):
        if graph.is_source(fp):
            kinds.setdefault(fp, set()).add(IDENTITY if fp in fingerprints else TRANSFORMATION)
            continue
        kind = _kind_of(graph.nodes[fp])
        # a stored merge step keeps no trace of the keys that paired its rows, and the
        # columns it carried are not its keys: it names no join input at all
        if kind is not None and kind != JOIN:
            for below in graph.above([fp]):
                if graph.is_source(below):
                    kinds.setdefault(below, set()).add(kind)
    sources = []
    unknown = False
    for fp, found in kinds.items():
        node = graph.nodes[fp]
        if (node.table_name, node.column_name) == UNKNOWN_SOURCE:
            unknown = True
            continue
        if TRANSFORMATION in found:
            found = found - {IDENTITY}
        sources.append(
            SourceField(
                table=str(node.table_name),
                column=str(node.column_name),
                protected=bool(node.is_protected),
                transformations=tuple(sorted(found)),
            )
        )
    sources.sort(key=lambda s: (s.table, s.column))
    tainted = [fp for fp in fingerprints if ProvenanceTracker.is_tainted(fp)]
    risk = max((ProvenanceTracker.risk_score(fp) for fp in tainted), default=0.0)
    return ColumnLineage(name, tuple(sources), bool(tainted), risk, True, unknown)


def _when(text: str | None) -> str:
    moment = datetime.fromisoformat(text) if text else datetime.now(UTC)
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=UTC)
    return moment.isoformat()


def stored_run_id(pipeline: Mapping[str, Any]) -> str:
    """The OpenLineage run id of a stored run (its record): the same at every export."""
    key = f"{pipeline.get('tenant_id')}/{pipeline['pipeline_id']}".encode()
    return str(generate_static_uuid(datetime.fromisoformat(_when(pipeline["created_at"])), key))


def stored_run_end(pipeline: Mapping[str, Any]) -> tuple[RunState, str]:
    """How a stored run ended and when; RUNNING, and now, while it is open."""
    end = _END_STATES.get(pipeline["status"], RunState.RUNNING)
    return end, _when(pipeline["completed_at"] if end is not RunState.RUNNING else None)


def stored_run_events(
    storage: Any,
    pipeline_id: int,
    job_namespace: str = "quorvane",
    namespace: str = "quorvane",
    dataset_names: Mapping[str, str] | None = None,
) -> list[RunEvent]:
    """The OpenLineage events of stored run ``pipeline_id``.

    Inputs are the run's source tables; the output is its stored results (dataset
    ``<pipeline name>.results``, one column per output name), with the column lineage read
    from the stored DAG above each output's values.
    """
    pipeline = storage.get_pipeline(pipeline_id)
    if pipeline is None:
        raise LookupError(f"the store has no run {pipeline_id}")
    naming = Naming(namespace, dict(dataset_names or {}))
    graph = _StoredGraph(storage, pipeline_id)
    # The registry names the sources; a run stored as it went may have registered none, and
    # then its source nodes name them.
    columns = {
        (s["table"], s["column"]): s["is_protected"] for s in storage.get_sources(pipeline_id)
    }
    for node in graph.nodes.values():
        if node.node_type == NodeType.SOURCE.name and node.table_name and node.column_name:
            columns.setdefault((node.table_name, node.column_name), bool(node.is_protected))
    columns.pop(UNKNOWN_SOURCE, None)
    tables: dict[str, list[tuple[str, bool]]] = {}
    for (table, column), protected in columns.items():
        tables.setdefault(table, []).append((column, protected))
    inputs = [
        input_dataset(naming, table, [(c, None) for c, _ in cols], [c for c, p in cols if p])
        for table, cols in tables.items()
    ]
    by_output: dict[str, set[int]] = {}
    for row in storage.get_results(pipeline_id=pipeline_id):
        by_output.setdefault(row["output_name"], set()).add(int(row["fingerprint"]))
    lineage = [_output_lineage(graph, name, fps) for name, fps in by_output.items()]
    results = f"{pipeline['pipeline_name']}.results"
    outputs = [output_dataset(naming, results, [(n, None) for n in by_output], lineage)]
    started = _when(pipeline["created_at"])
    run = Run(runId=stored_run_id(pipeline), facets=engine_run_facets())
    job = Job(namespace=job_namespace, name=pipeline["pipeline_name"])
    end, ended = stored_run_end(pipeline)

    def event(state: RunState, time: str, with_outputs: bool) -> RunEvent:
        return RunEvent(
            eventType=state,
            eventTime=time,
            run=run,
            job=job,
            inputs=inputs,
            outputs=outputs if with_outputs else [],
            producer=PRODUCER,
        )

    return [event(RunState.START, started, False), event(end, ended, True)]
