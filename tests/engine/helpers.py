"""Helpers for the engine tests: header reads from the bit layout, and strategies."""

from __future__ import annotations

import numpy as np
from hypothesis import strategies as st

ENTITY_BITS = {"EXACT-0": 8, "EXACT-1": 8, "EXACT-2": 5, "EXACT-3": 0, "DENSE": 0}
CHAIN_BITS = {"EXACT-0": 8, "EXACT-1": 8, "EXACT-2": 4, "EXACT-3": 0, "DENSE": 0}


def mode_bits(word: int) -> int:
    return (word >> 30) & 3


def taint_bit(word: int) -> bool:
    return bool((word >> 29) & 1)


def depth_bits(word: int) -> int:
    return (word >> 26) & 7


def risk(word: int) -> float:
    return 1.0 / (1.0 + depth_bits(word)) if taint_bit(word) else 0.0


def expected_mode(n_pairs: int) -> int:
    return 0 if n_pairs <= 1 else 1 if n_pairs == 2 else 2 if n_pairs == 3 else 3


# IDs drawn so that boundaries and repeats (unions that stay small) come up often.
pair_ids = st.one_of(st.integers(0, 511), st.sampled_from([0, 1, 2, 3, 509, 510, 511]))
pair_sets = st.lists(pair_ids, max_size=6, unique=True).map(sorted)
entities = st.one_of(st.integers(0, 2**32 - 1), st.integers(0, 2**80))
depths = st.integers(0, 12)
ops = st.one_of(st.integers(0, 15), st.integers(0, 2**32 - 1))


@st.composite
def word_fields(draw):
    return (draw(pair_sets), draw(entities), draw(entities), draw(st.booleans()), draw(depths))


def u32(values) -> np.ndarray:
    return np.asarray(values, dtype=np.uint32)
