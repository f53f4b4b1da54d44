import numpy as np
import pandas as pd
import pytest
from like_plain import assert_like_plain

from quorvane.tracking import storing_words_in_arrays
from quorvane.utilities.orrin32 import MAX_PAIRS, OpCode
from quorvane.utilities.orrin32_dag import (
    DAGTrackedDataFrame,
    DAGTrackedSeries,
    DAGTracker,
    NodeType,
    wrap_dataframe_dag,
)


@pytest.fixture
def tracker():
    return DAGTracker()


@pytest.fixture
def loans():
    return pd.DataFrame(
        {"amount": [100, 250, 75], "rate": [0.1, np.nan, 0.3], "region": ["n", None, "s"]},
        index=["L1", "L2", "L3"],
    )


def expected_words(tracker, table, column, index, include_entity=True):
    pair = tracker.get_id(table, column)
    taint = tracker.is_protected(table, column)
    entities = [tracker.entity_from_row(label) % 256 if include_entity else 0 for label in index]
    return [tracker.encode({pair}, entity=e, chain=0, taint=taint, depth=0) for e in entities]


def test_wrap_mints_words_source_nodes_and_records(tracker, loans):
    frame = wrap_dataframe_dag(loans, tracker, "loans")
    assert isinstance(frame, DAGTrackedDataFrame) and frame._tracker is tracker
    assert_like_plain(frame, loans)
    assert list(frame._col_prov) == ["amount", "rate", "region"]
    for column in loans.columns:
        words = expected_words(tracker, "loans", column, loans.index)
        assert frame._col_prov[column].dtype == np.uint32
        assert frame._col_prov[column].tolist() == words
        # each element starts at its cell, whose one input is the column's node
        cells = frame._col_nodes[column].tolist()
        node_id = tracker._source_nodes[("loans", column)]
        assert {tracker._log.seen_as(c) for c in cells} == {node_id}
        node = tracker.get_node(node_id)
        assert node.node_type is NodeType.SOURCE and node.operation == f"loans.{column}"
        assert (node.table, node.column, node.provenance) == ("loans", column, words[0])
        for cell, word, value, key in zip(cells, words, loans[column], loans.index, strict=True):
            lineage = tracker.element_lineage(cell)
            (step,) = lineage.steps[1:]
            assert (step.node_type, step.word, step.identity) == ("SOURCE", word, (str(key),))
            assert step.value == (None if pd.isna(value) else value) and lineage.key == str(key)
    records = [
        (r.row_index, r.node_operation, r.column_name, r.value, r.text_value)
        for r in tracker._value_buffer
    ]
    # the None and NaN cells get words and nodes above, but no record
    assert records == [
        (0, "loans.amount", "amount", 100.0, None),
        (1, "loans.amount", "amount", 250.0, None),
        (2, "loans.amount", "amount", 75.0, None),
        (0, "loans.rate", "rate", 0.1, None),
        (2, "loans.rate", "rate", 0.3, None),
        (0, "loans.region", "region", None, "n"),
        (2, "loans.region", "region", None, "s"),
    ]
    fingerprints = {(r.column_name, r.row_index): r.fingerprint for r in tracker._value_buffer}
    assert fingerprints[("rate", 2)] == frame._col_prov["rate"][2]


@pytest.mark.parametrize(
    "protected, tainted",
    [
        (False, set()),
        (True, {"amount", "rate", "region"}),
        (["rate"], {"rate"}),
        (("rate", "region"), {"rate", "region"}),
        ({"amount"}, {"amount"}),
        ("yes", {"amount", "rate", "region"}),  # a string is a truth value, not a list
    ],
)
def test_protection(tracker, loans, protected, tainted):
    frame = wrap_dataframe_dag(loans, tracker, "loans", protected=protected)
    for column in loans.columns:
        words = frame._col_prov[column].tolist()
        assert {tracker.is_tainted(w) for w in words} == {column in tainted}
        node = tracker.get_node(int(frame._col_nodes[column][0]))
        assert node.is_protected is (column in tainted)
    assert tracker._protected_tables == set()


def test_numeric_label_is_matched_and_recorded_as_text(tracker):
    df = pd.DataFrame({5: [1.5, 2.5], "x": [1, 2]})
    frame = wrap_dataframe_dag(df, tracker, "sales", protected=["5"])
    assert tracker.is_tainted(int(frame._col_prov[5][0]))
    assert not tracker.is_tainted(int(frame._col_prov["x"][0]))
    first = tracker._value_buffer[0]
    assert (first.node_operation, first.column_name, first.value) == ("sales.5", "5", 1.5)


