"""What a user's function can read besides the arguments pandas hands it.

``s.map(lambda k: rate[k])``, ``s.apply(lambda v: v - ref)``, ``groupby(...).transform(f)``:
pandas calls the function with elements or groups, but the function may also read data it
closes over (``rate``, ``ref``), globals, default values, the attributes of a bound method's
object or of a callable object. Which of those it reads for which element cannot be seen,
so each one counts whole for every element the function makes: a safe over-approximation.

:func:`referenced` lists that data: tracked containers, tracked scalars and arrays, and plain
data with a value per row (whose origin cannot be seen: it makes the result unknown). It
follows what the function can reach: its closure cells, the globals and module attributes
its code (and the code of functions nested in it) names, its defaults, the function and
arguments of a ``functools.partial``, the object of a bound method, the attributes of an
object and of its class, the items of lists, tuples, sets and dicts, and the functions it
calls through those. Code of the standard library and installed packages reads only what
it is given, so their functions are not opened. A reach too deep or too wide to follow
reads unknown. Not seen: an object's slots, names looked up at run time (``getattr``
with a computed name, ``eval``), and what a function reads from files or C extensions.
"""

from __future__ import annotations

import functools
import sysconfig
import types
from collections.abc import Iterator
from typing import Any

import numpy as np
import pandas as pd

from ._elementwise import UNFOLLOWED
from ._scalars import TrackedScalar

#: How many objects one function's reach may hold, and how deep, before it reads unknown.
MOST_OBJECTS = 20_000
DEEPEST = 8

_ATOMS = (str, bytes, bool, int, float, complex, type(None), type, range, slice)
_DATA = (pd.Series, pd.DataFrame, pd.Index, np.ndarray, pd.api.extensions.ExtensionArray)


def referenced(func: Any) -> list[Any]:
    """The data ``func`` can read besides its arguments (module doc); ``UNFOLLOWED`` among
    them when its reach could not be followed to the end."""
    walk = _Walk()
    try:
        walk.visit(func, 0, ())
    except _TooFar:
        walk.found.append(UNFOLLOWED)
    return walk.found


class _TooFar(Exception):
    pass


class _Walk:
    def __init__(self) -> None:
        self.found: list[Any] = []
        self.seen: set[int] = set()

    def visit(self, obj: Any, depth: int, names: tuple[str, ...]) -> None:
        """Record ``obj`` if it is data, else follow what it holds; ``names``: the names
        the code that reached it reads (attributes of a module it names)."""
        if id(obj) in self.seen:
            return
        if isinstance(obj, (TrackedScalar, *_DATA)):  # a tracked number is a float too
            self.seen.add(id(obj))
            self.found.append(obj)
            return
        if isinstance(obj, _ATOMS):
            return
        self.seen.add(id(obj))
        if len(self.seen) > MOST_OBJECTS or depth > DEEPEST:
            raise _TooFar
        for item, item_names in self._held(obj, names):
            self.visit(item, depth + 1, item_names)

    def _held(self, obj: Any, names: tuple[str, ...]) -> Iterator[tuple[Any, tuple[str, ...]]]:
        if isinstance(obj, dict):
            for key, value in obj.items():
                yield key, names
                yield value, names
        elif isinstance(obj, (list, tuple, set, frozenset)):
            for item in obj:
                yield item, names
        elif isinstance(obj, types.ModuleType):
            # only what the code names of it: a module holds much that is never read
            for name in names:
                if name in vars(obj):
                    yield vars(obj)[name], names
        elif isinstance(obj, functools.partial):
            yield from ((x, names) for x in (obj.func, obj.args, obj.keywords))
        elif isinstance(obj, types.MethodType):
            yield from ((x, names) for x in (obj.__self__, obj.__func__))
        elif isinstance(obj, types.FunctionType):
            if not _library(obj):
                yield from _function_reads(obj)
            elif hasattr(obj, "__wrapped__"):  # a library's wrapper of the user's function
                yield obj.__wrapped__, names
        elif isinstance(obj, types.BuiltinFunctionType):
            owner = getattr(obj, "__self__", None)  # a bound method of a dict: ``rate.get``
            if owner is not None and not isinstance(owner, types.ModuleType):
                yield owner, names
        elif hasattr(obj, "__dict__") and not isinstance(obj, type):
            # an object's attributes, and its class's (methods, class-level data)
            yield from ((value, names) for value in vars(obj).values())
            for cls in type(obj).__mro__[:-1]:  # not ``object``
                for name, value in vars(cls).items():
                    if not (name.startswith("__") and name != "__call__"):
                        yield value, names


def _function_reads(func: types.FunctionType) -> Iterator[tuple[Any, tuple[str, ...]]]:
    names = tuple(_names(func.__code__))
    for cell in func.__closure__ or ():
        try:
            yield cell.cell_contents, names
        except ValueError:  # a cell not filled yet
            continue
    found = func.__globals__
    for name in names:
        if name in found:
            yield found[name], names
    yield (func.__defaults__ or ()), names
    yield (func.__kwdefaults__ or {}), names
    if hasattr(func, "__wrapped__"):
        yield func.__wrapped__, names


def _names(code: types.CodeType) -> Iterator[str]:
    """The global and attribute names ``code`` and the code nested in it read."""
    yield from code.co_names
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            yield from _names(const)


def _library(func: types.FunctionType) -> bool:
    """Whether ``func`` is code of the standard library or of an installed package."""
    return _library_file(func.__code__.co_filename)


@functools.cache
def _library_file(filename: str) -> bool:
    if filename.startswith("<"):  # typed in (a notebook, ``exec``): the user's code
        return False
    paths = sysconfig.get_paths()
    roots = {paths[key] for key in ("stdlib", "platstdlib", "purelib", "platlib") if key in paths}
    return any(filename.startswith(root.rstrip("/") + "/") for root in roots)
