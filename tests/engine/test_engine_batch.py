"""Array functions: element-wise equal to the per-word forms; conversions and broadcasting."""

from __future__ import annotations

import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvane._orrin32 import (
    RustProvenanceTracker,
    combine_batch,
    combine_member_segments_batch,
    combine_segments_batch,
    combine_windows_batch,
    encode_source_column,
    explain_batch,
    is_tainted_batch,
    risk_score_batch,
    update_chain_batch,
)

from .helpers import ops, risk, taint_bit, u32, word_fields

ENGINE = RustProvenanceTracker()
word_lists = st.lists(word_fields(), min_size=1, max_size=40)


def _words(field_lists):
    return [ENGINE.encode(*s) for s in field_lists]


def _members_word(words):
    """What a word made of ``words`` holds: pair union, taint OR, depth max + 1."""
    fields = [ENGINE.decode_full(w) for w in words]
    pairs = sorted({p for f in fields for p in f["pairs"]})
    depth = min(7, max((f["depth"] for f in fields), default=0) + 1)
    return pairs, any(f["taint"] for f in fields), depth


def _holds(word):
    f = ENGINE.decode_full(word)
    return sorted(f["pairs"]), f["taint"], f["depth"]


@settings(max_examples=60)
@given(word_lists, st.data(), ops)
def test_segment_and_window_kernels_hold_their_members(field_lists, data, op):
    words = _words(field_lists)
    n_segments = data.draw(st.integers(1, 4))
    segments = data.draw(
        st.lists(st.integers(-1, n_segments - 1), min_size=len(words), max_size=len(words))
    )
    got = combine_segments_batch(ENGINE, u32(words), np.array(segments), n_segments, op)
    for s in range(n_segments):
        members = [w for w, seg in zip(words, segments, strict=True) if seg == s]
        assert _holds(int(got[s])) == _members_word(members)
    # columns sharing their rows' segments: the words of the columns laid end to end
    other = _words(data.draw(st.lists(word_fields(), min_size=len(words), max_size=len(words))))
    shared = combine_member_segments_batch(
        ENGINE, [u32(words), u32(other)], np.array(segments), n_segments, op
    )
    end_to_end = combine_segments_batch(
        ENGINE, u32(words + other), np.array(segments * 2), n_segments, op
    )
    assert shared.tolist() == end_to_end.tolist()
    # each row a segment of its own (a row's columns), the row path, likewise
    rows = np.arange(len(words))
    by_row = combine_member_segments_batch(ENGINE, [u32(words), u32(other)], rows, len(rows), op)
    laid = combine_segments_batch(ENGINE, u32(words + other), np.tile(rows, 2), len(rows), op)
    assert by_row.tolist() == laid.tolist()
    window = data.draw(st.integers(0, 5))
    got = combine_windows_batch(ENGINE, u32(words), window, op)
    for i in range(len(words)):
        start = 0 if window == 0 else max(0, i - window + 1)
        assert _holds(int(got[i])) == _members_word(words[start : i + 1])


@pytest.mark.parametrize(
    "members, segments, n",
    [(None, [0, 5], 2), (None, [0], 1), ([[0, 0], [0, 0]], [0, 5], 2), ([[0, 0], [0]], [0, 0], 1)],
    ids=["too_big", "short", "members_too_big", "member_short"],
)
def test_segment_kernel_refuses_bad_segments(members, segments, n):
    with pytest.raises(ValueError):
        if members is None:
            combine_segments_batch(ENGINE, u32([0, 0]), np.array(segments), n, 1)
        else:
            combine_member_segments_batch(
                ENGINE, [u32(m) for m in members], np.array(segments), n, 1
            )


@settings(max_examples=150)
@given(word_lists, st.data(), ops)
def test_combine_batch_equals_combine(field_lists, data, op):
    a = _words(field_lists)
    b = _words(data.draw(st.lists(word_fields(), min_size=len(a), max_size=len(a))))
    got = combine_batch(ENGINE, u32(a), u32(b), op)
    assert got.dtype == np.uint32
    assert got.tolist() == [ENGINE.combine(x, y, op) for x, y in zip(a, b, strict=True)]


@settings(max_examples=100)
@given(word_lists, ops)
def test_update_chain_batch_equals_update_chain(field_lists, op):
    words = _words(field_lists)
    got = update_chain_batch(ENGINE, u32(words), op)
    assert got.tolist() == [ENGINE.update_chain(w, op) for w in words]


@given(st.integers(0, 511), st.lists(st.integers(0, 2**32 - 1), max_size=40), st.booleans())
def test_encode_source_column_equals_encode(pair_id, entities, taint):
    got = encode_source_column(ENGINE, pair_id, u32(entities), taint)
    assert got.tolist() == [ENGINE.encode([pair_id], e, 0, taint, 0) for e in entities]


@given(st.lists(st.integers(0, 2**32 - 1), max_size=60))
def test_header_batches_agree_with_the_bit_layout(words):
    tainted = is_tainted_batch(u32(words))
    risks = risk_score_batch(u32(words))
    assert tainted.dtype == np.bool_ and risks.dtype == np.float64
    assert tainted.tolist() == [taint_bit(w) for w in words]
    assert risks.tolist() == [risk(w) for w in words]  # exact, not approximate


@given(word_lists)
def test_explain_batch_equals_decoded_pairs(field_lists):
    words = _words(field_lists)
    assert explain_batch(ENGINE, u32(words)) == [ENGINE.decode_full(w)["pairs"] for w in words]


