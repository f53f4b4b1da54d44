"""Serving the app with uvicorn: in the foreground (``quorvane serve``) or in a thread."""

from __future__ import annotations

import contextlib
import resource
import socket
import threading
import time
from dataclasses import dataclass
from typing import Any, Literal, Self

import uvicorn

from .app import ServerSettings
from .protocol import guarded_protocol


def _config(app: Any, settings: ServerSettings, log_level: str) -> uvicorn.Config:
    return uvicorn.Config(
        app,
        http=guarded_protocol(settings.request_timeout, settings.max_connections_per_client),
        loop="quorvane.server.listening:BackoffEventLoop",
        lifespan="on",
        server_header=False,
        date_header=True,
        timeout_keep_alive=int(max(1, round(settings.keep_alive_timeout))),
        log_level=log_level,
        access_log=False,
        backlog=1024,
    )


def raise_file_limit() -> None:
    """Let idle connections use the file descriptors the system allows, not a low default."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        with contextlib.suppress(ValueError, OSError):
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def bind(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # named as TCP, so that asyncio sets TCP_NODELAY on each connection it accepts: without
    # it, the body of every answer waited for the client to acknowledge its head (40 ms)
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    # listening at once: a client that connects as soon as the address is printed waits in
    # the backlog while the app is built, instead of being refused
    sock.listen(1024)
    return sock


def url_of(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


def serve(app: Any, sock: socket.socket, settings: ServerSettings, log_level: str = "info") -> None:
    """Serve until interrupted (SIGINT or SIGTERM)."""
    raise_file_limit()
    uvicorn.Server(_config(app, settings, log_level)).run(sockets=[sock])


@dataclass
class RunningServer:
    """A server running in a background thread; ``stop()`` shuts it down."""

    url: str
    server: uvicorn.Server
    thread: threading.Thread

    def stop(self) -> None:
        self.server.should_exit = True
        self.thread.join(30)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.stop()
        return False


def start_server(
    app: Any,
    host: str = "127.0.0.1",
    port: int = 0,
    settings: ServerSettings | None = None,
) -> RunningServer:
    """Serve ``app`` from a daemon thread (port 0: any free port) until ``stop()``."""
    settings = settings or ServerSettings()
    sock = bind(host, port)
    server = uvicorn.Server(_config(app, settings, "warning"))
    thread = threading.Thread(
        target=server.run, kwargs={"sockets": [sock]}, name="quorvane-server", daemon=True
    )
    thread.start()
    deadline = time.monotonic() + 30
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            raise RuntimeError("the lineage server did not start")
        time.sleep(0.01)
    return RunningServer(url_of(sock), server, thread)
