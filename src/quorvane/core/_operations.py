"""The name of the operation under way, for the errors of strict provenance."""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager

_operation = threading.local()


@contextmanager
def held(local: threading.local, name: str, value: object) -> Iterator[None]:
    """``local.name`` set to ``value`` for the duration of a call, then as it was."""
    saved = getattr(local, name, None)
    setattr(local, name, value)
    try:
        yield
    finally:
        setattr(local, name, saved)


def operation(name: str) -> AbstractContextManager[None]:
    """Name the operation under way, for the error of strict provenance."""
    return held(_operation, "name", name)


def entry(name: str) -> AbstractContextManager[None]:
    """Name the operation the user called, for the duration of the call: the containers'
    entry points name themselves, so an error deep inside can say what the user asked for."""
    return held(_operation, "entry", name)


def current_operation() -> str:
    """The operation under way: the name given to ``operation``, else the operation the
    user called (see ``entry``)."""
    name = getattr(_operation, "name", None)
    if name and not name.endswith("operation"):
        return name
    called = getattr(_operation, "entry", None)
    return f"{called}()" if called else "an operation"
