"""TrackedDataFrame and wrap_dataframe: minted words, protection, column access, merge."""

import warnings

import numpy as np
import pandas as pd
import pytest
from like_plain import assert_like_plain

from quorvane.tracking import WordsDtype, _compat, storing_words_in_arrays
from quorvane.utilities import orrin32
from quorvane.utilities.orrin32 import (
    ProvenanceTracker,
    TrackedDataFrame,
    TrackedSeries,
    wrap_dataframe,
)
from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag


@pytest.fixture
def tracker():
    return ProvenanceTracker()


@pytest.fixture
def applicants():
    return pd.DataFrame(
        {
            "income": [52000.0, 61000.0, np.nan, 38000.0, 45500.0],
            "age": [34, 51, 29, 42, 38],
            "gender": ["f", "m", "f", "x", "m"],
        },
        index=pd.Index([101, 102, 103, 104, 105], name="applicant_id"),
    )


def _reference_words(tracker, df, table, col, include_entity=True):
    """Words defined row by row: the entity of each label through the tracker."""
    pair_id = tracker.get_id(table, str(col))
    if include_entity:
        entities = [tracker.entity_from_row(label) % 256 for label in df.index]
    else:
        entities = [0] * len(df)
    words = orrin32.encode_source_column(
        tracker._rust,
        pair_id,
        np.array(entities, dtype=np.uint32),
        tracker.is_protected(table, str(col)),
    )
    return np.asarray(words, dtype=np.uint32)


def test_wrap_mints_one_word_per_cell(tracker, applicants):
    wrapped = wrap_dataframe(applicants, tracker, "applicants")
    assert type(wrapped) is TrackedDataFrame and wrapped._tracker is tracker
    assert list(wrapped._col_prov) == ["income", "age", "gender"]
    assert_like_plain(wrapped, applicants)
    for col, pair_id in zip(applicants.columns, range(3), strict=True):
        assert tracker.get_name(pair_id) == ("applicants", col)
        words = wrapped._col_prov[col]
        assert words.dtype == np.uint32
        np.testing.assert_array_equal(
            words, _reference_words(tracker, applicants, "applicants", col)
        )
        assert [tracker.decode_full(int(w)).entity for w in words] == [
            tracker.entity_from_row(label) % 256 for label in applicants.index
        ]
        assert not any(ProvenanceTracker.is_tainted(w) for w in words)


@pytest.mark.parametrize(
    "protected, tainted",
    [
        (False, set()),
        (True, {"income", "age", "gender"}),
        (["gender"], {"gender"}),
        (("gender", "age"), {"gender", "age"}),
        ({"age"}, {"age"}),
        (frozenset({"age"}), {"income", "age", "gender"}),  # not a list: its truth value
        ("gender", {"income", "age", "gender"}),  # a non-empty string protects the table
        ("", set()),
    ],
)
def test_protected_forms(tracker, applicants, protected, tainted):
    wrapped = wrap_dataframe(applicants, tracker, "applicants", protected=protected)
    for col in applicants.columns:
        flags = {ProvenanceTracker.is_tainted(w) for w in wrapped._col_prov[col]}
        assert flags == {col in tainted}
        assert tracker.is_protected("applicants", col) is (col in tainted)
    table_level = not isinstance(protected, (list, tuple, set)) and bool(protected)
    assert ("applicants" in tracker._protected_tables) is table_level


def test_protection_learnt_from_an_earlier_wrap(tracker, applicants):
    wrap_dataframe(applicants, tracker, "applicants", protected=["gender"])
    again = wrap_dataframe(applicants.head(2), tracker, "applicants")
    assert all(ProvenanceTracker.is_tainted(w) for w in again._col_prov["gender"])
    assert not any(ProvenanceTracker.is_tainted(w) for w in again._col_prov["age"])
    wrap_dataframe(applicants, tracker, "bureau", protected=True)
    later = wrap_dataframe(pd.DataFrame({"score": [1, 2]}), tracker, "bureau")
    assert all(ProvenanceTracker.is_tainted(w) for w in later._col_prov["score"])


