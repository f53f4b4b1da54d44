"""Windows and other results that read a tracked series' rows in order.

An element of a ``rolling``, ``expanding`` or ``ewm`` window, of a cumulative method or of
``diff``/``pct_change`` combines the words of its window's members (an ewm or expanding
window reaches back to the start, a lead forward to the elements it reads); ``shift``
moves each element to its new row. All of them then combine the row order of the series
(see ``_row_order``): what they compute depends on which rows come before which. A frame
does the same column by column. The window combination runs in the native engine
(``combine_windows_batch``).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from pandas import DataFrame, Series

from ..core import _engine
from ..core._word import OpCode
from . import _row_order
from ._arguments import lend_whole
from ._array_words import held_as_words
from ._arrays import tracked_array
from ._caller_warnings import report_warnings_at_caller
from ._positions import gather
from ._unmodelled import over_approximated

Entries = dict[str, np.ndarray]


def combine_windows(tracker: Any, words: np.ndarray, window: int) -> np.ndarray:
    words = np.asarray(words, dtype=np.uint32)
    return np.asarray(
        _engine.combine_windows_batch(tracker._rust, words, window, OpCode.WINDOW),
        dtype=np.uint32,
    )


def _window_entries(series: Any, span: int, name: str, forward: bool = False) -> Entries:
    """Per field, each element's entry for the window of ``span`` elements ending there
    (0: all before it), or starting there when ``forward``."""
    tracker = series._tracker
    words_field, *others = series._fields
    turn = slice(None, None, -1) if forward else slice(None)
    words = combine_windows(tracker, getattr(series, words_field.series_attr)[turn], span)
    entries = {words_field.series_attr: words[turn]}
    for f in others:
        if f.window is not None:
            members = np.asarray(getattr(series, f.series_attr))[turn]
            entries[f.series_attr] = f.window(tracker, members, span, words, name)[turn]
    return entries


def _shifted_entries(series: Any, periods: int) -> Entries:
    """Per field, each element's entry after ``shift(periods)``: the entry of the element
    that moved there, none where pandas put a fill value."""
    n = len(series)
    positions = np.arange(n, dtype=np.intp) - periods
    positions[(positions < 0) | (positions >= n)] = -1
    return {f.series_attr: gather(getattr(series, f.series_attr), positions, f.absent, f.dtype)
            for f in series._fields}  # fmt: skip


def _lag_window(periods: int) -> tuple[int, bool]:
    """The window of ``diff``/``pct_change``: the element and the one ``periods`` away."""
    return abs(periods) + 1, periods < 0


class WindowProxy:
    """A pandas window object (rolling, expanding, ewm) whose every method's result goes
    through ``_finish`` for its entries; other attributes are the window's own. ``times``:
    the tracked column of times whose values decide which rows a time window holds."""

    def __init__(self, window: Any, source: Any, times: Any = None) -> None:
        self._window = window
        self._source = source
        self._times = times

    def _finish(self, name: str, result: Any, kwargs: dict) -> Any:
        raise NotImplementedError

    def _selected(self, key: Any) -> WindowProxy:
        """The window of the columns ``key`` names, windowed alike."""
        raise NotImplementedError

    def __getitem__(self, key: Any) -> WindowProxy:
        return self._selected(key)

    def __getattr__(self, name: str) -> Any:
        columns = getattr(self._source, "columns", ())
        if name in columns and not hasattr(type(self._window), name):
            return self[name]  # a column by attribute (``rolling(...).a``), as by ``["a"]``
        attribute = getattr(self._window, name)
        if not callable(attribute):
            return attribute

        def method(*args: Any, **kwargs: Any) -> Any:
            made = self._finish(name, attribute(*args, **kwargs), kwargs)
            # what a function given (``apply``) reads besides its window, and the times
            # that chose the rows of a time window, whole
            lent = [self._times, *args, *kwargs.values()]
            return lend_whole(self._source, made, lent, name)

        return method


class TrackedWindow(WindowProxy):
    """A rolling, expanding or ewm window of a tracked series or frame: its results are
    windowed (see the module doc)."""

    def __init__(self, source: Any, window: Any, span: int, times: Any = None) -> None:
        super().__init__(window, source, times)
        self._span = span

    def _selected(self, key: Any) -> TrackedWindow:
        return TrackedWindow(self._source[key], self._window[key], self._span, self._times)

    def _finish(self, name: str, result: Any, kwargs: dict) -> Any:
        return self._source._in_order(result, name, _windowing(self._span, name))


def time_column(source: Any, window: Any, on: Any) -> Any:
    """The times whose values decide which rows a time ``window`` holds: the tracked column
    ``on`` names, or the index, its words kept by ``source`` (see ``_index_words``); None
    for a window of a number of rows, or times without words."""
    if isinstance(window, int):
        return None
    if on is not None:
        return source[on] if isinstance(source, DataFrame) else None
    kept = getattr(source, "_index_words", None) or {}
    levels = [(kept.get(f.series_attr) or [None])[0] for f in source._fields]
    if source.index.nlevels != 1 or any(level is None for level in levels):
        return None
    ids = levels[1] if len(levels) > 1 else None
    index = np.asarray(source.index)
    return tracked_array(index, levels[0], source._tracker, ids, source._fields)


def _windowing(span: int, name: str, forward: bool = False) -> Callable[[Any], Entries]:
    return lambda series: _window_entries(series, span, name, forward)


class Windowing:
    """Order-dependent methods of a tracked series or frame (see the module doc)."""

    def rolling(self, window: Any, *args: Any, **kwargs: Any) -> Any:
        span = window if isinstance(window, int) else 0  # a time window: back to the start
        window_of = super().rolling(window, *args, **kwargs)  # type: ignore[misc]
        return TrackedWindow(self, window_of, span, time_column(self, window, kwargs.get("on")))

    def expanding(self, *args: Any, **kwargs: Any) -> Any:
        return TrackedWindow(self, super().expanding(*args, **kwargs), 0)  # type: ignore[misc]

    def ewm(self, *args: Any, **kwargs: Any) -> Any:
        return TrackedWindow(self, super().ewm(*args, **kwargs), 0)  # type: ignore[misc]

    def cumsum(self, *args: Any, **kwargs: Any) -> Any:
        return self._cumulative("cumsum", args, kwargs)

    def cumprod(self, *args: Any, **kwargs: Any) -> Any:
        return self._cumulative("cumprod", args, kwargs)

    def cummax(self, *args: Any, **kwargs: Any) -> Any:
        return self._cumulative("cummax", args, kwargs)

    def cummin(self, *args: Any, **kwargs: Any) -> Any:
        return self._cumulative("cummin", args, kwargs)

    def _cumulative(self, name: str, args: tuple, kwargs: dict) -> Any:
        result = getattr(super(), name)(*args, **kwargs)
        return self._in_order(result, name, _windowing(0, name), kwargs)

    def diff(self, periods: int = 1, **kwargs: Any) -> Any:
        result = super().diff(periods, **kwargs)  # type: ignore[misc]
        span, forward = _lag_window(periods)
        return self._in_order(result, "diff", _windowing(span, "diff", forward), kwargs)

    def pct_change(self, periods: int = 1, **kwargs: Any) -> Any:
        from ._calls import _inside_parent

        with _inside_parent(in_place=True):  # pandas' own shift and division: no words
            result = super().pct_change(periods, **kwargs)  # type: ignore[misc]
        span, forward = _lag_window(periods)
        windowing = _windowing(span, "pct_change", forward)
        return self._in_order(result, "pct_change", windowing, kwargs)

    def shift(self, periods: Any = 1, *args: Any, **kwargs: Any) -> Any:
        result = super().shift(periods, *args, **kwargs)  # type: ignore[misc]
        if kwargs.get("freq") is not None or not isinstance(periods, int):
            return result  # the labels move, each value stays with its words
        made = self._in_order(result, "shift", lambda s: _shifted_entries(s, periods), kwargs)
        # a tracked ``fill_value`` fills the rows shifted in: it reaches every element
        return lend_whole(self, made, [kwargs.get("fill_value")], "shift")

    def _in_order(
        self, result: Any, name: str, entries_of: Callable[[Any], Entries], kwargs: Any = None
    ) -> Any:
        """``result`` (pandas' values, read from this container's rows in order) with the
        entries ``entries_of`` gives for a series, and the row order combined in."""
        from ._calls import _in_place_call

        source: Any = self
        tracker = getattr(source, "_tracker", None)
        if not tracker:
            return result
        if kwargs and kwargs.get("axis", 0) not in (0, "index"):
            # along a frame's rows, across its columns: each element reads its row
            across = getattr(source, "_across_row", None)
            return across(result, name) if across is not None else result
        if _in_place_call():
            return result  # pandas' own step inside one of ours (pct_change's shift)
        if isinstance(result, DataFrame) and hasattr(result, "_set_mappings"):
            return _columns_in_order(source, result, name, entries_of)
        if _plain_on_the_rows_of(result, source):
            # pandas builds a window's corr or cov with another series as a plain series
            result = source._constructor(result)
        if type(result) in (Series, DataFrame):
            # a frame's pairwise corr or cov: a row per (row, column), each element from two
            # columns' windows
            return over_approximated(source, result, name, [])
        tracked = isinstance(result, Series) and hasattr(result, "_set_fields")
        if not tracked or len(result) != len(source):
            return result
        object.__setattr__(result, "_tracker", tracker)
        result._set_fields(entries_of(source))
        if name != "shift":  # a shift moves elements; anything else made new ones
            _record_values(result)
        result = _row_order.applied(source, result)
        return held_as_words(result, source)


def _record_values(result: Any) -> None:
    """On a road whose entries keep their values (the DAG road's nodes), each element's
    window or running result is its node's value, so that the step shows, and a what-if
    holds, the applicant's own number."""
    for f in result._fields[1:]:
        if f.value is not None:
            f.value(result._tracker, getattr(result, f.series_attr), result._values)


def _plain_on_the_rows_of(result: Any, source: Any) -> bool:
    return (
        type(result) is Series
        and isinstance(source, Series)
        and len(result) == len(source)
        and result.index.equals(source.index)
    )


def _columns_in_order(
    frame: Any, result: Any, name: str, entries_of: Callable[[Any], Entries]
) -> Any:
    """A frame's order-dependent result, column by column as a series' would be; of a
    series, each column (one per function: ``expanding().agg(["mean", "max"])``) as the
    series' own."""
    if len(result) != len(frame) or not result.index.equals(frame.index):
        return result
    mappings: dict[str, dict] = {f.frame_attr: {} for f in frame._fields}
    words_attr = frame._fields[0].frame_attr
    for label in result.columns:
        source = (
            frame
            if isinstance(frame, Series)
            else frame[label]
            if _row_order.lookup(getattr(frame, words_attr), label) is not None
            else None
        )
        if not isinstance(source, Series):
            continue  # no words to window, or a label pandas holds twice
        column = source._in_order(result[label], name, entries_of)
        for f in frame._fields:
            mappings[f.frame_attr][label] = getattr(column, f.series_attr)
    object.__setattr__(result, "_tracker", frame._tracker)
    result._set_mappings(mappings)
    _row_order.carry(result, frame)
    return result


report_warnings_at_caller(WindowProxy)
