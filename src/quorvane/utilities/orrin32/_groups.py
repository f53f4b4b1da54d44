"""Groups, windows and rows: results made of many elements, with every member counted.

A group's result combines the words of all its members and of its key; a window's result
(``rolling``, ``expanding``, ``ewm``, cumulative methods) those of the window's members;
a row-wise result (``apply(axis=1)``, ``sum(axis=1)``) those of every column of the row;
a whole-column result (``rank``, ``value_counts``, ``describe``, the bins of ``qcut``)
those of the whole column. These are safe over-approximations: a median does not depend
on every member, but nothing it depends on is left out. The combination runs in the
native engine, one call per column (``combine_segments_batch``, ``combine_windows_batch``).
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any

import numpy as np
from pandas import DataFrame, MultiIndex, Series

from .._follow import gather, row_positions
from . import _engine
from ._word import OpCode


def combine_segments(tracker: Any, words: list, segments: list, n: int, op: int) -> np.ndarray:
    """One word per segment from the members' words (several arrays, with their segments)."""
    all_words = np.concatenate([np.asarray(w, dtype=np.uint32) for w in words])
    all_segments = np.concatenate([np.asarray(s, dtype=np.int64) for s in segments])
    return np.asarray(
        _engine.combine_segments_batch(tracker._rust, all_words, all_segments, n, op),
        dtype=np.uint32,
    )


def combine_windows(tracker: Any, words: np.ndarray, window: int) -> np.ndarray:
    words = np.asarray(words, dtype=np.uint32)
    return np.asarray(
        _engine.combine_windows_batch(tracker._rust, words, window, OpCode.WINDOW),
        dtype=np.uint32,
    )


def whole_column_word(tracker: Any, words: np.ndarray, op: int) -> int:
    """The word of a value derived from every element of a column."""
    n = len(words)
    if n == 0:
        return int(tracker.update_chain(0, op))
    return int(combine_segments(tracker, [words], [np.zeros(n, dtype=np.int64)], 1, op)[0])


def row_words(
    tracker: Any, columns: list[np.ndarray], n_rows: int, op: int = OpCode.ROW
) -> np.ndarray:
    """Per row, the combination of that row's words in every given column."""
    if not columns:
        return np.zeros(n_rows, dtype=np.uint32)
    rows = np.arange(n_rows, dtype=np.int64)
    return combine_segments(tracker, columns, [rows] * len(columns), n_rows, op)


# -- groups ---------------------------------------------------------------------------------


