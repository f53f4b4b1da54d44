"""The audit pages at /: runs, a run, one result's lineage; login with an API key.

A browser logs in once with an API key, checked by the same key ring as the API's bearer
header, so a page shows exactly what the API would show that key. The login opens a
server-side session (see ``sessions``): the HttpOnly, SameSite=Strict cookie holds only its
random id, and logging out ends the session on the server, not just in this browser.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Coroutine
from pathlib import Path
from typing import Annotated, Any
from urllib.parse import parse_qs, quote, urlsplit

from fastapi import APIRouter, FastAPI, Query, Request, Response
from fastapi.concurrency import run_in_threadpool
from fastapi.exceptions import RequestValidationError
from fastapi.responses import HTMLResponse, RedirectResponse
from fastapi.routing import APIRoute
from fastapi.staticfiles import StaticFiles
from fastapi.templating import Jinja2Templates

from ..utilities.persistence import SQLStore
from . import runs as run_pages
from .applicant import (
    OPEN_STEPS,
    SHOWN_INPUTS,
    Applicant,
    no_exact_export,
    read_applicant,
    shown,
)
from .drawing import Caption, draw
from .flips import FlipCounter
from .lineage import (
    Lineage,
    format_value,
    node_name,
    protection_mark,
    read_lineage,
    row_status,
)
from .notfound import NotFound, no_page
from .whatif import what_if

HERE = Path(__file__).parent
SESSION_COOKIE = "quorvane_session"
templates = Jinja2Templates(directory=HERE / "templates")
templates.env.globals.update(
    format_value=format_value,
    node_name=node_name,
    protection_mark=protection_mark,
    shown=shown,
    open_steps=OPEN_STEPS,
    shown_inputs=SHOWN_INPUTS,
)

#: like every number the service takes, within 64 bits; past the last page shows the last
PageNumber = Annotated[int, Query(ge=-(2**63), le=2**63 - 1)]


class _NotLoggedIn(Exception):
    pass


class PageRoute(APIRoute):
    """Errors of a page answered as pages: another tenant's run is as absent as a missing
    one (404), and nothing tells the two apart."""

    def get_route_handler(self) -> Callable[[Request], Coroutine[Any, Any, Response]]:
        handler = super().get_route_handler()

        async def route(request: Request) -> Response:
            try:
                return await handler(request)
            except _NotLoggedIn:
                target = request.url.path + (f"?{request.url.query}" if request.url.query else "")
                return RedirectResponse(f"/login?next={quote(target, safe='')}", status_code=303)
            except NotFound as missing:
                return _error(request, 404, missing.title, missing.detail)
            except (LookupError, PermissionError):
                return _error(request, 404, "No such page", "There is no such page for this key.")
            except (RequestValidationError, ValueError, TypeError, ArithmeticError):
                return _error(request, 400, "The address is not valid.", "")

        return route


router = APIRouter(route_class=PageRoute, include_in_schema=False)


def mount_pages(app: FastAPI) -> None:
    """Serve the pages and their stylesheet from ``app``."""
    app.state.overviews = run_pages.OverviewCache()
    app.state.flip_counter = FlipCounter()
    app.include_router(router)
    app.mount("/static", StaticFiles(directory=HERE / "static"), name="static")


# -- sessions ----------------------------------------------------------------------------------
def _tenant(request: Request) -> str | None:
    session_id = request.cookies.get(SESSION_COOKIE, "")
    return request.app.state.sessions.tenant(session_id) if session_id else None


def _store(request: Request) -> SQLStore:
    tenant = _tenant(request)
    if tenant is None:
        raise _NotLoggedIn()
    return request.app.state.store.for_tenant(tenant)


def _page(request: Request, template: str, code: int = 200, **context: Any) -> HTMLResponse:
    context.setdefault("tenant", None)
    return templates.TemplateResponse(request, template, context, status_code=code)


def _error(request: Request, status: int, message: str, detail: str) -> HTMLResponse:
    return _page(
        request, "error.html", status, message=message, detail=detail, tenant=_tenant(request)
    )


def wants_page(request: Request) -> bool:
    """A browser asking for a page (it accepts HTML), not a client of the API."""
    path = request.url.path
    if path.startswith(("/v1/", "/api/")) or path in ("/v1", "/api"):
        return False
    return "text/html" in request.headers.get("accept", "")


def missing_page(request: Request) -> HTMLResponse:
    """The 404 page of a path that nothing serves."""
    missing = no_page(request.url.path)
    return _error(request, 404, missing.title, missing.detail)


def _same_origin(request: Request) -> bool:
    """A form posted from another site carries its Origin: such a post is refused."""
    origin = request.headers.get("origin")
    if origin is None or origin == "null":
        return origin is None
    parts = urlsplit(origin)
    return parts.netloc == request.headers.get("host") and parts.scheme == request.url.scheme


def _local(target: str) -> str:
    """Where to go after logging in: a path of this site, never another site."""
    if target.startswith("/") and not target.startswith("//") and "\\" not in target:
        return target
    return "/"


async def _form(request: Request) -> dict[str, str]:
    fields = parse_qs((await request.body()).decode("utf-8", "replace"), keep_blank_values=True)
    return {name: values[-1] for name, values in fields.items()}


@router.get("/login", response_class=HTMLResponse)
def login_form(request: Request, next: str = "/") -> Response:
    return _login_page(request, 200, next=_local(next))


def _login_page(request: Request, code: int, **context: Any) -> HTMLResponse:
    hours = f"{request.app.state.settings.session_seconds / 3600:g}"
    return _page(request, "login.html", code, session_hours=hours, **context)


@router.post("/login")
async def login(request: Request) -> Response:
    if not _same_origin(request):
        return _error(request, 403, "Log in from this site's own page.", "")
    form = await _form(request)
    key, target = form.get("api_key", "").strip(), _local(form.get("next", "/"))
    session_id = await run_in_threadpool(request.app.state.sessions.open, key) if key else None
    if session_id is None:
        return _login_page(request, 401, next=target, failed=True)
    response = RedirectResponse(target, status_code=303)
    response.set_cookie(
        SESSION_COOKIE,
        session_id,
        httponly=True,
        samesite="strict",
        secure=request.url.scheme == "https",
        path="/",
    )
    return response


@router.post("/logout")
def logout(request: Request) -> Response:
    if not _same_origin(request):
        return _error(request, 403, "Log out from this site's own page.", "")
    request.app.state.sessions.close(request.cookies.get(SESSION_COOKIE, ""))
    response = RedirectResponse("/login", status_code=303)
    response.delete_cookie(SESSION_COOKIE, path="/", httponly=True, samesite="strict")
    return response


# -- pages -------------------------------------------------------------------------------------
@router.get("/", response_class=HTMLResponse)
def runs(request: Request, name: str = "", status: str = "", page: PageNumber = 1) -> Response:
    store = _store(request)
    listing = run_pages.runs_list(store, name.strip(), status.strip(), page)
    return _page(request, "runs.html", tenant=store.tenant_id, name=name, status=status, **listing)


@router.get("/runs/{pipeline_id}", response_class=HTMLResponse)
def run(request: Request, pipeline_id: int, q: str = "", page: PageNumber = 1) -> Response:
    store = _store(request)
    overview = run_pages.run_overview(store, pipeline_id, request.app.state.overviews)
    results = run_pages.results_page(store, pipeline_id, q.strip(), page)
    flips = request.app.state.flip_counter.counts(store, overview["run"])
    return _page(request, "run.html", tenant=store.tenant_id, flips=flips, **overview, **results)


@router.get("/runs/{pipeline_id}/lineage", response_class=HTMLResponse)
def lineage(
    request: Request,
    pipeline_id: int,
    key: str,
    output: str,
    layout: str = "auto",
    whatif: str = "",
    to: str = "",
) -> Response:
    """One applicant's result: its exact lineage and a what-if panel; for a run stored
    before runs kept a per-element log, the shape of the computation, saying that it cannot
    show the applicant exactly."""
    if layout not in ("auto", "dot", "layered"):
        raise ValueError("layout is auto, dot or layered")
    store = _store(request)
    found = read_applicant(store, pipeline_id, key, output)
    if found is None:
        return _shape_page(request, store, pipeline_id, key, output, layout)
    answer = what_if(store, found, whatif, to) if whatif else None
    return _applicant_page(request, store, found, layout, answer=answer, whatif=whatif, to=to)


@router.get("/runs/{pipeline_id}/report", response_class=HTMLResponse)
def report(request: Request, pipeline_id: int, key: str, output: str) -> Response:
    """The applicant's page as a report to print: every step unfolded, nothing to click."""
    store = _store(request)
    found = read_applicant(store, pipeline_id, key, output)
    if found is None:
        raise NotFound(
            "No exact report",
            f"Run #{pipeline_id} kept no per-element log of its results, so there is no"
            f" exact report of {key}'s {output}.",
        )
    return _applicant_page(request, store, found, "auto", printable=True)


