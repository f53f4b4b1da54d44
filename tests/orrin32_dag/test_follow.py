"""Node ids and words follow their elements through pandas' row and frame operations, and
every value, label and name is the one plain pandas gives."""

import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from like_plain import assert_like_plain

from quorvane.tracking import storing_words_in_arrays
from quorvane.tracking._combining import row_words
from quorvane.utilities.orrin32 import OpCode
from quorvane.utilities.orrin32_dag import (
    DAGTrackedDataFrame,
    DAGTrackedSeries,
    DAGTracker,
    NodeType,
    wrap_dataframe_dag,
)

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "orrin32"))
import test_idiom_matrix as words_road

SOURCE = pd.DataFrame(
    {
        "rid": [0, 1, 2, 3, 4, 5],  # the source row, wherever pandas takes it
        "income": [52.0, 31.0, 75.0, np.nan, 44.0, 31.0],
        "age": [34, 58, 41, 27, 63, 58],
        "unit": ["a", "b", "a", "c", "b", "b"],
        "when": pd.to_datetime(
            ["2001-02-03", "1999-12-31", None, "2010-05-06", "1995-01-01", "2020-07-08"]
        ),
    },
    index=["r0", "r5", "r2", "r3", "r4", "r1"],
)


@pytest.fixture
def run():
    tracker = DAGTracker()
    frame = wrap_dataframe_dag(SOURCE, tracker, "loans", protected=["age"])
    for column in SOURCE.columns:
        # One step per element: a node read from a neighbouring row would show.
        frame[column] = frame[column].replace("never", "never")
    return tracker, frame


def entries(frame, column, row):
    return int(frame._col_prov[column][row]), int(frame._col_nodes[column][row])


def assert_came_from(tracker, word, node_id, source, merged):
    """The element's word and node are those of ``source`` (a word and node pair), with
    one merge step when ``merged`` (joined in by an index join, which has no key columns);
    ``source`` None: an element nothing can be followed to."""
    if source is None:
        assert (word, node_id) == (tracker.unknown_word(), tracker.unknown_node())
        return
    if not merged:
        assert (word, node_id) == source
        return
    assert word == tracker.update_chain(source[0], OpCode.MERGE)
    node = tracker.get_node(node_id)
    assert (node.node_type, node.operation, node.inputs) == (NodeType.MERGE, "merge", [source[1]])


FRAMES = [
    # id, idiom, {result column: source column} beyond the same labels, the columns a join
    # brought in (a merge step each; None: the idiom only moves rows and columns)
    # the gap test is a step of its own (its values are not the income's), as a query's are
    ("mask", lambda d: d[d["income"].isna()], {}, set()),
    # the condition is the user's expression: its steps are logged, as a mask's would be
    ("query", lambda d: d.query("age > 40 and income < 70"), {}, set()),
    ("loc-labels", lambda d: d.loc[["r3", "r0", "r4"]], {}, None),
    ("iloc-rows", lambda d: d.iloc[[4, 0, 2]], {}, None),
    ("iloc-slice", lambda d: d.iloc[1:4], {}, None),
    ("head", lambda d: d.head(2), {}, None),
    ("tail", lambda d: d.tail(2), {}, None),
    ("sample", lambda d: d.sample(4, random_state=1), {}, None),
    ("sort_values", lambda d: d.sort_values(["income", "age"]), {}, None),
    ("sort_index", lambda d: d.sort_index(), {}, None),
    ("dropna", lambda d: d.dropna(), {}, None),
    ("drop_duplicates", lambda d: d.drop_duplicates(["age", "unit"]), {}, None),
    ("take", lambda d: d.take([5, 1, -1]), {}, None),
    ("reindex", lambda d: d.reindex(["r4", "new", "r0"]), {}, None),
    ("set_index", lambda d: d.set_index("unit"), {}, None),
    ("reset_index", lambda d: d.sort_values("age").reset_index(), {}, None),
    ("concat-rows", lambda d: pd.concat([d.iloc[3:], d.iloc[:2]]), {}, None),
    (
        "concat-columns",
        lambda d: pd.concat([d[["rid", "age"]], d[["income"]].iloc[::-1]], axis=1),
        {},
        None,
    ),
    ("rename", lambda d: d.rename(columns={"age": "years"}), {"years": "age"}, None),
    ("assign", lambda d: d.assign(ratio=d["income"]), {}, None),
    ("drop", lambda d: d.drop(columns="income"), {}, None),
    ("column-list", lambda d: d[["age", "rid"]], {}, None),
    ("astype", lambda d: d.astype({"age": "float64"}), {}, None),
    ("copy", lambda d: d.copy(), {}, None),
    (
        "get_dummies",
        lambda d: pd.get_dummies(d, columns=["unit"]),
        {"unit_a": "unit", "unit_b": "unit", "unit_c": "unit"},
        None,
    ),
    (
        "merge-summary",
        lambda d: d.merge(d.groupby("unit")["age"].median().reset_index(), on="unit"),
        {"age_x": "age"},
        set(),  # the summary's column is joined in on the key: not a source column
    ),
    ("join", lambda d: d[["rid", "age"]].join(d[["income"]].iloc[::-1]), {}, {"income"}),
    ("join-series", lambda d: d[["rid", "unit"]].join(d["age"].iloc[::-1]), {}, {"age"}),
]


