"""Warnings on both container families are those of plain pandas, at the same places: none
when dividing by zero (inf and NaN), and pandas' own at the caller's line."""

import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from quorvane.tracking import storing_words_in_arrays
from quorvane.utilities.orrin32 import ProvenanceTracker, wrap_dataframe
from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag


def _beside(wrap):
    def wrap_beside(*args):
        with storing_words_in_arrays(False):
            return wrap(*args)

    return wrap_beside


ROADS = pytest.mark.parametrize(
    "wrap, make_tracker",
    [
        (wrap_dataframe, ProvenanceTracker),
        (wrap_dataframe_dag, DAGTracker),
        (_beside(wrap_dataframe), ProvenanceTracker),
        (_beside(wrap_dataframe_dag), DAGTracker),
    ],
    ids=["vectorised", "dag", "words_beside", "dag_beside"],
)


@ROADS
def test_division_by_zero_is_silent_like_pandas(wrap, make_tracker):
    frame = pd.DataFrame({"debt": [1.0, 0.0, -2.0], "income": [0.0, 0.0, 4.0]})
    tracked = wrap(frame, make_tracker(), "loans")
    ratio = tracked["debt"] / tracked["income"]  # warnings are errors in this suite
    expected = frame["debt"] / frame["income"]
    np.testing.assert_array_equal(ratio.values, expected.values)
    np.testing.assert_array_equal((-ratio).values, (-expected).values)


LOANS = pd.DataFrame(
    {"debt": [1.0, np.nan, 2.0], "flag": [True, False, True], "unit": ["a", "b", "a"]},
    index=["p", "q", "r"],
)

# Operations pandas warns about on some of the versions the package supports (a version
# that does not warn skips the row), and whether plain pandas names the caller's line: a
# warning numpy raises in pandas' own code names pandas' file, tracked or not.
WARNING_OPERATIONS = [
    ("logical_op_with_list", lambda t: t["flag"] & [True, False, True], True),
    ("positional_getitem", lambda t: t["debt"][0], True),
    ("str_regex_groups", lambda t: t["unit"].str.contains("(a)"), True),
    ("groupby_apply", lambda t: t.groupby("unit").apply(lambda g: g["debt"].sum()), True),
    ("setitem_other_dtype", lambda t: t["debt"].copy().__setitem__("p", "x"), True),
    ("pct_change_fill", lambda t: t["debt"].pct_change(), True),
    ("map_callback", lambda t: t["debt"].map(lambda v: warnings.warn("seen", stacklevel=1)), True),
    ("ufunc_in_pandas", lambda t: np.log(t["debt"] - 5), False),
]


def _warnings_of(operation, frame):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            operation(frame)
        except (TypeError, KeyError, AttributeError) as exc:  # gone from this pandas
            pytest.skip(f"pandas {pd.__version__}: {exc}")
    return [(w.category, w.filename, w.lineno) for w in seen]


@ROADS
@pytest.mark.parametrize(
    "operation, at_caller",
    [row[1:] for row in WARNING_OPERATIONS],
    ids=[row[0] for row in WARNING_OPERATIONS],
)
def test_pandas_warnings_name_the_same_line_as_plain_pandas(
    wrap, make_tracker, operation, at_caller
):
    plain = _warnings_of(operation, LOANS.copy())
    if not plain:
        pytest.skip(f"pandas {pd.__version__} does not warn here")
    tracked = _warnings_of(operation, wrap(LOANS.copy(), make_tracker(), "loans"))
    assert tracked == plain
    assert all((filename == __file__) == at_caller for _, filename, _ in tracked)


def _regex_with_groups(tracked):
    return tracked["unit"].str.contains("(a)")  # pandas warns on every version


@ROADS
def test_a_warning_repeated_at_one_line_is_shown_once(wrap, make_tracker):
    tracked = wrap(LOANS.copy(), make_tracker(), "loans")
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("default")
        for _ in range(3):
            _regex_with_groups(tracked)
    assert len(seen) == 1


def test_warnings_held_in_threads_are_all_issued_and_the_filters_restored():
    tracked = wrap_dataframe(LOANS.copy(), ProvenanceTracker(), "loans")
    before = (list(warnings.filters), warnings.showwarning)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        inside = (list(warnings.filters), warnings.showwarning)
        with ThreadPoolExecutor(4) as pool:
            list(pool.map(lambda _: _regex_with_groups(tracked), range(200)))
        assert (list(warnings.filters), warnings.showwarning) == inside
    assert len(seen) == 200 and {w.filename for w in seen} == {__file__}
    assert (list(warnings.filters), warnings.showwarning) == before


def test_a_warning_of_another_thread_during_a_hold_is_issued_when_the_hold_ends():
    tracked = wrap_dataframe(LOANS.copy(), ProvenanceTracker(), "loans")
    inside, warned = threading.Event(), threading.Event()

    def callback(value):  # keeps the tracked map, and so its hold, open
        inside.set()
        warned.wait(10)
        return value

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        holder = threading.Thread(target=lambda: tracked["debt"].map(callback))
        holder.start()
        assert inside.wait(10)
        warnings.warn("from a thread that holds nothing", UserWarning, stacklevel=1)
        warned.set()
        holder.join(10)
    assert [(str(w.message), w.filename) for w in seen] == [
        ("from a thread that holds nothing", __file__)
    ]