def test_non_string_labels_are_registered_by_their_string_form(tracker):
    df = pd.DataFrame({5: [1.0, 2.0], ("a", "b"): [3.0, 4.0]})
    wrapped = wrap_dataframe(df, tracker, "t", protected=["5"])
    assert tracker.get_id("t", "5") == 0 and tracker.get_id("t", "('a', 'b')") == 1
    assert set(wrapped._col_prov) == {5, ("a", "b")}
    assert all(ProvenanceTracker.is_tainted(w) for w in wrapped[5]._prov)
    np.testing.assert_array_equal(wrapped[("a", "b")]._prov, wrapped._col_prov[("a", "b")])


@pytest.mark.parametrize("table", [None, 3, b"t", type("Name", (str,), {})("t")])
def test_table_must_be_exactly_str(tracker, applicants, table):
    with pytest.raises(TypeError):
        wrap_dataframe(applicants, tracker, table)
    assert tracker._next_id == 0


def test_a_table_that_does_not_fit_registers_none_of_its_columns(tracker):
    # Both roads check the whole table first (the matrix has the other refusals).
    for i in range(orrin32.MAX_PAIRS - 2):
        tracker.register("filler", f"c{i}")
    df = pd.DataFrame({"a": [1], "b": [2], "c": [3], "d": [4]})
    with pytest.raises(ValueError, match="Maximum 512 pairs supported"):
        wrap_dataframe(df, tracker, "late")
    assert tracker.get_id("late", "a") is None
    wrap_dataframe(df[["a", "b"]], tracker, "late")  # what fits still wraps


def test_include_entity_false_gives_zero_entities(tracker, applicants):
    wrapped = wrap_dataframe(applicants, tracker, "applicants", include_entity=False)
    assert {tracker.decode_full(int(w)).entity for w in wrapped._col_prov["age"]} == {0}


INDEXES = [
    pd.RangeIndex(7),
    pd.Index([-1, -2, 0, 2**61 - 1, 2**61, -(2**61), 2**63 - 1, -(2**63) + 1]),
    pd.Index([-(2**63), 5]),  # abs() of the smallest int64 overflows
    pd.Index([2**64 - 1, 3], dtype="uint64"),
    pd.Index([True, False]),
    pd.Index([0.5, -1.0, 2.0, 1e300]),
    pd.Index(["a", "bb", "ccc"]),
    pd.Index(["x", None, 3, (1, 2)], dtype=object),
    pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]),
    pd.date_range("2024-01-01", periods=3),
    pd.Index([1, None, 3], dtype="Int64"),
    pd.Index([], dtype="int64"),
]


@pytest.mark.parametrize("index", INDEXES, ids=lambda ix: str(ix.dtype))
def test_entity_of_every_row_label_matches_the_trackers_hash(tracker, index):
    df = pd.DataFrame({"v": range(len(index)), "w": range(len(index))}, index=index)
    wrapped = wrap_dataframe(df, tracker, "t")
    for col in ("v", "w"):
        np.testing.assert_array_equal(
            wrapped._col_prov[col], _reference_words(tracker, df, "t", col)
        )


def test_row_labels_are_hashed_once_per_frame(applicants):
    class CountingTracker(ProvenanceTracker):
        calls = 0

        def entity_from_row(self, row_id):
            CountingTracker.calls += 1
            return 7

    tracker = CountingTracker()
    wrapped = wrap_dataframe(applicants, tracker, "applicants")
    assert CountingTracker.calls == len(applicants)  # not once per cell
    assert {tracker.decode_full(int(w)).entity for w in wrapped._col_prov["income"]} == {7}


def test_patched_entity_hash_is_honoured(tracker, applicants, monkeypatch):
    monkeypatch.setattr(orrin32, "_hash_entity", lambda row_id: 300)
    wrapped = wrap_dataframe(applicants, tracker, "applicants")
    assert {tracker.decode_full(int(w)).entity for w in wrapped._col_prov["age"]} == {300 % 256}


