"""Both container families divide as pandas does: inf and NaN, and no warning."""

import numpy as np
import pandas as pd
import pytest

from quorvane.utilities.orrin32 import ProvenanceTracker, wrap_dataframe
from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag


@pytest.mark.parametrize(
    "wrap, make_tracker",
    [(wrap_dataframe, ProvenanceTracker), (wrap_dataframe_dag, DAGTracker)],
    ids=["vectorised", "dag"],
)
def test_division_by_zero_is_silent_like_pandas(wrap, make_tracker):
    frame = pd.DataFrame({"debt": [1.0, 0.0, -2.0], "income": [0.0, 0.0, 4.0]})
    tracked = wrap(frame, make_tracker(), "loans")
    ratio = tracked["debt"] / tracked["income"]  # warnings are errors in this suite
    expected = frame["debt"] / frame["income"]
    np.testing.assert_array_equal(ratio.values, expected.values)
    np.testing.assert_array_equal((-ratio).values, (-expected).values)