class TrackedGroupBy:
    """pandas' groupby of a tracked series or frame; results carry words (module doc).

    Everything pandas' groupby offers works as it does there; results whose rows are groups
    (``agg``, ``mean``, ``size``, ...) or source rows (``transform``, ``rank``,
    ``cumsum``, ...) get the words of their group.
    """

    def __init__(self, source: Any, grouped: Any, key_words: list[np.ndarray]) -> None:
        self._source = source
        self._grouped = grouped
        self._key_words = key_words

    def __getitem__(self, key: Any) -> TrackedGroupBy:
        return TrackedGroupBy(self._source[key], self._grouped[key], self._key_words)

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._grouped, name)
        if not callable(attribute):
            return attribute
        if hasattr(self._source, "columns") and name in self._source.columns:
            return self[name]

        def method(*args: Any, **kwargs: Any) -> Any:
            return self._with_words(attribute(*args, **kwargs), args, kwargs)

        return method

    def __iter__(self) -> Any:
        return iter(self._grouped)

    def __len__(self) -> int:
        return len(self._grouped)

    def _codes(self) -> np.ndarray:
        codes = self._grouped.ngroup().to_numpy(dtype=np.float64, na_value=np.nan)
        return np.where(np.isnan(codes), -1, codes).astype(np.int64)

    def _group_words(self, column_words: list[np.ndarray], codes: np.ndarray) -> np.ndarray:
        tracker = self._source._tracker
        words = [*column_words, *self._key_words]
        return combine_segments(
            tracker, words, [codes] * len(words), self._grouped.ngroups, OpCode.GROUP
        )

    def _with_words(self, result: Any, args: tuple, kwargs: dict) -> Any:
        tracker = getattr(self._source, "_tracker", None)
        if not tracker or not isinstance(result, (Series, DataFrame)):
            return result
        codes = self._codes()
        per_row = len(result) == len(self._source) and result.index.equals(self._source.index)
        if not per_row:
            self._key_levels(result, codes)
        if isinstance(result, Series):
            words = self._group_words(self._value_words(result.name, args, kwargs), codes)
            object.__setattr__(result, "_prov", _spread(words, codes, per_row, len(result)))
            object.__setattr__(result, "_tracker", tracker)
            return result
        mapping = {}
        for label in result.columns:
            words = self._group_words(self._value_words(label, args, kwargs), codes)
            mapping[label] = _spread(words, codes, per_row, len(result))
        result._set_mappings({"_col_prov": mapping})
        object.__setattr__(result, "_tracker", tracker)
        return result

    def _key_levels(self, result: Any, codes: np.ndarray) -> None:
        """A result with a row per group is indexed by the keys: their words, per group,
        go with the index levels (``reset_index`` turns them back into columns)."""
        n = self._grouped.ngroups
        if len(result) != n or result.index.nlevels != len(self._key_words) or not n:
            return
        tracker = self._source._tracker
        levels = [
            combine_segments(tracker, [key], [codes], n, OpCode.GROUP) for key in self._key_words
        ]
        object.__setattr__(result, "_index_words", {"_prov": levels})

    def _value_words(self, label: Any, args: tuple, kwargs: dict) -> list[np.ndarray]:
        """Words of the source column(s) a result column was computed from."""
        source = self._source
        if isinstance(source, Series):
            return [source._prov]
        named = kwargs.get(label) if isinstance(label, str) else None
        if isinstance(named, tuple) and named:  # agg(new=("column", "mean"))
            label = named[0]
        if isinstance(label, tuple) and isinstance(source.columns, MultiIndex) is False:
            label = label[0]  # agg(["mean", "max"]) labels its columns (column, function)
        words = _lookup(source._col_prov, label)
        if words is not None:
            return [words]
        # Unknown origin (a renamed or computed column): every value column may have fed it.
        return [w for key, w in source._col_prov.items() if _is_value_column(source, key)]


def _spread(words: np.ndarray, codes: np.ndarray, per_row: bool, n: int) -> np.ndarray:
    if per_row:  # one result per source row: its group's word (none for a dropped key)
        return gather(words, codes, 0, np.uint32)
    if len(words) == n:
        return words
    return np.full(n, words[0] if len(words) == 1 else 0, dtype=np.uint32)


def _lookup(mapping: dict, label: Any) -> np.ndarray | None:
    try:
        return mapping.get(label)
    except TypeError:
        return None


def _is_value_column(frame: Any, label: Hashable) -> bool:
    try:
        return label in frame.columns
    except TypeError:
        return False


def key_words(source: Any, by: Any) -> list[np.ndarray]:
    """Words of the group keys: named columns of the source, or tracked series aligned on
    its rows. Index levels and plain arrays lend none."""
    keys = by if isinstance(by, list) else [by]
    words = []
    for key in keys:
        if isinstance(key, Series) and hasattr(key, "_prov"):
            words.append(gather(key._prov, row_positions(source.index, key), 0, np.uint32))
        elif hasattr(source, "_col_prov"):
            found = _lookup(source._col_prov, key)
            if found is not None:
                words.append(found)
    return words


# -- windows --------------------------------------------------------------------------------


class TrackedWindow:
    """A rolling, expanding or ewm window of a tracked series; results combine each
    element's window members (an ewm or expanding window reaches back to the start)."""

    def __init__(self, source: Any, window: Any, span: int) -> None:
        self._source = source
        self._window = window
        self._span = span

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._window, name)
        if not callable(attribute):
            return attribute

        def method(*args: Any, **kwargs: Any) -> Any:
            result = attribute(*args, **kwargs)
            tracker = getattr(self._source, "_tracker", None)
            if isinstance(result, Series) and tracker and len(result) == len(self._source):
                words = combine_windows(tracker, self._source._prov, self._span)
                object.__setattr__(result, "_prov", words)
                object.__setattr__(result, "_tracker", tracker)
            return result

        return method
