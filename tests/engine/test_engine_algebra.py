"""The word algebra: pairs union, entity XOR, chain hash, taint OR, depth max+1 saturating."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvane._orrin32 import RustProvenanceTracker

from .helpers import CHAIN_BITS, ENTITY_BITS, depth_bits, expected_mode, mode_bits, ops, word_fields

ENGINE = RustProvenanceTracker()


def _word(fields):
    return ENGINE.encode(*fields)


@settings(max_examples=300)
@given(word_fields(), word_fields(), ops)
def test_combine_follows_the_algebra(fields_a, fields_b, op):
    a, b = _word(fields_a), _word(fields_b)
    da, db = ENGINE.decode_full(a), ENGINE.decode_full(b)
    word = ENGINE.combine(a, b, op)
    info = ENGINE.decode_full(word)
    union = sorted(set(fields_a[0]) | set(fields_b[0]))
    assert info["pairs"] == union
    assert mode_bits(word) == expected_mode(len(union))
    assert info["taint"] is (fields_a[3] or fields_b[3])
    assert info["depth"] == min(7, max(depth_bits(a), depth_bits(b)) + 1)
    width = ENTITY_BITS[info["mode"]]
    assert info["entity"] == (da["entity"] ^ db["entity"]) & ((1 << width) - 1)
    assert info["chain"] < 1 << CHAIN_BITS[info["mode"]]
    assert ENGINE.combine(a, b, op) == word  # deterministic


@settings(max_examples=200)
@given(word_fields(), ops)
def test_update_chain_keeps_everything_but_chain_and_depth(fields, op):
    word = _word(fields)
    before = ENGINE.decode_full(word)
    after = ENGINE.decode_full(ENGINE.update_chain(word, op))
    assert after["pairs"] == before["pairs"]
    assert (after["entity"], after["taint"], after["mode"]) == (
        before["entity"],
        before["taint"],
        before["mode"],
    )
    assert after["depth"] == min(7, before["depth"] + 1)


@pytest.mark.parametrize(
    ("depth_a", "depth_b", "expected"), [(0, 0, 1), (2, 5, 6), (6, 0, 7), (7, 7, 7), (7, 0, 7)]
)
def test_depth_saturates(engine, depth_a, depth_b, expected):
    a = engine.encode([1], 0, 0, False, depth_a)
    b = engine.encode([2], 0, 0, False, depth_b)
    assert depth_bits(engine.combine(a, b, 1)) == expected


def test_chain_depends_on_inputs_and_operation(engine):
    # Same pair on both sides keeps mode 00 and its 8-bit chain: across all chains of one
    # side a hash keeps many distinct outputs, and operation codes differ.
    b = engine.encode([1], 0, 0, False, 0)
    chains = {
        engine.decode_full(engine.combine(engine.encode([1], 0, c, False, 0), b, 1))["chain"]
        for c in range(256)
    }
    assert len(chains) > 128
    a = engine.encode([1], 0, 7, False, 0)
    per_op = {engine.decode_full(engine.combine(a, b, op))["chain"] for op in range(16)}
    assert len(per_op) > 4


@given(st.lists(st.integers(0, 511), min_size=4, max_size=8, unique=True))
def test_dense_union_is_interned_once(ids):
    engine = RustProvenanceTracker()
    half = len(ids) // 2
    left = engine.encode(ids[:half], 0, 0, False, 0)
    right = engine.encode(ids[half:], 0, 0, False, 0)
    direct = engine.encode(ids, 0, 0, False, 0)
    combined = engine.combine(left, right, 3)
    assert combined & 0x3FFFFFF == direct & 0x3FFFFFF
    assert engine.decode_full(combined)["pairs"] == sorted(ids)
