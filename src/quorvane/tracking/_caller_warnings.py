"""Warnings that pandas raises inside a tracked operation name the user's line.

pandas attributes its warnings to the first frame outside its own package. Inside a
tracked operation that frame is quorvane's (the override that called pandas), so without
help a user would be pointed at our file, and their filters (``ignore`` for one module,
``error`` in a test suite) would judge the warning as ours. So the operations a user calls
on a tracked container, or on one of its proxies (``.loc``, ``.str``, a group, a window),
hold back the warnings raised while they run and issue them again when they return: one
that pandas issued and attributed to quorvane is issued at the first frame outside quorvane
and pandas, as pandas would have found it; any other keeps the place it was given, so that a
warning of quorvane's own code still names quorvane.

Only the outermost such operation of a thread holds warnings back. The warnings module's
state is one for the process, so the first thread to start holding installs the hold and
the last one to finish removes it; a warning another thread raises meanwhile is issued
again, at its own place, when the hold is removed.
"""

from __future__ import annotations

import functools
import inspect
import os
import sys
import threading
import warnings
from collections.abc import Callable
from types import FrameType
from typing import Any

import pandas as pd

from ..core._operations import entry

# the package's root (always imported before any of its modules)
_QUORVANE_DIR = (
    os.path.dirname(os.path.abspath(sys.modules[__package__.partition(".")[0]].__file__ or ""))
    + os.sep
)
_PANDAS_DIR = os.path.dirname(os.path.abspath(pd.__file__)) + os.sep
# pandas' own test modules count as callers, as they do in pandas' stack level.
_PANDAS_TESTS_DIR = os.path.join(_PANDAS_DIR, "tests") + os.sep
_WARNINGS_FILE = os.path.abspath(warnings.__file__)

_BINARY = ("add", "sub", "mul", "truediv", "floordiv", "mod", "pow", "divmod", "matmul",
           "and", "or", "xor", "lshift", "rshift")  # fmt: skip
_OTHERS = ("lt", "le", "gt", "ge", "eq", "ne", "neg", "pos", "abs", "invert", "round",
           "getitem", "setitem", "delitem", "call", "array_ufunc", "array_function")  # fmt: skip

#: Special methods through which user code reaches a container's operations: operators
#: (reflected and augmented forms too), indexing, and numpy's entry points.
OPERATOR_METHODS = frozenset(
    [f"__{form}{op}__" for op in _BINARY for form in ("", "r", "i")]
    + [f"__{op}__" for op in _OTHERS]
)


def _in_quorvane(filename: str) -> bool:
    return os.path.abspath(filename).startswith(_QUORVANE_DIR)


def _in_pandas(filename: str) -> bool:
    path = os.path.abspath(filename)
    return path.startswith(_PANDAS_DIR) and not path.startswith(_PANDAS_TESTS_DIR)


class _Held:
    """One warning held back, with the place to issue it again."""

    __slots__ = ("category", "filename", "lineno", "message", "module", "module_globals")

    def __init__(self, message: Any, category: Any, place: FrameType | None, filename: str,
                 lineno: int) -> None:  # fmt: skip
        self.message, self.category = message, category
        self.filename, self.lineno = filename, lineno
        self.module_globals = place.f_globals if place is not None else None
        self.module = self.module_globals.get("__name__") if self.module_globals else None

    def issue(self) -> None:
        registry = None
        if self.module_globals is not None:
            registry = self.module_globals.setdefault("__warningregistry__", {})
        warnings.warn_explicit(
            self.message,
            self.category,
            self.filename,
            self.lineno,
            module=self.module,
            registry=registry,
            module_globals=self.module_globals,
        )


def _issuer(frame: FrameType | None) -> FrameType | None:
    """The first frame below the warnings machinery: the code that raised the warning."""
    while frame is not None and os.path.abspath(frame.f_code.co_filename) == _WARNINGS_FILE:
        frame = frame.f_back
    return frame


def _held(message: Any, category: Any, filename: str, lineno: int, frame: Any) -> _Held:
    """``message`` (raised below ``frame``) with the place to issue it again."""
    issuer = _issuer(frame)
    if (
        issuer is not None
        and _in_quorvane(filename)
        and not _in_quorvane(issuer.f_code.co_filename)
    ):
        # pandas' stack walk stopped at our override: go on past quorvane and pandas
        place: FrameType | None = issuer
        while place is not None and (
            _in_quorvane(place.f_code.co_filename) or _in_pandas(place.f_code.co_filename)
        ):
            place = place.f_back
        if place is not None:
            return _Held(message, category, place, place.f_code.co_filename, place.f_lineno)
    # the place given stays: its frame tells the module name and registry it warns with
    place = issuer
    while place is not None and not (
        place.f_code.co_filename == filename and place.f_lineno == lineno
    ):
        place = place.f_back
    return _Held(message, category, place, filename, lineno)


