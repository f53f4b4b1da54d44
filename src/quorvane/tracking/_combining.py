"""Words of values derived from many elements: a segment's members, a row's columns, or
every element of whole columns."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..core import _engine
from ..core._algebra import chain_words, combine_words
from ..core._word import OpCode


def combine_segments(tracker: Any, words: list, segments: list, n: int, op: int) -> np.ndarray:
    """One word per segment from the members' words (several arrays, with their segments)."""
    all_words = np.concatenate([np.asarray(w, dtype=np.uint32) for w in words])
    all_segments = np.concatenate([np.asarray(s, dtype=np.int64) for s in segments])
    return np.asarray(
        _engine.combine_segments_batch(tracker._rust, all_words, all_segments, n, op),
        dtype=np.uint32,
    )


def combine_members(
    tracker: Any, members: list, segments: np.ndarray, n: int, op: int
) -> np.ndarray:
    """One word per segment from the words of several arrays whose rows share
    ``segments`` (a group's value columns and keys, a row's columns): the words
    ``combine_segments`` makes of them, without a copy of the segments per member."""
    return np.asarray(
        _engine.combine_member_segments_batch(
            tracker._rust, [np.asarray(w, dtype=np.uint32) for w in members], segments, n, op
        ),
        dtype=np.uint32,
    )


def whole_column_word(tracker: Any, words: np.ndarray, op: int) -> int:
    """The word of a value derived from every element of a column."""
    n = len(words)
    if n == 0:
        return int(tracker.update_chain(0, op))
    return int(combine_segments(tracker, [words], [np.zeros(n, dtype=np.int64)], 1, op)[0])


def row_words(
    tracker: Any, columns: list[np.ndarray], n_rows: int, op: int = OpCode.ROW
) -> np.ndarray:
    """Per row, the combination of that row's words in every given column."""
    if not columns:
        return np.zeros(n_rows, dtype=np.uint32)
    return combine_members(tracker, columns, np.arange(n_rows, dtype=np.int64), n_rows, op)


def whole_entries(
    tracker: Any, fields: tuple, arrays: dict[str, list], name: str, op: int = OpCode.ORDER
) -> dict[str, int]:
    """Per field, the entry of one value derived from every element of ``arrays`` (per
    field, a list of arrays)."""
    words_field, *others = fields
    word = whole_column_word(tracker, _joined(arrays[words_field.series_attr], np.uint32), op)
    entries = {words_field.series_attr: word}
    for f in others:
        if f.aggregate is not None:
            nodes = _joined(arrays[f.series_attr], f.dtype)
            entries[f.series_attr] = int(
                f.aggregate(
                    tracker,
                    [nodes],
                    np.zeros(len(nodes), dtype=np.int64),
                    1,
                    np.array([word], dtype=np.uint32),
                    name,
                )[0]  # fmt: skip
            )
    return entries


def _joined(arrays: list, dtype: Any) -> np.ndarray:
    return np.concatenate([np.zeros(0, dtype=dtype), *(np.asarray(a, dtype=dtype) for a in arrays)])


def derived_words(tracker: Any, aligned: list[np.ndarray], op_code: int) -> np.ndarray:
    """Words of elements each made from the aligned elements of every operand, one step."""
    if not tracker:  # no algebra without a tracker: the first operand's words, as they are
        return np.asarray(aligned[0], dtype=np.uint32).copy()
    if len(aligned) == 1:
        return chain_words(tracker, aligned[0], op_code)
    if len(aligned) == 2:
        return combine_words(tracker, aligned[0], aligned[1], op_code)
    # one step over all of them, not one per operand
    return row_words(tracker, aligned, len(aligned[0]), op_code)