def test_empty_frames(tracker):
    no_rows = wrap_dataframe(pd.DataFrame({"a": [], "b": []}), tracker, "t")
    assert [len(w) for w in no_rows._col_prov.values()] == [0, 0]
    assert len(no_rows["a"]) == 0 and len(no_rows["a"]._prov) == 0
    no_columns = wrap_dataframe(pd.DataFrame(index=[1, 2]), tracker, "u")
    assert no_columns._col_prov == {} and tracker._next_id == 2


@pytest.fixture
def wrapped(tracker, applicants):
    return wrap_dataframe(applicants, tracker, "applicants", protected=["gender"])


def test_column_access(wrapped, tracker):
    income = wrapped["income"]
    assert type(income) is TrackedSeries and income.name == "income"
    assert income._tracker is tracker
    np.testing.assert_array_equal(income._prov, wrapped._col_prov["income"])
    wrapped.insert(0, "plain", 1.0)  # a constant derives from no source
    assert list(wrapped["plain"]._prov) == [0] * len(wrapped)
    assert type(wrapped[["age", "income"]]) is TrackedDataFrame


def test_assignment_of_tracked_and_untracked_values(wrapped, tracker):
    total = wrapped["income"] + wrapped["age"]
    wrapped["total"] = total
    np.testing.assert_array_equal(wrapped._col_prov["total"], total._prov)
    np.testing.assert_array_equal(wrapped["total"]._prov, total._prov)
    wrapped["total"] = 0
    assert list(wrapped._col_prov["total"]) == [0] * len(wrapped)
    # a plain series' provenance is unknown, not clean
    wrapped["age"] = pd.Series([1, 2, 3, 4, 5], index=wrapped.index)
    assert "age" not in wrapped._col_prov
    assert tracker.is_unknown(int(wrapped["age"]._prov[0]))
    # a tracked series is aligned on the index as pandas aligns its values
    wrapped["income2"] = wrapped["income"].iloc[::-1]
    np.testing.assert_array_equal(wrapped._col_prov["income2"], wrapped._col_prov["income"])


def test_failed_assignment_leaves_words_alone(wrapped):
    with pytest.raises(ValueError):
        # pandas cannot align a series whose index repeats a label
        wrapped["bad"] = TrackedSeries([1.0, 2.0], index=[101, 101])
    assert "bad" not in wrapped._col_prov


def test_assignment_of_a_series_to_a_column_list_is_unknown(tracker):
    # pandas spreads the series over the columns, not the rows: no word follows it
    frame = wrap_dataframe(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}), tracker, "t")
    frame[["a", "b"]] = frame["a"] + frame["b"]
    assert frame["a"].tolist() == [4.0, 4.0]
    assert all(tracker.is_unknown(int(frame[label]._prov[0])) for label in "ab")


@pytest.fixture
def decisions(tracker):
    df = pd.DataFrame(
        {"applicant_id": [104, 101, 105, 101], "approved": [1, 0, 1, 1], "age": [9, 9, 9, 9]}
    )
    return wrap_dataframe(df, tracker, "decisions")


@pytest.mark.parametrize("how", ["inner", "left", "outer"])
def test_merge_gives_each_row_the_words_of_its_source_rows(tracker, wrapped, decisions, how):
    left = wrapped.reset_index()
    merged = left.merge(decisions, on="applicant_id", suffixes=("", "_d"), how=how)
    assert type(merged) is TrackedDataFrame and merged._tracker is tracker
    plain = pd.DataFrame(left).merge(
        pd.DataFrame(decisions), on="applicant_id", suffixes=("", "_d"), how=how
    )
    assert_like_plain(merged, plain)
    # the left rows are carried as they are; which decisions row joined a row depends on the
    # keys, so a joined-in element names them too, one merge step further
    own = dict(zip(left["applicant_id"], left._col_prov["income"].tolist(), strict=True))
    joined = {}
    for ident, w in zip(decisions["applicant_id"], decisions._col_prov["approved"], strict=True):
        joined.setdefault(ident, set()).add(tracker.get_depth(int(w)) + 1)
    for row, ident in enumerate(merged["applicant_id"]):
        assert merged._col_prov["income"][row] == own.get(ident, 0)
        for col, source in (("approved", "approved"), ("age_d", "age")):
            word = int(merged._col_prov[col][row])
            if ident not in joined:  # no decisions row: a fill, of keys here of no source
                assert word == 0
                continue
            named = {c for _, c in tracker.explain(word)}
            assert {source, "applicant_id"} <= named and tracker.get_depth(word) in joined[ident]


