"""What both roads check before they wrap a table: nothing is registered with the tracker
until the whole table is known to fit."""

from __future__ import annotations

from typing import Any

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
