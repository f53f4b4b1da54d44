"""The lineage API under /v1: every call of the storage interface, for the caller's tenant."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Annotated

from fastapi import APIRouter, Query, Request
from fastapi.concurrency import run_in_threadpool

from ..utilities.persistence import Columns, node_to_wire, row_value_to_wire
from . import models as m
from .auth import TenantStore, check_claimed_tenant
from .bulk import bulk_body, bulk_body_schema
from .routing import LineageRoute

#: the bodies read by ``bulk_body``, whose schemas the app adds to its OpenAPI document
BULK_BODIES = (m.NewNodes, m.NewEdges, m.NewRowValues)

router = APIRouter(prefix="/v1", route_class=LineageRoute)
PIPELINE = "/pipelines/{pipeline_id}"
PipelineId = Annotated[int, m.Field(ge=0, le=2**63 - 1)]


@router.get("/whoami", response_model=m.Tenant)
def whoami(st: TenantStore):
    return {"tenant_id": st.tenant_id}


@router.post("/pipelines", response_model=m.PipelineId)
def create_pipeline(body: m.NewPipeline, st: TenantStore):
    check_claimed_tenant(st.tenant_id, body.tenant_id)
    pipeline_id = st.create_pipeline(
        pipeline_name=body.pipeline_name, config=body.config, git_commit=body.git_commit
    )
    return {"pipeline_id": pipeline_id}


@router.get("/pipelines", response_model=m.Pipelines)
def list_pipelines(st: TenantStore):
    return {"pipelines": st.list_pipelines()}


@router.get(PIPELINE, response_model=m.OnePipeline)
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


@router.get(PIPELINE + "/nodes", response_model=m.Nodes)
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


@router.post(PIPELINE + "/results", response_model=m.Stored)
def store_results(pipeline_id: PipelineId, body: m.NewResults, st: TenantStore):
    return {"stored": st.store_results(pipeline_id, body.rows)}


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
    return {"stored": await run_in_threadpool(st.store_node_columns, chunks(lines))}


@router.post("/edges", response_model=m.Stored, openapi_extra=bulk_body_schema(m.NewEdges))
async def store_edges(request: Request, st: TenantStore):
    def store(lines: Iterator[m.NewEdges]) -> int:
        # edges resolve within one pipeline a request: the one its first line names
        first = next(lines, None)
        if first is None:
            return 0
        chunks = (vars(line.columns) for line in _same_pipeline(first, lines))
        return st.store_edge_columns(chunks, first.pipeline_id or 0)

    lines = await bulk_body(request, m.NewEdges)
    return {"stored": await run_in_threadpool(store, lines)}


def _same_pipeline(first: m.NewEdges, lines: Iterator[m.NewEdges]) -> Iterator[m.NewEdges]:
    yield first
    for line in lines:
        if line.pipeline_id != first.pipeline_id:
            raise ValueError("every line of a request names the same pipeline_id")
        yield line


@router.post("/edges/resolved", response_model=m.Stored)
def store_edges_resolved(body: m.ResolvedEdges, st: TenantStore):
    return {"stored": st.store_edges_resolved(body.rows)}


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
    return {"stored": await run_in_threadpool(st.store_row_value_columns, chunks(lines))}


@router.get("/results", response_model=m.Results)
def get_results(
    st: TenantStore,
    row_key: str | None = None,
    pipeline_id: Annotated[int | None, Query(ge=0, le=2**63 - 1)] = None,
    output_name: str | None = None,
):
    results = st.get_results(row_key=row_key, pipeline_id=pipeline_id, output_name=output_name)
    return {"results": results}


@router.post("/dashboard/sync", response_model=m.SyncAccepted)
async def dashboard_sync(body: m.DashboardSync, request: Request, st: TenantStore):
    payload = await request.json()  # kept as sent, once the model has checked it
    sync_id = await run_in_threadpool(st.store_dashboard_sync, payload)
    return {"status": "ok", "sync_id": sync_id}


@router.get("/dashboard/syncs", response_model=m.Syncs)
def dashboard_syncs(st: TenantStore):
    return {"syncs": st.get_dashboard_syncs()}
