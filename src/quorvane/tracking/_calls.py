"""Calls made inside a tracked container's call, and argument flattening."""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

# pandas implements some methods by calling them again on the same object (replace with a
# dict calls replace with lists). Such inner calls, made by pandas' own code, are pandas'
# business: they behave as plain pandas and build no words of their own. A user's callback
# running inside map is not pandas and keeps its words. During an in-place call, pandas' own
# temporaries (for example "-cond" inside clip) build no words either.
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
