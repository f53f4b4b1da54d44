"""A small reference implementation of the hosted lineage service, backed by SQLiteStorage.

Run it with::

    python -m quorvane.utilities.persistence.service --db lineage.db --port 8765 \\
        --api-key "$KEY:acme"

It listens on loopback only (``--host`` may name another local address). API keys: each
``--api-key KEY:TENANT`` option (or line of an ``--api-key-file``) lets the holder of KEY act as
TENANT. Only the SHA-256 digest of a key is kept, in the database's ``api_keys`` table, so keys
given once stay valid when the service is started again on the same file. Every request must
carry ``Authorization: Bearer KEY``; a request may name a tenant (header ``X-Quorvane-Tenant``
or a ``tenant_id`` field), which must be the key's tenant or "default" (meaning the key's
tenant). A tenant can neither read nor change another tenant's pipelines.

Tests and demos start it in-process with ``start_service``.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import logging
import re
import sys
import threading
import urllib.parse
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Literal, Self

from ._jsonable import jsonable
from ._sqlite import SQLiteStorage
from ._wire import (
    DASHBOARD_SYNC_PATH,
    edge_from_wire,
    node_from_wire,
    node_to_wire,
    row_value_from_wire,
    row_value_to_wire,
)
from .hosted import TENANT_HEADER

logger = logging.getLogger(__name__)

MAX_BODY_BYTES = 512 * 1024 * 1024


class HttpError(Exception):
    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


def key_digest(api_key: str) -> str:
    return hashlib.sha256(api_key.encode("utf-8")).hexdigest()


def parse_key_option(option: str) -> tuple[str, str]:
    """ "KEY:TENANT" -> (KEY, TENANT); the tenant is what follows the last colon."""
    key, sep, tenant = option.rpartition(":")
    if not sep or not key or not tenant:
        raise ValueError("an API key must be given as KEY:TENANT")
    return key, tenant


class KeyRing:
    """API keys by SHA-256 digest, kept in the database's api_keys table."""

    def __init__(self, storage: SQLiteStorage):
        self._storage = storage

    def add(self, api_key: str, tenant_id: str) -> None:
        if not api_key or not tenant_id:
            raise ValueError("API key and tenant must not be empty")
        self._storage.for_tenant(tenant_id).add_api_key_digest(key_digest(api_key))

    def tenant_for(self, api_key: str) -> str | None:
        return self._storage.tenant_for_key_digest(key_digest(api_key))


# -- request handling ---------------------------------------------------------------------------

Route = tuple[str, "re.Pattern[str]", Callable[..., Any]]


