"""The growing columns behind the element log: every way of reading and setting agrees
with a plain array, across the chunks it grows by, the arrays it keeps by reference and
through pickling."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

from quorvane.core._engine import NodeLog
from quorvane.utilities.orrin32_dag._growing import Growing, _run_of
from quorvane.utilities.orrin32_dag._held import Held
from quorvane.utilities.orrin32_dag._runs import known_first, noted


@pytest.mark.parametrize(
    "kind, dtype, fill",
    [
        (Growing, np.int64, -1),
        (Growing, np.float64, np.nan),
        (Growing, object, ""),
        (Held, np.int64, -1),
        (Held, np.float64, np.nan),
    ],
)
@pytest.mark.parametrize("pickled", [False, True])
def test_reads_and_sets_agree_with_a_plain_array(kind, dtype, fill, pickled):
    column, expected = kind(dtype, fill), np.full(5_000, fill, dtype=dtype)
    first = np.arange(10, 20)
    column.set(first, first * 2)
    expected[first] = first * 2
    runs = np.arange(1_000, 3_000)  # across the first chunks' ends: the column grows
    column.set(runs, -runs)  # set again below: a run over positions held
    column.set(runs[::-1], -runs[::-1])  # descending: by chunk, not as one run
    column.set(runs, runs)
    expected[runs] = runs
    gaps = np.array([3_000, 3_002, 4_999])  # ascending with gaps: set one by one
    column.set(gaps, gaps)
    expected[gaps] = gaps
    spread = np.array([4_000, 20, 1_500, 1_023, 1_024])  # in four chunks, out of order
    column.set(spread, spread + 1)
    expected[spread] = spread + 1
    if pickled:
        column = pickle.loads(pickle.dumps(column))
    assert column.size == 5_000
    positions = np.array([-1, 15, 500, 2_500, 3_001, 4_999, 7_000, 4_000, 1_024])
    as_text = lambda values: [str(v) for v in values]  # noqa: E731 - NaN and "" compare
    wanted = [fill, *expected[[15, 500, 2_500, 3_001, 4_999]], fill, *expected[[4_000, 1_024]]]
    assert as_text(column.get(positions)) == as_text(wanted)
    assert as_text(column.get(runs)) == as_text(expected[runs])
    assert as_text(column.get(gaps)) == as_text(expected[gaps])
    tail = column.get(np.arange(4_990, 5_010))  # beyond the end: the fill
    assert as_text(tail) == as_text([*expected[4_990:], *[fill] * 10])
    later = np.arange(6_000, 6_100)  # after all: a new run (kept by a held column)
    column.set(later, later.astype(np.int32))
    wanted = np.array([*later[::-1], fill], dtype=dtype)
    assert as_text(column.get(np.r_[later[::-1], 5_999])) == as_text(wanted)
    same = np.arange(6_100, 6_200)  # a run kept in the column's own dtype
    column.set(same, same.astype(dtype))
    spaced = np.r_[later[::3], same[::3]]  # ascending with gaps, across both kept runs
    wanted = np.r_[later[::3], same[::3]].astype(dtype)
    assert as_text(column.get(spaced)) == as_text(wanted)


@pytest.mark.parametrize("missing", [[], [0], [500], [999]], ids=["none", "first", "mid", "last"])
def test_ids_the_log_gives_are_known_as_a_run_only_when_every_element_has_a_node(missing):
    # a run is read and set as one slice without a pass over it: an element without a
    # node among them (-1) must leave them unknown, or values would land on other nodes
    log = NodeLog(100_000)
    operand = np.full(1_000, log.append(0, 0, 7, 8, []), np.int64)
    operand[missing] = -1
    ids = noted(log.append_columns(3, 1, np.arange(1_000), [operand], 31))
    assert (known_first(ids) is not None) == (not missing) == (_run_of(ids) is not None)
    if not missing:
        assert known_first(ids) == ids[0] and not ids.flags.writeable
        ids.flags.writeable = True  # writable again: no longer taken on trust
        assert known_first(ids) is None
