"""A what-if's answer is what plain pandas gives when the pipeline runs again with that one
applicant's attribute changed (its aggregates over other applicants held), wherever the
replay claims a number; where it cannot, it names the step and claims none."""

from __future__ import annotations

import pytest

import quorvane as qv

from .credit import applicants, held_aggregates, logged, married_means, pipeline, replayed, steps
from .credit import tracked as tracked_run


def rerun(key: str, changes: dict, custom: bool = False) -> tuple[float, bool]:
    df = applicants()
    for column, value in changes.items():
        df.loc[key, column] = value
    score, approved = pipeline(df, married_means(applicants()), custom)
    return score[key], approved[key]


@pytest.mark.parametrize(
    ("key", "changes", "flips", "moved"),
    [
        ("LA-0001", {"married": 0}, False, 1),  # into the unmarried group's mean
        ("LA-0001", {"wage": 2000.0}, True, 0),  # its own wage: the group's mean is held
        ("LA-0002", {"married": 1, "old": 0}, False, 1),
        ("LA-0003", {"applicants.old": 0}, False, 0),
        ("LA-0004", {"old": 1, "wage": 100.0}, True, 0),
    ],
)
def test_whatif_equals_pandas_rerun(key, changes, flips, moved):
    tracker, results = tracked_run(applicants())
    got = qv.whatif(tracker, results, key, changes, result="approved")
    plain = {k.split(".")[-1]: v for k, v in changes.items()}
    (old_score, old), (new_score, new) = rerun(key, {}), rerun(key, plain)
    assert got.computed and got.checked > 0
    assert (got.old_value, got.new_value, got.flips) == (float(old), float(new), flips)
    assert got.score == ("score", pytest.approx(old_score), pytest.approx(new_score))
    assert (len(got.moved), len(got.held)) == (moved, int("wage" in changes))
    shown = f"from {round(float(old_score), 2)} to {round(float(new_score), 2)}"
    assert f"{key}'s score {shown}; the decision " in got.sentence()


@pytest.mark.parametrize("changes", [{"married": 0}, {"old": 1}])
def test_user_function_is_named_not_guessed(changes):
    # the log cannot follow what the lambda reads: it may read any changed value
    tracker, results = tracked_run(applicants(), custom=True)
    got = qv.whatif(tracker, results, "LA-0001", changes, result="approved")
    assert (got.computed, got.new_value, got.flips) == (False, None, None)
    assert "(<unknown>.<unknown>)" in got.not_evaluated[0]
    assert "such as one given to apply" in got.sentence()


@pytest.mark.parametrize(
    ("key", "changes", "held", "moved"),
    [("LA-0002", {"wage": 2000.0}, 2, 0), ("LA-0003", {"region": "s"}, 0, 1)],
)
def test_replay_of_a_written_log_equals_pandas(key, changes, held, moved):
    """Logs written node by node: two group means, one keyed by text."""
    got = replayed(logged(applicants()), key, changes)
    changed = applicants()
    for column, value in changes.items():
        changed.loc[key, column] = value
    want = steps(changed, held_aggregates(applicants()))
    assert got.new_value == float(want["approved"][key])
    assert got.score[2] == pytest.approx(want["score"][key])
    assert (len(got.held), len(got.moved)) == (held, moved)


def test_a_column_that_does_not_reach_is_said():
    tracker, results = tracked_run(applicants())
    got = qv.whatif(tracker, results, "LA-0001", {"region": "s"}, result="approved")
    assert (got.flips, got.unreached) == (False, ("region",))
    assert got.sentence().endswith("(region does not reach LA-0001's approved)")
