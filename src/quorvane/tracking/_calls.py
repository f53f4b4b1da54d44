"""Calls made inside a tracked container's call, and argument flattening."""

from __future__ import annotations

import functools
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

# pandas implements some methods by calling them again on the same object (replace with a
# dict calls replace with lists). Such inner calls, made by pandas' own code, are pandas'
# business: they behave as plain pandas and build no words of their own. The containers'
# entry points open this scope around their call into pandas, so a nested call of an
# overridden method knows that pandas made it. A user's callable that an entry point hands
# to pandas (a function for map, a callable condition) runs with the scope closed
# (``as_user_code``): its operations are the user's and step. During an in-place call,
# pandas' own temporaries (for example "-cond" inside clip) build no words either.
_parent_call = threading.local()


@contextmanager
def _inside_parent(*, in_place: bool = False) -> Iterator[None]:
    saved = (getattr(_parent_call, "depth", 0), getattr(_parent_call, "in_place", False))
    _parent_call.depth = saved[0] + 1
    _parent_call.in_place = saved[1] or in_place
    try:
        yield
    finally:
        _parent_call.depth, _parent_call.in_place = saved


@contextmanager
def _outside_parent() -> Iterator[None]:
    saved = (getattr(_parent_call, "depth", 0), getattr(_parent_call, "in_place", False))
    _parent_call.depth, _parent_call.in_place = 0, False
    try:
        yield
    finally:
        _parent_call.depth, _parent_call.in_place = saved


def as_user_code(value: Any) -> Any:
    """``value`` as handed to pandas by an entry point: a callable runs as the user's own
    code, outside the entry point's scope; anything else is passed on as it is."""
    if not callable(value) or isinstance(value, type):
        return value

    @functools.wraps(value)
    def user_code(*args: Any, **kwargs: Any) -> Any:
        with _outside_parent():
            return value(*args, **kwargs)

    return user_code


def _in_parent() -> bool:
    return getattr(_parent_call, "depth", 0) > 0


def _in_place_call() -> bool:
    return getattr(_parent_call, "in_place", False)


def _flatten(items: Any) -> list:
    flat: list = []
    for item in items:
        if isinstance(item, (list, tuple)):
            flat.extend(_flatten(item))
        else:
            flat.append(item)
    return flat
