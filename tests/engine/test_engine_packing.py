"""Encoding and decoding: exact packing at the boundaries, modes, truncation, interning."""

from __future__ import annotations

import pytest
from hypothesis import given, settings

from quorvane._orrin32 import RustProvenanceTracker

from .helpers import (
    CHAIN_BITS,
    ENTITY_BITS,
    depth_bits,
    expected_mode,
    mode_bits,
    taint_bit,
    word_fields,
)

ENGINE = RustProvenanceTracker()


@settings(max_examples=300)
@given(word_fields())
def test_decode_inverts_encode(fields):
    pairs, entity, chain, taint, depth = fields
    word = ENGINE.encode(pairs, entity, chain, taint, depth)
    info = ENGINE.decode_full(word)
    assert 0 <= word < 2**32
    assert info["pairs"] == pairs
    assert info["taint"] is taint
    assert info["depth"] == min(depth, 7)
    assert mode_bits(word) == expected_mode(len(pairs))
    assert (taint_bit(word), depth_bits(word)) == (taint, min(depth, 7))
    ebits, cbits = ENTITY_BITS[info["mode"]], CHAIN_BITS[info["mode"]]
    assert info["entity"] == entity & ((1 << ebits) - 1)
    assert info["chain"] == chain & ((1 << cbits) - 1)


@pytest.mark.parametrize(
    ("pairs", "mode"),
    [
        ([], "EXACT-0"),
        ([0], "EXACT-1"),
        ([1], "EXACT-1"),
        ([510], "EXACT-1"),
        ([511], "EXACT-1"),
        ([0, 1], "EXACT-2"),
        ([0, 511], "EXACT-2"),
        ([510, 511], "EXACT-2"),
        ([0, 1, 2], "EXACT-3"),
        ([0, 1, 511], "EXACT-3"),
        ([0, 510, 511], "EXACT-3"),
        ([509, 510, 511], "EXACT-3"),
        ([0, 1, 510, 511], "DENSE"),
    ],
)
def test_boundary_packing(engine, pairs, mode):
    word = engine.encode(pairs, 0, 0, False, 0)
    info = engine.decode_full(word)
    assert (info["pairs"], info["mode"]) == (pairs, mode)


def test_exact_words_use_the_documented_fields(engine):
    assert engine.encode([], 0, 0, False, 0) == 0
    assert engine.encode([0], 0, 0, False, 0) == 1 << 16  # pair_data = id + 1
    assert engine.encode([511], 0, 0, False, 0) == 512 << 16
    # rank({0, 1}) = 0 and rank({510, 511}) = C(512, 2) - 1 in 17 bits at bit 9
    assert engine.encode([0, 1], 0, 0, False, 0) == 1 << 30
    assert engine.encode([510, 511], 0, 0, False, 0) == (1 << 30) | (130815 << 9)
    # rank({509, 510, 511}) = C(512, 3) - 1 in 25 bits at bit 1; bit 0 stays clear
    assert engine.encode([509, 510, 511], 0, 0, False, 0) == (2 << 30) | (22238719 << 1)


def test_header_and_mode_00_fields(engine):
    word = engine.encode([4], 0xAB, 0xCD, True, 3)
    assert word == (1 << 29) | (3 << 26) | (5 << 16) | (0xAB << 8) | 0xCD


def test_every_exact_payload_decodes_to_the_subset_it_encodes(engine):
    # all 3-subsets near the top and bottom, all 2-subsets with 0 or 511
    subsets = [[a, b] for a in range(512) for b in (0, 511) if a < b]
    subsets += [[a, b, 511] for a in range(0, 511, 7) for b in range(a + 1, 511, 61)]
    words = [engine.encode(s, 0, 0, False, 0) for s in subsets]
    assert len(set(words)) == len(words)
    assert [engine.decode_full(w)["pairs"] for w in words] == subsets


@pytest.mark.parametrize("pairs", [[5, 3, 5], (3, 5), {5, 3}])
def test_duplicates_and_order_do_not_matter(engine, pairs):
    assert engine.decode_full(engine.encode(pairs, 0, 0, False, 0))["pairs"] == [3, 5]


def test_huge_entity_and_chain_keep_only_their_low_bits(engine):
    word = engine.encode([1], 2**200 + 0xAB, 2**70 + 3, False, 2**90)
    info = engine.decode_full(word)
    assert (info["entity"], info["chain"], info["depth"]) == (0xAB, 3, 7)


def test_exact_modes_report_no_entity_or_chain(engine):
    for pairs in ([1, 2, 3], [1, 2, 3, 4]):
        info = engine.decode_full(engine.encode(pairs, 255, 255, False, 0))
        assert (info["entity"], info["chain"]) == (0, 0)


def test_dense_sets_are_interned(engine):
    first = engine.encode([1, 2, 3, 4], 1, 2, False, 0)
    second = engine.encode([1, 2, 3, 5], 1, 2, False, 0)
    again = engine.encode([4, 3, 2, 1], 9, 9, True, 6)
    assert first & 0x3FFFFFF == again & 0x3FFFFFF
    assert first & 0x3FFFFFF != second & 0x3FFFFFF
    assert engine.dense_count == 2


def test_full_dense_table_is_a_clear_error():
    engine = RustProvenanceTracker(dense_capacity=2)
    engine.encode([1, 2, 3, 4], 0, 0, False, 0)
    engine.encode([1, 2, 3, 5], 0, 0, False, 0)
    with pytest.raises(ValueError, match="full"):
        engine.encode([1, 2, 3, 6], 0, 0, False, 0)
    with pytest.raises(ValueError, match="full"):
        engine.combine(
            engine.encode([1, 2, 3, 4], 0, 0, False, 0), engine.encode([9], 0, 0, 0, 0), 1
        )
    # known sets still work
    assert engine.decode_full(engine.encode([2, 3, 4, 1], 0, 0, False, 0))["pairs"] == [1, 2, 3, 4]


def test_mode_names(engine):
    assert engine.decode_full(0x0000_FFFF)["mode"] == "EXACT-0"  # entity/chain set, no pair
    assert engine.decode_full(1 << 16)["mode"] == "EXACT-1"
