"""Free-form JSON documents kept as the text they came in, checked without being built.

A pipeline's configuration, a dashboard summary or an OpenLineage event is kept as its JSON
text. Building such a document as Python objects costs 5 to 50 times its size; checking it
with a decoder whose hooks drop each object as soon as it is complete costs little more
than the text, and so does an outline of the few members a store or a route reads.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class JSONText:
    """The text of one checked JSON document, kept as it is (held, not copied: a ``str``
    subclass would copy the text each time one is made)."""

    text: str


class DocumentError(ValueError):
    """A document that is not one JSON value, or holds what a store cannot keep."""

    def __init__(self, where: str, message: str):
        super().__init__(f"{where}: {message}")
        self.where = where
        self.message = message


@dataclass(frozen=True)
class Nested:
    """An object or array below an outline's depth: where it is in the text."""

    start: int
    end: int

    def of(self, document: str) -> JSONText:
        return JSONText(document[self.start : self.end])


def _drop(_: Any) -> None:
    return None


# every object, number and constant is dropped once read: what is left of a document while it
# is checked is the path to where the decoder is
_CHECKER = json.JSONDecoder(
    object_pairs_hook=_drop, parse_int=_drop, parse_float=_drop, parse_constant=_drop
)
# NaN and Infinity are the tokens non-finite numbers travel as
_SCALARS = json.JSONDecoder()
_SPACE = re.compile(r"[ \t\n\r]*")
# an escaped U+0000: a backslash run of odd length before "u0000"
_NUL = re.compile(r"(?<!\\)(?:\\\\)*\\u0000")

NUL_MESSAGE = "contains U+0000, which no store can keep in a text"


def check_document(text: str, where: str = "body") -> JSONText:
    """``text`` as a ``JSONText`` if it is one JSON value without U+0000 in any string."""
    start = _SPACE.match(text).end()  # type: ignore[union-attr]
    try:
        _, end = _CHECKER.raw_decode(text, start)
    except json.JSONDecodeError as exc:
        raise DocumentError(where, f"not JSON: {exc.msg} at character {exc.pos}") from None
    except RecursionError:
        raise DocumentError(where, "nested too deeply") from None
    if _SPACE.match(text, end).end() != len(text):  # type: ignore[union-attr]
        raise DocumentError(where, f"not JSON: extra data at character {end}")
    refuse_nul(text, where)
    return JSONText(text)


def refuse_nul(json_text: str, where: str) -> None:
    """Refuse JSON text that holds U+0000 (written as an escape) in a key or a string,
    naming the member it is in."""
    if "\\u0000" in json_text and (found := _NUL.search(json_text)):
        start = _SPACE.match(json_text).end()  # type: ignore[union-attr]
        path = _path_to(json_text, start, found.end() - 1)
        raise DocumentError(".".join([where, *path]), NUL_MESSAGE)


def _path_to(text: str, at: int, position: int) -> list[str]:
    """The names and indexes leading from the value at ``at`` to ``position`` in it; each
    level is walked over with the checker, so nothing is built."""
    path: list[str] = []
    while text.startswith(("{", "["), at):
        is_object = text.startswith("{", at)
        at, index = _skip(text, at + 1), 0
        while not text.startswith(("}", "]"), at):
            if is_object:
                name, end = _SCALARS.raw_decode(text, at)
                if position < end:  # in the name itself, shown with the escape
                    return [*path, name.replace("\x00", "\\u0000")]
                at = _skip(text, _skip(text, end) + 1)
            _, end = _CHECKER.raw_decode(text, at)
            if position < end:
                path.append(name if is_object else str(index))
                break
            at, index = _skip(text, _skip(text, end) + 1), index + 1
        else:
            break
    return path


def outline(document: str, depth: int = 2) -> Any:
    """The members of a checked document down to ``depth`` levels of objects; objects and
    arrays below that are ``Nested`` spans, scalars their values (the last of repeated
    names wins, as when the document is read)."""
    value, _ = _outline(document, _SPACE.match(document).end(), depth)  # type: ignore[union-attr]
    return value


def _outline(text: str, at: int, depth: int) -> tuple[Any, int]:
    if text.startswith("{", at) and depth > 0:
        return _members(text, at, depth)
    if text.startswith(("{", "["), at):
        _, end = _CHECKER.raw_decode(text, at)
        return Nested(at, end), end
    return _SCALARS.raw_decode(text, at)


def _members(text: str, at: int, depth: int) -> tuple[dict[str, Any], int]:
    members: dict[str, Any] = {}
    at = _skip(text, at + 1)
    if text.startswith("}", at):
        return members, at + 1
    while True:
        if not text.startswith('"', at):
            raise DocumentError("body", f"not JSON: a name expected at character {at}")
        name, at = _SCALARS.raw_decode(text, at)
        at = _skip(text, at)
        if not text.startswith(":", at):
            raise DocumentError("body", f"not JSON: ':' expected at character {at}")
        members[name], at = _outline(text, _skip(text, at + 1), depth - 1)
        at = _skip(text, at)
        if text.startswith("}", at):
            return members, at + 1
        if not text.startswith(",", at):
            raise DocumentError("body", f"not JSON: ',' expected at character {at}")
        at = _skip(text, at + 1)


def _skip(text: str, at: int) -> int:
    return _SPACE.match(text, at).end()  # type: ignore[union-attr]
