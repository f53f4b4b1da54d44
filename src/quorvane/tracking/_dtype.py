"""WordsDtype: the dtype of a column whose values carry provenance words.

A words column answers pandas' dtype questions as its plain column would: ``kind``, ``type``,
``_is_numeric``, ``_is_boolean`` and ``na_value`` come from the value dtype, so
``is_numeric_dtype``, ``is_float_dtype``, ``is_bool_dtype`` and ``select_dtypes`` see a float
column as float. ``df.dtypes`` shows ``words[float64, t1]``: the value dtype and the tracker
whose words the column holds (see ``_trackers``).
"""

from __future__ import annotations

import builtins
import re
from typing import Any

import numpy as np
from pandas.api.extensions import ExtensionDtype, register_extension_dtype

from . import _trackers

#: Value dtypes a words column can hold: numbers, booleans and Python objects.
SUPPORTED_KINDS = "biufcO"

_NAME = re.compile(r"^words\[(?P<values>[\w]+)(?:, t(?P<key>\d+))?\]$")


def supported(dtype: Any) -> bool:
    return isinstance(dtype, np.dtype) and dtype.kind in SUPPORTED_KINDS


@register_extension_dtype
class WordsDtype(ExtensionDtype):
    """Values of ``numpy_dtype``, each with a word of ``tracker`` (none: words are moved
    with their values but never combined)."""

    _metadata = ("numpy_dtype", "tracker_key")

    def __init__(self, numpy_dtype: Any = "float64", tracker: Any = None) -> None:
        numpy_dtype = np.dtype(numpy_dtype)
        if not supported(numpy_dtype):
            raise TypeError(f"a words column cannot hold {numpy_dtype} values")
        self.numpy_dtype = numpy_dtype
        self.tracker = tracker
        self.tracker_key = _trackers.key_of(tracker)

    def __reduce__(self) -> tuple:
        # The key is this process's; the tracker itself travels (see the array's __reduce__).
        return (_unpickled_dtype, (self.numpy_dtype, self.tracker))

    def __repr__(self) -> str:
        # what df.dtypes.to_dict() and a debugger show: the values' dtype and the tracker
        tracker = f", tracker=t{self.tracker_key}" if self.tracker_key else ""
        return f"WordsDtype({self.numpy_dtype.name!r}{tracker})"

    @property
    def name(self) -> str:
        values = self.numpy_dtype.name
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
        return np.nan

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
        """This dtype's tracker, for values of ``numpy_dtype``."""
        return WordsDtype(numpy_dtype, self.tracker)

    def _get_common_dtype(self, dtypes: list) -> Any:
        # Columns of one tracker concatenate to a words column. Words of two trackers do
        # not mix.
        words = [d for d in dtypes if isinstance(d, WordsDtype)]
        keys = {d.tracker_key for d in words} - {0}
        if len(keys) > 1:
            return None
        plain = [d for d in dtypes if not isinstance(d, WordsDtype)]
        if not all(isinstance(d, np.dtype) and d.kind in "biuf" for d in plain):
            return None
        common = np.result_type(*(d.numpy_dtype for d in words), *plain)
        if plain:
            # with numbers of numpy, numbers of numpy, as those two plain columns give (not
            # objects): the words stay with the containers that hold the columns
            return common
        if not supported(common):
            return None
        tracker = next((d.tracker for d in words if d.tracker_key), None)
        return WordsDtype(common, tracker)

    def __from_arrow__(self, array: Any) -> Any:
        from ._arrow import array_from_arrow

        return array_from_arrow(array, self)


def _unpickled_dtype(numpy_dtype: Any, tracker: Any) -> WordsDtype:
    return WordsDtype(numpy_dtype, _trackers.live(tracker)[0])