def test_without_entities_rows_share_one_word(tracker, loans):
    frame = wrap_dataframe_dag(loans, tracker, "loans", include_entity=False)
    assert len(set(frame._col_prov["amount"].tolist())) == 1
    assert frame._col_prov["amount"].tolist() == expected_words(
        tracker, "loans", "amount", loans.index, include_entity=False
    )


def test_zero_rows_register_but_make_no_node(tracker):
    frame = wrap_dataframe_dag(pd.DataFrame({"a": [], "b": []}), tracker, "empty")
    assert tracker.get_id("empty", "a") == 0 and tracker.get_id("empty", "b") == 1
    assert tracker._next_node_id == 0 and tracker._value_buffer == []
    assert frame._col_prov["a"].dtype == np.uint32 and len(frame._col_prov["a"]) == 0
    assert frame._col_nodes["a"].dtype == np.int64 and len(frame._col_nodes["a"]) == 0


def test_rewrapping_a_table_reuses_its_source_nodes(tracker, loans):
    first = wrap_dataframe_dag(loans, tracker, "loans")
    second = wrap_dataframe_dag(loans, tracker, "loans")
    sources = [{tracker._log.seen_as(c) for c in f._col_nodes["rate"]} for f in (first, second)]
    assert sources[0] == sources[1] and len(tracker._nodes) == 3


# -- recorded values are those of a positional row read ---------------------------------

MIXED = {
    "int": pd.Series([1, 2**53 + 1, -3], dtype="int64"),
    "float": pd.Series([1.5, np.nan, 3.25]),
    "float32": pd.Series([0.1, 2.0, np.nan], dtype="float32"),
    "uint": pd.Series([2**64 - 1, 0, 7], dtype="uint64"),
    "bool": pd.Series([True, False, True]),
    "object": pd.Series(["x", None, 10**400], dtype=object),
    "date": pd.Series(pd.to_datetime(["2020-01-01", None, "2021-05-06"])),
    "Int64": pd.Series([1, None, 3], dtype="Int64"),
    "category": pd.Series([1, 2, None], dtype="category"),
    "complex": pd.Series([1 + 0j, 2 + 1j, 3 + 0j]),
}


@pytest.mark.parametrize(
    "columns",
    [
        ["int"],
        ["int", "float"],
        ["int", "float32"],
        ["int", "uint"],
        ["bool", "int"],
        ["bool", "float"],
        ["int", "object"],
        ["date", "float"],
        ["Int64", "float"],
        ["Int64", "int"],
        ["category", "int"],
        ["complex", "int"],
        ["int", "float", "object", "date", "Int64", "bool"],
    ],
)
def test_recorded_values_match_a_row_read(columns):
    df = pd.DataFrame({name: MIXED[name] for name in columns}, index=["a", "b", "c"])
    tracker = DAGTracker()
    frame = wrap_dataframe_dag(df, tracker, "t")

    reference = DAGTracker()  # the records the cell-by-cell row read would give
    for name in columns:
        for i in range(len(df)):
            value = df.iloc[i][name]
            if value is None or value is pd.NA or value is pd.NaT:
                continue
            if isinstance(value, float) and np.isnan(value):
                continue
            word = int(frame._col_prov[name][i])
            reference.record_row_value(i, word, f"t.{name}", value, column_name=name)
    assert tracker._value_buffer == reference._value_buffer


def test_integer_column_beside_a_float_column_records_floats(tracker):
    df = pd.DataFrame({"n": [3, 4], "x": [0.5, 1.5]})
    wrap_dataframe_dag(df, tracker, "t")
    assert [type(r.value) for r in tracker._value_buffer] == [float] * 4
    assert [r.value for r in tracker._value_buffer[:2]] == [3.0, 4.0]


@pytest.mark.parametrize("in_arrays", [False, True], ids=["followed", "in_arrays"])
def test_cells_that_are_not_numbers_are_recorded_as_text(tracker, in_arrays):
    huge = pd.Series([10**400], dtype=object)  # pandas 2.2 cannot infer a dtype for it
    df = pd.DataFrame({"when": [pd.Timestamp("2024-03-01")], "huge": huge})
    with storing_words_in_arrays(in_arrays):
        wrapped = wrap_dataframe_dag(df, tracker, "t")
    assert wrapped["huge"].tolist() == [10**400]
    assert [(r.value, r.text_value) for r in tracker._value_buffer] == [
        (None, "2024-03-01 00:00:00"),
        (None, str(10**400)),
    ]


# -- bad input ------------------------------------------------------------------------


@pytest.mark.parametrize("table", [5, None, b"loans", ["loans"]])
def test_table_name_must_be_str(tracker, loans, table):
    with pytest.raises(TypeError, match="table"):
        wrap_dataframe_dag(loans, tracker, table)
    assert tracker._next_id == 0


