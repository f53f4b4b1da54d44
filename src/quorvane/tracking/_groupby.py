"""Group-wise values of a words array, computed by pandas' public groupby on the plain values.

pandas hands an extension array its rows' group codes (``ids``, -1 for rows in no group);
grouping the plain values by a categorical of those codes reuses them as they are, with
every group present and in code order, as pandas expects the result.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

# Keyword names of pandas' grouped-operation hook that the public methods spell otherwise.
_RENAMED = {"ties_method": "method"}


def values(
    plain: np.ndarray, how: str, min_count: int, ngroups: int, ids: np.ndarray, kwargs: dict
) -> Any:
    """The result of ``how`` on ``plain`` grouped by ``ids``: one value per group for an
    aggregation, one per row for a transform (``cumsum``, ``rank``, ...)."""
    groups = pd.Categorical.from_codes(ids, categories=pd.RangeIndex(ngroups), validate=False)
    grouped = pd.Series(plain, copy=False).groupby(groups, observed=False, sort=True)
    options = {_RENAMED.get(k, k): v for k, v in kwargs.items()}
    if how in {"sum", "prod", "min", "max", "first", "last"}:
        options["min_count"] = min_count
    result = getattr(grouped, how)(**options)
    # ohlc gives a frame: pandas takes its four columns as a 2-d array
    return result.to_numpy() if isinstance(result, (pd.Series, pd.DataFrame)) else result
