"""The headers of a careful service, on every answer: pages, API, static files and errors.

The pages use nothing but their own stylesheet (no script, no inline style, nothing from
another origin), and no other site may frame them. A header an answer sets itself is kept.
"""

from __future__ import annotations

from typing import Any

SECURITY_HEADERS = {
    "content-security-policy": (
        "default-src 'self'; script-src 'none'; object-src 'none'; base-uri 'none';"
        " form-action 'self'; frame-ancestors 'none'"
    ),
    "x-content-type-options": "nosniff",
    "referrer-policy": "same-origin",
    # pages and answers show one tenant's data: no shared cache may keep them
    "cache-control": "no-store",
}
_ENCODED = [(name.encode(), value.encode()) for name, value in SECURITY_HEADERS.items()]


class SecurityHeaders:
    def __init__(self, app: Any):
        self.app = app

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message: dict[str, Any]) -> None:
            if message["type"] == "http.response.start":
                headers = list(message.get("headers", ()))
                present = {name.lower() for name, _ in headers}
                headers += [(name, value) for name, value in _ENCODED if name not in present]
                message = {**message, "headers": headers}
            await send(message)

        await self.app(scope, receive, send_with_headers)
