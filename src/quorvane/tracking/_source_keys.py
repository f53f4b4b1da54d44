"""Source keys: a word without its row and path hashes, which names its source set.

A column of a million rows carries a handful of distinct source sets, so whatever depends
on the sources alone is worked out once per key, never once per element.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ..core import _word as layout


def _source_key_shifts() -> np.ndarray:
    """Per mode, the number of low bits that hold the row and path hashes.

    What is left above them (header and pair payload) names the source set, so two words
    with equal high bits decode to the same sources. The kept bits are a prefix of the word:
    every word between two that agree on it agrees on it too.
    """
    mode_01 = layout.MODE_01_ENTITY_BITS + layout.MODE_01_CHAIN_BITS
    mode_2 = layout.MODE_2_ENTITY_BITS + layout.MODE_2_CHAIN_BITS
    shifts = np.zeros(4, dtype=np.uint32)
    shifts[layout.MODE_01] = mode_01
    shifts[layout.MODE_2] = mode_2
    return shifts


def source_keys(words: np.ndarray) -> np.ndarray:
    """The distinct source keys (words without their row and path hashes) of a column."""
    words = np.asarray(words, dtype=np.uint32)
    if words.size == 0:
        return words
    shifts = _source_key_shifts()
    mode_shift = layout.MODE_SHIFT
    low, high = int(words.min()), int(words.max())
    low_key = low >> int(shifts[low >> mode_shift]) << int(shifts[low >> mode_shift])
    high_key = high >> int(shifts[high >> mode_shift]) << int(shifts[high >> mode_shift])
    if low_key == high_key:
        # Two reductions prove the whole column shares one key: no sort of a million words.
        return np.array([low_key], dtype=np.uint32)
    # A hash pass over the words, not a sort (np.unique sorts the whole column, about three
    # times slower); the row hashes leave at most a few hundred distinct words per key.
    distinct = pd.unique(words)
    per_word = np.take(shifts, distinct >> mode_shift)
    return np.unique((distinct >> per_word) << per_word)
