"""A replay's answer is what plain pandas gives when the pipeline runs again with that one
applicant's attribute changed (its aggregates over other applicants held), wherever the
replay claims a number; where it cannot, it names the step and claims none."""

from __future__ import annotations

import pytest

from .credit import applicants, held_aggregates, logged, replayed, steps


def rerun(key: str, changes: dict, custom: bool = False) -> dict:
    df = applicants()
    changed = df.copy()
    for column, value in changes.items():
        changed.loc[key, column] = value
    return {k: v[key] for k, v in steps(changed, held_aggregates(df), custom).items()}


def what_if(key: str, changes: dict, custom: bool = False):
    return replayed(logged(applicants(), custom), key, changes)


@pytest.mark.parametrize(
    ("key", "changes", "flips", "held", "moved"),
    [
        ("LA-0001", {"married": 0}, False, 0, 1),  # moves into the unmarried group's mean
        ("LA-0001", {"married": 0, "old": 1}, True, 0, 1),
        ("LA-0004", {"applicants.old": 1}, False, 0, 0),
        ("LA-0002", {"wage": 2000.0}, True, 2, 0),  # its own wage: both means are held
        ("LA-0003", {"region": "s"}, False, 0, 1),
    ],
)
def test_replay_equals_pandas_rerun(key, changes, flips, held, moved):
    got = what_if(key, changes)
    plain = {k.split(".")[-1]: v for k, v in changes.items()}
    want = rerun(key, plain)
    before = rerun(key, {})
    assert got.computed and got.checked > 0
    assert got.new_value == float(want["approved"]) and got.old_value == float(before["approved"])
    assert got.score[1:] == pytest.approx((before["score"], want["score"]))
    assert (got.flips, len(got.held), len(got.moved)) == (flips, held, moved)


def test_sentence_names_score_and_decision():
    got = what_if("LA-0001", {"married": 0})
    old, new = (round(float(rerun("LA-0001", c)["score"]), 2) for c in ({}, {"married": 0}))
    assert got.sentence() == (
        f"setting married to 0 changes LA-0001's score from {old} to {new}; "
        "the decision stays approved"
    )


@pytest.mark.parametrize(
    ("changes", "computed"),
    [({"married": 0}, False), ({"old": 1}, True)],  # the user function reads married only
)
def test_user_function_is_named_not_guessed(changes, computed):
    got = what_if("LA-0001", changes, custom=True)
    assert got.computed is computed
    if computed:
        assert got.new_value == float(rerun("LA-0001", changes, custom=True)["approved"])
    else:
        assert (got.new_value, got.flips) == (None, None)
        assert "(apply)" in got.not_evaluated[0] and "apply" in got.sentence()
