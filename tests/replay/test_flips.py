"""Run-level flip counts from the engine's pass equal a recount in plain pandas, applicant
by applicant, with the aggregates over other applicants held."""

from __future__ import annotations

import numpy as np
import pytest

import quorvane as qv
from quorvane._orrin32 import replay_changed, replay_check, replay_codes
from quorvane.replay import flip_counts, run_flip_counts

from .credit import (
    applicants,
    held_aggregates,
    logged,
    married_means,
    pipeline,
    replayed,
    steps,
    tracked,
)


def written(df):
    log = logged(df)
    decide = lambda d: steps(d, held_aggregates(df))["approved"]  # noqa: E731
    return flip_counts(log, "approved"), decide, lambda k, c: replayed(log, k, c).flips


def on_the_road(df):
    tracker, results = tracked(df)
    decide = lambda d: pipeline(d, married_means(df))[1]  # noqa: E731
    one = lambda k, c: qv.whatif(tracker, results, k, c, result="approved").flips  # noqa: E731
    return run_flip_counts(tracker, results, "approved"), decide, one


def recount(df, decide, attribute: str, value: float) -> tuple[int, int]:
    """(changed applicants, flipped decisions), each applicant's attribute set alone."""
    before = decide(df)
    changed = flips = 0
    for key in df.index[df[attribute] != value]:
        one = df.copy()
        one.loc[key, attribute] = value
        changed += 1
        flips += bool(decide(one)[key] != before[key])
    return changed, flips


@pytest.mark.parametrize("run", [written, on_the_road])
def test_flip_counts_equal_pandas_recount(run):
    df = applicants(80)
    counts, decide, one = run(df)
    by = {(c.attribute, c.value): c for c in counts.counts}
    assert set(by) == {(f"applicants.{a}", v) for a in ("married", "old") for v in (0.0, 1.0)}
    assert counts.decisions == len(df)
    # married keys a group: a change moves the applicant into the other group's mean
    for attribute in ("old", "married"):
        for value in (0.0, 1.0):
            c = by[f"applicants.{attribute}", value]
            assert (c.changed, c.flips, c.unknown) == (*recount(df, decide, attribute, value), 0)
            keys = df.index[df[attribute] != value]
            assert c.flips == sum(one(k, {attribute: value}) for k in keys)
        assert counts.flips(f"applicants.{attribute}") > 0


def test_unreproduced_step_is_unknown_not_counted():
    log = logged(applicants(80))
    values = log.value.copy()
    ge = log.operations.index("ge")
    values[np.flatnonzero(log.operation == ge)[:5]] = 7.0  # a recorded value the step never gave
    tampered = type(log)(**{**log.__dict__, "value": values})
    counts = flip_counts(tampered, "approved")
    assert counts.not_replayed == 5
    # each applicant has its attribute changed by one of the two values
    assert sum(c.unknown for c in counts.counts if c.attribute.endswith(".old")) == 5


def _columns(**bad):
    """A three-node log (two constants and their sum), with ``bad`` in place of a column."""
    good = {
        "code": np.array([0, 0, replay_codes()["add"]], np.int32),
        "input_start": np.array([0, 0, 0, 2], np.int64),
        "inputs": np.array([0, 1], np.int64),
        "value": np.array([1.0, 2.0, 3.0]),
        "group_start": np.zeros(4, np.int64),
        "group_values": np.zeros(0),
        "family": np.full(3, -1, np.int64),
        "table_rows": np.zeros(0, np.int64),
        "table_start": np.zeros(1, np.int64),
        "table_keys": np.zeros(0),
        "table_values": np.zeros(0),
        "table_param": np.zeros(0, np.int32),
        "text_from": 1e290,
    }
    return {**good, **bad}


@pytest.mark.parametrize(
    ("bad", "message"),
    [
        ({}, None),
        ({"inputs": np.array([0, 2], np.int64)}, "every input must be a row before its node"),
        ({"inputs": np.array([0, -1], np.int64)}, "every input must be a row before its node"),
        ({"input_start": np.array([0, 0, 0, 3], np.int64)}, "ascend within the inputs"),
        ({"value": np.zeros(2)}, "one entry per node"),
        ({"code": np.array([0, 0, 999], np.int32)}, "unknown replay code"),
        ({"group_start": np.array([0, 0, 0, 1], np.int64)}, "ascend within the group values"),
        ({"family": np.zeros(2, np.int64)}, "one entry per node"),
        ({"table_rows": np.array([2], np.int64)}, "one entry per table"),
    ],
)
def test_engine_replay_refuses_a_malformed_log(bad, message):
    columns = _columns(**bad)
    if message is None:
        owner = np.full(3, -1, np.int64)
        values, state, held = replay_changed(
            **columns, owner=owner, cells=np.array([0]), new_value=5.0
        )
        assert (values.tolist(), state.tolist(), held) == ([5.0, 2.0, 7.0], [1, 0, 1], 0)
        return
    for call in (
        lambda: replay_check(**columns),
        lambda: replay_changed(
            **columns, owner=np.full(3, -1, np.int64), cells=np.array([0]), new_value=5.0
        ),
    ):
        with pytest.raises(ValueError, match=message):
            call()


def test_an_aggregate_without_groups_is_held():
    # without group keys the pass cannot tell a move: the means are held, nothing unknown
    log = logged(applicants(80))
    counts = flip_counts(type(log)(**{**log.__dict__, "group": None}), "approved")
    married = [c for c in counts.counts if c.attribute.endswith(".married")]
    assert all(c.unknown == 0 and c.held == 1 for c in married)  # the group it leaves


def test_a_text_attribute_counts_as_one_applicant_at_a_time():
    df = applicants(80)
    tracker = qv.DAGTracker()
    frame = qv.wrap(df, tracker, "applicants", protected=["region"])
    ok = ((frame["region"] == "n") * 30 + frame["wage"].fillna(400) * 0.5 >= 480).rename("ok")
    counts = run_flip_counts(tracker, {"ok": ok}, "ok")
    assert {c.value for c in counts.counts} == {"n", "s"} and counts.flips("applicants.region")
    for c in counts.counts:
        keys = df.index[df.region != c.value]
        one_by_one = [qv.whatif(tracker, {"ok": ok}, k, {"region": c.value}).flips for k in keys]
        assert (c.flips, c.unknown, c.changed) == (sum(one_by_one), 0, len(keys))
