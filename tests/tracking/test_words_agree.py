"""A words column and a tracked series of the same values and words give every element of
an element-wise result the same word: the array can make the words the containers make.

Conditions (``where``, masks) are not among them: pandas hands the array a plain mask, so
their words stay the containers' to add."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from quorvane.tracking import WordsArray, storing_words_in_arrays
from quorvane.utilities.orrin32 import ProvenanceTracker, wrap_dataframe

PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3
LOANS = pd.DataFrame(
    {"income": [52.0, np.nan, 47.0, 38.0], "rate": [0.5, 0.7, 0.9, 0.4]},
    index=pd.Index([17, 3, 11, 5], name="id"),
)

IDIOMS = [
    ("add", lambda x, y: x + y),
    ("gt", lambda x, y: x > y),
    ("add_constant", lambda x, y: x + 1),
    ("constant_minus", lambda x, y: 800 - x),
    ("gt_constant", lambda x, y: x > 40),
    ("neg", lambda x, y: -x),
    ("abs", lambda x, y: x.abs()),
    ("round", lambda x, y: y.round(1)),
    ("ufunc", lambda x, y: np.log(x)),
    ("ufunc_two", lambda x, y: np.maximum(x, y)),
    ("fillna", lambda x, y: x.fillna(0)),
    ("fillna_series", lambda x, y: x.fillna(y)),
    ("cumsum", lambda x, y: x.cumsum()),
    pytest.param(
        "fillna_nothing_missing",
        lambda x, y: y.fillna(0),
        id="fillna_nothing_missing",
        marks=pytest.mark.xfail(
            PANDAS_3,
            strict=True,
            reason="pandas 3 does not call the array when nothing is missing: the step of "
            "every element stays the containers'",
        ),
    ),
]


@pytest.fixture(scope="module")
def both():
    """The columns as a tracked frame's series, and as words columns of their words."""
    tracker = ProvenanceTracker()
    with storing_words_in_arrays(False):  # the containers make the words
        tracked = wrap_dataframe(LOANS, tracker, "loans", protected=["rate"])
    words = {
        c: pd.Series(
            WordsArray.from_values(LOANS[c].to_numpy(), tracked._col_prov[c], tracker),
            index=LOANS.index,
        )
        for c in LOANS.columns
    }
    return tracked, words


@pytest.mark.parametrize(
    ("name", "idiom"), IDIOMS, ids=[i[0] if isinstance(i, tuple) else i.id for i in IDIOMS]
)
def test_the_array_makes_the_words_the_containers_make(both, name, idiom):
    tracked, words = both
    expected = idiom(tracked["income"], tracked["rate"])
    result = idiom(words["income"], words["rate"])
    np.testing.assert_array_equal(result.to_numpy(), expected.to_numpy())
    np.testing.assert_array_equal(result.array.words, expected._prov)


# Every idiom above, and steps on the results of steps: the series of a frame whose words
# are in arrays read the words the operations' arrays made, which must be those the
# containers make on their own.
ON_RESULTS = [
    ("fillna_none_missing", lambda x, y: y.fillna(0)),
    ("chain", lambda x, y: ((x + y) * y > 30) | (-x < 0)),
    ("ufunc_of_step", lambda x, y: np.log((x - y).abs()).fillna(0)),
    ("filter_of_step", lambda x, y: (x * y)[y > 0.5].sort_values() + 1),
    ("fillna_plain_series", lambda x, y: x.fillna(pd.Series(y.to_numpy(), index=y.index))),
]
ROWS = [i for i in IDIOMS if type(i) is tuple] + ON_RESULTS  # not pytest.param (a tuple too)


@pytest.mark.parametrize(
    ("name", "idiom"),
    ROWS,
    ids=[name for name, _ in ROWS],
)
def test_with_words_in_arrays_a_series_reads_the_words_of_the_plain_road(name, idiom):
    tracker = ProvenanceTracker()
    with storing_words_in_arrays(False):
        followed = wrap_dataframe(LOANS, tracker, "loans", protected=["rate"])
    in_arrays = wrap_dataframe(LOANS, tracker, "loans", protected=["rate"])
    expected = idiom(followed["income"], followed["rate"])
    result = idiom(in_arrays["income"], in_arrays["rate"])
    np.testing.assert_array_equal(result.to_numpy(), expected.to_numpy())
    np.testing.assert_array_equal(result._prov, expected._prov)
