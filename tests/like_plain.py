"""Compare a tracked result with plain pandas' by what a user reads: values, labels, names and
the numpy dtype underneath.

A column or index whose values carry words has dtype ``words[float64, t1]``; a user's code
sees float64 in it (``is_float_dtype``, ``to_numpy()``), so the comparison reads it as its
numpy values. Everything else, the containers' class included, is compared as pandas' own.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from quorvane.tracking import WordsDtype


def as_plain(obj: Any) -> Any:
    """``obj`` (a series, frame or index) as plain pandas, words columns as their values."""
    if isinstance(obj, pd.DataFrame):
        frame = pd.DataFrame(obj, copy=True)
        for position, dtype in enumerate(frame.dtypes):
            if isinstance(dtype, WordsDtype):
                column = frame.iloc[:, position]
                frame.isetitem(
                    position, pd.Series(_values(column), frame.index, dtype.values_dtype)
                )
        return frame.set_axis(plain_index(frame.index)).set_axis(plain_index(frame.columns), axis=1)
    if isinstance(obj, pd.Series):
        words = isinstance(obj.dtype, WordsDtype)
        values, dtype = (_values(obj), obj.dtype.values_dtype) if words else (obj.array, None)
        return pd.Series(values, plain_index(obj.index), dtype, obj.name, copy=False)
    return plain_index(obj)


def _values(series: pd.Series) -> Any:
    """A words series' values as its plain column holds them (text of pandas' string dtype
    as that dtype's array)."""
    return series.array.plain()


def plain_index(index: pd.Index) -> pd.Index:
    if isinstance(index, pd.MultiIndex):
        levels = [plain_index(level) for level in index.levels]
        return index.set_levels(levels, verify_integrity=False)
    if isinstance(index.dtype, WordsDtype):
        return pd.Index(np.asarray(index), name=index.name)
    return index


def assert_like_plain(tracked: Any, plain: Any, **kwargs: Any) -> None:
    """``tracked`` reads as ``plain`` does (keyword arguments go to pandas' assertion)."""
    tracked, plain = as_plain(tracked), as_plain(plain)
    if isinstance(plain, pd.DataFrame):
        pd.testing.assert_frame_equal(tracked, plain, **kwargs)
    elif isinstance(plain, pd.Series):
        pd.testing.assert_series_equal(tracked, plain, **kwargs)
    else:
        pd.testing.assert_index_equal(tracked, plain, **kwargs)
