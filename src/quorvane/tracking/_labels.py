"""Labels and values handed out on their own: an index or an array made of a tracked column.

``s.value_counts().index[:3]`` holds values of ``s``, and ``s.unique()`` too; which of them
are there, and in which order, depends on every element of ``s`` (the counts) and on what
selected its rows. pandas hands them out as objects of their own, beside any container, so
their entries must ride inside them:

- an index whose values are a words array (see ``_array``): pandas keeps it through slicing,
  ``take``, ``head``, sorting and the set operations, as it keeps any extension array. Its
  dtype reads ``words[int64, t1]`` where pandas' own reads ``int64``; ``astype``,
  ``to_numpy`` and ``tolist`` give the plain values;
- an array numpy's functions see as numpy's own (see ``_arrays``).

A container operation given such labels or values (``isin``, ``loc``, ``reindex``,
``drop``) combines their entries whole: each element it makes or each row it keeps may
depend on every one of them.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ..core._operations import operation as current
from ..core._word import OpCode
from . import _row_order as row_order
from ._array import NO_NODE, WordsArray
from ._arrays import TrackedArray, tracked_array
from ._calls import _in_parent
from ._dtype import WordsDtype, supported
from ._positions import _followed, unknown_entries

Entries = dict[str, np.ndarray]


def counted_labels(result: Any) -> Any:
    """``result`` (a count or share per value, each element with its entries) whose index
    labels carry the entries of their count: the labels there, and their order, come from
    the same counting."""
    fields = getattr(result, "_fields", ())
    tracker = getattr(result, "_tracker", None)
    if not tracker or not isinstance(result, pd.Series) or not fields:
        return result
    entries = [np.asarray(getattr(result, f.series_attr)) for f in fields]
    result.index = _with_entries(result.index, entries, tracker)
    return result


def _with_entries(index: pd.Index, entries: list[np.ndarray], tracker: Any) -> pd.Index:
    """``index`` whose every level's labels carry ``entries`` (per field, one per label)."""
    if isinstance(index, pd.MultiIndex):
        if not len(index):
            return index
        # each level holds its distinct labels once; every count here is made of the same
        # inputs, so any count's entries stand for all of them
        levels = [
            _level(level, [np.repeat(e[:1], len(level)) for e in entries], tracker)
            for level in index.levels
        ]
        return index.set_levels(levels, verify_integrity=False)
    return _level(index, entries, tracker)


def _level(labels: pd.Index, entries: list[np.ndarray], tracker: Any) -> pd.Index:
    # labels that carry their column's words already take those of their count instead
    plain = labels.dtype.values_dtype if isinstance(labels.dtype, WordsDtype) else labels.dtype
    text = isinstance(plain, pd.StringDtype)
    if not (text or (isinstance(plain, np.dtype) and supported(plain))):
        return labels  # categories, dates, the intervals of bins: pandas' own labels
    values = labels.to_numpy(dtype=object) if text else labels.to_numpy()
    ids = entries[1] if len(entries) > 1 else None
    # text labels stay of the string dtype they have, as a plain column's count gives them
    array = WordsArray.from_values(values, entries[0], tracker, ids, text=plain if text else None)
    return pd.Index(array, name=labels.name, copy=False)


def values_with_entries(source: Any, values: Any, entries: dict[str, int]) -> Any:
    """``values`` (made from ``source``'s elements) carrying one value's ``entries``:
    numpy's array as a tracked array, text (pandas' string array) as a words array of
    its strings; values of another kind (categories, dates) stay as pandas gave them."""
    fields, n = source._fields, len(values)
    made = [np.full(n, entries[f.series_attr], dtype=f.dtype) for f in fields]
    ids = made[1] if len(made) > 1 else None
    if isinstance(values, WordsArray):
        text = values.dtype.text_dtype
        values = np.asarray(values)  # a words column's: numpy's, as a plain column gives
        if text is not None:  # or pandas' string array, as a column of that dtype gives
            return WordsArray.from_values(values, made[0], source._tracker, ids, text=text)
    if isinstance(getattr(values, "dtype", None), pd.StringDtype):
        text = values.to_numpy(dtype=object)
        return WordsArray.from_values(text, made[0], source._tracker, ids)
    if not isinstance(values, np.ndarray) or values.ndim != 1:
        return values
    return tracked_array(values, made[0], source._tracker, ids, fields)


def label_entries(value: Any, source: Any) -> Entries | None:
    """Per field of ``source``, the entries that ``value`` (an index, a words array or a
    tracked array of ``source``'s tracker and road) holds, all levels together; None for
    anything else."""
    arrays = _held(value)
    fields, tracker = source._fields, source._tracker
    if not arrays or not tracker:
        return None
    out: dict[str, list[np.ndarray]] = {f.series_attr: [] for f in fields}
    for array in arrays:
        found = _entries_of(array, fields, tracker)
        if found is None:
            continue
        for f in fields:
            out[f.series_attr].append(found[f.series_attr])
    if not out[fields[0].series_attr]:
        return None
    return {f.series_attr: np.concatenate(out[f.series_attr]) for f in fields}


