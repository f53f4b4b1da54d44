"""A words column answers pandas' and numpy's questions as its plain column does."""

from __future__ import annotations

import pickle

import numpy as np
import pandas as pd
import pytest
from like_plain import assert_like_plain
from pandas.api import types
from words_helpers import source_array

from quorvane.tracking import _compat
from quorvane.utilities.orrin32 import TrackedDataFrame

NUMBERS = {
    "float": np.array([1.5, np.nan, 3.0]),
    "int": np.array([1, 2, 3]),
    "bool": np.array([True, False, True]),
}
# pandas 3's default text dtype, "str", is object before pandas 3
STR = {"str": pd.Series(["w", None, "n"], dtype="str")} if _compat.PANDAS_GE_30 else {}
TEXT = {
    "object": pd.Series(["w", "u", "n"], dtype=object),
    **STR,
    "string": pd.Series(["w", None, "n"], dtype=pd.StringDtype()),
}
COLUMNS = NUMBERS | TEXT
CHECKS = [
    types.is_numeric_dtype,
    types.is_float_dtype,
    types.is_integer_dtype,
    types.is_bool_dtype,
    types.is_object_dtype,
    types.is_string_dtype,
    lambda s: s.to_numpy().dtype,
    lambda s: np.asarray(s).dtype,
    lambda s: s.astype(object).dtype,
    lambda s: s.dtype.kind,
    lambda s: s.astype("category").dtype,
]
# what a text column of pandas' string dtype answers unlike the plain column: it reads as
# the object column of text of pandas 2, so that pandas 3's get_dummies encodes it
AS_OBJECTS = {types.is_object_dtype: True, (lambda s: s.dtype.type): np.object_}
NUMBER_CHECKS = [
    lambda s: s.astype("float64").dtype,
    # a converted column answers as the plain one converted
    lambda s: types.is_float_dtype(s.astype("float64")),
    lambda s: s.astype("float64").to_numpy().dtype,
    lambda s: list(s.astype("float64").to_frame().select_dtypes("number").columns),
    # a gap cannot become an integer, as in pandas
    lambda s: _outcome(lambda: s.astype("int64")),
    lambda s: str(s.astype(str).str.len().tolist()),
]
# of a wrapped column; values as text: pandas' own gaps (None, NaN, NA) print as they are
TEXT_CHECKS = [
    lambda s: str(s.astype(str).tolist()),
    lambda s: str(s.value_counts(dropna=False).to_dict()),
    lambda s: _as_plain(s.value_counts(dropna=False).index.dtype),
    lambda s: s.nunique(),
    lambda s: _beside_plain_text(s).dtype,
    lambda s: str(_beside_plain_text(s).tolist()),
    lambda s: str(s.isin(["w", None]).tolist()),  # a gap matches a gap
    lambda s: str(s.sort_values().tolist()),
    # ties in the order they had, descending too (pandas' string array keeps it)
    lambda s: str(
        pd.concat([s] * 30, ignore_index=True).sort_values(ascending=False).index.tolist()
    ),
    lambda s: list(map(str, s.unique())),
    lambda s: _as_plain(s.unique().dtype),
    lambda s: str(list(pd.Categorical(s).categories)),
    lambda s: (s + "!").dtype == s.dtype,  # text joined to text keeps its dtype
    lambda s: s.str.upper().dtype,
    lambda s: str(s.str.upper().tolist()),
    # what a text method made answers as the plain column's result
    lambda s: types.is_string_dtype(s.str.upper()),
    lambda s: np.asarray(s.str.upper()).dtype,
    lambda s: str(s.str.upper().str.lower().tolist()),
    lambda s: _as_plain(s.str.len().dtype),
    lambda s: s.to_csv(),
    lambda s: str(pickle.loads(pickle.dumps(s)).tolist()),
]


def _outcome(convert):
    """What ``convert`` gives (the values as text), or the name of what it raises."""
    try:
        return str(convert().tolist())
    except (TypeError, ValueError, RuntimeWarning) as error:
        return type(error).__name__


def _as_plain(dtype):
    """The dtype a words dtype holds its values as; any other as it is."""
    return getattr(dtype, "values_dtype", dtype)


def _beside_plain_text(s):
    """``s`` followed by plain text of pandas' default text dtype."""
    return pd.concat([s, pd.Series(["x", None])], ignore_index=True)


QUESTIONS = [(name, check) for name in COLUMNS for check in [*CHECKS, *AS_OBJECTS]]
QUESTIONS += [(name, check) for name in NUMBERS for check in NUMBER_CHECKS]
WRAPPED_QUESTIONS = [(name, check) for name in TEXT for check in TEXT_CHECKS]


@pytest.fixture
def frames(tracker):
    words = pd.DataFrame({k: source_array(tracker, "income", v) for k, v in COLUMNS.items()})
    return words, pd.DataFrame(COLUMNS)


@pytest.mark.parametrize("name, check", QUESTIONS + WRAPPED_QUESTIONS)
def test_dtype_questions(frames, tracker, name, check):
    words, plain = frames
    expected = check(plain[name])
    if isinstance(plain[name].dtype, pd.StringDtype):
        expected = AS_OBJECTS.get(check, expected)
    if (name, check) in QUESTIONS:
        assert check(words[name]) == expected
    # a column the containers make holds its values as the plain one does, in a words array
    assert _as_plain(check(TrackedDataFrame(words, _tracker=tracker)[name])) == expected


@pytest.mark.parametrize(
    "include",
    ["number", "float", "integer", "bool", ["float", "bool"], "object", "string", *STR],
)
def test_select_dtypes(frames, tracker, include):
    words, plain = frames
    words = TrackedDataFrame(words, _tracker=tracker)
    assert list(words.select_dtypes(include).columns) == list(plain.select_dtypes(include).columns)
    assert list(words.select_dtypes(exclude=include).columns) == list(
        plain.select_dtypes(exclude=include).columns
    )


def test_values_leave_as_numpy(frames):
    words, plain = frames
    for name in COLUMNS:
        words_values, plain_values = words[name].to_numpy(), plain[name].to_numpy()
        assert words_values.dtype == plain_values.dtype
        pd.testing.assert_index_equal(pd.Index(words_values), pd.Index(plain_values))
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
    dropped = ["bool", *TEXT]
    words, plain = words.drop(columns=dropped), plain.drop(columns=dropped)
    result, expected = check(TrackedDataFrame(words, _tracker=tracker)), check(plain)
    if isinstance(expected, np.ndarray):
        assert result.dtype == expected.dtype
        np.testing.assert_array_equal(result, expected)
    else:
        assert_like_plain(result, expected)
        dtypes = [_as_plain(dtype) for dtype in pd.DataFrame(result).dtypes]
        assert dtypes == list(pd.DataFrame(expected).dtypes)