def _int(value: Any, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer")
    try:
        return int(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be an integer") from None


def _opt_int(value: Any, name: str) -> int | None:
    return None if value is None else _int(value, name)


def _list(body: Mapping[str, Any], name: str) -> list:
    value = body.get(name)
    if not isinstance(value, list):
        raise TypeError(f"the request body needs a list {name!r}")
    return value


class _Api:
    """The service's operations, each on the storage of the caller's tenant."""

    def __init__(self) -> None:
        p = r"/v1/pipelines/(\d+)"
        self.routes: list[Route] = [
            ("GET", re.compile(r"/v1/whoami"), self.whoami),
            ("POST", re.compile(r"/v1/pipelines"), self.create_pipeline),
            ("GET", re.compile(r"/v1/pipelines"), self.list_pipelines),
            ("GET", re.compile(p), self.get_pipeline),
            ("POST", re.compile(p + r"/complete"), self.complete_pipeline),
            ("GET", re.compile(p + r"/sources"), self.get_sources),
            ("GET", re.compile(p + r"/nodes"), self.get_nodes),
            ("GET", re.compile(p + r"/fingerprints"), self.get_fingerprints),
            ("GET", re.compile(p + r"/edges"), self.get_edges),
            ("GET", re.compile(p + r"/row_values"), self.get_row_values),
            ("POST", re.compile(p + r"/results"), self.store_results),
            ("POST", re.compile(r"/v1/sources"), self.register_source),
            ("POST", re.compile(r"/v1/nodes"), self.store_nodes),
            ("POST", re.compile(r"/v1/edges"), self.store_edges),
            ("POST", re.compile(r"/v1/edges/resolved"), self.store_edges_resolved),
            ("POST", re.compile(r"/v1/row_values"), self.store_row_values),
            ("GET", re.compile(r"/v1/results"), self.get_results),
            ("POST", re.compile(re.escape(DASHBOARD_SYNC_PATH)), self.dashboard_sync),
            ("GET", re.compile(r"/v1/dashboard/syncs"), self.dashboard_syncs),
        ]

    def find(self, method: str, path: str) -> tuple[Callable[..., Any], tuple[str, ...]]:
        known_path = False
        for verb, pattern, handler in self.routes:
            match = pattern.fullmatch(path)
            if match:
                known_path = True
                if verb == method:
                    return handler, match.groups()
        if known_path:
            raise HttpError(405, f"{method} is not allowed on {path}")
        raise HttpError(404, f"no such endpoint: {path}")

    # each handler: (storage, body, query, *path groups) -> JSON-able answer
    def whoami(self, st: SQLiteStorage, body, query) -> dict:
        return {"tenant_id": st.tenant_id}

    def create_pipeline(self, st: SQLiteStorage, body, query) -> dict:
        _check_tenant(st, body.get("tenant_id"))
        name = body.get("pipeline_name")
        pipeline_id = st.create_pipeline(
            pipeline_name="unnamed" if name is None else name,
            config=body.get("config"),
            git_commit=body.get("git_commit"),
        )
        return {"pipeline_id": pipeline_id}

    def list_pipelines(self, st, body, query) -> dict:
        return {"pipelines": st.list_pipelines()}

    def get_pipeline(self, st, body, query, pid) -> dict:
        pipeline = st.get_pipeline(int(pid))
        if pipeline is None:
            raise LookupError(f"no pipeline with id {pid}")
        return {"pipeline": pipeline}

    def complete_pipeline(self, st, body, query, pid) -> dict:
        st.complete_pipeline(int(pid), status=body.get("status", "completed"))
        return {"pipeline_id": int(pid)}

    def get_sources(self, st, body, query, pid) -> dict:
        return {"sources": st.get_sources(int(pid))}

    def get_nodes(self, st, body, query, pid) -> dict:
        return {"nodes": [node_to_wire(n) for n in st.get_nodes(int(pid))]}

    def get_fingerprints(self, st, body, query, pid) -> dict:
        return {"map": [[fp, db_id] for fp, db_id in st.get_fingerprint_node_map(int(pid)).items()]}

    def get_edges(self, st, body, query, pid) -> dict:
        return {"edges": [jsonable(e.__dict__) for e in st.get_edges(int(pid))]}

    def get_row_values(self, st, body, query, pid) -> dict:
        row_index = _opt_int(query.get("row_index"), "row_index")
        return {"values": [row_value_to_wire(v) for v in st.get_row_values(int(pid), row_index)]}

    def store_results(self, st, body, query, pid) -> dict:
        rows = []
        for row in _list(body, "rows"):
            if not isinstance(row, list) or len(row) != 5:
                raise ValueError("each result row must be a list of five values")
            key, name, fp, value, input_hash = row
            rows.append((key, name, _int(fp, "fingerprint"), value, input_hash))
        return {"stored": st.store_results(int(pid), rows)}

    def register_source(self, st, body, query) -> dict:
        st.register_source(
            _int(body.get("pair_id"), "pair_id"),
            body.get("table"),
            body.get("column"),
            is_protected=bool(body.get("is_protected", False)),
            pipeline_id=_opt_int(body.get("pipeline_id"), "pipeline_id") or 0,
        )
        return {"registered": True}

    def store_nodes(self, st, body, query) -> dict:
        default = _opt_int(body.get("default_pipeline_id"), "default_pipeline_id") or 0
        nodes = [node_from_wire(n) for n in _list(body, "nodes")]
        for node in nodes:
            if node.pipeline_id is None:
                node.pipeline_id = default
        return {"stored": st.store_nodes(nodes)}

    def store_edges(self, st, body, query) -> dict:
        edges = [edge_from_wire(e) for e in _list(body, "edges")]
        pipeline_id = _opt_int(body.get("pipeline_id"), "pipeline_id") or 0
        return {"stored": st.store_edges(edges, pipeline_id=pipeline_id)}

    def store_edges_resolved(self, st, body, query) -> dict:
        rows = []
        for row in _list(body, "rows"):
            if not isinstance(row, list) or len(row) != 3:
                raise ValueError("each edge row must be [parent id, child id, input position]")
            rows.append(tuple(_int(v, "edge row value") for v in row))
        return {"stored": st.store_edges_resolved(rows)}

    def store_row_values(self, st, body, query) -> dict:
        values = [row_value_from_wire(v) for v in _list(body, "values")]
        for value in values:
            _check_tenant(st, value.tenant_id)
            value.tenant_id = None
        return {"stored": st.store_row_values(values)}

    def get_results(self, st, body, query) -> dict:
        results = st.get_results(
            row_key=query.get("row_key"),
            pipeline_id=_opt_int(query.get("pipeline_id"), "pipeline_id"),
            output_name=query.get("output_name"),
        )
        return {"results": results}

    def dashboard_sync(self, st, body, query) -> dict:
        return {"status": "ok", "sync_id": st.store_dashboard_sync(body)}

    def dashboard_syncs(self, st, body, query) -> dict:
        return {"syncs": st.get_dashboard_syncs()}


def _check_tenant(st: SQLiteStorage, claimed: Any) -> None:
    if claimed not in (None, "default", st.tenant_id):
        raise PermissionError("the API key does not belong to the tenant named in the request")


_API = _Api()


class _Handler(BaseHTTPRequestHandler):
    server_version = "QuorvaneLineage/1"
    # set on the subclass made by make_server
    storage: SQLiteStorage
    keys: KeyRing

    def do_GET(self) -> None:
        self._handle("GET")

    def do_POST(self) -> None:
        self._handle("POST")

    def _handle(self, method: str) -> None:
        try:
            status, answer = 200, self._answer(method)
        except HttpError as exc:
            status, answer = exc.status, {"error": str(exc)}
        except PermissionError as exc:
            status, answer = 403, {"error": str(exc)}
        except LookupError as exc:
            status, answer = 404, {"error": str(exc)}
        except (ValueError, TypeError) as exc:
            status, answer = 400, {"error": str(exc)}
        except Exception:
            logger.exception("request %s %s failed", method, self.path.split("?")[0])
            status, answer = 500, {"error": "internal error"}
        finally:
            self.storage.release_thread_connection()
        self._send(status, answer)

    def _answer(self, method: str) -> Any:
        tenant = self._authenticate()
        split = urllib.parse.urlsplit(self.path)
        handler, groups = _API.find(method, split.path)
        query = dict(urllib.parse.parse_qsl(split.query))
        body = self._read_body() if method == "POST" else {}
        storage = self.storage.for_tenant(tenant)
        _check_tenant(storage, self.headers.get(TENANT_HEADER))
        return handler(storage, body, query, *groups)

    def _authenticate(self) -> str:
        header = self.headers.get("Authorization", "")
        scheme, _, key = header.partition(" ")
        tenant = self.keys.tenant_for(key.strip()) if scheme == "Bearer" and key.strip() else None
        if tenant is None:
            raise HttpError(401, "missing or invalid API key")
        return tenant

    def _read_body(self) -> dict:
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            raise HttpError(400, "bad Content-Length") from None
        if length < 0 or length > MAX_BODY_BYTES:
            raise HttpError(413, "request body too large")
        raw = self.rfile.read(length) if length else b""
        try:
            body = json.loads(raw.decode("utf-8")) if raw else {}
        except (UnicodeDecodeError, json.JSONDecodeError) as exc:
            raise HttpError(400, f"the request body is not JSON: {exc}") from None
        if not isinstance(body, dict):
            raise HttpError(400, "the request body must be a JSON object")
        return body

    def _send(self, status: int, answer: Any) -> None:
        data = json.dumps(answer, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if status == 401:
            self.send_header("WWW-Authenticate", "Bearer")
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format: str, *args: Any) -> None:
        # the request line holds method, path and status only; keys travel in headers
        logger.info("%s %s", self.address_string(), format % args)


# -- running it -----------------------------------------------------------------------------------


def make_server(
    db_path: str, api_keys: Iterable[tuple[str, str]] = (), host: str = "127.0.0.1", port: int = 0
) -> ThreadingHTTPServer:
    storage = SQLiteStorage(db_path)
    storage.connect()
    keys = KeyRing(storage)
    for key, tenant in api_keys:
        keys.add(key, tenant)
    storage.release_thread_connection()
    handler = type("Handler", (_Handler,), {"storage": storage, "keys": keys})
    server = ThreadingHTTPServer((host, port), handler)
    server.daemon_threads = True
    return server


@dataclass
class RunningService:
    """A service running in a background thread; ``stop()`` shuts it down."""

    url: str
    server: ThreadingHTTPServer
    thread: threading.Thread

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)
        handler = self.server.RequestHandlerClass
        if isinstance(handler, type) and issubclass(handler, _Handler):
            handler.storage.disconnect()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type, exc_val, exc_tb) -> Literal[False]:
        self.stop()
        return False


