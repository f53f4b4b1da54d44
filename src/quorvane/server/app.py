"""The app factory: the lineage API on one store, with its limits and error answers."""

from __future__ import annotations

import contextlib
import json
import logging
from collections.abc import AsyncIterator, Callable, Sequence
from dataclasses import dataclass
from typing import Any

from fastapi import APIRouter, FastAPI, Request
from fastapi.concurrency import run_in_threadpool
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response
from pydantic.json_schema import models_json_schema
from starlette.exceptions import HTTPException
from starlette.routing import compile_path

from ..utilities.persistence import SQLStore
from . import api, element_api, lineage_intake
from .auth import KeyRing
from .headers import SecurityHeaders
from .limits import RequestLimits
from .lineage_intake import RunEventIn
from .pages import missing_page, mount_pages, wants_page
from .sessions import Sessions
from .throttle import FailureThrottle

logger = logging.getLogger(__name__)


@dataclass(frozen=True)
class ServerSettings:
    """Limits and timeouts of the service (seconds and bytes)."""

    #: the largest body, of a bulk write (nodes, edges, row values, results)
    max_body_bytes: int = 64 * 1024 * 1024
    #: the largest body of any other request: a pipeline and its configuration, a dashboard
    #: summary, an OpenLineage event (kilobytes as a rule), a form
    max_document_bytes: int = 4 * 1024 * 1024
    #: a bulk write is read a line at a time; no line may be longer (nor a plain JSON body)
    max_line_bytes: int = 8 * 1024 * 1024
    #: the whole body must arrive within this time
    body_timeout: float = 60.0
    #: from connecting (or the last response) to a request's complete headers
    request_timeout: float = 10.0
    #: an idle keep-alive connection is closed after this time
    keep_alive_timeout: float = 5.0
    #: requests worked on at once (the others wait, costing no thread); requests without a
    #: bearer key have as many slots again, of their own
    max_concurrent_requests: int = 8
    #: how long a request waits for its turn before it is answered 503
    queue_timeout: float = 30.0
    #: requests of one client address worked on at once (the others wait for their turn)
    max_requests_per_client: int = 4
    #: connections one client address may hold open; one more is answered 503 and closed
    max_connections_per_client: int = 128
    #: a request without a bearer key (the login form, a page) carries at most this much,
    #: read within ``request_timeout`` before it takes a slot
    anonymous_body_bytes: int = 64 * 1024
    #: failed authentications (401 answers) one client address may have in a minute; each
    #: one more shuts it out, first for ``failure_delay`` seconds, then twice as long...
    failures_per_minute: int = 10
    failure_delay: float = 1.0
    #: how long a login session of the audit pages lasts (logging out ends it sooner)
    session_seconds: float = 8 * 3600.0

    def __post_init__(self) -> None:
        for name, value in vars(self).items():
            if not value > 0:
                raise ValueError(f"{name} must be positive, not {value!r}")


class LineageJSONResponse(JSONResponse):
    # non-finite values are data here (a division by zero): NaN and Infinity travel as the
    # tokens Python's json module reads and writes
    def render(self, content: Any) -> bytes:
        return json.dumps(content, ensure_ascii=False, allow_nan=True).encode("utf-8")


def create_app(
    store: SQLStore,
    settings: ServerSettings | None = None,
    routers: Sequence[APIRouter] = (),
) -> Any:
    """The ASGI app serving ``store``: the API under /v1, the OpenLineage intake, the audit
    pages at /, then each of ``routers``.

    ``app.state.store`` is the store and ``app.state.keys`` its ``KeyRing``; the returned app
    is wrapped in the request limits of ``settings`` and gives every answer the headers of
    ``headers.SECURITY_HEADERS``. There is no browsable ``/docs``: it would load its scripts
    from another site onto the origin of the audit pages; ``/openapi.json`` describes the API.
    """
    settings = settings or ServerSettings()

    @contextlib.asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        yield
        app.state.flip_counter.close()
        store.disconnect()

    app = FastAPI(
        title="quorvane lineage service",
        version="1",
        default_response_class=LineageJSONResponse,
        lifespan=lifespan,
        docs_url=None,
        redoc_url=None,
        responses={401: {"description": "missing or invalid API key"}},
    )
    app.state.store = store
    app.state.keys = KeyRing(store)
    app.state.sessions = Sessions(store, app.state.keys, settings.session_seconds)
    app.state.settings = settings
    app.include_router(api.router)
    app.include_router(element_api.router)
    app.include_router(lineage_intake.router)
    mount_pages(app)
    for router in routers:
        app.include_router(router)
    _add_error_answers(app)
    _document_bulk_bodies(app)
    throttle = FailureThrottle(settings.failures_per_minute, 60.0, settings.failure_delay)
    limited = RequestLimits(
        app,
        authenticate=app.state.keys.tenant_for_key,
        throttle=throttle,
        max_body_bytes=settings.max_body_bytes,
        body_timeout=settings.body_timeout,
        anonymous_body_bytes=settings.anonymous_body_bytes,
        anonymous_body_timeout=settings.request_timeout,
        max_concurrent=settings.max_concurrent_requests,
        max_per_client=settings.max_requests_per_client,
        queue_timeout=settings.queue_timeout,
        body_limit=_body_limits(settings),
    )
    return SecurityHeaders(limited)


