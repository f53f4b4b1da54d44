"""Limits that keep one client from locking out the others, as plain ASGI middleware.

- A body larger than its route allows (``body_limit`` of the request; ``max_body_bytes`` at
  most) is refused with 413, before it is read when the client announces its length,
  otherwise as soon as it grows past the limit.
- A body must arrive within ``body_timeout`` seconds (408 otherwise); it is read whole
  before the app runs, so handlers never wait on a slow client. It is handed on in the
  pieces it arrived in, each let go once the app took it: joining them would hold the body
  twice.
- At most ``max_concurrent`` requests are worked on at once; the others wait for a slot at
  most ``queue_timeout`` seconds and are then answered 503. Waiting costs no thread.
"""

from __future__ import annotations

import asyncio
import json
from collections import deque
from collections.abc import Callable
from typing import Any

Scope = dict[str, Any]
Message = dict[str, Any]


class _Refused(Exception):
    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


async def _answer(send: Any, status: int, message: str, extra: list | None = None) -> None:
    body = json.dumps({"error": message}).encode("utf-8")
    headers = [
        (b"content-type", b"application/json"),
        (b"content-length", str(len(body)).encode()),
        (b"connection", b"close"),
        *(extra or []),
    ]
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


class RequestLimits:
    def __init__(
        self,
        app: Any,
        *,
        max_body_bytes: int,
        body_timeout: float,
        max_concurrent: int,
        queue_timeout: float,
        body_limit: Callable[[Scope], int] | None = None,
    ):
        self.app = app
        self.max_body_bytes = max_body_bytes
        self.body_limit = body_limit or (lambda scope: max_body_bytes)
        self.body_timeout = body_timeout
        self.queue_timeout = queue_timeout
        self._slots = asyncio.Semaphore(max_concurrent)

    async def __call__(self, scope: Scope, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        limit = min(self.body_limit(scope), self.max_body_bytes)
        announced = _content_length(scope)
        if announced is not None and announced > limit:
            await _answer(send, 413, f"the body is larger than {limit} bytes")
            return
        try:
            await asyncio.wait_for(self._slots.acquire(), self.queue_timeout)
        except TimeoutError:
            await _answer(send, 503, "the service is busy", [(b"retry-after", b"1")])
            return
        try:
            try:
                body = await asyncio.wait_for(self._read_body(receive, limit), self.body_timeout)
            except TimeoutError:
                await _answer(send, 408, "the body did not arrive in time")
                return
            except _Refused as refused:
                await _answer(send, refused.status, str(refused))
                return
            await self.app(scope, _replay(body, receive), send)
        finally:
            self._slots.release()

    async def _read_body(self, receive: Any, limit: int) -> deque[bytes]:
        """The whole body, read before the app runs, so that no handler waits on a client."""
        chunks: deque[bytes] = deque()
        size = 0
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                raise _Refused(400, "the client went away")
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > limit:
                raise _Refused(413, f"the body is larger than {limit} bytes")
            if chunk:
                chunks.append(chunk)
            if not message.get("more_body", False):
                return chunks


def _replay(chunks: deque[bytes], receive: Any) -> Any:
    done = False

    async def replay_receive() -> Message:
        nonlocal done
        if not done:
            chunk = chunks.popleft() if chunks else b""
            done = not chunks
            return {"type": "http.request", "body": chunk, "more_body": not done}
        return await receive()  # after the body: wait for the disconnect, as ASGI does

    return replay_receive


def _content_length(scope: Scope) -> int | None:
    for name, value in scope.get("headers", ()):
        if name == b"content-length":
            try:
                return int(value)
            except ValueError:
                return None
    return None
