"""Behaviour of TrackedSeries: values, result types and the words every operation builds."""

import operator
import warnings

import numpy as np
import pandas as pd
import pytest
from like_plain import assert_like_plain

from quorvane.core import _engine
from quorvane.tracking import _compat
from quorvane.utilities.orrin32 import OpCode, ProvenanceTracker, TrackedSeries


@pytest.fixture
def engine_calls(monkeypatch):
    """Records (function name, op code) of every batch call while still computing words."""
    calls = []
    real_combine, real_chain = _engine.combine_batch, _engine.update_chain_batch

    def combine(engine, a, b, op):
        calls.append(("combine_batch", op))
        return real_combine(engine, a, b, op)

    def chain(engine, a, op):
        calls.append(("update_chain_batch", op))
        return real_chain(engine, a, op)

    monkeypatch.setattr(_engine, "combine_batch", combine)
    monkeypatch.setattr(_engine, "update_chain_batch", chain)
    return calls


@pytest.fixture
def tracker():
    return ProvenanceTracker()


def _tracked(tracker, table, column, values, *, taint=False, depth=0, index=None):
    pid = tracker.register(table, column, taint)
    words = np.array(
        [tracker.encode({pid}, entity=i, taint=taint, depth=depth) for i in range(len(values))],
        dtype=np.uint32,
    )
    return TrackedSeries(values, index=index, _prov=words, _tracker=tracker)


@pytest.fixture
def pair(tracker):
    a = _tracked(tracker, "loans", "income", [4.0, 9.0, 2.5, 7.0], index=list("wxyz"))
    b = _tracked(
        tracker, "people", "age", [2.0, 3.0, 5.0, 0.5], taint=True, depth=2, index=list("wxyz")
    )
    return a, b


BINARY = [
    ("add", operator.add, np.add, OpCode.ADD),
    ("sub", operator.sub, np.subtract, OpCode.SUB),
    ("mul", operator.mul, np.multiply, OpCode.MUL),
    ("truediv", operator.truediv, np.true_divide, OpCode.DIV),
    ("floordiv", operator.floordiv, np.floor_divide, OpCode.DIV),
    ("pow", operator.pow, np.power, OpCode.MUL),
    ("radd", lambda a, b: a.__radd__(b), lambda x, y: np.add(y, x), OpCode.ADD),
    ("rsub", lambda a, b: a.__rsub__(b), lambda x, y: np.subtract(y, x), OpCode.SUB),
    ("rmul", lambda a, b: a.__rmul__(b), lambda x, y: np.multiply(y, x), OpCode.MUL),
    ("rtruediv", lambda a, b: a.__rtruediv__(b), lambda x, y: np.true_divide(y, x), OpCode.DIV),
    ("gt", operator.gt, np.greater, OpCode.CMP),
    ("lt", operator.lt, np.less, OpCode.CMP),
    ("ge", operator.ge, np.greater_equal, OpCode.CMP),
    ("le", operator.le, np.less_equal, OpCode.CMP),
]


def _assert_own_words(result, *others):
    assert result._prov.dtype == np.uint32
    for other in others:
        assert not np.shares_memory(result._prov, other._prov)


def _tiled(series, repeat):
    return TrackedSeries(
        np.tile(series.values, repeat),
        _prov=np.tile(series._prov, repeat),
        _tracker=series._tracker,
    )


# large: the words are made on a helper thread while pandas makes the values
@pytest.mark.parametrize("repeat", [1, 2**15 + 1], ids=["small", "large"])
@pytest.mark.parametrize("name, op, np_op, code", BINARY, ids=[c[0] for c in BINARY])
def test_binary_between_tracked_series_combines_whole_columns(
    pair, tracker, engine_calls, name, op, np_op, code, repeat
):
    a, b = pair if repeat == 1 else (_tiled(x, repeat) for x in pair)
    result = op(a, b)
    assert type(result) is TrackedSeries
    np.testing.assert_array_equal(result.values, np_op(a.values, b.values))
    assert result.index.equals(a.index) and result.name is None
    assert engine_calls == [("combine_batch", code)]
    expected = _engine.combine_batch(tracker._rust, a._prov, b._prov, code)
    np.testing.assert_array_equal(result._prov, np.asarray(expected, dtype=np.uint32))
    assert result._tracker is tracker
    _assert_own_words(result, a, b)
    # taint and depth follow the algebra: OR and max + 1
    assert all(ProvenanceTracker.is_tainted(w) for w in result._prov)
    assert {ProvenanceTracker.get_depth(w) for w in result._prov} == {3}


