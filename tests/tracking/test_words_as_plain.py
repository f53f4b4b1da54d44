"""A words column answers pandas' and numpy's questions as its plain column does."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from like_plain import assert_like_plain
from pandas.api import types
from words_helpers import source_array

from quorvane.utilities.orrin32 import TrackedDataFrame

COLUMNS = {
    "float": np.array([1.5, np.nan, 3.0]),
    "int": np.array([1, 2, 3]),
    "bool": np.array([True, False, True]),
}
CHECKS = [
    types.is_numeric_dtype,
    types.is_float_dtype,
    types.is_integer_dtype,
    types.is_bool_dtype,
    types.is_object_dtype,
    lambda s: s.to_numpy().dtype,
    lambda s: np.asarray(s).dtype,
    lambda s: s.astype("float64").dtype,
    lambda s: s.astype(object).dtype,
    lambda s: s.dtype.kind,
    lambda s: s.dtype.type,
]


@pytest.fixture
def frames(tracker):
    words = pd.DataFrame({k: source_array(tracker, "income", v) for k, v in COLUMNS.items()})
    return words, pd.DataFrame(COLUMNS)


@pytest.mark.parametrize("check", CHECKS)
@pytest.mark.parametrize("name", list(COLUMNS))
def test_dtype_questions(frames, name, check):
    words, plain = frames
    assert check(words[name]) == check(plain[name])


@pytest.mark.parametrize("include", ["number", "float", "integer", "bool", ["float", "bool"]])
def test_select_dtypes(frames, include):
    words, plain = frames
    assert list(words.select_dtypes(include).columns) == list(plain.select_dtypes(include).columns)


def test_values_leave_as_numpy(frames):
    words, plain = frames
    for name in COLUMNS:
        np.testing.assert_array_equal(words[name].to_numpy(), plain[name].to_numpy())
    # a boolean words column selects rows as a boolean column does
    assert_like_plain(words[words["bool"]], plain[plain["bool"]])


# A tracked frame of words columns and a plain one gives what a plain frame of the same
# values gives (pandas alone would gather them as Python objects, or describe as Float64).
FRAME_CHECKS = {
    "to_numpy": lambda f: f.to_numpy(),
    "values": lambda f: f.values,
    "asarray": np.asarray,
    "row_sum": lambda f: f.sum(axis=1),
    "row_max": lambda f: f.max(axis=1),
    "column_mean": lambda f: f.mean(),
    "describe": lambda f: f.describe(),
    "series_describe": lambda f: f["float"].describe(),
}


@pytest.mark.parametrize("check", FRAME_CHECKS.values(), ids=FRAME_CHECKS)
def test_tracked_frame_values_as_plain(frames, tracker, check):
    words, plain = frames
    words, plain = words.assign(plain=[0.5, 1.0, 2.0]), plain.assign(plain=[0.5, 1.0, 2.0])
    words, plain = words.drop(columns="bool"), plain.drop(columns="bool")
    result, expected = check(TrackedDataFrame(words, _tracker=tracker)), check(plain)
    if isinstance(expected, np.ndarray):
        assert result.dtype == expected.dtype
        np.testing.assert_array_equal(result, expected)
    else:
        assert_like_plain(result, expected)
        assert list(pd.DataFrame(result).dtypes) == list(pd.DataFrame(expected).dtypes)