def test_long_mixed_columns_hit_every_path(engine):
    # Long enough to release the GIL and span many blocks; the mix switches between the
    # all-mode-00 blocks, mixed blocks and the memoised general path.
    rng = np.random.default_rng(7)
    pool = [
        engine.encode(list(s), int(e), int(c), bool(t), int(d))
        for s, e, c, t, d in zip(
            [[], [0], [1], [511], [3, 4], [1, 2, 3], [5, 6, 7, 8], [0, 511], [2]] * 4,
            rng.integers(0, 2**32, 36),
            rng.integers(0, 256, 36),
            rng.integers(0, 2, 36),
            rng.integers(0, 8, 36),
            strict=True,
        )
    ]
    n = 40_000
    a = u32(rng.choice(pool, n))
    b = u32(rng.choice(pool, n))
    a[:5000] = a[:5000] & 0x1FFFFFFF  # a run of mode-00 words (pair_data may exceed 512: skip)
    a[:5000] = np.where(((a[:5000] >> 16) & 0x3FF) > 512, 0, a[:5000])
    b[:5000] = engine.encode([9], 1, 2, False, 0)
    # a run with one pair set per operand but varying entity, chain, taint and depth
    a[5000:12000] = [engine.encode([3, 4], e, e >> 3, e % 3 == 0, e % 9) for e in range(7000)]
    b[5000:12000] = engine.encode([5, 6, 7, 8], 0, 0, False, 3)
    got = combine_batch(engine, a, b, 4)
    expected = [engine.combine(int(x), int(y), 4) for x, y in zip(a, b, strict=True)]
    assert got.tolist() == expected
    assert update_chain_batch(engine, a, 6).tolist() == [engine.update_chain(int(x), 6) for x in a]


@pytest.mark.parametrize(
    "dtype", ["int64", "int32", "int16", "int8", "uint64", "uint16", "uint8", ">u4", "<i8"]
)
def test_integer_dtypes_are_converted(engine, dtype):
    words = [0, 1 << 16, engine.encode([3], 9, 9, True, 2), 100]
    if np.iinfo(np.dtype(dtype)).max < max(words):
        words = [0, 1, 2, 100]
    arr = np.array(words, dtype=dtype)
    ref = u32(words)
    assert (
        combine_batch(engine, arr, arr, 1).tolist() == combine_batch(engine, ref, ref, 1).tolist()
    )
    assert (
        update_chain_batch(engine, arr, 2).tolist() == update_chain_batch(engine, ref, 2).tolist()
    )
    assert is_tainted_batch(arr).tolist() == is_tainted_batch(ref).tolist()
    assert encode_source_column(engine, 5, arr, False).tolist() == [
        engine.encode([5], w, 0, False, 0) for w in words
    ]


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda a: _readonly(a), id="read-only"),
        pytest.param(lambda a: np.repeat(a, 2)[::2], id="strided"),
        pytest.param(lambda a: a.tolist(), id="list"),
    ],
)
def test_other_array_forms(engine, make):
    words = u32([engine.encode([i], i, i, i % 2 == 0, i % 8) for i in range(10)])
    expected = combine_batch(engine, words, words[::-1].copy(), 3).tolist()
    assert combine_batch(engine, make(words), make(words[::-1].copy()), 3).tolist() == expected
    assert risk_score_batch(make(words)).tolist() == [risk(int(w)) for w in words]


def _readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    ("la", "lb", "n"), [(1, 5, 5), (5, 1, 5), (1, 1, 1), (1, 0, 0), (0, 1, 0), (0, 0, 0)]
)
def test_length_one_broadcasts(engine, la, lb, n):
    pool = [engine.encode([i, i + 1], 0, i, False, 0) for i in range(5)]
    a, b = u32(pool[:la]), u32(pool[::-1][:lb])
    got = combine_batch(engine, a, b, 1)
    assert got.shape == (n,)
    xs = list(a) * n if la == 1 else list(a)
    ys = list(b) * n if lb == 1 else list(b)
    assert got.tolist() == [engine.combine(int(x), int(y), 1) for x, y in zip(xs, ys, strict=True)]


def test_broadcast_over_a_long_column(engine):
    a = u32([engine.encode([i % 5], i, 0, False, 0) for i in range(30_000)])
    b = u32([engine.encode([1, 2, 3, 4], 0, 0, True, 1)])
    got = combine_batch(engine, a, b, 1)
    assert got.tolist() == [engine.combine(int(x), int(b[0]), 1) for x in a]


def test_results_are_fresh_owned_arrays(engine):
    a = u32([engine.encode([1], 1, 1, False, 0)] * 3)
    out = combine_batch(engine, a, a, 1)
    out[0] = 0
    assert a[0] != 0
    del a
    assert out.flags.writeable and out[1] == out[2]


def test_empty_arrays(engine):
    empty = u32([])
    assert combine_batch(engine, empty, empty, 1).shape == (0,)
    assert update_chain_batch(engine, empty, 1).dtype == np.uint32
    assert encode_source_column(engine, 0, empty, True).shape == (0,)
    assert is_tainted_batch(empty).dtype == np.bool_
    assert risk_score_batch(empty).dtype == np.float64
    assert explain_batch(engine, empty) == []


def test_concurrent_batches_intern_consistently(engine):
    rng = np.random.default_rng(1)
    sets = [sorted(rng.choice(512, 2, replace=False).tolist()) for _ in range(64)]
    left = u32([engine.encode(s, 0, 0, False, 0) for s in sets])
    n = 50_000
    idx_a, idx_b = rng.integers(0, 64, n), rng.integers(0, 64, n)
    a, b = left[idx_a], left[idx_b]
    results = [None] * 4

    def work(k):
        results[k] = combine_batch(engine, a, b, 1)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results[1:]:
        assert np.array_equal(r, results[0])
    for i in range(0, n, 997):
        union = sorted(set(sets[idx_a[i]]) | set(sets[idx_b[i]]))
        assert engine.decode_full(int(results[0][i]))["pairs"] == union