@pytest.mark.parametrize("name, op, np_op, code", BINARY, ids=[c[0] for c in BINARY])
@pytest.mark.parametrize(
    "operand", [3.0, np.array([1.0, 2.0, 3.0, 4.0])], ids=["scalar", "ndarray"]
)
def test_binary_with_untracked_operand_copies_receiver_words(
    pair, engine_calls, name, op, np_op, code, operand
):
    a, _ = pair
    result = op(a, operand)
    assert type(result) is TrackedSeries
    np.testing.assert_array_equal(result.values, np_op(a.values, operand))
    if np.ndim(operand):  # data per row from somewhere unseen: unknown, never clean
        tracker = a._tracker
        assert all(tracker.is_unknown(w) for w in result._prov)
        assert all(set(tracker.decode(w)) >= set(tracker.decode(v)) for w, v in zip(
            result._prov, a._prov, strict=True))  # fmt: skip
        return
    assert engine_calls == []
    np.testing.assert_array_equal(result._prov, a._prov)
    _assert_own_words(result, a)


def test_receiver_tracker_wins_and_missing_tracker_skips_engine(pair, engine_calls):
    a, b = pair
    other_tracker = ProvenanceTracker()
    b._tracker = other_tracker
    assert (a + b)._tracker is a._tracker
    engine_calls.clear()
    a._tracker = None
    result = a * b
    assert engine_calls == [] and result._tracker is None
    np.testing.assert_array_equal(result._prov, a._prov)


@pytest.mark.parametrize("op", [operator.add, operator.sub, operator.mul])
@pytest.mark.parametrize("tracked_other", [False, True], ids=["plain", "tracked"])
def test_arithmetic_aligns_on_the_index_and_words_follow_labels(pair, tracker, op, tracked_other):
    a, b = pair
    other = pd.Series([10.0, 20.0, 30.0, 40.0, 50.0], index=list("zyxwv"))
    if tracked_other:
        other = TrackedSeries(other, _prov=b._prov.tolist() + [b._prov[0]], _tracker=tracker)
    for result, expected in [
        (op(a, other), op(pd.Series(a), pd.Series(other))),
        (op(other, a), op(pd.Series(other), pd.Series(a))),
    ]:
        assert type(result) is TrackedSeries
        assert_like_plain(result, expected)
        # v exists only on the right: its word holds no left word
        left = dict(zip(a.index, a._prov.tolist(), strict=True))
        for label, word in zip(result.index, result._prov.tolist(), strict=True):
            if label in left:
                assert tracker.explain(left[label])[0] in tracker.explain(word)


def test_scalar_on_the_left(pair):
    a, _ = pair
    result = 5 - a
    np.testing.assert_array_equal(result.values, 5 - a.values)
    np.testing.assert_array_equal(result._prov, a._prov)


UNARY = [
    ("neg", lambda s: -s, lambda p: -p, OpCode.NEG),
    ("clip", lambda s: s.clip(0, 5), lambda p: p.clip(0, 5), OpCode.CLIP),
    ("clip_lower", lambda s: s.clip(lower=3), lambda p: p.clip(lower=3), OpCode.CLIP),
    ("fillna", lambda s: s.fillna(), lambda p: p.fillna(0), OpCode.FILL),
    ("fillna_value", lambda s: s.fillna(-1.0), lambda p: p.fillna(-1.0), OpCode.FILL),
    ("map_dict", lambda s: s.map({4.0: 1.0}), lambda p: p.map({4.0: 1.0}), OpCode.MAP),
    ("map_func", lambda s: s.map(lambda v: v * 2), lambda p: p.map(lambda v: v * 2), OpCode.MAP),
    ("replace", lambda s: s.replace(4.0, 40.0), lambda p: p.replace(4.0, 40.0), OpCode.MAP),
    ("replace_dict", lambda s: s.replace({9.0: 0.0}), lambda p: p.replace({9.0: 0.0}), OpCode.MAP),
    ("abs", lambda s: s.abs(), lambda p: p.abs(), OpCode.ABS),
    ("builtin_abs", abs, abs, OpCode.ABS),
    ("round", lambda s: s.round(1), lambda p: p.round(1), OpCode.ROUND),
    ("builtin_round", round, round, OpCode.ROUND),
    ("isin", lambda s: s.isin([4.0]), lambda p: p.isin([4.0]), OpCode.CMP),
    ("ufunc", np.log1p, np.log1p, OpCode.UFUNC),
]


@pytest.fixture
def with_missing(tracker):
    return _tracked(
        tracker, "loans", "debt", [4.0, np.nan, 9.0, 2.0], taint=True, depth=1, index=[3, 1, 2, 0]
    )


@pytest.mark.parametrize("name, op, plain_op, code", UNARY, ids=[c[0] for c in UNARY])
def test_one_operand_operations_chain_every_element(
    with_missing, tracker, engine_calls, name, op, plain_op, code
):
    s = with_missing
    result = op(s)
    assert type(result) is TrackedSeries
    expected_values = plain_op(pd.Series(s.values, index=s.index))
    np.testing.assert_array_equal(result.values, expected_values.values)
    assert result.index.equals(s.index) and result.name is None
    assert engine_calls == [("update_chain_batch", code)]
    expected = _engine.update_chain_batch(tracker._rust, s._prov, code)
    np.testing.assert_array_equal(result._prov, np.asarray(expected, dtype=np.uint32))
    assert result._tracker is tracker
    _assert_own_words(result, s)
    assert {ProvenanceTracker.get_depth(w) for w in result._prov} == {2}


