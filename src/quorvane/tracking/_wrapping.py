"""What both roads check before they wrap a table: nothing is registered with the tracker
until the whole table is known to fit."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ..core._checks import exact
from ..core._tracker import _layout


def wrapped_column_names(df: Any, tracker: Any, table: Any) -> list[str]:
    """The source column name of every column of ``df``, once the table is known to wrap:
    ``table`` a non-empty ``str``, ``df`` a DataFrame whose columns have distinct, non-empty
    names, and room in the tracker for the pairs it adds."""
    exact("table", table, str)
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"df must be a pandas DataFrame, not {type(df).__name__}")
    if not table:
        raise ValueError("table and column must be non-empty strings")
    names = [str(label) for label in df.columns]
    _check_columns(df.columns, names)
    _check_capacity(tracker, table, names)
    return names


def _check_columns(columns: pd.Index, names: list) -> None:
    """Every column needs a non-empty name that no other column of the table shares."""
    if any(name == "" for name in names):
        raise ValueError("table and column must be non-empty strings")
    seen: dict[str, object] = {}
    for label, name in zip(columns, names, strict=True):
        if name in seen:
            raise ValueError(
                f"columns {seen[name]!r} and {label!r} would both be the source column "
                f"{name!r}; give the columns distinct names before wrapping"
            )
        seen[name] = label


def _check_capacity(tracker: Any, table: str, names: list) -> None:
    """Refuse, before registering any column, a table whose new pairs do not fit."""
    new = sum(1 for name in names if tracker.get_id(table, name) is None)
    limit = _layout.MAX_PAIRS  # as the tracker reads it when it registers
    free = limit - tracker._next_id
    if new > free:
        raise ValueError(
            f"Maximum {limit} pairs supported: table {table!r} needs {new} new "
            f"pairs and {free} are free"
        )


def key_labels(df: pd.DataFrame, key: Any = None) -> pd.Index:
    """The business key of every row of ``df``: its index label, or with ``key`` the value
    of the column it names. Such a column must exist once and hold a distinct, present
    value in every row: a key that two rows share, or none has, names no row."""
    if key is None:
        return df.index
    try:
        position = df.columns.get_loc(key)
    except (KeyError, TypeError):
        raise KeyError(f"key {key!r} names no column of the table") from None
    if not isinstance(position, int):
        raise ValueError(f"key {key!r} names more than one column")
    labels = pd.Index(df.iloc[:, position])
    if labels.hasnans:
        raise ValueError(f"key column {key!r} has missing values")
    if not labels.is_unique:
        raise ValueError(f"key column {key!r} has values that more than one row shares")
    return labels


def row_keys(df: pd.DataFrame, key: Any = None) -> np.ndarray:
    """The business keys of ``df``'s rows (see ``key_labels``) as text."""
    labels = key_labels(df, key)
    if isinstance(labels, pd.MultiIndex):
        return np.array([str(label) for label in labels], dtype=object)
    if isinstance(labels.dtype, np.dtype) and labels.dtype.kind in "iu":
        # an integer's text is Python's; pandas' astype(str) reaches the same text through
        # an Arrow string array, which takes half as long again on millions of rows
        return np.array([str(label) for label in labels.tolist()], dtype=object)
    return np.asarray(labels.astype(str), dtype=object)


def keep_key(tracker: Any, table: str, key: Any) -> None:
    """Note which column is ``table``'s business key (None: its index) in the tracker's
    ``table_keys``."""
    kept = getattr(tracker, "table_keys", None)
    if not isinstance(kept, dict):
        kept = {}
        try:
            tracker.table_keys = kept
        except AttributeError:  # a tracker that takes no attributes keeps no keys
            return
    kept[table] = key
