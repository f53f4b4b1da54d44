"""Word algebra over whole arrays, through the tracker's engine.

Every function returns a new uint32 array. Without a tracker there is no algebra: the words
of the first input are kept as they are, so a column never gains words it did not have.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ..core import _engine as engine
from ..core._word import OpCode
from ._combining import derived_words

#: Words of values that no tracked input gave (constants, filled gaps, plain columns).
NO_WORD = np.uint32(0)


def unknown(tracker: Any, n: int) -> np.ndarray:
    """Words of ``n`` values built from bare scalars, whose sources nothing followed: the
    tracker's unknown word, never the clean 0 (without a tracker there is no unknown word).
    Under strict provenance no word: pandas builds such values inside operations (a mode,
    a transpose) whose containers give them their words, and object there if they must."""
    if tracker is None or n == 0 or getattr(tracker, "strict", False):
        return np.zeros(n, dtype=np.uint32)
    return np.full(n, tracker.unknown_word(), dtype=np.uint32)


def step(tracker: Any, words: np.ndarray, op: int) -> np.ndarray:
    """One operation more on each word (a unary operation, or one with constants)."""
    return combine(tracker, [words], op)


def combine(tracker: Any, inputs: Sequence[np.ndarray], op: int) -> np.ndarray:
    """Element ``i`` of the result combines element ``i`` of every input: the words the
    containers make for the same operands (a tracker's own algebra included)."""
    if tracker is None:
        return np.asarray(inputs[0], dtype=np.uint32).copy()
    return derived_words(tracker, list(inputs), op)


def per_segment(tracker: Any, words: np.ndarray, segments: np.ndarray, n: int) -> np.ndarray:
    """One word per segment ``0..n-1`` combining its members; ``segments`` -1 are left out."""
    keep = segments >= 0
    if not keep.all():
        words, segments = words[keep], segments[keep]
    if tracker is None:
        out = np.zeros(n, dtype=np.uint32)
        out[segments[::-1]] = words[::-1]  # the first member's word
        return out
    return engine.combine_segments_batch(tracker._rust, words, segments, n, OpCode.AGG)


def whole(tracker: Any, words: np.ndarray) -> np.ndarray:
    """One word combining all of ``words`` (length 1)."""
    return per_segment(tracker, words, np.zeros(len(words), dtype=np.int64), 1)


def prefix(tracker: Any, words: np.ndarray, op: int) -> np.ndarray:
    """Element ``i`` combines elements ``0..i`` (cumulative operations)."""
    if tracker is None:
        return words.copy()
    return engine.combine_windows_batch(tracker._rust, words, 0, op)