@pytest.mark.parametrize(
    "idiom, renamed, joined_in", [row[1:] for row in FRAMES], ids=[row[0] for row in FRAMES]
)
def test_frame_rows_and_columns(run, idiom, renamed, joined_in):
    tracker, frame = run
    logged = (tracker.dag_stats()["operation_nodes"], len(tracker._value_buffer))
    result = idiom(frame)
    if joined_in is None:  # moving rows and columns logs no node and records no value
        assert (tracker.dag_stats()["operation_nodes"], len(tracker._value_buffer)) == logged
    assert_like_plain(result, idiom(SOURCE))
    assert isinstance(result, DAGTrackedDataFrame) and result._tracker is tracker
    rows = result["rid"].tolist()
    for label in result.columns:
        source = renamed.get(label, label)
        if source not in SOURCE.columns:
            continue  # a new column, or one made of an index
        column = result[label]
        for word, node, row in zip(
            column._prov.tolist(), column._node_ids.tolist(), rows, strict=True
        ):
            came_from = None if np.isnan(row) else entries(frame, source, int(row))
            assert_came_from(tracker, word, node, came_from, label in (joined_in or ()))


SERIES = [
    ("mask", lambda d: d["income"][d["income"] > 40]),
    ("sort_values", lambda d: d["income"].sort_values()),
    ("loc", lambda d: d["age"].loc[["r4", "r0"]]),
    ("iloc", lambda d: d["age"].iloc[[3, 1]]),
    ("head", lambda d: d["unit"].head(3)),
    ("sample", lambda d: d["unit"].sample(3, random_state=2)),
    ("dropna", lambda d: d["income"].dropna()),
    ("drop_duplicates", lambda d: d["unit"].drop_duplicates()),
    ("take", lambda d: d["age"].take([2, 0])),
    ("reindex", lambda d: d["age"].reindex(["r1", "zz"])),
    ("iloc-column", lambda d: d.iloc[:, 2]),
    ("loc-column", lambda d: d.loc[:, "income"]),
    ("concat", lambda d: pd.concat([d["age"].iloc[4:], d["age"].iloc[:2]])),
    ("concat-then-column", lambda d: pd.concat([d["unit"], d["age"]], axis=1)["age"]),
]

#: A constant operand adds no source: the element keeps its word, and its node takes the
#: element's node and the constant's, in operand order.
WITH_CONSTANT = [
    ("dates-minus-timestamp", lambda d: d["when"] - pd.Timestamp("1990-01-01"), False),
    ("times-constant", lambda d: d["income"].sort_values() * 2, False),
    ("constant-minus", lambda d: 100 - d["age"].iloc[::-1], True),
]


