"""Bad input from Python raises a clear exception; never a crash, never a silently wrong word."""

from __future__ import annotations

import numpy as np
import pytest

from quorvane._orrin32 import (
    RustProvenanceTracker,
    combine_batch,
    encode_source_column,
    explain_batch,
    is_tainted_batch,
    risk_score_batch,
    update_chain_batch,
)

from .helpers import u32

GOOD = 1 << 16  # pair 0, mode 00
UNKNOWN_DENSE = (3 << 30) | 12345
BAD_WORDS = [
    pytest.param(UNKNOWN_DENSE, "never issued", id="unknown-dense-signature"),
    pytest.param(513 << 16, "pair_data 513", id="mode00-pair-data-513"),
    pytest.param(1023 << 16, "pair_data 1023", id="mode00-pair-data-1023"),
    pytest.param((1 << 30) | (130816 << 9), "pair_index 130816", id="mode01-rank-out-of-range"),
    pytest.param((2 << 30) | (22238720 << 1), "pair_combo 22238720", id="mode10-rank-out-of-range"),
]


@pytest.mark.parametrize("pair_id", [512, 1000, -1, 2**64])
def test_out_of_range_pair_ids(engine, pair_id):
    with pytest.raises(ValueError, match=f"pair ID {pair_id}"):
        engine.encode([3, pair_id], 0, 0, False, 0)
    with pytest.raises(ValueError, match=f"pair ID {pair_id}"):
        encode_source_column(engine, pair_id, u32([1, 2]), False)


@pytest.mark.parametrize(("word", "message"), BAD_WORDS)
def test_invalid_words_are_refused_everywhere(engine, word, message):
    with pytest.raises(ValueError, match=message):
        engine.decode_full(word)
    with pytest.raises(ValueError, match=message):
        engine.combine(GOOD, word, 1)
    with pytest.raises(ValueError, match=message):
        engine.update_chain(word, 1)
    column = u32([GOOD] * 2000 + [word] + [GOOD] * 10)
    for call in (
        lambda: combine_batch(engine, column, column, 1),
        lambda: combine_batch(engine, column, u32([GOOD]), 1),
        lambda: update_chain_batch(engine, column, 1),
        lambda: explain_batch(engine, column),
    ):
        with pytest.raises(ValueError, match=message):
            call()


def test_dense_word_of_another_engine(engine):
    other = RustProvenanceTracker()
    word = other.encode([1, 2, 3, 4], 0, 0, False, 0)
    with pytest.raises(ValueError, match="never issued"):
        engine.decode_full(word)
    with pytest.raises(ValueError, match="never issued"):
        combine_batch(engine, u32([word]), u32([GOOD]), 1)
    with pytest.raises(ValueError, match="never issued"):
        update_chain_batch(engine, u32([word] * 3), 1)


@pytest.mark.parametrize("word", [-1, 2**32, 2**100, -(2**70)])
def test_words_outside_32_bits(engine, word):
    with pytest.raises((ValueError, OverflowError), match="32-bit"):
        engine.decode_full(word)
    with pytest.raises((ValueError, OverflowError), match="32-bit"):
        engine.combine(GOOD, word, 1)
    with pytest.raises((ValueError, OverflowError), match="32-bit"):
        engine.update_chain(word, 1)


@pytest.mark.parametrize("op", [-1, 2**32, 2**80])
def test_operation_code_range(engine, op):
    with pytest.raises(ValueError, match="operation code"):
        engine.combine(GOOD, GOOD, op)
    with pytest.raises(ValueError, match="operation code"):
        update_chain_batch(engine, u32([GOOD]), op)


@pytest.mark.parametrize("field", ["entity", "chain", "depth"])
def test_negative_scalar_arguments(engine, field):
    args = {"pairs": [1], "entity": 0, "chain": 0, "taint": False, "depth": 0, field: -3}
    with pytest.raises(ValueError, match=f"{field} must be non-negative"):
        engine.encode(**args)


@pytest.mark.parametrize(
    "value",
    [pytest.param(1.0, id="float"), pytest.param("3", id="str"), pytest.param(None, id="None")],
)
def test_non_integer_scalars(engine, value):
    with pytest.raises(TypeError):
        engine.encode([value], 0, 0, False, 0)
    with pytest.raises(TypeError):
        engine.decode_full(value)
    with pytest.raises(TypeError):
        engine.combine(GOOD, GOOD, value)


def test_numpy_integer_scalars_are_ints(engine):
    word = engine.encode([np.int64(3)], np.uint8(7), np.int32(1), np.bool_(True), np.int16(2))
    assert engine.decode_full(np.uint32(word))["pairs"] == [3]


ARRAY_FUNCTIONS = {
    "combine_batch-a": lambda e, arr: combine_batch(e, arr, u32([GOOD]), 1),
    "combine_batch-b": lambda e, arr: combine_batch(e, u32([GOOD]), arr, 1),
    "update_chain_batch": lambda e, arr: update_chain_batch(e, arr, 1),
    "encode_source_column": lambda e, arr: encode_source_column(e, 1, arr, False),
    "is_tainted_batch": lambda e, arr: is_tainted_batch(arr),
    "risk_score_batch": lambda e, arr: risk_score_batch(arr),
    "explain_batch": lambda e, arr: explain_batch(e, arr),
}
BAD_ARRAYS = [
    pytest.param(np.zeros((2, 2), np.uint32), ValueError, "1-D", id="2-D"),
    pytest.param(np.uint32(5), ValueError, "1-D", id="0-D"),
    pytest.param(np.array([1.0, 2.0]), TypeError, "integers", id="float64"),
    pytest.param(np.array([True]), TypeError, "integers", id="bool"),
    pytest.param(np.array(["1"]), TypeError, "integers", id="str"),
    pytest.param(np.array([1, None]), TypeError, "integers", id="object"),
    pytest.param(np.array([1, -1], np.int64), ValueError, "-1", id="negative-int64"),
    pytest.param(np.array([-128], np.int8), ValueError, "-128", id="negative-int8"),
    pytest.param(np.array([2**32], np.int64), ValueError, "4294967296", id="int64-above-32-bits"),
    pytest.param(
        np.array([2**64 - 1], np.uint64), ValueError, "18446744073709551615", id="uint64-max"
    ),
]


@pytest.mark.parametrize("call", ARRAY_FUNCTIONS.values(), ids=ARRAY_FUNCTIONS.keys())
@pytest.mark.parametrize(("arr", "error", "message"), BAD_ARRAYS)
def test_bad_arrays(engine, call, arr, error, message):
    with pytest.raises(error, match=message):
        call(engine, arr)


@pytest.mark.parametrize(("la", "lb"), [(2, 3), (0, 2), (5, 4)])
def test_length_mismatch(engine, la, lb):
    with pytest.raises(ValueError, match=f"lengths {la} and {lb}"):
        combine_batch(engine, u32([GOOD] * la), u32([GOOD] * lb), 1)


def test_engine_argument_must_be_an_engine():
    with pytest.raises(TypeError):
        combine_batch(object(), u32([GOOD]), u32([GOOD]), 1)
    with pytest.raises(TypeError):
        update_chain_batch(None, u32([GOOD]), 1)


@pytest.mark.parametrize("capacity", [0, -1, 2**26 + 1])
def test_dense_capacity_bounds(capacity):
    with pytest.raises(ValueError, match="dense_capacity"):
        RustProvenanceTracker(dense_capacity=capacity)


def test_register_needs_strings(engine):
    engine.register("loans", "income", True)
    engine.mark_table_protected("people")
    with pytest.raises(TypeError):
        engine.register(1, "income", False)
