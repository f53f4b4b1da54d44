"""A named result (the decisions an auditor asks about) as the log must hold it.

Each element's node must hold the element's value, and its lineage must hold what decided
that its row is there. Neither holds by itself everywhere: an operation the containers
keep the entries through while pandas changes the values (a frame's operation with a
constant) leaves nodes whose values are not the result's, and a filter leaves no trace in
the elements it keeps. So a result is named by a copy of it, one step further where its
nodes do not hold its values (a step the log did not follow: nothing replays through it),
and combined with the selections that chose its rows. Made once per result and kept
while its entries and values stay.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ...core._word import OpCode
from ...tracking._row_order import with_selections

#: The attribute of a result that keeps what ``named`` made of it, and from what.
_NAMED = "_named_as"

#: The operation of a step between an element's node and its value that the log missed.
UNLOGGED = "unlogged step"


def named(series: Any) -> Any:
    """``series`` as the log names it (module doc)."""
    own = [np.asarray(getattr(series, f.series_attr)) for f in series._fields]
    values = np.asarray(series._values)
    kept = series.__dict__.get(_NAMED)
    if kept is not None and _same(kept[0], own) and pd.Series(kept[1]).equals(pd.Series(values)):
        return kept[2]
    made = series.copy()
    if not series._tracker._elements.holds(series._node_ids, series._values):
        made = series._stepped(made, UNLOGGED, OpCode.CUSTOM)
    made = with_selections(series, made)
    object.__setattr__(series, _NAMED, ([a.copy() for a in own], values.copy(), made))
    return made


def _same(a: list, b: list) -> bool:
    return all(np.array_equal(x, y) for x, y in zip(a, b, strict=True))
