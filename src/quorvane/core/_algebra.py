"""The word algebra over whole arrays, as the containers of both roads use it.

The engine's batch kernels do the work. Two kinds of replacement are honoured, both looked
up when called: an engine function set on the public module (or on ``_engine``), and a
tracker class that overrides ``update_chain`` or ``combine``, whose own method then makes
every word.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _engine
from ._tracker import ProvenanceTracker, _public

_BATCH_FUNCTIONS = (
    "combine_batch",
    "update_chain_batch",
    "encode_source_column",
    "is_tainted_batch",
    "risk_score_batch",
)
_IMPORTED = {name: getattr(_engine, name) for name in _BATCH_FUNCTIONS}


def engine_function(name: str) -> Any:
    """The engine array function ``name``: a replacement set on ``_engine`` first, then one
    set on the public module, else the engine's own."""
    current = getattr(_engine, name)
    if current is not _IMPORTED[name]:
        return current
    return getattr(_public(), name, current)


def _stock(tracker: Any, name: str) -> bool:
    """Whether the tracker's word method ``name`` is the base tracker's own, so that the
    engine's batch kernel gives the same words as one call per element."""
    own = getattr(tracker, "__dict__", {})
    return getattr(type(tracker), name, None) is getattr(ProvenanceTracker, name) and (
        name not in own
    )


def chain_words(tracker: Any, words: np.ndarray, op_code: int) -> np.ndarray:
    """Every word one ``op_code`` step further."""
    words = np.asarray(words, dtype=np.uint32)
    if _stock(tracker, "update_chain"):
        out = engine_function("update_chain_batch")(tracker._rust, words, op_code)
        return np.asarray(out, dtype=np.uint32)
    update_chain = tracker.update_chain
    return np.array([update_chain(w, op_code) for w in words.tolist()], dtype=np.uint32)


def combine_words(tracker: Any, left: np.ndarray, right: np.ndarray, op_code: int) -> np.ndarray:
    """The words of aligned operand pairs, combined."""
    left, right = np.asarray(left, dtype=np.uint32), np.asarray(right, dtype=np.uint32)
    if _stock(tracker, "combine"):
        out = engine_function("combine_batch")(tracker._rust, left, right, op_code)
        return np.asarray(out, dtype=np.uint32)
    combine = tracker.combine
    pairs = zip(left.tolist(), right.tolist(), strict=True)
    return np.array([combine(a, b, op_code) for a, b in pairs], dtype=np.uint32)
