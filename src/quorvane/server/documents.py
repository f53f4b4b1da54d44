"""Bodies holding a free-form document (a pipeline's configuration, a dashboard summary, an
OpenLineage event), read so that a request costs about its size in memory.

The body is checked as JSON by a decoder that builds nothing, and only its outline (the
members down to a few levels, deeper objects and arrays as spans) is validated by the
route's model; the document itself is kept as the text that came in, so non-finite numbers
and every other value read back exactly as they were sent.
"""

from __future__ import annotations

import codecs
from typing import Any, TypeVar

from fastapi import Request
from fastapi.exceptions import RequestValidationError
from pydantic import BaseModel, ValidationError

from ..utilities.persistence import (
    DocumentError,
    JSONText,
    Nested,
    check_document,
    outline,
)

Model = TypeVar("Model", bound=BaseModel)


async def document_body(request: Request) -> JSONText:
    """The request's body as checked JSON text (422 when it is not one JSON value)."""
    # each piece is decoded as it is taken and then let go: the body is held as bytes and
    # as text at once only a piece at a time
    decode = codecs.getincrementaldecoder("utf-8")().decode
    parts = []
    try:
        async for chunk in request.stream():
            parts.append(decode(chunk))
        parts.append(decode(b"", final=True))
    except UnicodeDecodeError as exc:
        raise _invalid(("body",), f"not UTF-8: {exc.reason}") from None
    text = "".join(parts)
    del parts
    try:
        return check_document(text)
    except DocumentError as exc:
        raise _invalid(tuple(exc.where.split(".")), exc.message) from None


def validated(model: type[Model], document: JSONText, depth: int = 2, **given: Any) -> Model:
    """The outline of ``document`` validated by ``model`` (with ``given`` members set
    instead of the document's); objects and arrays below ``depth`` are not looked into."""
    members = outline(document.text, depth)
    if not isinstance(members, dict):
        raise _invalid(("body",), "must be a JSON object")
    try:
        return model.model_validate({**members, **given})
    except ValidationError as exc:
        errors = exc.errors(include_url=False, include_input=False)
        raise RequestValidationError(
            [{**error, "loc": ("body", *error["loc"])} for error in errors]
        ) from None


def member_object(document: JSONText, name: str) -> JSONText | None:
    """The text of the object ``name`` of a document (None when missing or null)."""
    value = outline(document.text, 1).get(name)
    if value is None:
        return None
    if not isinstance(value, Nested) or not document.text.startswith("{", value.start):
        raise _invalid(("body", name), "must be an object or null")
    return value.of(document.text)


def _invalid(loc: tuple[str, ...], message: str) -> RequestValidationError:
    return RequestValidationError([{"loc": loc, "msg": message, "type": "value_error"}])


def document_body_schema(model: type[BaseModel]) -> dict[str, Any]:
    """The OpenAPI request body of a route reading ``model`` through ``document_body``."""
    schema = {"$ref": f"#/components/schemas/{model.__name__}"}
    return {"requestBody": {"required": True, "content": {"application/json": {"schema": schema}}}}