def _body_limits(settings: ServerSettings) -> Callable[[dict[str, Any]], int]:
    """The largest body of a request: ``max_body_bytes`` for a bulk write, the document
    limit for the rest."""
    bulk = [compile_path(path)[0] for path in (*api.BULK_PATHS, *element_api.BULK_PATHS)]

    def limit(scope: dict[str, Any]) -> int:
        path = scope.get("path", "")
        if any(pattern.match(path) for pattern in bulk):
            return settings.max_body_bytes
        return settings.max_document_bytes

    return limit


def _document_bulk_bodies(app: FastAPI) -> None:
    """Add the models of the bodies read through ``json_body`` to the OpenAPI components."""
    build = app.openapi

    def openapi() -> dict[str, Any]:
        if app.openapi_schema is None:
            schema = build()
            read_from_bytes = (*api.BULK_BODIES, *api.DOCUMENT_BODIES, RunEventIn)
            _, defs = models_json_schema(
                [(model, "validation") for model in read_from_bytes],
                ref_template="#/components/schemas/{model}",
            )
            schema.setdefault("components", {}).setdefault("schemas", {}).update(defs["$defs"])
            app.openapi_schema = schema
        return app.openapi_schema

    app.openapi = openapi  # type: ignore[method-assign]


def _problem(status: int, message: str, headers: dict[str, str] | None = None) -> JSONResponse:
    return LineageJSONResponse({"error": message}, status_code=status, headers=headers)


def _add_error_answers(app: FastAPI) -> None:
    """Short answers in one shape ({"error": text}); no internal names, never a trace."""

    @app.exception_handler(RequestValidationError)
    async def invalid(request: Request, exc: RequestValidationError) -> JSONResponse:
        return _problem(422, _describe(exc.errors()))

    @app.exception_handler(HTTPException)
    async def http_error(request: Request, exc: HTTPException) -> Response:
        if exc.status_code == 404 and wants_page(request):
            return await run_in_threadpool(missing_page, request)
        return _problem(exc.status_code, str(exc.detail), getattr(exc, "headers", None))

    @app.exception_handler(PermissionError)
    async def forbidden(request: Request, exc: PermissionError) -> JSONResponse:
        return _problem(403, str(exc))

    @app.exception_handler(LookupError)
    async def not_found(request: Request, exc: LookupError) -> JSONResponse:
        return _problem(404, str(exc).strip("'\""))

    for kind in (ValueError, TypeError, ArithmeticError):

        @app.exception_handler(kind)
        async def bad_request(request: Request, exc: Exception) -> JSONResponse:
            return _problem(400, str(exc))

    @app.exception_handler(Exception)
    async def failed(request: Request, exc: Exception) -> JSONResponse:
        logger.error("%s %s failed", request.method, request.url.path, exc_info=exc)
        return _problem(500, "internal error")


def _describe(errors: Sequence[Any]) -> str:
    """'body.nodes.3.fingerprint: Input should be a valid integer' for the first few."""
    parts = []
    for error in list(errors)[:3]:
        where = ".".join(str(part) for part in error.get("loc", ()))
        parts.append(f"{where}: {error.get('msg', 'invalid')}" if where else error.get("msg", ""))
    more = len(errors) - len(parts)
    return "; ".join(parts) + (f" (and {more} more)" if more > 0 else "")