# Put first in the filters while warnings are held: every warning reaches the hold, and the
# filters judge it only when it is issued again, at its place.
_SHOW_ALL = ("always", None, Warning, None, 0)


class _Hold:
    """The process-wide hold: every warning is shown (to us), none is filtered away.

    The hold puts its filter in and takes it out of the filter list in place, without the
    warnings module's ``catch_warnings``: that would mark the filters as changed, which makes
    every module forget the warnings it has shown once (the ``default`` action), so that a
    warning issued again at the user's line would be shown on every call of a loop.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._holders = 0
        self._filters: Any = []  # the warnings module's list (typed as a Sequence)
        self._shown_by: Any = None
        self._others: list[_Held] = []
        self._thread = threading.local()

    def held_by_this_thread(self) -> list[_Held] | None:
        return getattr(self._thread, "held", None)

    def start(self) -> None:
        self._thread.held = []
        with self._lock:
            self._holders += 1
            if self._holders == 1:
                self._filters = warnings.filters
                self._filters.insert(0, _SHOW_ALL)
                self._shown_by, warnings.showwarning = warnings.showwarning, self._show

    def finish(self) -> list[_Held]:
        held, self._thread.held = self._thread.held, None
        with self._lock:
            self._holders -= 1
            if self._holders == 0:
                # by identity: an equal filter someone else put in stays
                self._filters[:] = [f for f in self._filters if f is not _SHOW_ALL]
                warnings.showwarning = self._shown_by
                held, self._others = held + self._others, []
        return held

    def _show(self, message: Any, category: Any, filename: str, lineno: int, file: Any = None,
              line: Any = None) -> None:  # fmt: skip
        warning = _held(message, category, filename, lineno, sys._getframe(1))
        mine = self.held_by_this_thread()
        if mine is not None:
            mine.append(warning)
            return
        with self._lock:
            if self._holders:
                self._others.append(warning)
                return
        # The last hold ended between the warnings module finding this show and now (a
        # thread issuing again what its hold kept): no one is left to issue it, so the
        # filters judge it now, at its place.
        warning.issue()


_HOLD = _Hold()


def warns_at_caller(function: Callable[..., Any]) -> Callable[..., Any]:
    """``function`` with the warnings raised while it runs issued at the user's line (see
    the module doc); inside another such call it runs as it is."""

    called = getattr(function, "__name__", "").strip("_")  # ``__add__`` is add

    @functools.wraps(function)
    def _at_caller(*args: Any, **kwargs: Any) -> Any:
        if _HOLD.held_by_this_thread() is not None:
            return function(*args, **kwargs)
        _HOLD.start()
        try:
            with entry(called):  # the operation the user called, for strict errors
                return function(*args, **kwargs)
        finally:
            for warning in _HOLD.finish():
                warning.issue()

    _at_caller.__warns_at_caller__ = True  # type: ignore[attr-defined]
    return _at_caller


def _user_facing(name: str) -> bool:
    return not name.startswith("_") or name in OPERATOR_METHODS


def _ours(cls: type) -> bool:
    return cls.__module__.startswith("quorvane.")


def _delegating(getattr_: Callable[..., Any]) -> Callable[..., Any]:
    """A proxy's ``__getattr__`` whose methods (pandas' own, delegated) are operations."""

    @functools.wraps(getattr_)
    def _lookup(self: Any, name: str) -> Any:
        attribute = getattr_(self, name)
        return warns_at_caller(attribute) if callable(attribute) else attribute

    _lookup.__warns_at_caller__ = True  # type: ignore[attr-defined]
    return _lookup


def report_warnings_at_caller(*classes: type) -> None:
    """Make the operations of ``classes`` issue their warnings at the user's line: each
    public method or operator that quorvane's code defines for the class (in the class or
    one of its bases), and the methods a proxy hands out through ``__getattr__``."""
    for cls in classes:
        names = {name for base in cls.__mro__ if _ours(base) for name in vars(base)}
        for name in names:
            owner = next(base for base in cls.__mro__ if name in vars(base))
            attribute = vars(owner)[name]
            if not _ours(owner) or not inspect.isfunction(attribute):
                continue
            if getattr(attribute, "__warns_at_caller__", False):
                continue
            if _user_facing(name):
                setattr(cls, name, warns_at_caller(attribute))
            elif name == "__getattr__":
                setattr(cls, name, _delegating(attribute))
