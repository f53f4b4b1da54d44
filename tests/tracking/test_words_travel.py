"""pandas moves the words with the values: after each operation every element's word is the
word of the source element it came from, or combines the words of what it was made of."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from words_helpers import source_array, sources

from quorvane.tracking import WordsArray, WordsDtype
from quorvane.utilities.orrin32 import ProvenanceTracker

INCOME = np.array([52.0, 80.0, 47.0, 38.0, 95.0, 61.0])
RACE = np.array([1, 0, 1, 1, 0, 1])
RATE = np.array([0.5, 0.7, 0.9])
VALUES = {"income": INCOME, "race": RACE, "rate": RATE}
PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3


@pytest.fixture
def tracker():
    tracker = ProvenanceTracker()
    tracker.register("loans", "race", protected=True)
    return tracker


@pytest.fixture
def loans(tracker):
    race = source_array(tracker, "race", RACE)
    # on the DAG road each element also has a node id: here 100 + its source row
    race = WordsArray.from_values(RACE, race.words, tracker, node_ids=100 + np.arange(6))
    return pd.DataFrame(
        {
            "income": source_array(tracker, "income", INCOME),
            "race": race,
            "branch": [1, 2, 1, 3, 2, 3],
        },
        index=pd.Index([17, 3, 11, 5, 8, 2], name="id"),
    )


@pytest.fixture
def branches(tracker):
    return pd.DataFrame(
        {"branch": [1, 2, 3], "rate": source_array(tracker, "rate", RATE, table="branches")}
    )


def word_columns(result):
    if isinstance(result, pd.Series):
        return [result]
    return [result[c] for c in result.columns if isinstance(result[c].dtype, WordsDtype)]


# Operations that only move elements: each word names the one source element whose value
# the element holds (entities are row positions in the source), and node ids go with the
# words; gaps pandas fills hold NaN, no word and no node.
MOVES = [
    ("merge", lambda t, b: t.merge(b, on="branch")),
    ("merge_right", lambda t, b: b.merge(t, on="branch", how="right")),
    ("join", lambda t, b: t.join(b.set_index("branch"), on="branch")),
    ("concat_rows", lambda t, b: pd.concat([t.iloc[4:], t.iloc[:2]])),
    ("concat_columns", lambda t, b: pd.concat([t["race"], t["income"].iloc[::-1]], axis=1)),
    ("sort_values", lambda t, b: t.sort_values("income")),
    ("sort_index", lambda t, b: t.sort_index()),
    ("reindex", lambda t, b: t.reindex([2, 99, 17, 5])),
    ("filter", lambda t, b: t[t["branch"] > 1]),
    ("set_reset_index", lambda t, b: t.set_index("branch").sort_index().reset_index()),
    ("index_of_words", lambda t, b: t.set_index("income").sort_index().reset_index()),
    (
        "stack_levels",
        lambda t, b: (
            t[["income", "race"]]
            .set_axis(pd.MultiIndex.from_tuples([("a", "income"), ("a", "race")]), axis=1)
            .stack(0)
        ),
    ),
    pytest.param(
        "stack",
        lambda t, b: t[["income"]].assign(other=t["income"][::-1].values).stack(),
        marks=pytest.mark.xfail(
            PANDAS_3,
            strict=True,
            reason=(
                "pandas 3 stacks single-level columns through an object array of scalars, "
                "which carry no words"
            ),
        ),
    ),
    ("unstack", lambda t, b: t.set_index("branch", append=True)["income"].unstack()),
    ("align", lambda t, b: t["income"].align(t["race"].iloc[::2])[1]),
    ("shift", lambda t, b: t.shift(2)),
    ("drop_duplicates", lambda t, b: t.drop_duplicates(subset=["branch"])),
]


@pytest.mark.parametrize(("name", "idiom"), MOVES)
def test_words_move_with_values(tracker, loans, branches, name, idiom):
    result = idiom(loans, branches)
    checked = 0
    for column in word_columns(result):
        values, words, ids = column.to_numpy(), column.array.words, column.array.node_ids
        for i, (value, word) in enumerate(zip(values, words, strict=True)):
            if word == 0:
                assert pd.isna(value) and (ids is None or ids[i] == -1)
                continue
            (source,) = sources(tracker, [word])[0]
            entity = tracker.decode_full(int(word)).entity
            assert value == VALUES[source][entity]
            assert ids is None if source != "race" else ids[i] == 100 + entity
            checked += 1
    assert checked > 0


# Operations that make new values: each element's sources are those of every operand.
COMBINES = [
    ("series_add", lambda t: t["income"] + t["race"], {"income", "race"}),
    # frame arithmetic aligns on rows and columns; both operands count
    (
        "frame_add_frame",
        lambda t: (
            t[["income", "race"]]
            + t[["race", "income"]].set_axis(["income", "race"], axis=1).iloc[::-1]
        ),
        {"income", "race"},
    ),  # fmt: skip
    ("frame_mul_series_axis0", lambda t: t[["income"]].mul(t["race"], axis=0), {"income", "race"}),
    ("frame_gt_scalar", lambda t: t[["income"]] > 50, {"income"}),
    ("ufunc", lambda t: np.log(t["income"]), {"income"}),
    ("where_other", lambda t: t["income"].where(t["branch"] > 1, t["race"]), "picked"),
    ("cumsum", lambda t: t["income"].cumsum(), {"income"}),
    # a gap interpolated from what the column holds: the gaps at either end too
    (
        "interpolate",
        lambda t: t["income"].where(t["branch"] > 1).interpolate(limit_direction="both"),
        {"income"},
    ),
    ("groupby_sum", lambda t: t.groupby("branch")[["income"]].sum(), {"income"}),
    ("groupby_transform", lambda t: t.groupby("branch")["income"].transform("mean"), {"income"}),
    ("groupby_mean_two", lambda t: t.groupby("branch")[["income", "race"]].mean(), None),
]


@pytest.mark.parametrize(("name", "idiom", "expected"), COMBINES, ids=[c[0] for c in COMBINES])
def test_new_values_combine_their_inputs(tracker, loans, name, idiom, expected):
    result = idiom(loans)
    for column in word_columns(result):
        got = [set(s) for s in sources(tracker, column.array.words)]
        if expected is None:  # each column its own source
            want = [{column.name}] * len(column)
        elif expected == "picked":  # income where branch > 1, else race
            want = [{"income"} if b > 1 else {"race"} for b in loans["branch"]]
        else:
            want = [expected] * len(column)
        assert got == want, column.name


# Values pandas builds from bare scalars, where it has left the array: nothing says where
# they came from, so they read unknown, never clean.
FROM_SCALARS = [
    ("from_sequence", lambda t: pd.array(t["income"].tolist(), dtype=t["income"].dtype)),
    ("transpose", lambda t: t[["income"]].assign(twice=t["income"] * 2).T),
    ("frame_reduction_row", lambda t: t[["income", "race"]].sum()),
    pytest.param(
        "combine",
        lambda t: t["income"].combine(t["income"], max),
        marks=pytest.mark.xfail(
            not PANDAS_3,
            strict=True,
            reason="pandas before 3 rebuilds from scalars without the dtype: no tracker to "
            "give the unknown word",
        ),
    ),
]


@pytest.mark.parametrize(("name", "idiom"), FROM_SCALARS)
def test_values_built_from_scalars_read_unknown(tracker, loans, name, idiom):
    result = pd.DataFrame(idiom(loans))
    for position in range(result.shape[1]):
        words = result.iloc[:, position].array.words
        assert words.all() and all(tracker.is_unknown(int(w)) for w in words)


@pytest.mark.xfail(
    strict=True,
    reason="pandas builds a frame reduction's result row from scalars, which read unknown",
)
def test_frame_reduction_keeps_words(tracker, loans):
    total = loans[["income", "race"]].sum()
    assert sources(tracker, total.array.words) == [["income"], ["race"]]
