"""Which protected attributes reached a column: the headline of the demo's risk table."""

from __future__ import annotations

import numpy as np
import pandas as pd


def protected_reach(series, tracker) -> str:
    """ "reached by: married, old", "not reached", or "unknown" when part of the column comes
    from something the tracker could not follow (so a protected input cannot be ruled out).

    A column's elements may carry different words; each distinct word is read once.
    """
    reached: set[str] = set()
    unknown = False
    for word in pd.unique(np.asarray(series._prov)).tolist():
        reached.update(c for t, c in tracker.explain(word) if tracker.is_protected(t, c))
        unknown = unknown or tracker.is_unknown(word)
    if reached:
        return "reached by: " + ", ".join(sorted(reached))
    return "unknown" if unknown else "not reached"
