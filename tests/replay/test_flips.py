"""Run-level flip counts from the engine's pass equal a recount in plain pandas, applicant
by applicant, with the aggregates over other applicants held."""

from __future__ import annotations

import numpy as np
import pytest

from quorvane.replay import flip_counts

from .credit import applicants, held_aggregates, logged, steps


def recount(df, attribute: str, value: float, custom: bool = False) -> tuple[int, int]:
    """(changed applicants, flipped decisions), each applicant's attribute set alone."""
    held = held_aggregates(df)
    before = steps(df, held, custom)["approved"]
    changed = flips = 0
    for key in df.index[df[attribute] != value]:
        one = df.copy()
        one.loc[key, attribute] = value
        changed += 1
        flips += bool(steps(one, held, custom)["approved"][key] != before[key])
    return changed, flips


@pytest.mark.parametrize("custom", [False, True])
def test_flip_counts_equal_pandas_recount(custom):
    df = applicants(80)
    counts = flip_counts(logged(df, custom), "approved")
    by = {(c.attribute, c.value): c for c in counts.counts}
    assert set(by) == {(f"applicants.{a}", v) for a in ("married", "old") for v in (0.0, 1.0)}
    assert counts.decisions == len(df) and counts.not_replayed == 0
    for value in (0.0, 1.0):
        old = by["applicants.old", value]
        assert (old.changed, old.flips) == recount(df, "old", value, custom)
        assert old.unknown == 0 and old.flips > 0
        # married keys a group: an applicant it moves is not counted, nor is the user function
        married = by["applicants.married", value]
        assert married.changed == int(np.count_nonzero(df.married != value))
        assert (married.flips, married.unknown) == (0, married.changed)


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
