"""The one tracked frame: per column, the entries of every field of its road (the words, and
on the DAG road node ids), handed out as the road's tracked series.

Both roads build their frame class from :class:`TrackingFrame`: it names the road's series
class and fields, and may record what an operation made (``_record_column``). Operators
(``_frame_ops``), reductions and groups (``_groups``), windows, row following, joins and
reshapes (``_follow``) are the same for both.
"""

from __future__ import annotations

import functools
from collections.abc import Hashable
from typing import Any, ClassVar

import numpy as np
import pandas as pd
from pandas import DataFrame
from pandas.api.extensions import ExtensionArray
from pandas.errors import InvalidIndexError

from . import _compat, _files, _groups
from ._array import WordsArray
from ._calls import _in_parent
from ._dtype import WordsDtype, altering_conversion, holds_text
from ._follow import FollowingFrame, gather, row_positions
from ._frame_ops import OperatingFrame
from ._handed_out import HandedOutFrameValues
from ._plain_values import PlainValues, holds_words
from ._positions import ARRAY_ENTRIES
from ._unmodelled import built_from, default_for_unmodelled
from ._windows import Windowing


class TrackingFrame(
    HandedOutFrameValues,
    PlainValues,
    _groups.ReducingFrame,
    OperatingFrame,
    Windowing,
    FollowingFrame,
    DataFrame,
):
    """A pandas DataFrame whose columns carry per-element entries (see the module doc)."""

    #: The road's series class: the frame's columns are handed out as such.
    _series_class: ClassVar[Any]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        given = {f.frame_attr: kwargs.pop(f.frame_attr, None) for f in self._fields}
        tracker = kwargs.pop("_tracker", None)
        super().__init__(*args, **kwargs)
        self._tracker = tracker
        for f in self._fields:
            object.__setattr__(self, f.frame_attr, {})
        lent = self._columns_of_data(args[0] if args else kwargs.get("data"))
        for f in self._fields:
            mapping = given[f.frame_attr]
            setattr(
                self, f.frame_attr, dict(mapping) if mapping is not None else lent[f.frame_attr]
            )

    def _columns_of_data(self, data: Any) -> dict[str, dict]:
        """Entries of the columns of a frame built from tracked data: a tracked frame of the
        road lends its columns', a tracked series or a dict of them their own (aligned as
        pandas aligned their values); other columns have none (unknown)."""
        if isinstance(data, type(self)):
            # a frame pandas built of arrays (``_from_arrays``, pandas 2) has no entries yet
            carried = {label for f in self._fields for label in getattr(data, f.frame_attr, {})}
            pieces = {label: data[label] for label in carried if _is_single(data, label)}
        elif isinstance(data, self._series_class):
            pieces = {data.name if data.name is not None else 0: data}
        elif isinstance(data, dict):
            pieces = {k: v for k, v in data.items() if isinstance(v, self._series_class)}
        else:
            pieces = {}
        out: dict[str, dict] = {f.frame_attr: {} for f in self._fields}
        for label, series in pieces.items():
            if _is_single(self, label):
                rows = row_positions(self.index, series)
                for f in self._fields:
                    out[f.frame_attr][label] = gather(
                        getattr(series, f.series_attr), rows, f.absent, f.dtype
                    )
        return out

    # -- pandas construction hooks ------------------------------------------------------

    @property
    def _constructor(self) -> Any:
        # a frame pandas builds from bare data of a tracked one and never hands the
        # source's entries (``__finalize__``): ``pd.melt``, ``pd.wide_to_long``. It is not
        # silently clean: bound to this frame (a callable, as pandas allows), it takes the
        # tracker, so each column it was given no entries for reads unknown
        if not getattr(self, "_tracker", None):
            return type(self)
        return functools.partial(_built_from, self)

    @property
    def _constructor_sliced(self) -> Any:
        # a column pandas builds from the bare values of one of this frame's (``pd.pivot``'s
        # values) and never hands its entries is not silently clean (see ``built_from``);
        # a series of something else (per column: ``dtypes``; a row) is built as it is
        if not getattr(self, "_tracker", None):
            return self._series_class
        return functools.partial(_sliced_from, self)

    @classmethod
    def _from_mgr_with_defaults(cls, mgr: Any, axes: Any) -> Any:
        # Built without __init__ (see _compat); __finalize__ then brings the source's
        # tracker and the entries of the rows and columns the result holds.
        df = _compat.from_mgr(cls, mgr, axes)
        object.__setattr__(df, "_tracker", None)
        for f in cls._fields:
            object.__setattr__(df, f.frame_attr, {})
        return df

    def _constructor_from_mgr(self, mgr: Any, axes: Any) -> Any:
        return self._from_mgr_with_defaults(mgr, axes)

    def _constructor_sliced_from_mgr(self, mgr: Any, axes: Any) -> Any:
        return self._series_class._from_mgr_with_defaults(mgr, axes)

    # -- files (see _files) ------------------------------------------------------------

    def to_parquet(self, path: Any = None, *args: Any, **kwargs: Any) -> Any:
        """Write the frame as Parquet (pandas' ``to_parquet``); each tracked column is
        written as a words column, so ``quorvane.read_parquet`` gives the words back."""
        return _files.as_words_columns(self).to_parquet(path, *args, **kwargs)

    # -- groups (see _groups) -----------------------------------------------------------

    def astype(self, dtype: Any, *args: Any, **kwargs: Any) -> Any:
        # one dtype for every column converts them one by one, as a mapping does: each
        # column's conversion keeps its entries in a words array (see the series' astype)
        frame: Any = self
        columns = frame.columns
        if _in_parent() or not len(columns) or not columns.is_unique:
            return super().astype(dtype, *args, **kwargs)
        targets = dtype if pd.api.types.is_dict_like(dtype) else dict.fromkeys(columns, dtype)
        if any(altering_conversion(frame.dtypes[c], t) for c, t in targets.items() if c in columns):
            # a conversion that can change a value is a step of the column's own, which
            # pandas' conversion of the whole frame would not take
            converted = frame.copy()
            for label, target in targets.items():
                converted[label] = frame[label].astype(target, *args, **kwargs)
            return converted
        if holds_words(frame) and not pd.api.types.is_dict_like(dtype):
            dtype = targets
        return super().astype(dtype, *args, **kwargs)

    def groupby(self, by: Any = None, *args: Any, **kwargs: Any) -> Any:
        grouped = super().groupby(by, *args, **kwargs)
        if _in_parent():  # pandas' own grouping inside one of the containers' calls
            return grouped
        return _groups.TrackedGroupBy(
            self, grouped, _groups.key_arrays(self, by, kwargs.get("level"))
        )

    def resample(self, rule: Any, *args: Any, **kwargs: Any) -> Any:
        resampler = super().resample(rule, *args, **kwargs)
        if _in_parent():
            return resampler
        return _groups.resampled(self, resampler, kwargs.get("on"), kwargs.get("level"))


