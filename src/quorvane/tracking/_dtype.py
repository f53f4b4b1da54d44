"""WordsDtype: the dtype of a column whose values carry provenance words.

A words column answers pandas' dtype questions as its plain column would: ``kind``, ``type``,
``_is_numeric``, ``_is_boolean`` and ``na_value`` come from the value dtype, so
``is_numeric_dtype``, ``is_float_dtype``, ``is_bool_dtype`` and ``select_dtypes`` see a float
column as float. ``df.dtypes`` shows ``words[float64, t1]``: the value dtype and the tracker
whose words the column holds (see ``_trackers``).

Text is held as the plain column holds it: Python objects in numpy's array
(``words[object, t1]``), or pandas' own string array for a column of pandas' string dtype,
which the dtype keeps as ``text_dtype`` (``words[str, t1]``), so that pandas' string
kernels serve it and what leaves the words behind (``.str``, ``astype``, categories) is
what the plain column gives. Its ``type`` is numpy's
object, as a text column's was before pandas 3: pandas 3 asks ``is_object_dtype`` of an
extension dtype which columns ``get_dummies`` encodes, and no other answer of the dtype
makes it encode a text column; ``is_string_dtype`` reads a text column of either kind as
text (see ``__eq__``), and the frames pick columns by ``select_dtypes`` as plain ones.
"""

from __future__ import annotations

import builtins
import re
from typing import Any

import numpy as np
import pandas as pd
from pandas.api.extensions import ExtensionDtype, register_extension_dtype

from . import _trackers

#: Value dtypes a words column can hold: numbers, booleans and Python objects.
SUPPORTED_KINDS = "biufcO"

_NAME = re.compile(r"^words\[(?P<values>[\w]+)(?:, t(?P<key>\d+))?\]$")


def supported(dtype: Any) -> bool:
    return isinstance(dtype, np.dtype) and dtype.kind in SUPPORTED_KINDS


def holds_text(dtype: Any) -> bool:
    """Whether a plain column of ``dtype`` is one a words array holds as Python objects:
    objects, or pandas' string dtype."""
    return isinstance(dtype, pd.StringDtype) or (isinstance(dtype, np.dtype) and dtype.kind == "O")


def _value_dtypes(values: Any) -> tuple[np.dtype, pd.StringDtype | None]:
    """The numpy dtype that holds ``values`` (a dtype, or its name) and the string dtype
    of the plain column, if it was one."""
    if isinstance(values, str) and values in ("str", "string"):
        values = pd.api.types.pandas_dtype(values)
    if isinstance(values, pd.StringDtype):
        return np.dtype(object), values
    return np.dtype(values), None