def test_merge_without_tracker_moves_the_words(wrapped):
    wrapped._tracker = None
    other = pd.DataFrame({"applicant_id": [102, 101], "x": [1, 2]})
    merged = wrapped.reset_index().merge(other, on="applicant_id")
    assert list(merged._col_prov["income"]) == list(wrapped._col_prov["income"][:2])
    assert "x" not in merged._col_prov


# key columns as the plain columns hold them: (left keys, right keys)
JOIN_KEYS = {
    "int": ([1, 2, 1, 5], [1, 2, 3]),
    "float": ([1.0, 2.0, np.nan, 5.0], [1.0, 2.0, np.nan]),
    "bool": ([True, False, True, True], [True, False]),
    "text": (["a", "b", "a", None], ["a", "b", "c"]),
    "int_float": ([1, 2, 1, 5], [1.0, 2.0, 3.0]),
}
JOINS = {
    "on": lambda a, b, how: a.merge(b, on="k", how=how, indicator=True),
    "left_right_on": lambda a, b, how: a.merge(
        b.rename(columns={"k": "k2"}), left_on="k", right_on="k2", how=how
    ),
    "join_on": lambda a, b, how: a.join(b.set_index("k"), on="k", how=how),
}


@pytest.mark.parametrize("right_tracked", [True, False], ids=["tracked", "plain"])
@pytest.mark.parametrize("how", ["inner", "left", "right", "outer"])
@pytest.mark.parametrize("form", list(JOINS))
@pytest.mark.parametrize("keys", list(JOIN_KEYS))
def test_a_join_gives_what_plain_pandas_gives(tracker, keys, form, how, right_tracked):
    # pandas pairs words arrays as keys: the rows, their order, the dtypes (a key filled
    # where an outer join had no left row) and the labels must be plain pandas' own
    left_keys, right_keys = JOIN_KEYS[keys]
    left = pd.DataFrame({"k": left_keys, "v": [1.0, 2.0, 3.0, 4.0]})
    right = pd.DataFrame({"k": right_keys, "w": np.arange(len(right_keys)) * 10})
    tracked_right = wrap_dataframe(right, tracker, "r") if right_tracked else right
    joined = JOINS[form](wrap_dataframe(left, tracker, "l"), tracked_right, how)
    assert_like_plain(joined, JOINS[form](left, right, how))


DERIVED_FRAMES = [
    ("head", lambda df: df.head(2)),
    ("copy", lambda df: df.copy()),
    ("boolean_filter", lambda df: df[df["age"].values > 35]),
    ("columns", lambda df: df[["income", "age"]]),
    ("iloc", lambda df: df.iloc[1:3]),
    ("sort_values", lambda df: df.sort_values("age")),
    ("dropna", lambda df: df.dropna()),
    ("assign", lambda df: df.assign(k=1)),
]


@pytest.mark.parametrize("name, derive", DERIVED_FRAMES, ids=[c[0] for c in DERIVED_FRAMES])
def test_pandas_derived_frames_stay_tracked(wrapped, applicants, name, derive):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = derive(wrapped)
        plain = derive(applicants)
    assert type(result) is TrackedDataFrame
    assert_like_plain(result, plain)
    assert result._tracker is wrapped._tracker
    rows = wrapped.index.get_indexer(result.index)
    for label in result.columns:
        if label in wrapped._col_prov:
            np.testing.assert_array_equal(result._col_prov[label], wrapped._col_prov[label][rows])


