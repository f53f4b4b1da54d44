"""One applicant's exact lineage, exported: W3C PROV (through ``prov``) or an OpenLineage
run event (through the official client), from an ``ElementLineage`` of a stored run.

The event is the run's (its run id is that of ``stored_run_events``), as it ended: its
inputs are the source tables the applicant's result read, its output the run's results,
and quorvane's ``quorvane_elementLineage`` run facet carries every step with its value and
the node ids the PROV exports give the same nodes. The run's settings travel in the
standard ``executionParameters`` facet.

    from quorvane.interop.applicant import export_applicant
    text = export_applicant(store, 3, "approved", "LA-0002", "prov-json")
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from openlineage.client.event_v2 import Job, Run, RunEvent
from openlineage.client.facet_v2 import execution_parameters_run as parameters_run
from openlineage.client.serde import Serde

from ..recording import flat_settings
from ..utilities.orrin32_dag import NodeType
from ..utilities.persistence import ElementLineage, LineageStep
from ._datasets import PRODUCER, Naming, engine_run_facets, input_dataset, output_dataset
from ._element_facet import FACET_KEY, ElementStep, QuorvaneElementLineageRunFacet
from ._lineage import (
    IDENTITY,
    KIND_OF_NODE_TYPE,
    KIND_OF_OPERATION,
    TRANSFORMATION,
    ColumnLineage,
    SourceField,
)
from .prov import ProvRun, lineage_to_prov_json, lineage_to_prov_n, node_uri, shown_value
from .stored import stored_run_end, stored_run_id

__all__ = ["FORMATS", "applicant_event", "export_applicant", "missing_lineage", "render"]

FORMATS = ("prov-json", "prov-n", "openlineage")


def _kind_of(step: LineageStep) -> tuple[str, str] | None:
    """How a step passes its inputs on, in OpenLineage's vocabulary, where that is known."""
    kind = KIND_OF_NODE_TYPE.get(NodeType.__members__.get(step.node_type, NodeType.CUSTOM))
    return kind or KIND_OF_OPERATION.get(step.operation.split("_", 1)[0])


def _settings_facet(config: Mapping[str, Any]) -> parameters_run.ExecutionParametersRunFacet:
    settings = flat_settings(config)
    return parameters_run.ExecutionParametersRunFacet(
        parameters=[parameters_run.ExecutionParameter(key=k, value=v) for k, v in settings],
        producer=PRODUCER,
    )


def _element_facet(
    lineage: ElementLineage, run: ProvRun, result: str
) -> QuorvaneElementLineageRunFacet:
    steps = [
        ElementStep(
            id=node_uri(run, step.node_id),
            nodeType=step.node_type,
            operation=step.operation,
            inputs=[node_uri(run, i) for i in step.inputs],
            word=f"0x{step.word:08X}",
            protected=bool(step.protected),
            value=shown_value(step.value),
            identity=list(step.identity),
            table=step.table,
            column=step.column,
        )
        for step in lineage.steps
    ]
    return QuorvaneElementLineageRunFacet(
        result=result,
        key=lineage.key,
        root=node_uri(run, lineage.root),
        protectedReached=lineage.protected_reached,
        steps=steps,
        codeVersion=run.code_version,
        producer=PRODUCER,
    )


def _columns_read(lineage: ElementLineage) -> dict[tuple[str, str], bool]:
    """(table, column) of each source column on the lineage: protected or not."""
    return {
        (s.table, s.column): s.protected
        for s in lineage.steps
        if s.node_type == "SOURCE" and s.table and s.column
    }


def _result_lineage(lineage: ElementLineage, result: str) -> ColumnLineage:
    """How each source column reaches the result: the kind of every step between them."""
    reaching: dict[int, set[tuple[str, str]]] = {}
    kinds: dict[tuple[str, str], set[tuple[str, str]]] = {}
    for step in lineage.steps:  # inputs first: a step's inputs are known before it
        columns = set().union(*(reaching.get(i, set()) for i in step.inputs))
        if step.node_type == "SOURCE" and step.table and step.column:
            columns.add((step.table, step.column))
        reaching[step.node_id] = columns
        kind = _kind_of(step)
        for column in columns:
            found = kinds.setdefault(column, set())
            if kind is not None:
                found.add(kind)
            if step.node_type != "SOURCE":
                found.add(TRANSFORMATION)
    protected = _columns_read(lineage)
    sources = tuple(
        SourceField(
            table=table,
            column=column,
            protected=protected[(table, column)],
            transformations=tuple(sorted(kinds[(table, column)] or {IDENTITY})),
        )
        for table, column in sorted(reaching.get(lineage.root, set()))
    )
    return ColumnLineage(result, sources, lineage.protected_reached, 0.0, True, False)


