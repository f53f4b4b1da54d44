"""pandas' own extension-array tests, run on a words array of float64 values."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from pandas.conftest import (  # noqa: F401  (fixtures the base classes ask for)
    all_arithmetic_operators,
    all_boolean_reductions,
    all_numeric_accumulations,
    all_numeric_reductions,
    all_reductions,
    as_index,
    ascending,
    comparison_op,
    dropna,
    frame_or_series,
    keep,
    observed,
    skipna,
    sort,
    using_infer_string,
)
from pandas.tests.extension import base
from pandas.tests.extension.conftest import (  # noqa: F401
    all_data,
    as_array,
    as_frame,
    as_series,
    box_in_series,
    data_repeated,
    fillna_method,
    groupby_apply_op,
    invalid_scalar,
    na_value,
    use_numpy,
    using_nan_is_na,
)
from words_helpers import source_array

from quorvane.tracking import WordsDtype
from quorvane.utilities.orrin32 import ProvenanceTracker

TRACKER = ProvenanceTracker()


@pytest.fixture
def tracker():
    return TRACKER


@pytest.fixture
def dtype(tracker):
    return WordsDtype("float64", tracker)


@pytest.fixture
def data(tracker):
    return source_array(tracker, "income", np.arange(1.0, 11.0))


@pytest.fixture
def data_for_twos(tracker):
    return source_array(tracker, "income", np.full(10, 2.0))


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

    _combine_le_expected_dtype = WordsDtype(bool, TRACKER)

    def _supports_reduction(self, ser, op_name):
        return True

    def _supports_accumulation(self, ser, op_name):
        return True