@register_extension_dtype
class WordsDtype(ExtensionDtype):
    """Values of ``numpy_dtype``, each with a word of ``tracker`` (none: words are moved
    with their values but never combined)."""

    _metadata = ("numpy_dtype", "text_dtype", "tracker_key")

    def __init__(self, numpy_dtype: Any = "float64", tracker: Any = None) -> None:
        """``numpy_dtype``: the values' numpy dtype, or pandas' string dtype for text."""
        numpy_dtype, self.text_dtype = _value_dtypes(numpy_dtype)
        if not supported(numpy_dtype):
            raise TypeError(f"a words column cannot hold {numpy_dtype} values")
        self.numpy_dtype = numpy_dtype
        self.tracker = tracker
        self.tracker_key = _trackers.key_of(tracker)

    def __reduce__(self) -> tuple:
        # The key is this process's; the tracker itself travels (see the array's __reduce__).
        return (_unpickled_dtype, (self.values_dtype, self.tracker))

    def __repr__(self) -> str:
        # what df.dtypes.to_dict() and a debugger show: the values' dtype and the tracker
        tracker = f", tracker=t{self.tracker_key}" if self.tracker_key else ""
        return f"WordsDtype({self._values_name!r}{tracker})"

    def __eq__(self, other: object) -> bool:
        # pandas asks ``dtype == "string"`` whether a column holds text (is_string_dtype),
        # and then ``_validate_setitem_value`` whether it holds a value (see the array)
        if isinstance(other, str) and other == "string":
            return self.kind == "O"
        return super().__eq__(other)

    def __hash__(self) -> int:
        return super().__hash__()

    @property
    def values_dtype(self) -> Any:
        """The dtype of the plain column: numpy's, or pandas' string dtype."""
        return self.numpy_dtype if self.text_dtype is None else self.text_dtype

    @property
    def _values_name(self) -> str:
        return self.numpy_dtype.name if self.text_dtype is None else self.text_dtype.name

    @property
    def name(self) -> str:
        values = self._values_name
        return f"words[{values}, t{self.tracker_key}]" if self.tracker_key else f"words[{values}]"

    @property
    def type(self) -> builtins.type:
        return self.numpy_dtype.type

    @property
    def kind(self) -> str:
        return self.numpy_dtype.kind

    @property
    def itemsize(self) -> int:
        return self.numpy_dtype.itemsize

    @property
    def na_value(self) -> Any:
        return np.nan if self.text_dtype is None else self.text_dtype.na_value

    @property
    def _is_numeric(self) -> bool:
        return self.kind in "biufc"

    @property
    def _is_boolean(self) -> bool:
        return self.kind == "b"

    @classmethod
    def construct_array_type(cls) -> builtins.type:
        from ._array import WordsArray

        return WordsArray

    @classmethod
    def construct_from_string(cls, string: str) -> WordsDtype:
        if not isinstance(string, str):
            raise TypeError(f"'construct_from_string' expects a string, got {type(string)}")
        match = _NAME.match(string)
        if match is None:
            raise TypeError(f"Cannot construct a 'WordsDtype' from '{string}'")
        try:
            tracker = _trackers.tracker_of(int(match["key"] or 0))
            return cls(match["values"], tracker)
        except LookupError as exc:
            raise TypeError(f"Cannot construct a 'WordsDtype' from '{string}': {exc}") from exc

    def with_values(self, numpy_dtype: Any) -> WordsDtype:
        """This dtype's tracker, for values of ``numpy_dtype`` (text stays of the string
        dtype it was)."""
        if self.text_dtype is not None and np.dtype(numpy_dtype) == self.numpy_dtype:
            return self
        return WordsDtype(numpy_dtype, self.tracker)

    def _get_common_dtype(self, dtypes: list) -> Any:
        # Columns of one tracker concatenate to a words column. Words of two trackers do
        # not mix.
        words = [d for d in dtypes if isinstance(d, WordsDtype)]
        keys = {d.tracker_key for d in words} - {0}
        if len(keys) > 1:
            return None
        plain = [d for d in dtypes if not isinstance(d, WordsDtype)]
        if plain and all(holds_text(d) for d in [*plain, *(d.numpy_dtype for d in words)]):
            # text beside plain text: the dtype two plain text columns give (pandas' string
            # dtype, not objects); the words stay with the containers, as for numbers below
            return _common_text([*(d.values_dtype for d in words), *plain])
        if not all(isinstance(d, np.dtype) and d.kind in "biuf" for d in plain):
            return None
        given = [*(d.numpy_dtype for d in words), *plain]
        common = np.result_type(*given)
        if len({d.kind == "b" for d in given}) > 1:
            common = np.dtype(object)  # booleans beside numbers are objects, as in pandas
        if plain:
            # with numbers of numpy, numbers of numpy, as those two plain columns give (not
            # objects): the words stay with the containers that hold the columns
            return common
        if not supported(common):
            return None
        tracker = next((d.tracker for d in words if d.tracker_key), None)
        texts = {d.text_dtype for d in words}
        # text of one string dtype stays so
        values = texts.pop() if len(texts) == 1 and None not in texts else common
        return WordsDtype(values, tracker)

    def __from_arrow__(self, array: Any) -> Any:
        from ._arrow import array_from_arrow

        return array_from_arrow(array, self)


def _common_text(dtypes: list) -> Any:
    """The dtype pandas gives plain text columns of ``dtypes`` together."""
    strings = [d for d in dtypes if isinstance(d, pd.StringDtype)]
    if not strings:
        return np.dtype(object)
    return strings[0]._get_common_dtype(dtypes)


def _unpickled_dtype(numpy_dtype: Any, tracker: Any) -> WordsDtype:
    return WordsDtype(numpy_dtype, _trackers.live(tracker)[0])


def altering_conversion(source: Any, dtype: Any) -> str | None:
    """The name of the kind values of dtype ``source`` are converted to where the
    conversion can change a value: an integer from a float (truncated), a truth value
    from a number, text from a number. None where each value stays what it was (a number
    as another number but for a narrower float's rounding, any value as categories or
    objects)."""
    try:
        target = pd.api.types.pandas_dtype(dtype)
    except TypeError:
        return None
    text_source = getattr(source, "text_dtype", None) is not None
    source = getattr(source, "numpy_dtype", source)
    if not isinstance(source, np.dtype) or text_source or source.kind in "OUS":
        return None
    if isinstance(target, pd.StringDtype):
        return "string"
    target = getattr(target, "numpy_dtype", target)
    if not isinstance(target, np.dtype):
        return None
    if target.kind in "US":
        return "str"
    truncated = target.kind in "iu" and source.kind == "f"
    truth = target.kind == "b" and source.kind in "iuf"
    return target.name if truncated or truth else None
