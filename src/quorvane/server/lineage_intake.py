"""OpenLineage intake: run events posted where OpenLineage's HTTP transports post by default.

Any OpenLineage producer (Airflow, Spark, dbt, quorvane's own ``OpenLineageRun``) can send
its events here with the tenant's API key as the bearer token; they are kept per tenant, as
sent, and read back per run.
"""

from __future__ import annotations

from typing import Annotated, Any

from fastapi import APIRouter, Query, Request
from fastapi.concurrency import run_in_threadpool
from pydantic import BaseModel, ConfigDict, Field

from .auth import TenantStore
from .documents import document_body, document_body_schema, validated
from .models import Text
from .routing import LineageRoute

#: The path an OpenLineage HTTP transport posts to when no endpoint is configured.
LINEAGE_PATH = "/api/v1/lineage"

router = APIRouter(route_class=LineageRoute, tags=["OpenLineage"])


class _Open(BaseModel):
    # an event keeps every facet and field it was sent with
    model_config = ConfigDict(extra="allow")


class _Run(_Open):
    runId: Text = Field(min_length=1, max_length=200)


class _Job(_Open):
    namespace: Text = Field(min_length=1, max_length=1000)
    name: Text = Field(min_length=1, max_length=1000)


class RunEventIn(_Open):
    """An OpenLineage run event: checked for its run, job and time, kept whole."""

    eventTime: Text = Field(min_length=1, max_length=64)
    eventType: Text | None = Field(default=None, max_length=32)
    run: _Run
    job: _Job


class Stored(BaseModel):
    event_id: int


class Events(BaseModel):
    events: list[dict[str, Any]]


@router.post(
    LINEAGE_PATH,
    status_code=201,
    response_model=Stored,
    openapi_extra=document_body_schema(RunEventIn),
)
async def receive_event(request: Request, st: TenantStore):
    event = await document_body(request)
    validated(RunEventIn, event)  # kept as sent, once its run, job and time were checked
    return {"event_id": await run_in_threadpool(st.store_lineage_event, event)}


# events travel as read from the store, NaN and Infinity as those tokens
@router.get(LINEAGE_PATH, responses={200: {"model": Events}}, response_model=None)
def list_events(st: TenantStore, run_id: Annotated[Text | None, Query(max_length=200)] = None):
    return {"events": st.get_lineage_events(run_id)}