def _applicant_page(
    request: Request, store: SQLStore, found: Applicant, layout: str, **context: Any
) -> HTMLResponse:
    svg, used = None, None
    if found.drawable:
        caption = Caption(
            f"Lineage of {found.output} for {found.key}",
            f"{len(found.drawn)} steps of {found.key}'s own lineage, the result at the top and"
            f" its inputs below it. Protected attributes: {found.reach.text}."
            " The steps table below lists every step with its value.",
        )
        svg, used = draw(found.boxes(), found.edges(), layout, caption)
    pipeline_id = found.run["pipeline_id"]
    check = store.latest_source_checks([pipeline_id], with_keys=True).get(pipeline_id)
    context.setdefault("printable", False)
    return _page(
        request,
        "applicant.html",
        tenant=store.tenant_id,
        run=found.run,
        applicant=found,
        svg=svg,
        layout=used,
        key=found.key,
        output=found.output,
        exports=_interop() is not None,
        check=check,
        row_status=row_status(found.result_row, check) if found.result_row else None,
        **context,
    )


def _shape_page(
    request: Request, store: SQLStore, pipeline_id: int, key: str, output: str, layout: str
) -> HTMLResponse:
    found = read_lineage(store, pipeline_id, key, output)
    caption = Caption(f"Shape of the computation of {output}", _description(found))
    svg, used = draw(found.boxes(), [(p, c) for p, c, _ in found.edges], layout, caption)
    return _page(
        request,
        "lineage.html",
        tenant=store.tenant_id,
        run=store.get_pipeline(pipeline_id),
        lineage=found,
        svg=svg,
        layout=used,
        key=key,
        output=output,
        prov=_prov_writer() is not None,
    )