def _held(value: Any) -> list:
    """The arrays of labels or values ``value`` holds (one per level of an index)."""
    if isinstance(value, pd.MultiIndex):
        return [value.get_level_values(i).array for i in range(value.nlevels)]
    if isinstance(value, pd.Index):
        return [value.array]
    if isinstance(value, (WordsArray, TrackedArray)):
        return [value]
    return []


def _entries_of(array: Any, fields: tuple, tracker: Any) -> Entries | None:
    if isinstance(array, TrackedArray):
        if array._tracker is not tracker or array._fields != fields or array._prov is None:
            return None
        found = {f.series_attr: getattr(array, f.series_attr, None) for f in fields}
        if any(v is None for v in found.values()):
            return None
        return {f.series_attr: np.asarray(found[f.series_attr], f.dtype) for f in fields}
    if not isinstance(array, WordsArray) or array.tracker is not tracker:
        return None
    out = {fields[0].series_attr: np.asarray(array.words, np.uint32)}
    for f in fields[1:]:
        ids = array.node_ids
        out[f.series_attr] = np.full(len(array), NO_NODE) if ids is None else np.asarray(ids)
    return out


def carries_entries(value: Any, source: Any) -> bool:
    """Whether ``value`` holds labels or values with entries of ``source``'s tracker."""
    return label_entries(value, source) is not None


def selected_by_labels(source: Any, result: Any, key: Any, operation: str) -> None:
    """``result`` holds the rows of ``source`` that labels carrying entries picked (``loc``,
    ``reindex``, ``drop``): which rows are there depends on every one of those labels."""
    if not getattr(source, "_tracker", None) or not isinstance(result, (pd.Series, pd.DataFrame)):
        return
    if operation == "reindex" and key is source.index:  # its own labels pick every row
        return
    if operation != "drop" and _looked_up(source, result, key):
        return
    keys = _picking_keys(source, key)
    if keys is not None:
        row_order.remember(source, result, keys, operation, row_order.SELECTION)


def selected_by_positions(source: Any, result: Any, positions: Any, given: bool = True) -> None:
    """``result`` holds the rows of ``source`` that an array of positions picked (``iloc``,
    ``take``), as labels would (see ``selected_by_labels``): positions carrying entries
    name them; in an order of their own they decide the result's order too. Positions of
    unseen origin are unknown where the user ``given`` them (``iloc``); pandas converts a
    list to numpy's array before it takes, and takes rows itself inside many of its own
    calls, so a ``take`` names only positions that carry entries."""
    if not getattr(source, "_tracker", None) or not isinstance(result, (pd.Series, pd.DataFrame)):
        return
    if _in_parent() or getattr(positions, "dtype", None) is None:
        return  # a list, a slice or one position written in the code: a constant
    if positions.dtype.kind not in "iu":
        return  # a mask: read as such elsewhere
    if not given and label_entries(positions, source) is None:
        return  # plain positions handed to take: see above
    keys = _picking_keys(source, positions)
    if keys is None:
        return
    row_order.remember(source, result, keys, "iloc", row_order.SELECTION)
    steps = np.diff(np.asarray(positions, dtype=np.int64))
    if len(steps) and not (steps > 0).all():
        row_order.remember(source, result, keys, "iloc", row_order.ORDER)


def _picking_keys(source: Any, key: Any) -> row_order.Keys | None:
    """The keys of a selection by ``key``'s labels or positions: their entries, or unknown
    ones for an array of unseen origin; None when ``key`` decides nothing."""
    entries = label_entries(key, source)
    handed_out = _unseen_labels(key, source) and not _in_parent()
    # the labels of rows a filter or a sort of ours chose: what chose them picks these too
    behind = row_order.keys_behind(key, source._tracker, source._fields) if handed_out else None
    if entries is None and behind is None and handed_out:
        with current(UNSEEN_LABELS):
            entries = unknown_entries(source._fields, source._tracker, 1)
    if entries is None and behind is None:
        return None
    keys: row_order.Keys = {name: [array] for name, array in (entries or {}).items()}
    for name, arrays in (behind or {}).items():
        keys.setdefault(name, []).extend(arrays)
    return keys


#: What strict provenance's error calls a selection by labels of unseen origin.
UNSEEN_LABELS = "rows picked by an index or an array of labels or positions that carries no words"


