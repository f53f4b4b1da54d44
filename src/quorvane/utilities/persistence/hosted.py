"""HostedStorage: the storage backend that talks JSON over HTTP to the hosted service."""

from __future__ import annotations

import ipaddress
import json
import socket
import threading
import urllib.parse
import weakref
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from ._backend import EdgeRow, ResultRow, StorageBackend
from ._element_codec import ARROW_STREAM, element_log_from_stream, element_log_to_stream
from ._element_log import ElementLineage, ElementLog, ElementLogParts, MemberPage
from ._jsonable import json_default, jsonable
from ._records import (
    EDGE_FIELDS,
    NODE_FIELDS,
    ROW_VALUE_FIELDS,
    StoredEdge,
    StoredNode,
    StoredRowValue,
)
from ._wire import (
    DASHBOARD_SYNC_PATH,
    NDJSON,
    bulk_body,
    edge_from_wire,
    lineage_from_wire,
    node_from_wire,
    row_lines,
    row_value_from_wire,
)
from .writer import RecordsRefused

TENANT_HEADER = "X-Quorvane-Tenant"


class ServiceError(RuntimeError):
    """The hosted service answered with an error status (``status``)."""

    def __init__(self, message: str, status: int):
        super().__init__(message)
        self.status = status


class KeyRejected(PermissionError, RecordsRefused):
    """The service does not accept the API key (HTTP 401): no record of any call can pass."""


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _httpx() -> Any:
    try:
        import httpx
    except ImportError:
        raise ImportError(
            "HostedStorage needs httpx: pip install 'quorvane[client]' (or 'quorvane[server]')"
        ) from None
    return httpx


