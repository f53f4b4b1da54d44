"""Words arrays read from sources of a tracker, and the sources their words name."""

from __future__ import annotations

import numpy as np

from quorvane import _orrin32
from quorvane.tracking import WordsArray


def source_array(tracker, column, values, table="loans"):
    """``values`` as a words array read from ``table.column``, one entity per row."""
    values = np.asarray(values)
    pair_id = tracker.register(table, column)
    entities = np.arange(len(values), dtype=np.uint32)
    protected = tracker.is_protected(table, column)
    words = _orrin32.encode_source_column(tracker._rust, pair_id, entities, protected)
    return WordsArray.from_values(values, words, tracker)


def sources(tracker, words):
    """The source columns of each word."""
    return [sorted(column for _, column in tracker.explain(int(w))) for w in words]