def _unseen_labels(key: Any, source: Any) -> bool:
    """Whether ``key`` is labels handed out by something (``t[t.a > 0].index``,
    ``s.nlargest(3).index``, a numpy array) rather than written in the code (a list, a
    slice, one label) or the source's own labels: which rows it names may have been decided
    by data that nothing here saw, so the selection is unknown, not clean."""
    if not isinstance(key, (pd.Index, np.ndarray, pd.Series, pd.api.extensions.ExtensionArray)):
        return False
    if np.ndim(key) != 1 or len(key) == 0:
        return False
    return not (key is source.index or (isinstance(key, pd.Index) and key.equals(source.index)))


def _looked_up(source: Any, result: Any, key: Any) -> bool:
    """A table looked up by the values of a tracked series (``table.loc[t.educ]``,
    ``table.reindex(t.educ)``): row ``i`` of ``result`` is the table's row labelled by the
    key's element ``i``, so each of its elements also combines that key element, as ``map``
    would. False for any other key."""
    fields = source._fields
    if not isinstance(key, pd.Series) or not _followed(key, fields) or len(key) != len(result):
        return False
    lent = ({f.series_attr: np.asarray(getattr(key, f.series_attr), f.dtype) for f in fields},)
    columns = [result] if isinstance(result, pd.Series) else [result[c] for c in result.columns]
    made = [
        c._derived(c, [c], "lookup", OpCode.MAP, lent) if isinstance(c, pd.Series) else None
        for c in columns
    ]
    if isinstance(result, pd.DataFrame):
        mappings = {f.frame_attr: dict(getattr(result, f.frame_attr)) for f in fields}
        for label, column in zip(result.columns, made, strict=True):
            for f in fields:
                if column is not None:
                    mappings[f.frame_attr][label] = getattr(column, f.series_attr)
        result._set_mappings(mappings)
    return True


def plain_levels(obj: Any, in_place: bool) -> Any:
    """``obj`` (a copy, or ``obj`` itself ``in_place``) whose index levels of labels that
    carry entries hold pandas' own labels, their entries kept as the levels' words
    (``_index_words``): ``reset_index`` then makes plain columns of them with those words.
    ``obj`` itself when no level carries entries."""
    index, fields = obj.index, getattr(obj, "_fields", ())
    levels = [index.get_level_values(i) for i in range(index.nlevels)]
    kept = getattr(obj, "_index_words", None) or {}
    held = [_level_entries(level, obj, kept, i) for i, level in enumerate(levels)]
    if not fields or all(h is None for h in held):
        return obj
    words = {
        f.series_attr: [
            h[f.series_attr]
            if h is not None
            else (kept.get(f.series_attr) or [None] * len(held))[i]
            for i, h in enumerate(held)
        ]
        for f in fields
    }
    plain = [
        level.astype(level.dtype.numpy_dtype) if h is not None else level
        for level, h in zip(levels, held, strict=True)
    ]
    target = obj if in_place else obj.copy(deep=False)
    target.index = plain[0] if len(plain) == 1 else pd.MultiIndex.from_arrays(plain)
    object.__setattr__(target, "_index_words", words)
    return target


def _level_entries(level: pd.Index, obj: Any, kept: dict, i: int) -> Entries | None:
    """The entries of the labels of index level ``i`` of ``obj``. Labels pandas made of a
    words column (a group's keys, one per group) carry its words alone: on a road with
    entries beside the words, those the container gave the level (``kept``) stand for
    them, where it gave every field's."""
    held = label_entries(level, obj) if _held(level) else None
    array, fields = level.array, obj._fields
    if held is None or len(fields) < 2 or not isinstance(array, WordsArray):
        return held
    if array.node_ids is not None:  # it carries every field
        return held
    given = {}
    for f in fields:
        levels = kept.get(f.series_attr) or []
        if i >= len(levels) or levels[i] is None:
            return held
        given[f.series_attr] = np.asarray(levels[i])
    return given


def _row_labels(args: tuple, kwargs: dict) -> Any:
    """The row labels a ``reindex`` or ``drop`` call names (None: it names columns)."""
    if "index" in kwargs:
        return kwargs["index"]
    if kwargs.get("axis", 0) not in (0, "index"):
        return None
    return args[0] if args else kwargs.get("labels")


class LabelSelections:
    """``reindex`` and ``drop`` of a container given labels that carry entries: the rows
    they keep were picked by those labels (see ``selected_by_labels``)."""

    def reindex(self, *args: Any, **kwargs: Any) -> Any:
        result = super().reindex(*args, **kwargs)  # type: ignore[misc]
        selected_by_labels(self, result, _row_labels(args, kwargs), "reindex")
        return result

    def drop(self, *args: Any, **kwargs: Any) -> Any:
        result = super().drop(*args, **kwargs)  # type: ignore[misc]
        target = self if kwargs.get("inplace") else result
        selected_by_labels(self, target, _row_labels(args, kwargs), "drop")
        return result
