"""Words of index levels: a column turned into the index keeps its words, and gets them back
when ``reset_index`` turns the level into a column again.

A container may hold ``_index_words``: for each per-element field, one array per index
level (None for a level whose provenance is not known). They follow rows as the columns'
arrays do, as long as the index keeps its levels; anything that rebuilds the index drops
them, and a level without words comes back as an unknown column, as before.
"""

from __future__ import annotations

from typing import Any

from pandas import DataFrame

from . import _row_order as row_order
from ._labels import plain_levels
from ._positions import _has_key, gather, lookup


def carry(result: Any, source: Any, positions: Any) -> None:
    """Hand the source's index words to a result built from it, on the same levels;
    ``positions`` (or what it gives when called, only if needed): the source row of each
    result row, None for the same rows."""
    words = getattr(source, "_index_words", None)
    if not words or result.index.names != source.index.names:
        object.__setattr__(result, "_index_words", None)
        return
    if callable(positions):
        positions = positions()
    absent = {f.series_attr: f.absent for f in source._fields}
    object.__setattr__(
        result,
        "_index_words",
        {
            name: [
                None if a is None else gather(a, positions, absent.get(name, 0), a.dtype)
                for a in levels
            ]
            for name, levels in words.items()
        },
    )


def set_index_words(frame: Any, result: Any, keys: Any, append: bool) -> None:
    """``frame.set_index(keys)`` gave ``result`` (same rows): its levels' words."""
    keys = keys if isinstance(keys, list) else [keys]
    out = {}
    for f in frame._fields:
        mapping = getattr(frame, f.frame_attr)
        levels = [lookup(mapping, key) if _has_key(key) else None for key in keys]
        if append:
            kept = (getattr(frame, "_index_words", None) or {}).get(f.series_attr)
            levels = (kept or [None] * frame.index.nlevels) + levels
        out[f.series_attr] = levels
    object.__setattr__(result, "_index_words", out)
    # its labels, handed out, also pick what chose the frame's rows
    row_order.note_index(result)


def restore_levels(source: Any, result: Any, before: list) -> None:
    """After ``reset_index``: the columns it made of the index levels get their words."""
    words = getattr(source, "_index_words", None)
    if not words or not isinstance(result, DataFrame):
        return
    made = [label for label in result.columns if label not in before]
    for f in result._fields:
        levels = words.get(f.series_attr) or []
        if len(levels) != len(made):
            continue
        mapping = getattr(result, f.frame_attr)
        for label, array in zip(made, levels, strict=True):
            if array is not None:
                mapping[label] = array


class IndexWordsFollow:
    """``set_index``/``reset_index`` that keep the words of the levels they move."""

    def reset_index(self, *args: Any, **kwargs: Any) -> Any:
        if not kwargs.get("drop") and not (args and args[0] is not None):
            # labels that carry their entries become plain columns with those words
            source = plain_levels(self, in_place=bool(kwargs.get("inplace")))
            if source is not self:
                return source.reset_index(*args, **kwargs)
        words = getattr(self, "_index_words", None)
        if not words or kwargs.get("drop") or (args and args[0] is not None):
            return super().reset_index(*args, **kwargs)  # type: ignore[misc]
        before = list(getattr(self, "columns", [getattr(self, "name", None)]))
        tracker: Any = getattr(self, "_tracker", None)
        strict = getattr(tracker, "strict", False)
        try:
            if strict:  # the levels' words arrive right after pandas inserts their columns
                tracker.strict = False
            result = super().reset_index(*args, **kwargs)  # type: ignore[misc]
        finally:
            if strict:
                tracker.strict = True
        target = self if kwargs.get("inplace") else result
        restore_levels(self, target, before)
        return result
