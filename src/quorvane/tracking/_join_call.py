"""What a call of ``merge`` or ``join`` names: its sides, keys, suffixes and indicator.

Both ways of joining tracked frames (``_joins`` and ``_joins_traced``) read the call
alike: which side's rows the join keeps, which result column came from which side, and
which columns' values paired the rows. Also kept here: the source pairs of the keys that
paired the rows of each joined-in column (``join_key_pairs``), which the lineage exports
name as what such a column depends on through the join rather than by its values.
"""

from __future__ import annotations

import inspect
import weakref
from collections.abc import Hashable, Iterable
from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series

from ._dtype import WordsDtype
from ._positions import lookup
from ._source_keys import source_keys

MERGE_SIGNATURE = inspect.signature(DataFrame.merge)
#: per tracker: the source pairs of the join keys that paired the rows of a joined column,
#: by the source key of the column's words just after the join (see ``join_key_pairs``)
_JOIN_KEYS: weakref.WeakKeyDictionary[Any, dict[int, frozenset[int]]] = weakref.WeakKeyDictionary()


def as_frame(other: Any) -> Any:
    if isinstance(other, Series) and other.name is not None:
        return other.to_frame()  # a tracked series gives a frame of its family
    return other


def merge_arguments(left: Any, right: Any, args: tuple, kwargs: dict) -> dict[str, Any]:
    """Every argument of ``left.merge(right, *args, **kwargs)`` by name, defaults included."""
    bound = MERGE_SIGNATURE.bind(left, right, *args, **kwargs)
    bound.apply_defaults()
    return dict(bound.arguments)


def join_how(how_called: str, left: Any, right: Any, args: tuple, kwargs: dict) -> str:
    if how_called == "join":
        return kwargs.get("how", args[1] if len(args) > 1 else "left")
    return merge_arguments(left, right, args, kwargs)["how"]


def carried_side(left, right, how_called, args, kwargs) -> str:
    """The side whose rows the join keeps as they are (a right join's right, else the
    left): its columns are carried; the other side's are joined in."""
    return "right" if join_how(how_called, left, right, args, kwargs) == "right" else "left"


def indicator_label(left, right, how_called, args, kwargs) -> Hashable | None:
    """The label of the column ``merge(indicator=...)`` adds: which sides had the row,
    decided by the keys of both."""
    if how_called != "merge":
        return None
    indicator = merge_arguments(left, right, args, kwargs).get("indicator", False)
    if indicator is True:
        return "_merge"
    return indicator if isinstance(indicator, str) else None


def origins(left, right, columns, how_called, args, kwargs) -> list[tuple[str, Hashable]]:
    """Which side (``"left"``, ``"right"``, ``"key"`` for a key both sides name alike, or
    ``"none"``) and source column each result column comes from."""
    suffixes, shared_keys = join_labels(left, right, how_called, args, kwargs)
    overlap = (set(left.columns) & set(right.columns)) - shared_keys
    by_label: dict[Hashable, tuple[str, Hashable]] = {}
    for label in right.columns:
        if label in shared_keys:
            continue
        by_label[_suffixed(label, overlap, suffixes[1])] = ("right", label)
    for label in left.columns:
        side = "key" if label in shared_keys else "left"
        by_label[_suffixed(label, overlap, suffixes[0])] = (side, label)
    return [by_label.get(label, ("none", label)) for label in columns]


def _suffixed(label: Hashable, overlap: set, suffix: str | None) -> Hashable:
    if label in overlap and suffix is not None:
        return f"{label}{suffix}"
    return label


def join_labels(left, right, how_called, args, kwargs) -> tuple[tuple, set]:
    """The suffixes of overlapping columns and the key columns both sides name alike."""
    if how_called == "join":
        suffixes = kwargs.get("suffixes")
        if suffixes is None:
            lsuffix = kwargs.get("lsuffix", args[2] if len(args) > 2 else "")
            rsuffix = kwargs.get("rsuffix", args[3] if len(args) > 3 else "")
            suffixes = (lsuffix, rsuffix)
        return tuple(suffixes), set()
    params = merge_arguments(left, right, args, kwargs)
    suffixes = tuple(params["suffixes"])
    on, left_on, right_on = params["on"], params["left_on"], params["right_on"]
    if on is not None:
        keys = set(on) if isinstance(on, list) else {on}
    elif left_on is not None and right_on is not None:
        lefts = left_on if isinstance(left_on, list) else [left_on]
        rights = right_on if isinstance(right_on, list) else [right_on]
        keys = {a for a, b in zip(lefts, rights, strict=True) if label_like(a) and a == b}
    elif not params["left_index"] and not params["right_index"] and params["how"] != "cross":
        keys = set(left.columns) & set(right.columns)
    else:
        keys = set()
    return suffixes, {key for key in keys if label_like(key)}