class HostedStorage(StorageBackend):
    """Client of the hosted lineage service (``api_url``), authenticated by ``api_key``.

    One pooled keep-alive connection (per thread that uses it at once) carries the calls;
    every call has ``timeout`` seconds, and redirects are refused rather than followed with
    the key. The key travels only in the ``Authorization`` header; it is never put into a
    URL, a log line, an exception text or this object's repr. ``tenant_id`` "default"
    stands for the tenant the key belongs to; any other name must be that tenant, or the
    service refuses.
    """

    keeps_exact_hashes = True

    def __init__(
        self, api_url: str, api_key: str, tenant_id: str = "default", *, timeout: float = 10.0
    ):
        if not isinstance(api_url, str):
            raise TypeError(f"api_url must be a str, not {type(api_url).__name__}")
        if not isinstance(api_key, str):
            raise TypeError(f"api_key must be a str, not {type(api_key).__name__}")
        if not isinstance(tenant_id, str):
            raise TypeError(f"tenant_id must be a str, not {type(tenant_id).__name__}")
        self._base = api_url.rstrip("/")
        self._key = api_key
        self._tenant = tenant_id
        self._timeout = float(timeout)
        self._current_lock = threading.Lock()
        self._current_pipeline: int | None = None
        self._client_lock = threading.Lock()
        self._client: Any = None
        self.service_tenant: str | None = None

    def __repr__(self) -> str:
        return f"HostedStorage(api_url={self._base!r}, api_key='***', tenant_id={self._tenant!r})"

    @property
    def tenant_id(self) -> str:
        return self._tenant

    @property
    def current_pipeline_id(self) -> int | None:
        return self._current_pipeline

    # -- transport --------------------------------------------------------------------------
    def _http(self) -> Any:
        with self._client_lock:
            if self._client is None:
                self._client = self._open_client()
                # a storage dropped without disconnect() still gives its sockets back
                weakref.finalize(self, self._client.close)
            return self._client

    def check_url(self) -> urllib.parse.SplitResult:
        """The parts of the service URL; ``ValueError`` when this client cannot use it (not
        http(s), no host, or credentials, a query or a fragment in it)."""
        parts = urllib.parse.urlsplit(self._base)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(
                "the hosted service needs an http(s) URL (service_url), "
                f"got {self._base or 'an empty one'!r}"
            )
        if parts.username or parts.password or parts.query or parts.fragment:
            raise ValueError("the service URL must not contain credentials, a query or a fragment")
        return parts

    def _open_client(self) -> Any:
        parts = self.check_url()
        httpx = _httpx()
        return httpx.Client(
            base_url=self._base,
            headers={
                "Authorization": f"Bearer {self._key}",
                "Accept": "application/json",
                TENANT_HEADER: self._tenant,
            },
            timeout=self._timeout,
            follow_redirects=False,
            # a proxy from the environment must not see loopback traffic (or its key)
            trust_env=not _is_loopback(parts.hostname or ""),
            transport=httpx.HTTPTransport(
                limits=httpx.Limits(max_connections=8, max_keepalive_connections=8),
                # a request goes out as headers and body: without this, the body waits for
                # the server's delayed acknowledgement of the headers (some 40 ms a request)
                socket_options=[(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)],
            ),
        )

    def _redact(self, text: str) -> str:
        return text.replace(self._key, "***") if self._key else text

    def _request(
        self,
        method: str,
        path: str,
        body: Any = None,
        query: dict | None = None,
        lines: bytes | None = None,
        decode: bool = True,
        media_type: str = NDJSON,
        timeout: float | None = None,
    ) -> Any:
        """One call of the service: ``body`` sent as JSON, or ``lines`` as they are (NDJSON
        unless ``media_type`` says otherwise); the answer decoded from JSON, or its bytes as
        they came when not ``decode``."""
        client = self._http()
        httpx = _httpx()
        content = lines
        headers = {"Content-Type": media_type} if lines is not None else {}
        if body is not None:
            content = json.dumps(body, ensure_ascii=False, default=json_default).encode("utf-8")
            headers["Content-Type"] = "application/json"
        params = {k: v for k, v in (query or {}).items() if v is not None}
        try:
            response = client.request(
                method,
                path,
                content=content,
                params=params,
                headers=headers,
                timeout=self._timeout if timeout is None else timeout,
            )
        except httpx.TimeoutException as exc:
            raise TimeoutError(
                self._redact(f"the storage service at {self._base} did not answer in time: {exc}")
            ) from None
        except httpx.HTTPError as exc:
            raise ConnectionError(
                self._redact(f"cannot reach the storage service at {self._base}: {exc}")
            ) from None
        if response.status_code >= 300:
            raise self._error(response, method, path)
        if not decode:
            return response.content
        return json.loads(response.content) if response.content else None

    def _error(self, response: Any, method: str, path: str) -> Exception:
        try:
            detail = str(json.loads(response.content).get("error", ""))
        except (ValueError, AttributeError):
            detail = ""
        detail = self._redact(detail)
        where = f"{method} {path}"
        code = response.status_code
        if code < 400:
            return ServiceError(f"the storage service redirected {where}; not followed", code)
        if code == 401:
            return KeyRejected(f"the storage service rejected the API key (HTTP 401) on {where}")
        if code == 403:
            return PermissionError(
                f"refused by the storage service (HTTP 403) on {where}: {detail}"
            )
        if code == 404:
            return LookupError(f"not found on the storage service (HTTP 404) on {where}: {detail}")
        if code in (400, 413, 422):
            return ValueError(
                f"the storage service refused the request (HTTP {code}) on {where}: {detail}"
            )
        return ServiceError(f"the storage service failed (HTTP {code}) on {where}: {detail}", code)

    def _pipeline_or_current(self, pipeline_id: int | None) -> int | None:
        return self._current_pipeline if pipeline_id is None else int(pipeline_id)

    # -- connection -------------------------------------------------------------------------
    def connect(self) -> None:
        """Check that the service is reachable and accepts the key (and tenant)."""
        answer = self._request("GET", "/v1/whoami")
        self.service_tenant = answer.get("tenant_id") if isinstance(answer, dict) else None

    def disconnect(self) -> None:
        """Close the pooled connections; a later call opens new ones."""
        with self._client_lock:
            client, self._client = self._client, None
        if client is not None:
            client.close()

    # -- pipelines -------------------------------------------------------------------------
    def create_pipeline(
        self,
        pipeline_name: str = "unnamed",
        config: Mapping[str, Any] | None = None,
        git_commit: str | None = None,
        tenant_id: str | None = None,
    ) -> int:
        answer = self._request(
            "POST",
            "/v1/pipelines",
            {
                "pipeline_name": pipeline_name,
                "config": jsonable(config),
                "git_commit": git_commit,
                "tenant_id": tenant_id,
            },
        )
        pipeline_id = int(answer["pipeline_id"])
        with self._current_lock:
            self._current_pipeline = pipeline_id
        return pipeline_id

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        self._request("POST", f"/v1/pipelines/{int(pipeline_id)}/complete", {"status": status})

    def get_pipeline(self, pipeline_id: int) -> dict[str, Any] | None:
        try:
            return self._request("GET", f"/v1/pipelines/{int(pipeline_id)}")["pipeline"]
        except LookupError:
            return None

    def list_pipelines(self) -> list[dict[str, Any]]:
        return self._request("GET", "/v1/pipelines")["pipelines"]

    # -- writes ----------------------------------------------------------------------------
    def register_source(
        self,
        pair_id: int,
        table: str,
        column: str,
        is_protected: bool = False,
        *,
        pipeline_id: int | None = None,
    ) -> None:
        self._request(
            "POST",
            "/v1/sources",
            {
                "pair_id": int(pair_id),
                "table": table,
                "column": column,
                "is_protected": bool(is_protected),
                "pipeline_id": self._pipeline_or_current(pipeline_id),
            },
        )

    def store_nodes(self, nodes: Sequence[StoredNode]) -> int:
        if not nodes:
            return 0
        lines = bulk_body(nodes, NODE_FIELDS, default_pipeline_id=self._current_pipeline)
        return int(self._request("POST", "/v1/nodes", lines=lines)["stored"])

    def get_fingerprint_node_map(self, pipeline_id: int) -> dict[int, int]:
        answer = self._request("GET", f"/v1/pipelines/{int(pipeline_id)}/fingerprints")
        return {int(fp): int(db_id) for fp, db_id in answer["map"]}

    def store_edges_resolved(self, rows: Iterable[EdgeRow]) -> int:
        triples = [[int(p), int(c), int(i)] for p, c, i in rows]
        if not triples:
            return 0
        return int(self._request("POST", "/v1/edges/resolved", lines=row_lines(triples))["stored"])

    def store_edges(self, edges: Sequence[StoredEdge], pipeline_id: int | None = None) -> int:
        if not edges:
            return 0
        lines = bulk_body(edges, EDGE_FIELDS, pipeline_id=self._pipeline_or_current(pipeline_id))
        return int(self._request("POST", "/v1/edges", lines=lines)["stored"])

    def store_row_values(self, values: Sequence[StoredRowValue]) -> int:
        if not values:
            return 0
        lines = bulk_body(values, ROW_VALUE_FIELDS)
        return int(self._request("POST", "/v1/row_values", lines=lines)["stored"])

    def store_results(self, pipeline_id: int, rows: Iterable[ResultRow]) -> int:
        lines = row_lines(
            [
                [str(k), str(name), int(fp), None if v is None else float(v), h, *exact]
                for k, name, fp, v, h, *exact in rows
            ]
        )
        path = f"/v1/pipelines/{int(pipeline_id)}/results"
        return int(self._request("POST", path, lines=lines)["stored"])

    # -- reads -----------------------------------------------------------------------------
    def get_sources(self, pipeline_id: int) -> list[dict[str, Any]]:
        return self._request("GET", f"/v1/pipelines/{int(pipeline_id)}/sources")["sources"]

    def get_nodes(self, pipeline_id: int) -> list[StoredNode]:
        answer = self._request("GET", f"/v1/pipelines/{int(pipeline_id)}/nodes")
        return [node_from_wire(n) for n in answer["nodes"]]

    def get_edges(self, pipeline_id: int) -> list[StoredEdge]:
        answer = self._request("GET", f"/v1/pipelines/{int(pipeline_id)}/edges")
        return [edge_from_wire(e) for e in answer["edges"]]

    def get_row_values(
        self, pipeline_id: int, row_index: int | None = None
    ) -> list[StoredRowValue]:
        answer = self._request(
            "GET",
            f"/v1/pipelines/{int(pipeline_id)}/row_values",
            query={"row_index": None if row_index is None else int(row_index)},
        )
        return [row_value_from_wire(v) for v in answer["values"]]

    def get_results(
        self,
        row_key: Any | None = None,
        pipeline_id: int | None = None,
        output_name: Any | None = None,
    ) -> list[dict[str, Any]]:
        query = {
            "row_key": None if row_key is None else str(row_key),
            "pipeline_id": None if pipeline_id is None else int(pipeline_id),
            "output_name": None if output_name is None else str(output_name),
        }
        return self._request("GET", "/v1/results", query=query)["results"]

    # -- per-element logs -------------------------------------------------------------------
    def write_element_log(self, pipeline_id: int, log: ElementLog | ElementLogParts) -> None:
        """Send the run's per-element log in one body (the service refuses a body larger
        than its ``--max-body-mb`` with 413: nothing of it is stored); a log in parts is
        sent whole."""
        if isinstance(log, ElementLogParts):
            log = log.whole()
        if not isinstance(log, ElementLog):
            raise TypeError(f"log must be an ElementLog, not {type(log).__name__}")
        body = b"".join(element_log_to_stream(log))
        path = f"/v1/pipelines/{int(pipeline_id)}/element_log"
        # the service decodes and stores the whole log before it answers: a second more
        # for every few megabytes of it
        timeout = self._timeout + len(body) / 4e6
        self._request("POST", path, lines=body, media_type=ARROW_STREAM, timeout=timeout)

    def element_results(self, pipeline_id: int) -> list[str]:
        return self._request("GET", f"/v1/pipelines/{int(pipeline_id)}/element_results")["results"]

    def read_element_lineage(
        self, pipeline_id: int, result: str, key: str, *, full: bool = False
    ) -> ElementLineage | None:
        path = f"/v1/pipelines/{int(pipeline_id)}/element_lineage"
        query = {"result": result, "key": key, "full": "true" if full else "false"}
        answer = self._request("GET", path, query=query)["lineage"]
        return None if answer is None else lineage_from_wire(answer)

    def element_result_node(self, pipeline_id: int, result: str, key: str) -> int | None:
        path = f"/v1/pipelines/{int(pipeline_id)}/element_result_node"
        return self._request("GET", path, query={"result": result, "key": key})["node"]

    def read_element_members(
        self, pipeline_id: int, node_id: int, *, offset: int = 0, limit: int = 1000
    ) -> MemberPage | None:
        path = f"/v1/pipelines/{int(pipeline_id)}/element_members"
        query = {"node": int(node_id), "offset": int(offset), "limit": int(limit)}
        page = self._request("GET", path, query=query)["page"]
        if page is None:
            return None
        members = tuple((str(k), int(n)) for k, n in page["members"])
        return MemberPage(total=page["total"], offset=page["offset"], members=members)

    def read_element_groups(self, pipeline_id: int, node_id: int) -> dict[str, Any]:
        path = f"/v1/pipelines/{int(pipeline_id)}/element_groups"
        return self._request("GET", path, query={"node": int(node_id)})["groups"]

    def read_element_log(self, pipeline_id: int) -> ElementLog | None:
        path = f"/v1/pipelines/{int(pipeline_id)}/element_log"
        body = self._request("GET", path, decode=False)
        return element_log_from_stream(body) if body else None

    # -- dashboard ---------------------------------------------------------------------------
    def store_dashboard_sync(self, payload: Mapping[str, Any]) -> int | None:
        # The service took the summary once it answers with success; what it says beside
        # is read and set aside, except the id it may name.
        answer = self._request("POST", DASHBOARD_SYNC_PATH, jsonable(dict(payload)), decode=False)
        return _sync_id(answer)

    def get_dashboard_syncs(self) -> list[dict[str, Any]]:
        return self._request("GET", "/v1/dashboard/syncs")["syncs"]


def _sync_id(answer: bytes) -> int | None:
    """The id a dashboard answer names, None when it names none (or is not JSON)."""
    try:
        decoded = json.loads(answer)
    except ValueError:
        return None
    sync_id = decoded.get("sync_id") if isinstance(decoded, dict) else None
    return sync_id if type(sync_id) is int else None