def start_service(
    db_path: str,
    api_keys: Mapping[str, str] | Iterable[tuple[str, str]] = (),
    host: str = "127.0.0.1",
    port: int = 0,
) -> RunningService:
    """Start the service in a daemon thread (port 0: an ephemeral port); api_keys maps key to
    tenant. Returns its base URL and a stop handle."""
    pairs = api_keys.items() if isinstance(api_keys, Mapping) else api_keys
    server = make_server(db_path, pairs, host, port)
    thread = threading.Thread(
        target=server.serve_forever,
        kwargs={"poll_interval": 0.05},
        name="quorvane-lineage-service",
        daemon=True,
    )
    thread.start()
    bound_host, bound_port = server.socket.getsockname()[:2]
    return RunningService(f"http://{bound_host}:{bound_port}", server, thread)


def _read_key_file(path: str) -> list[tuple[str, str]]:
    with open(path, encoding="utf-8") as handle:
        lines = [line.strip() for line in handle]
    return [parse_key_option(line) for line in lines if line and not line.startswith("#")]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quorvane.utilities.persistence.service",
        description="Reference lineage service on loopback, backed by a SQLite file.",
    )
    parser.add_argument("--db", required=True, help="SQLite database file (created if missing)")
    parser.add_argument("--port", type=int, required=True, help="TCP port (0: any free port)")
    parser.add_argument("--host", default="127.0.0.1", help="local address (default 127.0.0.1)")
    parser.add_argument(
        "--api-key", action="append", default=[], metavar="KEY:TENANT", help="accept KEY for TENANT"
    )
    parser.add_argument("--api-key-file", metavar="FILE", help="lines of KEY:TENANT")
    args = parser.parse_args(argv)
    try:
        keys = [parse_key_option(option) for option in args.api_key]
        if args.api_key_file:
            keys += _read_key_file(args.api_key_file)
    except (OSError, ValueError) as exc:
        parser.error(str(exc))
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(message)s")
    server = make_server(args.db, keys, args.host, args.port)
    host, port = server.socket.getsockname()[:2]
    print(f"serving on http://{host}:{port}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
