"""A credit pipeline on wrapped frames, checked end to end against the tracker's own algebra."""

from collections import Counter

import numpy as np
import pandas as pd
import pytest

from quorvane.utilities.orrin32 import OpCode
from quorvane.utilities.orrin32_dag import (
    DAGTracker,
    NodeType,
    dag_audit,
    get_dag_for_series,
    wrap_dataframe_dag,
)

ROWS = ["a1", "a2", "a3", "a4"]


@pytest.fixture
def run():
    tracker = DAGTracker()
    applicants = pd.DataFrame(
        {
            "income": [5000.0, 3200.0, 2500.0, 4100.0],
            "debt": [1500.0, 800.0, np.nan, 6150.0],
            "age": [34, 58, 41, 27],
        },
        index=ROWS,
    )
    bureau = pd.DataFrame({"score_ext": [700.0, 640.0, 580.0, 710.0]}, index=ROWS)
    frame = wrap_dataframe_dag(applicants, tracker, "applicants", protected=["age"])
    ext = wrap_dataframe_dag(bureau, tracker, "bureau")
    steps = {"frame": frame, "ext": ext}
    steps["ratio"] = frame["debt"] / frame["income"]
    steps["adjusted"] = steps["ratio"] + 0.5
    steps["filled"] = steps["adjusted"].fillna(0)
    steps["capped"] = steps["filled"].clip(0, 1)
    steps["weighted"] = steps["capped"] * frame["age"]
    frame["risk"] = steps["weighted"]
    steps["merged"] = frame.merge(ext, left_index=True, right_index=True)
    return tracker, steps


def test_values(run):
    _, s = run
    assert s["capped"].tolist() == [0.8, 0.75, 0.0, 1.0]
    assert s["weighted"].tolist() == pytest.approx([27.2, 43.5, 0.0, 27.0])
    assert s["merged"]["risk"].tolist() == pytest.approx([27.2, 43.5, 0.0, 27.0])


def test_node_counts_and_types(run):
    tracker, _ = run
    nodes = list(tracker._nodes.values())  # the source cells lie beside the table
    assert len(nodes) == 32
    assert Counter(n.node_type for n in nodes) == {
        NodeType.SOURCE: 4,
        NodeType.CONSTANT: 4,  # 0.5, the fill value, the two bounds: once per operation
        NodeType.BINARY: 16,
        NodeType.AGGREGATE: 4,  # clip: the value and both bounds
        NodeType.MERGE: 4,
    }
    assert Counter(n.operation for n in nodes if not n.is_source) == {
        "div": 4,
        "add": 4,
        "fillna": 4,
        "clip": 4,
        "mul": 4,
        "constant": 4,
        "merge": 4,  # the joined-in score; the left columns are carried as they are
    }
    stats = tracker.dag_stats()
    assert (stats["total_nodes"], stats["source_nodes"], stats["operation_nodes"]) == (32, 4, 28)
    # the age source and the four products that read it
    assert stats["protected_sources"] == 5


def test_inputs_and_words_of_every_step(run):
    tracker, s = run
    frame = s["frame"]
    src = tracker._source_nodes
    words = {c: frame._col_prov[c].tolist() for c in ["income", "debt", "age"]}
    for i in range(4):
        ratio = tracker.combine(words["debt"][i], words["income"][i], OpCode.DIV)
        filled = tracker.update_chain(ratio, OpCode.FILL)
        capped = tracker.update_chain(filled, OpCode.CLIP)
        weighted = tracker.combine(capped, words["age"][i], OpCode.MUL)
        assert s["ratio"]._prov[i] == ratio == s["adjusted"]._prov[i]
        assert s["filled"]._prov[i] == filled
        assert s["capped"]._prov[i] == capped
        assert s["weighted"]._prov[i] == weighted

        # the table sees a source cell as its column
        div = tracker.get_node(int(s["ratio"]._node_ids[i]))
        assert div.inputs == [src[("applicants", "debt")], src[("applicants", "income")]]
        add = tracker.get_node(int(s["adjusted"]._node_ids[i]))  # a constant adds no source
        assert add.inputs[0] == div.node_id and add.provenance == ratio
        assert tracker.get_node(add.inputs[1]).node_type is NodeType.CONSTANT
        fill = tracker.get_node(int(s["filled"]._node_ids[i]))
        assert fill.inputs[0] == add.node_id and fill.provenance == filled
        clip = tracker.get_node(int(s["capped"]._node_ids[i]))
        assert clip.inputs[0] == fill.node_id and clip.provenance == capped
        assert len(clip.inputs) == 3  # the value, then both bounds
        mul = tracker.get_node(int(s["weighted"]._node_ids[i]))
        assert mul.inputs == [clip.node_id, src[("applicants", "age")]]
        assert mul.is_protected and tracker.is_tainted(weighted)
        assert not tracker.is_tainted(capped)