@pytest.mark.parametrize("idiom", [row[1] for row in SERIES], ids=[row[0] for row in SERIES])
def test_series_rows(run, idiom):
    tracker, frame = run
    result = idiom(frame)
    assert_like_plain(result, idiom(SOURCE))
    assert isinstance(result, DAGTrackedSeries) and result._tracker is tracker
    rows = SOURCE.index.get_indexer(result.index)
    for word, node, row in zip(result._prov.tolist(), result._node_ids.tolist(), rows, strict=True):
        came_from = None if row < 0 else entries(frame, result.name, row)
        assert_came_from(tracker, word, node, came_from, merged=False)


@pytest.mark.parametrize(
    "idiom, reflected", [row[1:] for row in WITH_CONSTANT], ids=[row[0] for row in WITH_CONSTANT]
)
def test_constant_operands(run, idiom, reflected):
    tracker, frame = run
    result = idiom(frame)
    assert_like_plain(result, idiom(SOURCE))
    rows = SOURCE.index.get_indexer(result.index)
    constants = set()
    for word, node, row in zip(result._prov.tolist(), result._node_ids.tolist(), rows, strict=True):
        source_word, source_node = entries(frame, result.name, row)
        inputs = tracker._log.row(node, cells=True)[4]
        constant = inputs[1 - reflected]
        assert word == source_word and inputs[reflected] == source_node
        assert tracker.get_node(constant).node_type is NodeType.CONSTANT
        constants.add(constant)
    assert len(constants) == 1  # once per operation


ALIGNED = [
    # id, left operand, right operand, operator, node operation, code
    (
        "sorted",
        lambda d: d.sort_values("income")["age"],
        lambda d: d["income"],
        lambda a, b: a / b,
        "div",
        OpCode.DIV,
    ),
    (
        "filtered",
        lambda d: d[d["income"] > 40]["age"],
        lambda d: d["income"],
        lambda a, b: a - b,
        "sub",
        OpCode.SUB,
    ),
    (
        "reflected",
        lambda d: (1000 - d["age"]).iloc[::-1],
        lambda d: d["income"],
        lambda a, b: a + b,
        "add",
        OpCode.ADD,
    ),
    (
        "logical",
        lambda d: (d["age"] > 40).iloc[::-1],
        lambda d: d["income"] > 40,
        lambda a, b: a & b,
        "and",
        OpCode.LOGIC,
    ),
]


@pytest.mark.parametrize(
    "left, right, op, name, code", [row[1:] for row in ALIGNED], ids=[row[0] for row in ALIGNED]
)
def test_operators_align_on_the_index(run, left, right, op, name, code):
    tracker, frame = run
    a, b = left(frame), right(frame)
    with tracker.strict_provenance():  # the NaN an alignment makes loses no provenance
        result = op(a, b)
    assert tracker.get_id("<unknown>", "<unknown>") is None  # nor logs the unknown source
    assert_like_plain(result, op(left(SOURCE), right(SOURCE)))
    # the last step's operands, each found by label
    by_label = [
        dict(zip(s.index, zip(s._prov.tolist(), s._node_ids.tolist(), strict=True), strict=True))
        for s in (a, b)
    ]
    lacks = not a.index.equals(result.index)
    chosen = [d.entries() for d in getattr(a, "_row_order", ()) if lacks and d.kind == "selection"]
    for label, word, node_id in zip(
        result.index, result._prov.tolist(), result._node_ids, strict=True
    ):
        (left_word, left_node), (right_word, right_node) = (
            side.get(label, (0, -1)) for side in by_label
        )
        # a filtered operand aligned onto rows it lacks: its condition reaches every element
        if chosen:
            words = [np.array([w]) for w in (left_word, right_word, *(w for w, _ in chosen))]
            assert word == int(row_words(tracker, words, 1, code)[0])
        else:
            assert word == tracker.combine(left_word, right_word, code)
        inputs = [n for n in (left_node, right_node) if n >= 0] + [n for _, n in chosen]
        node = tracker.get_node(int(node_id))
        assert node.inputs == inputs
        if left_node >= 0 and right_node >= 0:
            assert node.operation == name