def applicant_event(
    record: Mapping[str, Any],
    lineage: ElementLineage,
    result: str,
    namespace: str = "quorvane",
) -> RunEvent:
    """The OpenLineage event of stored run ``record`` (``get_pipeline``) that carries one
    applicant's exact lineage of ``result``."""
    run = ProvRun.stored(record)
    naming = Naming(namespace)
    tables: dict[str, list[tuple[str, bool]]] = {}
    for (table, column), protected in _columns_read(lineage).items():
        tables.setdefault(table, []).append((column, protected))
    inputs = [
        input_dataset(naming, table, [(c, None) for c, _ in cols], [c for c, p in cols if p])
        for table, cols in sorted(tables.items())
    ]
    results = f"{record['pipeline_name']}.results"
    output = output_dataset(naming, results, [(result, None)], [_result_lineage(lineage, result)])
    facets = engine_run_facets() | {FACET_KEY: _element_facet(lineage, run, result)}
    if record.get("config"):
        facets["executionParameters"] = _settings_facet(record["config"])
    state, time = stored_run_end(record)
    return RunEvent(
        eventType=state,
        eventTime=time,
        run=Run(runId=stored_run_id(record), facets=facets),
        job=Job(namespace=namespace, name=record["pipeline_name"]),
        inputs=inputs,
        outputs=[output],
        producer=PRODUCER,
    )


def render(
    record: Mapping[str, Any],
    lineage: ElementLineage,
    result: str,
    fmt: str,
    namespace: str = "quorvane",
) -> str:
    """The applicant's lineage as text in ``fmt`` (one of ``FORMATS``)."""
    if fmt == "openlineage":
        return Serde.to_json(applicant_event(record, lineage, result, namespace))
    run = ProvRun.stored(record)
    if fmt == "prov-json":
        return lineage_to_prov_json(lineage, run, result)
    if fmt == "prov-n":
        return lineage_to_prov_n(lineage, run, result)
    raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {fmt!r}")


def export_applicant(
    storage: Any,
    pipeline_id: int,
    key: str,
    fmt: str,
    result: str | None = None,
    namespace: str = "quorvane",
) -> str:
    """The exact lineage of ``key``'s ``result`` (the run's only result when None) in stored
    run ``pipeline_id``, as text in ``fmt``. ``LookupError`` when there is no such run, no
    such applicant, or no per-element log: a run stored before runs kept one has nothing
    exact to export, and its per-fingerprint summary is no applicant's lineage."""
    record = storage.get_pipeline(pipeline_id)
    if record is None:
        raise LookupError(f"the store has no run {pipeline_id}")
    stored = storage.element_results(pipeline_id)
    if result is None and len(stored) > 1:
        raise ValueError(f"name the result to follow, one of: {', '.join(stored)}")
    result = result if result is not None else (stored[0] if stored else "")
    # an export keeps every node: the other members of the applicant's groups included
    lineage = storage.read_element_lineage(pipeline_id, result, key, full=True) if stored else None
    if lineage is None:
        raise LookupError(missing_lineage(pipeline_id, stored, result, key))
    return render(record, lineage, result, fmt, namespace)


def missing_lineage(pipeline_id: int, stored: list[str], result: str, key: str) -> str:
    """Why a run has no exact lineage of ``key``'s ``result``, in one sentence, given the
    results whose per-element log it ``stored``."""
    if not stored:
        return (
            f"run {pipeline_id} kept no per-element log of its results (it was stored before "
            "runs kept one, or without naming its results), so no applicant's lineage can be "
            "given exactly"
        )
    if result not in stored:
        return f"run {pipeline_id} has no result {result!r}; its results are: {', '.join(stored)}"
    return f"run {pipeline_id} has no {result} for the key {key!r}"