def key_columns(left, right, how_called, args, kwargs) -> list[tuple[Any, Hashable, str]]:
    """The columns (frame, label, side) whose values paired the rows: the keys named on each side,
    or the columns both share when none are named; an index used as a key is no column."""
    if how_called == "join":
        on = kwargs.get("on", args[0] if args else None)
        return [(left, label, "left") for label in _labels(on)]
    params = merge_arguments(left, right, args, kwargs)
    on, left_on, right_on = params["on"], params["left_on"], params["right_on"]
    if on is None and left_on is None and right_on is None:
        if params["left_index"] or params["right_index"] or params["how"] == "cross":
            return []
        on = list(left.columns.intersection(right.columns))
    lefts, rights = _labels(left_on if on is None else on), _labels(right_on if on is None else on)
    return [(left, label, "left") for label in lefts] + [
        (right, label, "right") for label in rights
    ]


#: The right key of ``left.join(right, on=column)``: the right's index.
INDEX = "<the right's index>"


def column_key_pairs(left, right, how_called, args, kwargs) -> list[tuple] | None:
    """The pairs (left label, right label) of key columns that paired the rows, the right
    label ``INDEX`` for ``join(on=column)``; empty for a join of the indexes or a cross
    join; None for other keys (an index facing a column in ``merge``, several columns facing
    the levels of an index, arrays given as keys)."""
    if how_called == "join":
        on = _listed(kwargs.get("on", args[0] if args else None))
        return _on_index(right, on) if on else []
    params = merge_arguments(left, right, args, kwargs)
    on, left_on, right_on = params["on"], params["left_on"], params["right_on"]
    if params["left_index"] or params["right_index"]:
        named = on is None and left_on is None and right_on is None
        if params["left_index"] and params["right_index"]:
            return [] if named else None
        if params["right_index"] and on is None and right_on is None:
            return _on_index(right, _listed(left_on))  # as ``join(on=left_on)``
        return None
    if params["how"] == "cross":
        return []
    if on is None and left_on is None and right_on is None:
        on = list(left.columns.intersection(right.columns))
    lefts = _listed(left_on if on is None else on)
    rights = _listed(right_on if on is None else on)
    if len(lefts) != len(rights) or not all(label_like(k) for k in [*lefts, *rights]):
        return None
    return list(zip(lefts, rights, strict=True))


def _on_index(right: Any, on: list) -> list[tuple] | None:
    one_level = not isinstance(right.index, pd.MultiIndex)
    return [(on[0], INDEX)] if len(on) == 1 and label_like(on[0]) and one_level else None


def _listed(keys: Any) -> list:
    return keys if isinstance(keys, list) else [] if keys is None else [keys]


def _labels(keys: Any) -> list[Hashable]:
    return [key for key in _listed(keys) if label_like(key)]


def label_like(key: Any) -> bool:
    return not isinstance(key, (np.ndarray, Series, pd.Index, list))


def computed_from_tracked(table: Any) -> bool:
    """Whether an untracked table was computed from tracked data, not written in the code:
    pandas labels or fills it with words (``pd.crosstab`` and ``pd.get_dummies`` of tracked
    series, a frame built from their columns). Its cells' sources were not followed."""
    if hasattr(table, "_fields") or not isinstance(table, DataFrame):
        return False
    axes = [table.index, table.columns]
    levels = [level for axis in axes for level in getattr(axis, "levels", [axis])]
    dtypes = [*(level.dtype for level in levels), *table.dtypes]
    return any(isinstance(dtype, WordsDtype) for dtype in dtypes)


def note_join_keys(
    result: Any, keys: Iterable[tuple[Any, Hashable, str]], joined_in: list[Hashable]
) -> None:
    """Note, for every joined-in column of the joined frame (their words are the join's
    own), the source pairs of the keys that paired its rows: what it depends on through
    the join rather than by its values."""
    tracker = result._tracker
    if not tracker:
        return
    pairs: set[int] = set()
    for frame, label, _ in keys:
        words = lookup(getattr(frame, "_col_prov", {}), label)
        if words is not None and frame._tracker is tracker:
            for key in source_keys(words).tolist():
                pairs |= tracker.decode(key)
    if not pairs:
        return
    noted = _JOIN_KEYS.setdefault(tracker, {})
    for label in joined_in:
        for key in source_keys(result._col_prov[label]).tolist():
            noted[key] = noted.get(key, frozenset()) | pairs


def join_key_pairs(tracker: Any, word: int) -> frozenset[int]:
    """The source pairs of the join keys that paired the value of ``word``, the word of a
    value just after a join; empty when it came through no join with key columns."""
    noted = _JOIN_KEYS.get(tracker)
    if not noted:
        return frozenset()
    (key,) = source_keys(np.array([word], dtype=np.uint32)).tolist()
    return noted.get(key, frozenset())
