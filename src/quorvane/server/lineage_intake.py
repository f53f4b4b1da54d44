"""OpenLineage intake: run events posted where OpenLineage's HTTP transports post by default.

Any OpenLineage producer (Airflow, Spark, dbt, quorvane's own ``OpenLineageRun``) can send
its events here with the tenant's API key as the bearer token; they are kept per tenant, as
sent, and read back per run.
"""

from __future__ import annotations

from typing import Annotated, Any

from fastapi import APIRouter, Query
from pydantic import BaseModel, ConfigDict, Field

from .auth import TenantStore
from .routing import LineageRoute

#: The path an OpenLineage HTTP transport posts to when no endpoint is configured.
LINEAGE_PATH = "/api/v1/lineage"

router = APIRouter(route_class=LineageRoute, tags=["OpenLineage"])


class _Open(BaseModel):
    # an event keeps every facet and field it was sent with
    model_config = ConfigDict(extra="allow")


class _Run(_Open):
    runId: str = Field(min_length=1, max_length=200)


class _Job(_Open):
    namespace: str = Field(min_length=1, max_length=1000)
    name: str = Field(min_length=1, max_length=1000)


class RunEventIn(_Open):
    """An OpenLineage run event: checked for its run, job and time, kept whole."""

    eventTime: str = Field(min_length=1, max_length=64)
    eventType: str | None = Field(default=None, max_length=32)
    run: _Run
    job: _Job


class Stored(BaseModel):
    event_id: int


class Events(BaseModel):
    events: list[dict[str, Any]]


@router.post(LINEAGE_PATH, status_code=201, response_model=Stored)
def receive_event(event: RunEventIn, st: TenantStore):
    return {"event_id": st.store_lineage_event(event.model_dump(mode="json"))}


@router.get(LINEAGE_PATH, response_model=Events)
def list_events(st: TenantStore, run_id: Annotated[str | None, Query(max_length=200)] = None):
    return {"events": st.get_lineage_events(run_id)}