@pytest.mark.parametrize(
    "df, table",
    [
        (pd.DataFrame({"a": [1]}), ""),
        (pd.DataFrame({"a": [1], "": [2]}), "t"),
        (pd.DataFrame({"a": [], "": []}), "t"),  # refused even when no node would be made
        (pd.DataFrame([[1, 2]], columns=["a", "a"]), "t"),
        (pd.DataFrame([[1, 2]], columns=[5, "5"]), "t"),  # one source column twice
    ],
    ids=["empty-table", "empty-column", "empty-column-no-rows", "duplicate", "same-text"],
)
def test_unusable_names_are_refused_before_registering(tracker, df, table):
    with pytest.raises(ValueError):
        wrap_dataframe_dag(df, tracker, table)
    assert tracker._next_id == 0 and tracker._next_node_id == 0


def test_more_columns_than_the_registry_holds(tracker):
    for i in range(MAX_PAIRS - 2):
        tracker.register("other", f"c{i}")
    df = pd.DataFrame({"a": [1], "b": [2], "c": [3]})
    with pytest.raises(ValueError, match=f"Maximum {MAX_PAIRS} pairs supported"):
        wrap_dataframe_dag(df, tracker, "t")
    assert tracker._next_id == MAX_PAIRS - 2 and tracker.get_id("t", "a") is None
    assert tracker._next_node_id == 0 and tracker._value_buffer == []
    wrap_dataframe_dag(df[["a", "b"]], tracker, "t")  # exactly fills the registry
    wrap_dataframe_dag(df[["a", "b"]], tracker, "t")  # known pairs need no room


def test_frame_is_required(tracker):
    with pytest.raises(TypeError, match="DataFrame"):
        wrap_dataframe_dag({"a": [1]}, tracker, "t")


def test_unconvertible_cell_is_text_and_missing_cells_are_skipped(tracker):
    class Opaque:
        def __float__(self):
            raise TypeError("no number here")

        def __str__(self):
            return "opaque"

    df = pd.DataFrame({"v": [Opaque(), None, np.nan, pd.NA, 4]}, dtype=object)
    frame = wrap_dataframe_dag(df, tracker, "t")
    assert [(r.row_index, r.value, r.text_value) for r in tracker._value_buffer] == [
        (0, None, "opaque"),
        (4, 4.0, None),
    ]
    assert len(frame._col_prov["v"]) == 5 and (frame._col_nodes["v"] >= 0).all()


# -- column access, assignment and merge ---------------------------------------------------


def test_column_access(tracker, loans):
    frame = wrap_dataframe_dag(loans, tracker, "loans")
    column = frame["rate"]
    assert isinstance(column, DAGTrackedSeries) and column.name == "rate"
    assert list(column.index) == list(loans.index) and column._tracker is tracker
    assert column._prov.tolist() == frame._col_prov["rate"].tolist()
    assert column._node_ids.tolist() == frame._col_nodes["rate"].tolist()
    sub = frame[["amount", "rate"]]
    assert isinstance(sub, DAGTrackedDataFrame) and list(sub._col_nodes) == ["amount", "rate"]
    assert sub._col_prov["rate"].tolist() == frame._col_prov["rate"].tolist()


@pytest.mark.parametrize(
    "value",
    [
        lambda f: [1, 2, 3],
        lambda f: np.arange(3),
        lambda f: pd.Series([1.0, 2.0, 3.0], index=f.index),  # an untracked series
    ],
    ids=["list", "array", "plain-series"],
)
def test_untracked_column_reads_as_unknown(tracker, loans, value):
    frame = wrap_dataframe_dag(loans, tracker, "loans")
    frame["plain"] = value(frame)
    column = frame["plain"]
    unknown = tracker.unknown_node()
    assert column._prov.tolist() == [tracker.unknown_word()] * 3
    assert column._node_ids.tolist() == [unknown] * 3
    node = tracker.get_node(unknown)
    assert node.node_type is NodeType.SOURCE and not node.is_protected
    assert tracker.unknown_node() == unknown  # made once
    negated = -column
    assert {tracker.get_node(n).inputs[0] for n in negated._node_ids.tolist()} == {unknown}
    assert all(tracker.is_unknown(int(w)) for w in negated._prov)


def test_row_filter_keeps_each_rows_entries(tracker, loans):
    frame = wrap_dataframe_dag(loans, tracker, "loans")
    filtered = frame[frame["amount"].values < 200]
    column = filtered["amount"]
    assert column._prov.tolist() == frame._col_prov["amount"][[0, 2]].tolist()
    assert (-column)._prov.tolist() == [
        tracker.update_chain(int(w), OpCode.NEG) for w in frame._col_prov["amount"][[0, 2]]
    ]


