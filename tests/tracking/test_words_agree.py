"""A words column and a tracked series of the same values and words give every element of
an element-wise result the same word: the array can make the words the containers make.

Conditions (``where``, masks) are not among them: pandas hands the array a plain mask, so
their words stay the containers' to add."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from quorvane.tracking import WordsArray, storing_words_in_arrays
from quorvane.tracking._array_words import reads_own_array
from quorvane.utilities.orrin32 import ProvenanceTracker, wrap_dataframe

PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3
LOANS = pd.DataFrame(
    {"income": [52.0, np.nan, 47.0, 38.0], "rate": [0.5, 0.7, 0.9, 0.4]},
    index=pd.Index([17, 3, 11, 5], name="id"),
)

LETTERS = dict(zip(LOANS["rate"], "abcd", strict=True))

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
    ("map_mapping", lambda x, y: y.map({0.5: 1.0, 0.7: 2.0, 0.9: 3.0})),
    ("misaligned", lambda x, y: x + y.iloc[::-1].iloc[:3]),
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


def _frame(x, y):
    return pd.concat([x, y], axis=1)


# Every idiom above, and steps on the results of steps: the series of a frame whose words
# are in arrays read the words the operations' arrays made, which must be those the
# containers make on their own. Operations that pandas hands a plain input (a condition, a
# bound, a mapping) or that the containers over-approximate: their words are made once,
# and the result's array holds them for the next step.
ON_RESULTS = [
    ("fillna_none_missing", lambda x, y: y.fillna(0)),
    ("chain", lambda x, y: ((x + y) * y > 30) | (-x < 0)),
    ("ufunc_of_step", lambda x, y: np.log((x - y).abs()).fillna(0)),
    ("filter_of_step", lambda x, y: (x * y)[y > 0.5].sort_values() + 1),
    ("where", lambda x, y: x.where(y > 0.5, 0)),
    ("where_other", lambda x, y: x.where(y > 0.5, y)),
    ("mask_other", lambda x, y: x.mask(y > 0.5, y) + 1),
    ("clip", lambda x, y: x.clip(40, 50)),
    ("clip_series", lambda x, y: x.clip(y * 60, y * 100) * y),
    ("replace", lambda x, y: y.replace(0.7, 0.6)),
    ("replace_mapping", lambda x, y: y.replace({0.7: 0.6, 0.4: 0.3}) + x),
    ("ffill", lambda x, y: x.ffill()),
    ("bfill", lambda x, y: x.bfill() - y),
    ("interpolate", lambda x, y: x.interpolate()),
    ("map_series", lambda x, y: y.map(pd.Series({0.5: 1.0, 0.7: 2.0, 0.9: 3.0})) * x),
    ("misaligned_step", lambda x, y: (x + y.iloc[::-1].iloc[:3]) > 1),
    ("fill_value", lambda x, y: x.add(y, fill_value=0)),
    (
        "frame_fill_value",
        lambda x, y: _frame(x, y).sub(_frame(x, y)[::-1].set_axis(x.index), fill_value=1),
    ),
    ("frame_plus_frame", lambda x, y: _frame(x, y) + _frame(x, y).iloc[::-1]),
    ("frame_mul_series", lambda x, y: _frame(x, y).mul(y, axis=0)),
    ("frame_gt", lambda x, y: (_frame(x, y) > 0.5) | (_frame(y, x) > 40)),
    ("frame_sum_rows", lambda x, y: _frame(x, y).sum(axis=1)),
    ("frame_mean", lambda x, y: _frame(x, y).mean()),
    ("fillna_plain_series", lambda x, y: x.fillna(pd.Series(y.to_numpy(), index=y.index))),
    # columns the containers make where pandas gives an array of its own, then moved
    ("astype_sorted", lambda x, y: x.astype("float32")[y > 0.4].sort_values()),
    ("map_to_text_sorted", lambda x, y: y.map(LETTERS).sort_values()),
    ("text_method_filtered", lambda x, y: y.astype(str).str.upper()[x > 40]),
    ("rank_sorted", lambda x, y: x.rank().sort_values()),
    ("group_transform_filtered", lambda x, y: x.groupby(y > 0.5).transform("mean")[y < 0.8]),
    ("segments_sorted", lambda x, y: pd.concat([x[y > 0.5] * 2, x[y <= 0.5]]).sort_index()),
    ("frame_astype_sorted", lambda x, y: _frame(x, y).astype("float32").sort_values("rate")),
    ("gaps_filtered", lambda x, y: x.isna()[y > 0.4]),
    ("numpy_assigned", lambda x, y: _frame(x, y).assign(w=np.where(y > 0.5, x, 0))),
    ("repeats_sorted", lambda x, y: (y > 0.5).duplicated().sort_values()),
    # a piece of segments put together keeps its own words (the concat's are remade)
    ("piece_after_segments", lambda x, y: _after_concat((x * 2)[y > 0.5], x[y <= 0.5])),
    (
        "frame_piece_after_segments",
        lambda x, y: _after_concat(
            _frame(x, y)[y > 0.5], _frame(y, x)[y <= 0.5].set_axis(["income", "rate"], axis=1)
        ),
    ),
]


def _after_concat(piece, other):
    pd.concat([piece, other])
    return piece


ROWS = [i for i in IDIOMS if type(i) is tuple] + ON_RESULTS  # not pytest.param (a tuple too)


#: Results whose words stay beside their array: a fill of nothing, whose array pandas 3
#: shares with the receiver.
BESIDE = {"fillna_none_missing"}


def _columns(result):
    return [result[c] for c in result.columns] if isinstance(result, pd.DataFrame) else [result]


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
    for got, want in zip(_columns(result), _columns(expected), strict=True):
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
        np.testing.assert_array_equal(got._prov, want._prov)
        # made once and kept in the column's words array, also where pandas made an array
        # of its own: the next step over it takes its array's words, and a move reads them
        assert reads_own_array(got) or name in BESIDE, got.dtype
