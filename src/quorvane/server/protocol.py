"""uvicorn's HTTP/1.1 protocol, with a deadline for each request's headers and a bound on
the connections of one client address.

uvicorn closes a connection that stays idle after a response, but not one that never
sends a request, or sends its headers a byte at a time. Such connections cost nothing but a
socket here (no thread waits on them), yet enough of them would use up the file
descriptors: each gets ``request_timeout`` seconds from connecting (or from its last
response) to send complete headers, and is closed otherwise. And one address may hold at most
``max_per_client`` connections: one more is answered 503 and closed at once.
"""

from __future__ import annotations

import asyncio
from collections import Counter
from typing import Any

from uvicorn.protocols.http.h11_impl import H11Protocol

_BUSY = (
    b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
    b"Retry-After: 1\r\nConnection: close\r\nContent-Length: 51\r\n\r\n"
    b'{"error": "too many connections from this address"}'
)


class DeadlineH11Protocol(H11Protocol):
    # set on a subclass by the runner, one per server
    request_timeout: float = 10.0
    max_per_client: int = 128
    open_per_client: Counter[str]

    def connection_made(self, transport: Any) -> None:
        super().connection_made(transport)
        self._address = self.client[0] if self.client else ""
        self.open_per_client[self._address] += 1
        if self.open_per_client[self._address] > self.max_per_client:
            transport.write(_BUSY)
            transport.close()
            return
        self._arm_deadline()

    def on_response_complete(self) -> None:
        super().on_response_complete()
        self._arm_deadline()

    def connection_lost(self, exc: Exception | None) -> None:
        self._disarm_deadline()
        self.open_per_client[self._address] -= 1
        if not self.open_per_client[self._address]:
            del self.open_per_client[self._address]
        super().connection_lost(exc)

    def _arm_deadline(self) -> None:
        self._disarm_deadline()
        self._deadline: asyncio.TimerHandle | None = self.loop.call_later(
            self.request_timeout, self._deadline_passed
        )

    def _disarm_deadline(self) -> None:
        handle = getattr(self, "_deadline", None)
        if handle is not None:
            handle.cancel()
            self._deadline = None

    def _deadline_passed(self) -> None:
        self._deadline = None
        waiting_for_headers = self.cycle is None or self.cycle.response_complete
        if waiting_for_headers and not self.transport.is_closing():
            self.transport.close()


def guarded_protocol(request_timeout: float, max_per_client: int) -> type[DeadlineH11Protocol]:
    """The protocol class of one server: its deadline, and its own count of connections."""
    fields = {
        "request_timeout": request_timeout,
        "max_per_client": max_per_client,
        "open_per_client": Counter(),
    }
    return type("DeadlineH11Protocol", (DeadlineH11Protocol,), fields)
