"""The digests that tie a stored result to the source row it was computed from."""

from __future__ import annotations

import hashlib
import json
from typing import Any

import numpy as np
import pandas as pd


def source_row_hash(row: Any) -> str:
    """SHA-256 (lowercase hex) of a source row serialised with its ``to_json()``.

    This is the ``input_hash`` that the tracker stores with each result row: hash the same
    row of the current source data again and compare, and a different digest shows that
    the row changed after the run.
    """
    return hashlib.sha256(row.to_json().encode("utf-8")).hexdigest()


def source_row_exact_hash(row: Any) -> str:
    """SHA-256 (lowercase hex) of a source row's labels and exact values.

    ``to_json()`` rounds floats to 10 decimals, so ``source_row_hash`` cannot see a value
    move from 1e-12 to 4e-11. This digest keeps every float at full precision (its
    shortest round-tripping repr). It hashes values, not storage types: 5 and 5.0 hash
    alike, as do the missing markers None, NaN and NaT, so a file read back with other
    dtypes than the run's frame had still matches where its values do.
    """
    cells = [[str(label), _exact(value)] for label, value in row.items()]
    text = json.dumps(cells, ensure_ascii=False, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def _exact(value: Any) -> Any:
    if isinstance(value, np.generic):
        value = value.item()
    if value is None or (not isinstance(value, str) and _is_missing(value)):
        return None
    if isinstance(value, bool):
        return value
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        # json writes a float as its shortest round-tripping repr; an integral float and
        # the int it equals are one value
        return int(value) if value.is_integer() else value
    if isinstance(value, pd.Timestamp):
        return value.isoformat()
    return str(value)


def _is_missing(value: Any) -> bool:
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):  # an array-like cell: not one missing marker
        return False