def test_merge_carries_the_left_rows_and_steps_the_joined_in_ones(run):
    tracker, s = run
    merged, frame, ext = s["merged"], s["frame"], s["ext"]
    for label in ("income", "age", "risk"):  # carried: words and nodes as they were
        assert merged._col_prov[label].tolist() == frame._col_prov[label].tolist()
        assert merged[label]._node_ids.tolist() == frame._col_nodes[label].tolist()
    column = merged["score_ext"]  # joined in on the index: no key columns, one merge step
    for i in range(4):
        word = tracker.update_chain(int(ext._col_prov["score_ext"][i]), OpCode.MERGE)
        assert column._prov[i] == word
        node = tracker.get_node(int(column._node_ids[i]))
        assert (node.node_type, node.operation) == (NodeType.MERGE, "merge")
        assert node.inputs == [tracker._source_nodes[("bureau", "score_ext")]]  # via its cell


def test_recorded_values_and_fingerprints(run):
    tracker, s = run
    by_op = {}
    for record in tracker._value_buffer:
        by_op.setdefault(record.node_operation, []).append(record)
    assert {op: len(records) for op, records in by_op.items()} == {
        "applicants.income": 4,
        "applicants.debt": 3,  # the missing debt has a word and a node, no value
        "applicants.age": 4,
        "bureau.score_ext": 4,
        "div": 3,  # NaN ratio
        "add": 3,
        "fillna": 4,
        "clip": 4,
        "mul": 4,
        "merge": 4,
    }
    for op, step in [
        ("div", "ratio"),
        ("fillna", "filled"),
        ("clip", "capped"),
        ("mul", "weighted"),
    ]:
        series = s[step]
        for record in by_op[op]:
            i = record.row_index
            assert record.fingerprint == series._prov[i]
            assert record.value == pytest.approx(series.iloc[i])
            assert record.column_name is None and record.text_value is None
    ages = by_op["applicants.age"]
    assert [(r.value, r.column_name) for r in ages] == [
        (34.0, "age"),
        (58.0, "age"),
        (41.0, "age"),
        (27.0, "age"),
    ]
    assert [r.fingerprint for r in ages] == s["frame"]._col_prov["age"].tolist()


def test_dag_audit_of_one_result(run):
    _, s = run
    weighted = s["weighted"]
    word = int(weighted._prov[1])
    audit = dag_audit(weighted, 1)
    columns = [("applicants", "income"), ("applicants", "debt"), ("applicants", "age")]
    assert audit["provenance"] == f"0x{word:08X}"
    assert audit["pair_count"] == 3 and audit["columns"] == columns
    assert audit["tables"] == ["applicants"]
    assert audit["taint"] is True and audit["has_protected"] is True
    assert audit["depth"] == 4 and audit["risk"] == pytest.approx(1 / 5)
    assert audit["dag"] == {
        "depth": 5,
        "node_count": 12,
        "operation_counts": {
            "mul": 1,
            "clip": 1,
            "applicants.age": 1,
            "fillna": 1,
            "add": 1,
            "constant": 4,
            "div": 1,
            "applicants.debt": 1,
            "applicants.income": 1,
        },
        "sources": [("applicants", "age"), ("applicants", "debt"), ("applicants", "income")],
        "protected_sources": [("applicants", "age")],
    }


def test_dag_of_a_merged_value_reaches_its_own_row(run):
    _, s = run
    merged_risk = s["merged"]["risk"]
    dag = get_dag_for_series(merged_risk, 3)
    assert dag.depth == 5 and len(dag.nodes) == 12  # carried through the merge as it was
    assert int(s["weighted"]._node_ids[3]) in dag.nodes
    assert int(s["weighted"]._node_ids[0]) not in dag.nodes
    assert [(n.table, n.column) for n in dag.source_nodes] == [
        ("applicants", "age"),
        ("applicants", "debt"),
        ("applicants", "income"),
    ]
    assert [(n.table, n.column) for n in dag.protected_sources] == [("applicants", "age")]
    assert get_dag_for_series(s["merged"]["score_ext"], 0).depth == 1