def test_assignment_stores_copies(tracker, loans):
    frame = wrap_dataframe_dag(loans, tracker, "loans")
    total = frame["amount"] * frame["rate"]
    frame["total"] = total
    assert frame._col_prov["total"].tolist() == total._prov.tolist()
    assert frame._col_prov["total"] is not total._prov
    assert frame._col_nodes["total"].tolist() == total._node_ids.tolist()
    frame["total"] = 0  # a constant derives from no source
    assert frame._col_prov["total"].tolist() == [0, 0, 0]
    assert frame._col_nodes["total"].tolist() == [-1, -1, -1]


def test_assignment_to_a_column_list_is_unknown(tracker):
    # pandas spreads the series over the columns, not over the rows: the cells cannot be
    # followed.
    plain = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    frame = wrap_dataframe_dag(plain, tracker, "t")
    frame[["a", "b"]] = frame["a"] + frame["b"]
    plain[["a", "b"]] = plain["a"] + plain["b"]
    assert_like_plain(frame, plain)
    assert frame["a"]._node_ids.tolist() == [tracker.unknown_node()] * 2


@pytest.fixture
def two_tables(tracker):
    left = wrap_dataframe_dag(
        pd.DataFrame({"id": [1, 2, 3], "x": [1.0, 2.0, 3.0], "both": [0, 0, 0]}), tracker, "l"
    )
    right = wrap_dataframe_dag(
        pd.DataFrame({"id": [3, 1], "y": [9.0, 8.0], "both": [1, 1]}), tracker, "r"
    )
    return left, right


def test_merge_carries_the_left_rows_and_joins_the_right_ones_by_their_keys(tracker, two_tables):
    left, right = two_tables
    before = tracker._next_node_id
    merged = left.merge(right, on="id")
    assert_like_plain(merged, pd.DataFrame(left).merge(pd.DataFrame(right), on="id"))
    assert isinstance(merged, DAGTrackedDataFrame) and merged._tracker is tracker
    # the right rows (ids 3 and 1) took their keys into the join, each of the two right
    # columns; after it, each paired row takes the left row's key
    assert tracker._next_node_id == before + 2 * 2 + 2 * 2
    left_rows, right_rows = [0, 2], [1, 0]  # the rows each merged row came from
    for label, source in [("id", "id"), ("x", "x"), ("both_x", "both")]:  # carried
        assert merged._col_prov[label].tolist() == left._col_prov[source][left_rows].tolist()
        assert merged[label]._node_ids.tolist() == left._col_nodes[source][left_rows].tolist()
    seen = tracker._log.seen_as  # the table sees a source cell as its column
    for label, source in [("y", "y"), ("both_y", "both")]:  # joined in by the keys of both
        column = merged[label]
        for i, (lrow, rrow) in enumerate(zip(left_rows, right_rows, strict=True)):
            node = tracker.get_node(int(column._node_ids[i]))
            assert node.operation == "merge" and node.provenance == column._prov[i]
            brought, left_key = node.inputs
            assert left_key == seen(int(left._col_nodes["id"][lrow]))
            own = (
                seen(int(right._col_nodes[source][rrow])),
                seen(int(right._col_nodes["id"][rrow])),
            )
            assert tuple(tracker.get_node(brought).inputs) == own


def test_merge_without_left_tracker(tracker, two_tables):
    left, right = two_tables
    left._tracker = None
    before = tracker._next_node_id
    merged = left.merge(right, on="id")
    assert tracker._next_node_id == before  # nothing to log with: the entries as they were
    assert merged._col_prov["y"].tolist() == right._col_prov["y"][[1, 0]].tolist()
    assert merged["y"]._node_ids.tolist() == right._col_nodes["y"][[1, 0]].tolist()


def test_merge_with_a_plain_frame_and_a_column_without_node(tracker, two_tables):
    left, _ = two_tables
    left._col_nodes["x"] = np.full(3, -1, dtype=np.int64)
    before = tracker._next_node_id
    merged = left.merge(pd.DataFrame({"id": [2], "z": ["q"]}), on="id")
    # z, from the key that picked its row in the table, logged once as a constant
    assert tracker._next_node_id == before + 2
    assert merged["x"]._node_ids.tolist() == [-1]  # carried as it was
    assert merged["x"]._prov[0] == left._col_prov["x"][1]
    node = tracker.get_node(int(merged["z"]._node_ids[0]))
    assert node.operation == "merge"
    key, table = node.inputs
    assert key == tracker._log.seen_as(int(left._col_nodes["id"][1]))
    assert tracker.get_node(table).node_type.name == "CONSTANT"
