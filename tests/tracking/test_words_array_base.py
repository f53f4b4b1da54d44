"""pandas' own extension-array tests, run on a words array of float64 values."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

# The fixtures the base classes ask for, as pandas' own test folders provide them (the set
# differs between pandas versions, hence all of them).
from pandas.conftest import *  # noqa: F403
from pandas.tests.extension import base
from pandas.tests.extension.conftest import *  # noqa: F403
from words_helpers import source_array

from quorvane.tracking import WordsDtype

# The base classes ask for arrays of 10 elements since pandas 3, of 100 before.
LENGTH = 10 if int(pd.__version__.split(".")[0]) >= 3 else 100


@pytest.fixture
def dtype(tracker):
    return WordsDtype("float64", tracker)


@pytest.fixture
def data(tracker):
    return source_array(tracker, "income", np.arange(1.0, LENGTH + 1.0))


@pytest.fixture
def data_for_twos(tracker):
    return source_array(tracker, "income", np.full(LENGTH, 2.0))


@pytest.fixture
def data_missing(tracker):
    return source_array(tracker, "income", [np.nan, 1.0])


@pytest.fixture
def data_for_sorting(tracker):
    return source_array(tracker, "income", [1.0, 2.0, 0.0])


@pytest.fixture
def data_missing_for_sorting(tracker):
    return source_array(tracker, "income", [1.0, np.nan, 0.0])


@pytest.fixture
def data_for_grouping(tracker):
    return source_array(tracker, "income", [1.0, 1.0, np.nan, np.nan, 0.0, 0.0, 1.0, 2.0])


@pytest.fixture
def na_cmp():
    return lambda left, right: pd.isna(left) and pd.isna(right)


class TestWordsArray(base.ExtensionTests):
    # Numbers: every operator works, as on the plain column.
    series_scalar_exc = frame_scalar_exc = series_array_exc = divmod_exc = None

    @pytest.fixture(autouse=True)
    def _combine_le_expected(self, tracker):
        # pandas before 3 rebuilds the result from bare scalars (see _cast_pointwise_result)
        self._combine_le_expected_dtype = WordsDtype(bool, tracker if LENGTH == 10 else None)
        yield
        # pytest keeps test instances to the end: they must not keep the tracker alive
        del self._combine_le_expected_dtype

    def _cast_pointwise_result(self, op_name, obj, other, pointwise_result):
        # pandas before 3 rebuilds element-wise results from bare scalars, which cannot
        # name the tracker; the operator's own result keeps it.
        first = (lambda x: x) if isinstance(obj, pd.Series) else (lambda x: x.iloc[:, 0])
        values = first(pointwise_result).dtype.numpy_dtype
        return pointwise_result.astype(WordsDtype(values, first(obj).dtype.tracker))

    def _supports_reduction(self, ser, op_name):
        return True

    def _supports_accumulation(self, ser, op_name):
        return True

    @pytest.mark.parametrize("na_action", [None, "ignore"])
    def test_map(self, data_missing, na_action):
        # a words array maps to a words array on every pandas line (pandas 3's contract;
        # before 3 the base test expects numpy's): an index's labels keep their words
        result = data_missing.map(lambda x: x, na_action=na_action)
        pd.testing.assert_extension_array_equal(result, data_missing)
        assert (result.words != 0).all()
