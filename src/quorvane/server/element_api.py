"""The per-element log of a run under /v1: stored whole, and one element's lineage read back.

A log travels as Arrow IPC streams (``application/vnd.apache.arrow.stream``) in a bulk
body, within ``max_body_bytes``; it is read and checked whole before the store's write
transaction starts.
"""

from __future__ import annotations

from dataclasses import asdict
from typing import Annotated

from fastapi import APIRouter, Query, Request, Response
from fastapi.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException

from ..utilities.persistence import (
    ARROW_STREAM,
    ElementLog,
    element_log_from_stream,
    element_log_to_stream,
)
from . import models as m
from .auth import TenantStore
from .routing import LineageRoute

router = APIRouter(prefix="/v1", route_class=LineageRoute)
ELEMENT_LOG = "/pipelines/{pipeline_id}/element_log"
#: the route that takes a bulk body (up to the largest body)
BULK_PATHS = ("/v1" + ELEMENT_LOG,)
PipelineId = Annotated[int, m.Field(ge=0, le=2**63 - 1)]


def _decoded(body: bytes) -> ElementLog:
    try:
        return element_log_from_stream(body)
    except ValueError as exc:
        raise HTTPException(422, f"body: {exc}") from None


@router.post(
    ELEMENT_LOG,
    response_model=m.Stored,
    openapi_extra={
        "requestBody": {
            "required": True,
            "description": "The run's per-element log: Arrow IPC streams of its nodes, its"
            " row identities and each result, one after the other.",
            "content": {ARROW_STREAM: {"schema": {"type": "string", "format": "binary"}}},
        }
    },
)
async def write_element_log(pipeline_id: PipelineId, request: Request, st: TenantStore):
    media_type = request.headers.get("content-type", "").split(";")[0].strip().lower()
    if media_type != ARROW_STREAM:
        raise HTTPException(415, f"an element log is sent as {ARROW_STREAM}")
    body = await request.body()
    log = await run_in_threadpool(_decoded, body)
    del body
    await run_in_threadpool(st.write_element_log, pipeline_id, log)
    return {"stored": log.size}


@router.get(
    ELEMENT_LOG,
    response_class=Response,
    responses={
        200: {"content": {ARROW_STREAM: {}}, "description": "the run's per-element log"},
        204: {"description": "the run has no per-element log"},
    },
)
def read_element_log(pipeline_id: PipelineId, st: TenantStore) -> Response:
    log = st.read_element_log(pipeline_id)
    if log is None:
        return Response(status_code=204)
    return Response(b"".join(element_log_to_stream(log)), media_type=ARROW_STREAM)


@router.get("/pipelines/{pipeline_id}/element_results", response_model=m.ElementResults)
def element_results(pipeline_id: PipelineId, st: TenantStore):
    return {"results": st.element_results(pipeline_id)}


@router.get("/pipelines/{pipeline_id}/element_lineage", response_model=m.OneElementLineage)
def element_lineage(
    pipeline_id: PipelineId,
    st: TenantStore,
    result: Annotated[m.Text, Query()],
    key: Annotated[m.Text, Query()],
    full: Annotated[bool, Query()] = False,
):
    found = st.read_element_lineage(pipeline_id, result, key, full=full)
    return {"lineage": None if found is None else asdict(found)}


@router.get("/pipelines/{pipeline_id}/element_result_node", response_model=m.ElementResultNode)
def element_result_node(
    pipeline_id: PipelineId,
    st: TenantStore,
    result: Annotated[m.Text, Query()],
    key: Annotated[m.Text, Query()],
):
    return {"node": st.element_result_node(pipeline_id, result, key)}


@router.get("/pipelines/{pipeline_id}/element_members", response_model=m.ElementMembers)
def element_members(
    pipeline_id: PipelineId,
    st: TenantStore,
    node: Annotated[int, Query(ge=0, le=2**63 - 1)],
    offset: Annotated[int, Query(ge=0, le=2**63 - 1)] = 0,
    limit: Annotated[int, Query(ge=1, le=100_000)] = 1000,
):
    page = st.read_element_members(pipeline_id, node, offset=offset, limit=limit)
    return {"page": None if page is None else asdict(page)}


@router.get("/pipelines/{pipeline_id}/element_groups", response_model=m.ElementGroups)
def element_groups(
    pipeline_id: PipelineId, st: TenantStore, node: Annotated[int, Query(ge=0, le=2**63 - 1)]
):
    return {"groups": st.read_element_groups(pipeline_id, node)}
