"""Limits that keep one client from locking out the others, as plain ASGI middleware.

A request's key is checked before it takes anything: a bearer key that does not resolve is
answered 401 at once, its body unread. Then there are two lanes.

- Keyed requests (a valid bearer key) wait for a turn of their client address (at most
  ``max_per_client`` at once) and for one of ``max_concurrent`` slots, each at most
  ``queue_timeout`` seconds (503 after that; waiting costs no thread). Then the body is
  read, at most its route's ``body_limit`` (``max_body_bytes`` at most; 413, before it is
  read when the client announces its length) within ``body_timeout`` seconds (408).
- Requests without a bearer key (pages, the login form, the schema) carry at most
  ``anonymous_body_bytes``, read within ``anonymous_body_timeout`` seconds *before* they
  take a turn or one of their own ``max_concurrent`` slots: someone who withholds a body
  holds nothing but a socket, and never a slot of the keyed clients.

The body is read whole before the app runs, so handlers never wait on a slow client, and a
deadline that passes releases everything the request held. It is handed on in the pieces it
arrived in, each let go once the app took it: joining them would hold the body twice.

Every 401 answer counts as a failed authentication of the client address, and an address
the ``throttle`` shuts out is answered 429 before its key is looked at.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import math
from collections import deque
from collections.abc import AsyncIterator, Callable
from typing import Any

from starlette.concurrency import run_in_threadpool

from .throttle import FailureThrottle

Scope = dict[str, Any]
Message = dict[str, Any]
UNAUTHORIZED = "missing or invalid API key"


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


async def _refuse(send: Any, refused: _Refused) -> None:
    # a missing key is said as the API says it, so that clients know to send one
    challenge = [(b"www-authenticate", b"Bearer")] if refused.status == 401 else []
    await _answer(send, refused.status, str(refused), challenge)


class _ClientTurns:
    """At most ``limit`` requests of one client address at once; the others wait in turn."""

    def __init__(self, limit: int):
        self.limit = limit
        self._turns: dict[str, tuple[asyncio.Semaphore, list[int]]] = {}

    @contextlib.asynccontextmanager
    async def turn(self, client: str) -> AsyncIterator[None]:
        semaphore, users = self._turns.setdefault(client, (asyncio.Semaphore(self.limit), [0]))
        users[0] += 1
        try:
            async with semaphore:
                yield
        finally:
            users[0] -= 1
            if not users[0]:  # nobody holds or awaits it: forget the address
                del self._turns[client]


class RequestLimits:
    def __init__(
        self,
        app: Any,
        *,
        authenticate: Callable[[str], object],
        throttle: FailureThrottle,
        max_body_bytes: int,
        body_timeout: float,
        anonymous_body_bytes: int,
        anonymous_body_timeout: float,
        max_concurrent: int,
        max_per_client: int,
        queue_timeout: float,
        body_limit: Callable[[Scope], int] | None = None,
    ):
        self.app = app
        self.authenticate = authenticate
        self.throttle = throttle
        self.max_body_bytes = max_body_bytes
        self.body_limit = body_limit or (lambda scope: max_body_bytes)
        self.body_timeout = body_timeout
        self.anonymous_body_bytes = anonymous_body_bytes
        self.anonymous_body_timeout = anonymous_body_timeout
        self.queue_timeout = queue_timeout
        self._keyed_slots = asyncio.Semaphore(max_concurrent)
        self._anonymous_slots = asyncio.Semaphore(max_concurrent)
        self._turns = _ClientTurns(max_per_client)

    async def __call__(self, scope: Scope, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        client = _client_address(scope)
        wait = self.throttle.wait_for(client)
        if wait > 0:
            retry = str(math.ceil(wait)).encode()
            await _answer(send, 429, "too many failed logins", [(b"retry-after", retry)])
            return
        send = self._counting_failures(client, send)
        key = _bearer_key(scope)
        if key is None:
            await self._anonymous(scope, receive, send, client)
        elif await run_in_threadpool(self.authenticate, key) is not None:
            await self._keyed(scope, receive, send, client)
        else:
            await _refuse(send, _Refused(401, UNAUTHORIZED))

    async def _keyed(self, scope: Scope, receive: Any, send: Any, client: str) -> None:
        limit = min(self.body_limit(scope), self.max_body_bytes)
        too_large = _Refused(413, f"the body is larger than {limit} bytes")
        if not await self._fits(scope, send, limit, too_large):
            return
        async with contextlib.AsyncExitStack() as held:
            if not await self._wait_turn(held, client, self._keyed_slots, send):
                return
            body = await self._body(receive, send, limit, self.body_timeout, too_large)
            if body is not None:
                await self.app(scope, _replay(body, receive), send)

    async def _anonymous(self, scope: Scope, receive: Any, send: Any, client: str) -> None:
        limit = min(self.anonymous_body_bytes, self.body_limit(scope))
        deadline = self.anonymous_body_timeout
        too_large = _Refused(401, f"{UNAUTHORIZED} (without one a body has at most {limit} bytes)")
        if not await self._fits(scope, send, limit, too_large):
            return
        body = await self._body(receive, send, limit, deadline, too_large)
        if body is None:
            return
        async with contextlib.AsyncExitStack() as held:
            if await self._wait_turn(held, client, self._anonymous_slots, send):
                await self.app(scope, _replay(body, receive), send)

    async def _fits(self, scope: Scope, send: Any, limit: int, too_large: _Refused) -> bool:
        """Refuse unread a body announced larger than ``limit``."""
        announced = _content_length(scope)
        if announced is None or announced <= limit:
            return True
        await _refuse(send, too_large)
        return False

    async def _wait_turn(
        self, held: contextlib.AsyncExitStack, client: str, slots: asyncio.Semaphore, send: Any
    ) -> bool:
        """Wait for the client's turn and a slot, both released when ``held`` closes."""
        try:
            async with asyncio.timeout(self.queue_timeout):
                await held.enter_async_context(self._turns.turn(client))
                await held.enter_async_context(slots)
        except TimeoutError:
            await _answer(send, 503, "the service is busy", [(b"retry-after", b"1")])
            return False
        return True

    async def _body(
        self, receive: Any, send: Any, limit: int, deadline: float, too_large: _Refused
    ) -> deque[bytes] | None:
        """The whole body, or None once the refusal is sent."""
        try:
            return await asyncio.wait_for(_read_body(receive, limit, too_large), deadline)
        except TimeoutError:
            await _answer(send, 408, "the body did not arrive in time")
        except _Refused as refused:
            await _refuse(send, refused)
        return None

    def _counting_failures(self, client: str, send: Any) -> Any:
        async def counting_send(message: Message) -> None:
            if message["type"] == "http.response.start" and message["status"] == 401:
                self.throttle.failed(client)
            await send(message)

        return counting_send


async def _read_body(receive: Any, limit: int, too_large: _Refused) -> deque[bytes]:
    chunks: deque[bytes] = deque()
    size = 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            raise _Refused(400, "the client went away")
        chunk = message.get("body", b"")
        size += len(chunk)
        if size > limit:
            raise too_large
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


def _header(scope: Scope, wanted: bytes) -> bytes | None:
    for name, value in scope.get("headers", ()):
        if name == wanted:
            return value
    return None


def _content_length(scope: Scope) -> int | None:
    value = _header(scope, b"content-length")
    try:
        return None if value is None else int(value)
    except ValueError:
        return None


def _bearer_key(scope: Scope) -> str | None:
    """The key of an ``Authorization: Bearer`` header; other schemes are the app's to refuse."""
    scheme, _, key = (_header(scope, b"authorization") or b"").decode("latin-1").partition(" ")
    return key.strip() if scheme == "Bearer" else None


def _client_address(scope: Scope) -> str:
    client = scope.get("client")
    return str(client[0]) if client else ""
