"""Accepting connections without spinning when the process runs out of file descriptors.

asyncio's own accept loop, when ``accept()`` fails for want of a descriptor, logs and
schedules a retry once for every connection waiting in the backlog, in the same tick: with
hundreds waiting, the retries wake each other, the CPU spins and the log fills with "Too
many open files". Here one task accepts one connection after the other; when accepting fails,
it waits (a little longer after each failure, at most ``LONGEST_PAUSE``) and says so once per
``LOG_INTERVAL``. A descriptor that frees is used within one pause.

The loop is handed to uvicorn as its event loop (``loop="quorvane.server.listening:
BackoffEventLoop"``); it serves the sockets uvicorn passes to ``create_server`` itself and
leaves every other call to asyncio.
"""

from __future__ import annotations

import asyncio
import logging
import socket
import time
from typing import Any

logger = logging.getLogger(__name__)

FIRST_PAUSE = 0.01
LONGEST_PAUSE = 0.25
LOG_INTERVAL = 10.0


class BackoffEventLoop(asyncio.SelectorEventLoop):
    async def create_server(  # type: ignore[override]
        self,
        protocol_factory: Any,
        host: Any = None,
        port: Any = None,
        *,
        sock: socket.socket | None = None,
        ssl: Any = None,
        **options: Any,
    ) -> asyncio.AbstractServer:
        if sock is None or ssl is not None:
            return await super().create_server(
                protocol_factory, host, port, sock=sock, ssl=ssl, **options
            )
        return _Listener(self, sock, protocol_factory)


class _Pause:
    """How long to wait after a failed accept, and whether to say so yet."""

    def __init__(self) -> None:
        self.seconds = FIRST_PAUSE
        self.unreported = 0
        self.reported_at = -LOG_INTERVAL

    def after(self, error: OSError) -> float:
        now = time.monotonic()
        self.unreported += 1
        if now - self.reported_at >= LOG_INTERVAL:
            logger.warning(
                "cannot accept connections (%s): %d failed tries since the last message,"
                " trying again every %.2f s at most",
                error.strerror or error,
                self.unreported,
                LONGEST_PAUSE,
            )
            self.reported_at, self.unreported = now, 0
        seconds, self.seconds = self.seconds, min(self.seconds * 2, LONGEST_PAUSE)
        return seconds

    def reset(self) -> None:
        self.seconds = FIRST_PAUSE


class _Listener(asyncio.AbstractServer):
    """A listening socket served by one accepting task."""

    def __init__(self, loop: asyncio.AbstractEventLoop, sock: socket.socket, factory: Any):
        self._loop = loop
        self._sock = sock
        self._factory = factory
        sock.setblocking(False)
        self._task = loop.create_task(self._accept_forever())

    @property
    def sockets(self) -> tuple[socket.socket, ...]:
        return (self._sock,)

    async def _accept_forever(self) -> None:
        pause = _Pause()
        while True:
            try:
                connection, _ = await self._loop.sock_accept(self._sock)
            except OSError as error:
                await asyncio.sleep(pause.after(error))
                continue
            pause.reset()
            try:
                await self._loop.connect_accepted_socket(self._factory, connection)
            except OSError:
                connection.close()  # gone before it was served

    def close(self) -> None:
        if self._sock.fileno() >= 0:
            # no wake-up for the closed socket, whose number the system may soon reuse
            self._loop.remove_reader(self._sock.fileno())
            self._sock.close()
        self._task.cancel()

    async def wait_closed(self) -> None:
        await asyncio.wait({self._task})

    def get_loop(self) -> asyncio.AbstractEventLoop:
        return self._loop

    def is_serving(self) -> bool:
        return not self._task.done()

    async def start_serving(self) -> None:
        """It serves from the start."""

    async def serve_forever(self) -> None:
        await asyncio.wait({self._task})
