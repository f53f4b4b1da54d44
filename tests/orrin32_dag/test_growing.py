"""The growing columns behind the element log: every way of reading and setting agrees
with a plain array, through growth in place and growth while a view is held."""

from __future__ import annotations

import numpy as np
import pytest

from quorvane.utilities.orrin32_dag._growing import Growing


@pytest.mark.parametrize("dtype, fill", [(np.int64, -1), (np.float64, np.nan), (object, "")])
@pytest.mark.parametrize("hold_a_view", [False, True])
def test_reads_and_sets_agree_with_a_plain_array(dtype, fill, hold_a_view):
    column, expected = Growing(dtype, fill), np.full(5_000, fill, dtype=dtype)
    first = np.arange(10, 20)
    column.set(first, first * 2)
    expected[first] = first * 2
    view = column.data[:20] if hold_a_view else None  # growing must not invalidate it
    runs = np.arange(1_000, 3_000)  # past the capacity: the column grows
    column.set(runs, runs)
    expected[runs] = runs
    gaps = np.array([3_000, 3_002, 4_999])  # ascending with gaps: set one by one
    column.set(gaps, gaps)
    expected[gaps] = gaps
    if view is not None:
        assert list(view[10:20]) == list(first * 2)
    assert column.size == 5_000
    positions = np.array([-1, 15, 500, 2_500, 3_001, 4_999, 7_000])  # 500, 3_001: never set
    as_text = lambda values: [str(v) for v in values]  # noqa: E731 - NaN and "" compare
    wanted = [fill, *expected[[15, 500, 2_500, 3_001, 4_999]], fill]
    assert as_text(column.get(positions)) == as_text(wanted)
    assert as_text(column.get(runs)) == as_text(expected[runs])
    assert as_text(column.get(gaps)) == as_text(expected[gaps])
    tail = column.run(4_990, 20)  # beyond the end: the fill
    assert as_text(tail) == as_text([*expected[4_990:], *[fill] * 10])
