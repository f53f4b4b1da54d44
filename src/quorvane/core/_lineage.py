"""Trackers beyond one process: what a tracker pickles, and how words come home.

A tracker's words mean something only together with its registry and its dense table (the
pair sets of four or more sources are interned: a dense word's signature is an index into
the table of the engine that issued it). Both travel with the tracker when it pickles, so an
unpickled tracker decodes every word the original could.

Trackers made from one another by pickling share a *lineage* (a random token). Each process
keeps at most one live tracker per lineage. When a tracked container arrives in a process
(a partition sent to a worker, a result sent back to the client), its tracker copy is merged
into that live tracker and its dense words are translated: every pair set of the copy's
table is interned in the live table, and each dense signature is rewritten to the live one.
Interning is exact, so two different sets never share a signature and a word decodes to the
very set it was made from, whichever process made it and in whatever order. Words of fewer
than four pairs spell their pair IDs out and need no translation; the registries must agree
on those IDs, which holds when every source is registered before the work is sent out (a
registry that disagrees is refused with an error, never guessed at).

Within one process nothing of this runs: the words, the engine and its speed are as they are
without it.
"""

from __future__ import annotations

import threading
import uuid
import weakref
from typing import Any

import numpy as np

from ._word import MODE_DENSE, MODE_SHIFT, PAYLOAD_MASK

#: The live tracker of each lineage in this process.
_LIVE: weakref.WeakValueDictionary[str, Any] = weakref.WeakValueDictionary()
# A worker may unpickle in several threads at once: merges into one live tracker take turns.
_ARRIVALS = threading.Lock()


def new_lineage(tracker: Any) -> None:
    """Give a new tracker its own lineage, live in this process."""
    tracker._lineage = uuid.uuid4().hex
    _LIVE[tracker._lineage] = tracker


def arrived(tracker: Any) -> None:
    """An unpickled tracker becomes the live one of its lineage where there is none yet."""
    lineage = getattr(tracker, "_lineage", None)
    if lineage is not None:
        with _ARRIVALS:
            _LIVE.setdefault(lineage, tracker)


def live_tracker(tracker: Any) -> tuple[Any, np.ndarray | None]:
    """The live tracker of ``tracker``'s lineage in this process, and the signature
    translation (None: words of ``tracker`` mean the same there, as they are)."""
    lineage = getattr(tracker, "_lineage", None)
    if lineage is None:
        return tracker, None
    with _ARRIVALS:
        live = _LIVE.setdefault(lineage, tracker)
        if live is tracker:
            return tracker, None
        # Containers unpickled from one payload share one tracker copy: merge it once.
        cached = tracker.__dict__.get("_merged_into")
        if cached is not None and cached[0] is live:
            return live, cached[1]
        translation = merge_into(live, tracker)
        tracker._merged_into = (live, translation)
        return live, translation


def merge_into(live: Any, other: Any) -> np.ndarray | None:
    """Take ``other``'s sources, protections and dense sets into ``live``.

    Returns the live signature of each of ``other``'s dense signatures, or None when they
    are the same.
    """
    _merge_registry(live, other)
    live._protected_tables |= other._protected_tables
    live._protected_columns |= other._protected_columns
    for table in other._protected_tables:
        live._rust.mark_table_protected(table)
    signatures = np.asarray(live._rust.dense_import(other._rust.dense_export()), np.uint32)
    for signature, info in other._dense.items():
        if signature < len(signatures):
            live._dense[int(signatures[signature])] = info
    if np.array_equal(signatures, np.arange(len(signatures), dtype=np.uint32)):
        return None
    return signatures


def _merge_registry(live: Any, other: Any) -> None:
    for pair_id in sorted(other._id_to_name):
        name = other._id_to_name[pair_id]
        here = live._name_to_id.get(name)
        if here is None and pair_id == live._next_id:
            live.register(*name, protected=name in other._protected_columns)
        elif here != pair_id:
            raise ValueError(
                f"the trackers disagree on source {name!r}: pair ID {here} here, {pair_id} "
                "where the words were made; register every source before sending tracked "
                "data to other processes"
            )


def translate(words: np.ndarray, translation: np.ndarray | None) -> np.ndarray:
    """``words`` with their dense signatures rewritten through ``translation``."""
    if translation is None:
        return words
    words = np.asarray(words, dtype=np.uint32)
    dense = (words >> MODE_SHIFT) == MODE_DENSE
    if not dense.any():
        return words
    signatures = words[dense] & PAYLOAD_MASK
    issued = len(translation)
    if int(signatures.max()) >= issued:
        raise ValueError(
            f"a dense word holds signature {int(signatures.max())}, which the tracker that "
            f"sent it never issued (it issued {issued})"
        )
    out = words.copy()
    out[dense] = (words[dense] & ~np.uint32(PAYLOAD_MASK)) | translation[signatures]
    return out


def come_home(container: Any, attr: str, per_column: bool) -> None:
    """After unpickling: attach ``container`` to the live tracker of its lineage and
    translate its words (a series' array, or a frame's per-column mapping)."""
    tracker = getattr(container, "_tracker", None)
    if tracker is None:
        return
    live, translation = live_tracker(tracker)
    object.__setattr__(container, "_tracker", live)
    words = getattr(container, attr, None)
    if translation is None or words is None:
        return
    if per_column:
        words = {label: translate(column, translation) for label, column in words.items()}
    else:
        words = translate(words, translation)
    object.__setattr__(container, attr, words)
