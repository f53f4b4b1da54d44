"""Bulk bodies read a line at a time, so that a request costs about its body in memory.

A bulk write is newline-delimited JSON (``application/x-ndjson``): every line is one object
of the route's model, holding a chunk of the records (as columns, or as rows). The lines
are checked one after the other, each kept compact once checked, and then stored in one
transaction: a request holds its body (or its checked chunks) and one line's records as
objects, never the whole body as objects, and a malformed line anywhere stores nothing
(422, naming the line). A plain JSON body (``application/json``) is read as a single such
line.
"""

from __future__ import annotations

import marshal
import re
from collections import deque
from collections.abc import Iterable, Iterator
from typing import Any, TypeVar

from fastapi import Request
from fastapi.exceptions import RequestValidationError
from pydantic import BaseModel, ValidationError
from starlette.exceptions import HTTPException

Model = TypeVar("Model", bound=BaseModel)

NDJSON = "application/x-ndjson"
_CONTENT = re.compile(rb"[^ \t\r\n]")


async def bulk_body(request: Request, model: type[Model]) -> Iterator[Model]:
    """The lines of the request body as ``model`` objects, each checked when it is reached.

    The body is taken as it arrives; the lines are split and checked by the returned
    iterator (which may run in a worker thread), and each chunk of the body is let go
    once its lines were read.
    """
    chunks: deque[bytes] = deque()
    async for chunk in request.stream():
        if chunk:
            chunks.append(chunk)
    limit = request.app.state.settings.max_line_bytes
    media_type = request.headers.get("content-type", "").split(";")[0].strip().lower()
    if media_type == NDJSON:
        return _checked(_lines(chunks, limit), model, numbered=True)
    if sum(map(len, chunks)) > limit:
        raise HTTPException(413, f"a JSON body here is at most {limit} bytes; send {NDJSON} lines")
    return _checked(iter([b"".join(chunks)]), model, numbered=False)


def _checked(lines: Iterator[bytes], model: type[Model], numbered: bool) -> Iterator[Model]:
    for number, line in enumerate(lines, start=1):
        try:
            yield model.model_validate_json(line)
        except ValidationError as exc:
            where = ("body", f"line {number}") if numbered else ("body",)
            errors = exc.errors(include_url=False, include_input=False)
            raise RequestValidationError(
                [{**error, "loc": (*where, *error["loc"])} for error in errors]
            ) from None


def _lines(chunks: deque[bytes], limit: int) -> Iterator[bytes]:
    """The non-blank lines of the body, taking its chunks off ``chunks`` as it goes.

    Runs of blank space are skipped in one search each: a body of blank lines costs
    little more than reading it."""
    parts: list[bytes] = []  # the line read so far, when it spans chunks
    size = 0
    while chunks:
        chunk = chunks.popleft()
        at = 0
        if parts:
            end = chunk.find(b"\n")
            size += len(chunk) if end < 0 else end
            if size > limit:
                raise _too_long(limit)
            if end < 0:
                parts.append(chunk)
                continue
            line = b"".join((*parts, chunk[:end]))
            parts, size = [], 0
            if line.strip():
                yield line
            at = end + 1
        while (content := _CONTENT.search(chunk, at)) is not None:
            start = content.start()
            end = chunk.find(b"\n", start)
            if (len(chunk) if end < 0 else end) - start > limit:
                raise _too_long(limit)
            if end < 0:
                parts, size = [chunk[start:] if start else chunk], len(chunk) - start
                break
            yield chunk[start:end]
            at = end + 1
    if parts and (line := b"".join(parts)).strip():
        yield line


def checked_first(chunks: Iterable[Any]) -> Iterator[Any]:
    """The chunks, every one read (and so checked) before the first is given out.

    A store writes a request's chunks in one transaction, which on SQLite keeps every
    other writer waiting: the body is parsed and checked before it starts, never while it
    runs. Meanwhile each chunk is kept marshalled, about the size of its JSON, instead of
    as objects, several times that; each is let go as it is given out.
    """
    kept = deque(marshal.dumps(chunk) for chunk in chunks)

    def given_out() -> Iterator[Any]:
        while kept:
            yield marshal.loads(kept.popleft())  # noqa: S302 - bytes made just above

    return given_out()


def _too_long(limit: int) -> HTTPException:
    return HTTPException(413, f"a line of the body is longer than {limit} bytes")


def bulk_body_schema(model: type[BaseModel]) -> dict[str, Any]:
    """The OpenAPI request body of a bulk route reading ``model`` (its lines, for NDJSON)."""
    schema = {"$ref": f"#/components/schemas/{model.__name__}"}
    return {
        "requestBody": {
            "required": True,
            "description": f"One {model.__name__} object; as {NDJSON}, one on every line.",
            "content": {"application/json": {"schema": schema}, NDJSON: {"schema": schema}},
        }
    }
