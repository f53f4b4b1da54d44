"""The name of the operation under way, for the errors of strict provenance."""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager
from types import FrameType

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


def current_operation() -> str:
    """The operation under way: the name given to ``operation``, else the pandas or
    quorvane function the user's code called (read off the stack when an error needs it)."""
    name = getattr(_operation, "name", None)
    if name and not name.endswith("operation"):
        return name
    called = _called_by_user()
    return f"{called}()" if called else (name or "an operation")


def _called_by_user() -> str | None:
    frame: FrameType | None = sys._getframe(1)
    called = None
    while frame is not None:
        module = frame.f_globals.get("__name__", "")
        if not module.startswith(("pandas", "quorvane", "numpy")):
            return called
        if not frame.f_code.co_name.startswith("_"):
            called = frame.f_code.co_name
        frame = frame.f_back
    return called