def _description(found: Lineage) -> str:
    sources = sum(1 for n in found.nodes if n["node_type"] == "SOURCE")
    return (
        f"{len(found.nodes)} steps from {sources} source columns, shared by every result with"
        " the same word: the shape of the computation, not one applicant's lineage. The result"
        f" at the top and its inputs below it. Protected attributes: {found.reach.text}."
    )


EXPORTS = {
    "json": ("application/json", "values.json"),
    "dag.json": ("application/json", "dag.json"),
    "dot": ("text/vnd.graphviz", "dag.dot"),
    "prov.json": ("application/json", "prov.json"),
    "provn": ("text/provenance-notation", "prov.provn"),
    "openlineage.json": ("application/json", "openlineage.json"),
}
#: the exports of one applicant's exact lineage, by the format each writes
EXACT_FORMATS = {"prov.json": "prov-json", "provn": "prov-n", "openlineage.json": "openlineage"}


def _prov_writer() -> Callable[[Any, Any], str] | None:
    """The PROV-JSON export of the ``interop`` extra, when it is installed: of a DAG made
    by a stored run, given the run's record."""
    try:
        from ..interop.prov import ProvRun, dag_to_prov_json
    except ImportError:
        return None
    return lambda dag, record: dag_to_prov_json(dag, run=ProvRun.stored(record))


def _interop() -> Any:
    """The exports of one applicant's lineage (the ``interop`` extra), when installed."""
    try:
        from ..interop import applicant
    except ImportError:
        return None
    return applicant


@router.get("/runs/{pipeline_id}/lineage.{kind}")
def export(request: Request, pipeline_id: int, kind: str, key: str, output: str) -> Response:
    """The lineage as a file. Of a run with a per-element log: the applicant's exact
    lineage with its values (json), as PROV-JSON, PROV-N or an OpenLineage event (with the
    ``interop`` extra); of any run, the shape of the computation as the library's DAG JSON
    and DOT (and, for a run without the log, PROV-JSON and the values by row position)."""
    interop = _interop()
    if kind not in EXPORTS or (kind in EXACT_FORMATS and interop is None):
        raise NotFound("No such export", f"There is no {kind} export of a lineage here.")
    store = _store(request)
    exact = read_applicant(store, pipeline_id, key, output, full=True)  # every node
    if exact is not None and kind in EXACT_FORMATS:
        body = interop.render(exact.run, exact.lineage, output, EXACT_FORMATS[kind])
    elif exact is not None and kind == "json":
        body = json.dumps(exact.to_dict(), indent=2, ensure_ascii=False)
    else:
        body = _shape_export(store, pipeline_id, key, output, kind)
    media_type, suffix = EXPORTS[kind]
    filename = _file_name(f"run{pipeline_id}-{key}-{output}-{suffix}")
    return Response(
        body,
        media_type=media_type,
        headers={"Content-Disposition": f'attachment; filename="{filename}"'},
    )


def _shape_export(store: SQLStore, pipeline_id: int, key: str, output: str, kind: str) -> str:
    """An export of the shape of the computation (the summary kept per fingerprint)."""
    if kind in ("provn", "openlineage.json"):
        raise no_exact_export(kind)
    found = read_lineage(store, pipeline_id, key, output)
    prov = _prov_writer()
    if prov is not None and kind == "prov.json":
        return prov(found.dag(), store.get_pipeline(pipeline_id))
    if kind == "json":
        return json.dumps(found.to_dict(), indent=2, ensure_ascii=False, allow_nan=True)
    if kind == "dag.json":
        return found.dag().to_json()
    return found.dag().to_graphviz() + "\n"


def _file_name(text: str) -> str:
    """ASCII letters, digits and -._ only: safe in a header whatever the key holds."""
    return "".join(ch if ch.isascii() and (ch.isalnum() or ch in "-._") else "_" for ch in text)
