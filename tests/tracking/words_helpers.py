"""Words arrays read from sources of a tracker, and the sources their words name."""

from __future__ import annotations

import numpy as np
import pandas as pd

from quorvane import _orrin32
from quorvane.tracking import WordsArray, WordsDtype


def source_array(tracker, column, values, table="loans"):
    """``values`` as a words array read from ``table.column``, one entity per row (text
    of pandas' string dtype keeps that dtype)."""
    text = values.dtype if isinstance(getattr(values, "dtype", None), pd.StringDtype) else None
    values = np.asarray(values)
    pair_id = tracker.register(table, column)
    entities = np.arange(len(values), dtype=np.uint32)
    protected = tracker.is_protected(table, column)
    words = _orrin32.encode_source_column(tracker._rust, pair_id, entities, protected)
    if text is not None:
        return WordsArray(values, words, WordsDtype(text, tracker))
    return WordsArray.from_values(values, words, tracker)


def sources(tracker, words):
    """The source columns of each word."""
    return [sorted(column for _, column in tracker.explain(int(w))) for w in words]
