"""A tracked frame's values as numpy holds them, whatever carries its words.

pandas interleaves the columns of a frame into one numpy array only when every column is
numpy-backed; a column that holds its words beside its values (``WordsArray``) makes pandas
fall back to an array of Python objects, and a row-wise reduction over such a mix to object
dtype. A user's code (``to_numpy()``, ``np.asarray``, scikit-learn's inputs) must see the
float64 a plain frame gives, so these read a plain view of the frame: the same values, the
words columns as their numpy values, nothing copied.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series

from ._dtype import WordsDtype


def plain_view(frame: Any) -> Any:
    """pandas' own series or frame over ``frame``'s values, each words column as its numpy
    values."""
    if isinstance(frame, Series):
        values = _plain_array(frame.array) if holds_words(frame) else frame.array
        return Series(values, index=frame.index, name=frame.name, copy=False)
    plain = DataFrame(frame, copy=False)
    if not holds_words(plain):
        return plain
    # a new frame of the same columns, each words column's values as they are (replacing
    # columns of a copy would copy every one of them)
    columns = {}
    for position, dtype in enumerate(plain.dtypes):
        array = plain.iloc[:, position].array
        columns[position] = _plain_array(array) if isinstance(dtype, WordsDtype) else array
    out = DataFrame(columns, index=plain.index, copy=False)
    out.columns = plain.columns
    return out


def _plain_array(array: Any) -> Any:
    """A words array's values as the plain column holds them: numpy's numbers, pandas' own
    array of objects (a bare one pandas 3 would read as its string dtype) or of strings."""
    values = array.plain()
    if isinstance(values, np.ndarray) and values.dtype == object:
        return pd.arrays.NumpyExtensionArray(values)
    return values


def _plain_dtype(dtype: Any) -> Any:
    return dtype.values_dtype if isinstance(dtype, WordsDtype) else dtype


def holds_words(data: Any) -> bool:
    """Whether a series or any column of a frame holds its values in a words array."""
    dtypes = [data.dtype] if isinstance(data, Series) else data.dtypes
    return any(isinstance(dtype, WordsDtype) for dtype in dtypes)


class PlainValues:
    """``to_numpy``, ``values``, ``__array__`` and ``select_dtypes`` of a tracked frame, as a
    plain frame of the same values gives them (see the module doc)."""

    def select_dtypes(self, include: Any = None, exclude: Any = None) -> Any:
        # pandas picks a column by its dtype alone, and some of its own dtypes by more than
        # their kind and type (pandas 3 picks its string columns with "object" too): each
        # column is picked as its plain column would be, asking of an empty frame of theirs
        dtypes = [_plain_dtype(dtype) for dtype in self.dtypes]  # type: ignore[attr-defined]
        plain = DataFrame({i: Series(dtype=dtype) for i, dtype in enumerate(dtypes)})
        chosen = plain.select_dtypes(include=include, exclude=exclude).columns
        return self.iloc[:, list(chosen)]  # type: ignore[attr-defined]

    def to_numpy(self, *args: Any, **kwargs: Any) -> np.ndarray:
        return plain_view(self).to_numpy(*args, **kwargs)

    @property
    def values(self) -> np.ndarray:
        return plain_view(self).values

    def __array__(self, *args: Any, **kwargs: Any) -> np.ndarray:
        return plain_view(self).__array__(*args, **kwargs)