def _built_from(source: TrackingFrame, *args: Any, **kwargs: Any) -> TrackingFrame:
    """A frame pandas builds through ``source``'s constructor (see ``_constructor``)."""
    result = type(source)(*args, **kwargs)
    if result._tracker is None:
        object.__setattr__(result, "_tracker", source._tracker)
    return result


def _sliced_from(source: TrackingFrame, data: Any = None, *args: Any, **kwargs: Any) -> Any:
    """A series pandas builds through ``source``'s ``_constructor_sliced``: from an array
    of a value per row of ``source``, as from bare values of it (``built_from``)."""
    per_row = isinstance(data, (np.ndarray, ExtensionArray)) and len(data) == len(source)
    if per_row and kwargs.get("index") is not source.columns:
        return built_from(source, data, *args, **kwargs)
    return source._series_class(data, *args, **kwargs)


def with_carried_words(
    df: DataFrame,
    column_words: list[np.ndarray],
    tracker: Any,
    column_node_ids: list[np.ndarray] | None = None,
) -> DataFrame:
    """``df`` with each numeric, boolean and text column holding its values together with
    its words (one array per column, in column order) of ``tracker``, and on the DAG road its
    elements' node ids (``column_node_ids``, likewise), so that pandas moves them wherever
    it moves the values and the columns' operators make the words of their results. Dates
    and categories keep pandas' own dtypes, so that ``.dt`` and ``.cat`` work on them as on
    plain columns; the containers follow their entries."""
    columns: dict[int, Any] = {}
    node_ids: list[np.ndarray | None] = [None] * len(column_words)
    if column_node_ids is not None:
        node_ids = list(column_node_ids)
    entries = zip(df.dtypes, column_words, node_ids, strict=True)
    for position, (dtype, words, ids) in enumerate(entries):
        column = df.iloc[:, position]
        if isinstance(dtype, np.dtype) and dtype.kind in "biuf":
            # the values copied once, as a plain wrap copies them (writes into the tracked
            # frame must not reach the user's); the entries are new already
            values = column.to_numpy(copy=True)
            columns[position] = WordsArray.from_values(values, words, tracker, ids, carried=True)
        elif holds_text(dtype):
            columns[position] = _text_array(column, words, tracker, ids)
        else:
            columns[position] = column
    # built from the arrays as they are (pandas' own column setter would copy each again),
    # by position: labels may repeat
    out = DataFrame(columns, index=df.index, copy=False)
    out.columns = df.columns
    return out.__finalize__(df)  # its attrs and flags


def _text_array(column: Any, words: np.ndarray, tracker: Any, ids: Any) -> WordsArray:
    """A text column's values, as the column holds them (Python objects, or pandas' string
    array), with its words."""
    dtype = column.dtype
    values = column.array.copy() if isinstance(dtype, pd.StringDtype) else None
    if values is None:
        values = column.to_numpy(dtype=object, copy=True)
    array = WordsArray(values, words, WordsDtype(dtype, tracker), ids)
    array.carried = True
    return array


def column_entries(frame: DataFrame, position: int, name: str) -> np.ndarray | None:
    """The entries of field ``name`` that the column at ``position`` carries with its values
    (see ``with_carried_words``), None for a column that carries none."""
    # a plain view of the frame: reading a column of the tracked frame would follow it
    array = DataFrame(frame, copy=False).iloc[:, position].array
    if isinstance(array, WordsArray) and array.carried:
        return getattr(array, ARRAY_ENTRIES[name])
    return None


def _is_single(frame: DataFrame, label: Hashable) -> bool:
    """Whether ``label`` names exactly one column of ``frame``."""
    try:
        return isinstance(frame.columns.get_loc(label), int)
    except (KeyError, TypeError, InvalidIndexError):
        return False


default_for_unmodelled(TrackingFrame, DataFrame)

__all__ = ["TrackingFrame"]
