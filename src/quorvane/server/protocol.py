"""uvicorn's HTTP/1.1 protocol, with a deadline for each request's headers.

uvicorn closes a connection that stays idle after a response, but not one that never
sends a request, or sends its headers a byte at a time. Such connections cost nothing but a
socket here (no thread waits on them), yet enough of them would use up the file
descriptors: each gets ``request_timeout`` seconds from connecting (or from its last
response) to send complete headers, and is closed otherwise.
"""

from __future__ import annotations

import asyncio
from typing import Any

from uvicorn.protocols.http.h11_impl import H11Protocol


class DeadlineH11Protocol(H11Protocol):
    request_timeout: float = 10.0  # set on a subclass by the runner

    def connection_made(self, transport: Any) -> None:
        super().connection_made(transport)
        self._arm_deadline()

    def on_response_complete(self) -> None:
        super().on_response_complete()
        self._arm_deadline()

    def connection_lost(self, exc: Exception | None) -> None:
        self._disarm_deadline()
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


def with_request_timeout(seconds: float) -> type[DeadlineH11Protocol]:
    return type("DeadlineH11Protocol", (DeadlineH11Protocol,), {"request_timeout": seconds})
