"""Request bodies parsed by pydantic's JSON parser instead of the standard json module.

It is faster, accepts the NaN and Infinity tokens that non-finite values travel as, and has
a nesting limit: a deeply nested body is a 422 answer, never a recursion error.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Coroutine
from typing import Any, TypeVar

import pydantic_core
from fastapi import Request, Response
from fastapi.routing import APIRoute
from pydantic import BaseModel

Model = TypeVar("Model", bound=BaseModel)


class _LineageRequest(Request):
    async def json(self) -> Any:
        if not hasattr(self, "_json"):
            body = await self.body()
            try:
                self._json = pydantic_core.from_json(body, allow_inf_nan=True, cache_strings="keys")
            except ValueError as exc:
                # the exception FastAPI answers with 422 "JSON decode error"
                raise json.JSONDecodeError(str(exc), "", 0) from None
        return self._json


class LineageRoute(APIRoute):
    def get_route_handler(self) -> Callable[[Request], Coroutine[Any, Any, Response]]:
        handler = super().get_route_handler()

        async def route(request: Request) -> Response:
            return await handler(_LineageRequest(request.scope, request.receive))

        return route