# Rows of the vectorised road's every-input matrix that the DAG road also covers: every
# element's word names the sources, and its node's lineage reaches a source node of each.
DAG_EVERY_INPUT = [
    "iadd", "and", "eq", "mod", "pow", "named", "invert", "where", "mask_other", "np_maximum",
    "np_log", "clip_bounds", "between", "str_accessor", "str_expand", "dt_accessor",
    "datetime", "transform", "group_median",
    "group_rank", "group_size", "named_agg", "group_key_column", "apply_rows", "sum_rows",
    "rolling", "cumsum", "ewm", "rank", "value_counts", "np_where", "np_select", "qcut",
    "loc_set", "sorted_cumsum", "sorted_diff", "sorted_shift", "sampled_pct_change",
    "sorted_rolling", "sorted_expanding", "sorted_ewm", "sorted_frame_cumsum",
    "sorted_group_cumsum", "sorted_group_first", "sorted_group_rolling", "filter_mean",
    "loc_mask_sum", "filter_transform", "filter_cumsum", "query_rolling", "dropna_median",
    "drop_duplicates_max", "duplicated_rank", "isin_value_counts", "sorted_head_describe",
    "series_loc_apply", "frame_plus_frame", "frame_mul_series", "frame_gt_zero",
    "frame_gt_series", "frame_minus_mean", "frame_np_maximum", "any_rows", "frame_dot",
    "rank_rows", "shift_rows", "filter_rank", "where_in_place", "reference",
    "scaled_reference", "fill_by_group", "map_series", "isin_picked", "combine_first",
    "clip_quantile", "interpolate_sorted", "segments", "segment_update", "frame_update",
    "segment_combine_first", "joined_lookup", "two_np_where", "pivot_table", "explode",
    "frame_explode", "group_apply", "group_iteration", "idxmax_rows", "series_combine",
    "frame_where", "frame_mask_rows", "frame_fillna_frame", "unstack_missing",
    "frame_where_function", "explode_unlabelled", "to_numeric", "isna", "series_agg",
    "case_when", "isin_counted_labels", "isin_mapped_labels", "isin_unique", "frame_isin_labels",
    "loc_counted_labels", "reindex_counted_labels", "drop_counted_labels", "mode_element",
    "label_element", "first_sorted", "counted_reset", "frame_cell", "np_percentile", "np_unique",
    "map_dict", "replace_dict", "isin_text_labels", "isin_text_unique", "aligned_two_segments",
    "described_cell", "group_filter", "sorted_window_agg",
]  # fmt: skip


@pytest.mark.parametrize("in_arrays", [False, True], ids=["followed", "in_arrays"])
@pytest.mark.parametrize("name", DAG_EVERY_INPUT)
def test_every_input_counts_on_the_dag_road(name, in_arrays):
    _, idiom, sources = next(row for row in words_road.EVERY_INPUT if row[0] == name)
    tracker = DAGTracker()
    with storing_words_in_arrays(in_arrays):
        frame = wrap_dataframe_dag(words_road.LOANS, tracker, "loanapp", protected=["married"])
    result = idiom(frame)
    words_road.same_values(result, idiom(words_road.LOANS.copy()))
    for column, expected in words_road.columns(result, sources):
        for word, node in zip(column._prov.tolist(), column._node_ids.tolist(), strict=True):
            assert expected <= {col for _, col in tracker.explain(word)}
            assert node >= 0
            reached = {n.column for n in tracker.get_dag(node).source_nodes}
            assert expected <= reached, (name, reached)