@pytest.mark.parametrize("name, op, plain_op, code", UNARY, ids=[c[0] for c in UNARY])
def test_one_operand_operations_without_tracker_copy_words(
    with_missing, engine_calls, name, op, plain_op, code
):
    s = with_missing
    s._tracker = None
    result = op(s)
    assert engine_calls == []
    np.testing.assert_array_equal(result._prov, s._prov)
    _assert_own_words(result, s)


def test_replace_keeps_index_of_pandas_result_and_map_the_receivers(with_missing):
    assert with_missing.replace(4.0, 1.0).index.equals(with_missing.index)
    assert with_missing.map(str).index.equals(with_missing.index)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.fillna(0, inplace=True),
        lambda s: s.replace(4.0, 1.0, inplace=True),
        lambda s: s.clip(0, 5, inplace=True),
    ],
    ids=["fillna", "replace", "clip"],
)
def test_inplace_calls_return_what_pandas_returns_and_build_no_words(
    with_missing, engine_calls, call
):
    s = with_missing
    plain = pd.Series(s.values.copy(), index=s.index)
    words = s._prov
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        returned = call(s)
        plain_returned = call(plain)
    if plain_returned is None:
        assert returned is None
    else:  # pandas 3 hands back the receiver itself
        assert plain_returned is plain and returned is s
    np.testing.assert_array_equal(s.values, plain.values)
    assert s._prov is words and engine_calls == []


def test_errors_propagate(pair):
    a, _ = pair
    with pytest.raises(ValueError):
        a + np.array([1.0, 2.0])


def test_constructor_words():
    s = TrackedSeries([1, 2, 3])
    assert s._prov.dtype == np.uint32 and list(s._prov) == [0, 0, 0] and s._tracker is None
    assert len(TrackedSeries([])._prov) == 0
    given = np.array([5], dtype=np.int64)
    assert TrackedSeries([1], _prov=given)._prov is given


def test_zero_length_series_work_everywhere(tracker, engine_calls):
    a = TrackedSeries([], dtype=float, _tracker=tracker)
    b = TrackedSeries([], dtype=float, _tracker=tracker)
    for result in [a + b, a > b, -a, a.clip(0, 1), a.fillna(), a.map(abs), a.replace(1, 2)]:
        assert type(result) is TrackedSeries and len(result) == 0 and len(result._prov) == 0


DERIVED = [
    ("head", lambda s: s.head(2)),
    ("iloc_slice", lambda s: s.iloc[1:3]),
    ("boolean_filter", lambda s: s[s.values > 3]),
    ("copy", lambda s: s.copy()),
    ("sort_values", lambda s: s.sort_values()),
    ("eq", lambda s: s == 4.0),
    ("mod", lambda s: s % 2),
    ("rename", lambda s: s.rename("other")),
]


@pytest.mark.parametrize("name, derive", DERIVED, ids=[c[0] for c in DERIVED])
def test_pandas_own_results_stay_tracked(pair, name, derive):
    a, _ = pair
    a.name = "income"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = derive(a)
        plain = derive(pd.Series(a.values, index=a.index, name="income"))
    assert type(result) is TrackedSeries
    assert_like_plain(result, plain)
    # each element keeps the word of the element it came from
    expected = a._prov[a.index.get_indexer(result.index)]
    np.testing.assert_array_equal(result._prov, expected)
    assert result._tracker is a._tracker


def test_reductions_return_scalars(pair):
    a, _ = pair
    assert a.sum() == pytest.approx(22.5) and a.max() == 9.0


@pytest.mark.skipif(not _compat.PANDAS_GE_30, reason="copy-on-write is pandas 3 behaviour")
@pytest.mark.parametrize(
    "derive",
    [lambda s: s.fillna(), lambda s: s.replace(123.0, 1.0), lambda s: s.map(lambda v: v)],
    ids=["fillna", "replace", "map"],
)
def test_results_never_write_through_to_the_receiver(with_missing, derive):
    before = with_missing.values.copy()
    result = derive(with_missing)
    result.iloc[0] = -99.0
    np.testing.assert_array_equal(with_missing.values, before)


def test_tracked_calls_inside_a_users_map_callback_keep_their_words(with_missing, pair, tracker):
    filled = []

    def callback(value):
        filled.append(with_missing.fillna(0))
        return value

    pair[0].map(callback)
    expected = _engine.update_chain_batch(tracker._rust, with_missing._prov, OpCode.FILL)
    for result in filled:
        np.testing.assert_array_equal(result._prov, np.asarray(expected, dtype=np.uint32))