@pytest.mark.parametrize(
    "reduce",
    [
        lambda df: df[["income", "age"]].sum(),
        lambda df: df.iloc[0],
        lambda df: df.loc[:, "age"],
        lambda df: df.count(),
    ],
    ids=["sum", "row", "loc_column", "count"],
)
def test_frame_to_series_results_are_tracked_series(wrapped, applicants, reduce):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = reduce(wrapped)
        plain = reduce(applicants)
    assert type(result) is TrackedSeries and result._tracker is wrapped._tracker
    assert len(result._prov) == len(result)
    assert_like_plain(result, plain)


def test_common_pipeline_steps_keep_working(wrapped, applicants):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        grouped = wrapped.groupby("gender")["age"].sum()
        indexed = wrapped.set_index("gender")
        described = wrapped.describe()
    assert_like_plain(grouped, applicants.groupby("gender")["age"].sum())
    assert list(indexed.columns) == ["income", "age"]
    assert_like_plain(described, applicants.describe())


@pytest.mark.skipif(not _compat.PANDAS_GE_30, reason="copy-on-write is pandas 3 behaviour")
def test_column_access_never_writes_through_to_the_frame(wrapped):
    age = wrapped["age"]
    age.iloc[0] = -1
    assert wrapped["age"].iloc[0] == 34


# With words in arrays, the entries pandas moves inside a column (the words, and on the DAG
# road the node ids) and those the containers hand out are those of the road that follows
# them beside the values, after each move: fills of an alignment or an outer join (no
# source) and labels a reindex cannot find (unknown) included.
ARRAY_MOVES = {
    "wrapped": lambda t: t,
    "sort": lambda t: t.sort_values("income"),
    "filter": lambda t: t[t["age"] > 30],
    "concat": lambda t: pd.concat([t.iloc[3:], t.iloc[:2]]),
    "merge": lambda t: t.reset_index().merge(t.reset_index()[["gender"]], on="gender"),
    "outer_merge": lambda t: t.merge(pd.DataFrame({"gender": ["f", "y"]}), how="outer"),
    "align": lambda t: t.iloc[:3].align(t.iloc[2:], join="outer")[0],
    "reindex": lambda t: t.reindex([105, 101, 999]),
    "set_index": lambda t: t.set_index("gender").sort_index(),
}
# per road: (series attribute, frame attribute, words array attribute) of every entry
WORDS_ENTRIES = ("_prov", "_col_prov", "words")
NODE_ENTRIES = ("_node_ids", "_col_nodes", "node_ids")
ARRAY_ROADS = {
    "words": (wrap_dataframe, ProvenanceTracker, [WORDS_ENTRIES]),
    "dag": (wrap_dataframe_dag, DAGTracker, [WORDS_ENTRIES, NODE_ENTRIES]),
}


@pytest.mark.parametrize("road", ARRAY_ROADS.values(), ids=ARRAY_ROADS)
@pytest.mark.parametrize("move", ARRAY_MOVES.values(), ids=ARRAY_MOVES)
def test_entries_in_arrays_are_those_of_the_followed_road(applicants, road, move):
    wrap, make_tracker, fields = road
    results = []
    for in_arrays in (False, True):
        with storing_words_in_arrays(in_arrays):
            frame = wrap(applicants, make_tracker(), "applicants")
        results.append(move(frame))
    followed, result = results
    for label in {"income", "age", "gender"} & set(result.columns):  # gender: text
        column = result[label]
        assert isinstance(column.dtype, WordsDtype), label
        for series_attr, frame_attr, array_attr in fields:
            expected = getattr(followed[label], series_attr)
            np.testing.assert_array_equal(getattr(column, series_attr), expected)
            np.testing.assert_array_equal(getattr(result, frame_attr)[label], expected)
            if column.array.carried:  # pandas alone moved them: the array holds the same
                np.testing.assert_array_equal(getattr(column.array, array_attr), expected)
