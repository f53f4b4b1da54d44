"""The lineage API under /v1: every call of the storage interface, for the caller's tenant."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from functools import partial
from typing import Annotated, Any

from fastapi import APIRouter, Query, Request
from fastapi.concurrency import run_in_threadpool

from ..utilities.persistence import Columns, node_to_wire, row_value_to_wire
from . import models as m
from .auth import TenantStore, check_claimed_tenant
from .bulk import bulk_body, bulk_body_schema, checked_first
from .documents import document_body, document_body_schema, member_object, validated
from .routing import LineageRoute

#: the bodies read from bytes by the routes, whose schemas the app adds to its OpenAPI
#: document
BULK_BODIES = (m.NewNodes, m.NewEdges, m.NewRowValues, m.NewResults, m.ResolvedEdges)
DOCUMENT_BODIES = (m.NewPipeline, m.DashboardSync)
#: the routes that take bulk bodies (up to the largest body); the others take documents
BULK_PATHS = (
    "/v1/nodes",
    "/v1/edges",
    "/v1/edges/resolved",
    "/v1/row_values",
    "/v1/pipelines/{pipeline_id}/results",
)


def as_stored(model: type[m.Record]) -> dict[int | str, dict[str, Any]]:
    """The answer of a route that sends free-form documents as read from the store (its
    ``response_model`` None): NaN and Infinity go out as those tokens, where re-encoding
    them by the model would turn them into null."""
    return {200: {"model": model}}


router = APIRouter(prefix="/v1", route_class=LineageRoute)
PIPELINE = "/pipelines/{pipeline_id}"
PipelineId = Annotated[int, m.Field(ge=0, le=2**63 - 1)]


@router.get("/whoami", response_model=m.Tenant)
def whoami(st: TenantStore):
    return {"tenant_id": st.tenant_id}


@router.post(
    "/pipelines", response_model=m.PipelineId, openapi_extra=document_body_schema(m.NewPipeline)
)
async def create_pipeline(request: Request, st: TenantStore):
    document = await document_body(request)
    body = validated(m.NewPipeline, document, depth=1, config=None)
    check_claimed_tenant(st.tenant_id, body.tenant_id)
    config = member_object(document, "config")
    del document  # the configuration's text is all that is kept
    pipeline_id = await run_in_threadpool(
        st.create_pipeline,
        pipeline_name=body.pipeline_name,
        config=config,
        git_commit=body.git_commit,
    )
    return {"pipeline_id": pipeline_id}


@router.get("/pipelines", response_model=None, responses=as_stored(m.Pipelines))
def list_pipelines(st: TenantStore):
    return {"pipelines": st.list_pipelines()}


@router.get(PIPELINE, response_model=None, responses=as_stored(m.OnePipeline))
def get_pipeline(pipeline_id: PipelineId, st: TenantStore):
    pipeline = st.get_pipeline(pipeline_id)
    if pipeline is None:
        raise LookupError(f"no pipeline with id {pipeline_id}")
    return {"pipeline": pipeline}


@router.post(PIPELINE + "/complete", response_model=m.PipelineId)
def complete_pipeline(pipeline_id: PipelineId, body: m.PipelineStatus, st: TenantStore):
    st.complete_pipeline(pipeline_id, status=body.status)
    return {"pipeline_id": pipeline_id}


@router.get(PIPELINE + "/sources", response_model=m.Sources)
def get_sources(pipeline_id: PipelineId, st: TenantStore):
    return {"sources": st.get_sources(pipeline_id)}


@router.get(PIPELINE + "/nodes", response_model=None, responses=as_stored(m.Nodes))
def get_nodes(pipeline_id: PipelineId, st: TenantStore):
    return {"nodes": [node_to_wire(n) for n in st.get_nodes(pipeline_id)]}


@router.get(PIPELINE + "/fingerprints", response_model=m.FingerprintMap)
def get_fingerprints(pipeline_id: PipelineId, st: TenantStore):
    return {"map": list(st.get_fingerprint_node_map(pipeline_id).items())}


@router.get(PIPELINE + "/edges", response_model=m.Edges)
def get_edges(pipeline_id: PipelineId, st: TenantStore):
    return {"edges": [vars(e) for e in st.get_edges(pipeline_id)]}


@router.get(PIPELINE + "/row_values", response_model=m.RowValues)
def get_row_values(
    pipeline_id: PipelineId,
    st: TenantStore,
    row_index: Annotated[int | None, Query(ge=-(2**63), le=2**63 - 1)] = None,
):
    values = st.get_row_values(pipeline_id, row_index)
    return {"values": [row_value_to_wire(v) for v in values]}


@router.post(
    PIPELINE + "/results", response_model=m.Stored, openapi_extra=bulk_body_schema(m.NewResults)
)
async def store_results(pipeline_id: PipelineId, request: Request, st: TenantStore):
    lines = await bulk_body(request, m.NewResults)
    chunks = (line.rows for line in lines)
    write = partial(st.store_result_chunks, pipeline_id)
    return {"stored": await run_in_threadpool(_store, write, chunks)}


@router.post("/sources", response_model=m.Registered)
def register_source(body: m.NewSource, st: TenantStore):
    st.register_source(
        body.pair_id,
        body.table,
        body.column,
        is_protected=body.is_protected,
        pipeline_id=body.pipeline_id or 0,
    )
    return {"registered": True}


# The columns of each line go to the store as they are: building record objects would cost
# more than the insert.
@router.post("/nodes", response_model=m.Stored, openapi_extra=bulk_body_schema(m.NewNodes))
async def store_nodes(request: Request, st: TenantStore):
    def chunks(lines: Iterator[m.NewNodes]) -> Iterator[Columns]:
        for line in lines:
            default = line.default_pipeline_id or 0
            columns = vars(line.columns)
            columns["pipeline_id"] = [default if p is None else p for p in columns["pipeline_id"]]
            yield columns

    lines = await bulk_body(request, m.NewNodes)
    return {"stored": await run_in_threadpool(_store, st.store_node_columns, chunks(lines))}


@router.post("/edges", response_model=m.Stored, openapi_extra=bulk_body_schema(m.NewEdges))
async def store_edges(request: Request, st: TenantStore):
    def store(lines: Iterator[m.NewEdges]) -> int:
        # edges resolve within one pipeline a request: the one its first line names
        first = next(lines, None)
        if first is None:
            return 0
        chunks = (vars(line.columns) for line in _same_pipeline(first, lines))
        return _store(st.store_edge_columns, chunks, first.pipeline_id or 0)

    lines = await bulk_body(request, m.NewEdges)
    return {"stored": await run_in_threadpool(store, lines)}


def _same_pipeline(first: m.NewEdges, lines: Iterator[m.NewEdges]) -> Iterator[m.NewEdges]:
    yield first
    for line in lines:
        if line.pipeline_id != first.pipeline_id:
            raise ValueError("every line of a request names the same pipeline_id")
        yield line


@router.post(
    "/edges/resolved", response_model=m.Stored, openapi_extra=bulk_body_schema(m.ResolvedEdges)
)
async def store_edges_resolved(request: Request, st: TenantStore):
    lines = await bulk_body(request, m.ResolvedEdges)
    chunks = (line.rows for line in lines)
    return {"stored": await run_in_threadpool(_store, st.store_resolved_edge_chunks, chunks)}


@router.post("/row_values", response_model=m.Stored, openapi_extra=bulk_body_schema(m.NewRowValues))
async def store_row_values(request: Request, st: TenantStore):
    def chunks(lines: Iterator[m.NewRowValues]) -> Iterator[Columns]:
        for line in lines:
            columns = vars(line.columns)
            for tenant in set(columns["tenant_id"]):
                check_claimed_tenant(st.tenant_id, tenant)
            columns["tenant_id"] = [None] * len(columns["tenant_id"])
            yield columns

    lines = await bulk_body(request, m.NewRowValues)
    return {"stored": await run_in_threadpool(_store, st.store_row_value_columns, chunks(lines))}


def _store(write: Callable[..., int], chunks: Iterable[Any], *args: Any) -> int:
    """``write`` of every chunk in one transaction, all of them checked before it starts."""
    return write(checked_first(chunks), *args)


@router.get("/results", response_model=m.Results)
def get_results(
    st: TenantStore,
    row_key: m.Text | None = None,
    pipeline_id: Annotated[int | None, Query(ge=0, le=2**63 - 1)] = None,
    output_name: m.Text | None = None,
):
    results = st.get_results(row_key=row_key, pipeline_id=pipeline_id, output_name=output_name)
    return {"results": results}


@router.post(
    "/dashboard/sync",
    response_model=m.SyncAccepted,
    openapi_extra=document_body_schema(m.DashboardSync),
)
async def dashboard_sync(request: Request, st: TenantStore):
    payload = await document_body(request)
    validated(m.DashboardSync, payload)  # kept as sent, once the model has checked it
    sync_id = await run_in_threadpool(st.store_dashboard_sync, payload)
    return {"status": "ok", "sync_id": sync_id}


@router.get("/dashboard/syncs", response_model=None, responses=as_stored(m.Syncs))
def dashboard_syncs(st: TenantStore):
    return {"syncs": st.get_dashboard_syncs()}
