"""Output elements of a pipeline run, matched across runs by row label (or by a business
key the result carries) and column name."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

#: Relative tolerance of a float comparison: a change smaller than this is the rounding of
#: a different summation order (rows reordered by a perturbed sort key), not a dependency.
FLOAT_TOLERANCE = 1e-9


def output_columns(result: Any, key: str | None = None) -> dict[str, Any]:
    """The result's columns by name: a frame's columns, a series, or a mapping of series.

    Each value is the container the result holds for that column (a frame's column comes
    out of the frame), so the tracked road can read its words. With ``key``, the result is
    a frame holding that column, and every other column is labelled by its values.
    """
    if key is not None:
        return _keyed_columns(result, key)
    if isinstance(result, pd.DataFrame):
        if not result.columns.is_unique:
            raise ValueError("the pipeline's result has repeated column names")
        return {str(label): result[label] for label in result.columns}
    if isinstance(result, pd.Series):
        return {str(result.name) if result.name is not None else "result": result}
    if isinstance(result, Mapping) and all(isinstance(v, pd.Series) for v in result.values()):
        return {str(name): series for name, series in result.items()}
    raise TypeError(
        "a pipeline checked for lineage returns a DataFrame, a Series or a mapping of names "
        f"to Series, not {type(result).__name__}"
    )


def _keyed_columns(result: Any, key: str) -> dict[str, Any]:
    # a pipeline that drops its row labels (reset_index after a filter or a sort) numbers
    # its rows afresh in each run: only the key says which applicant a row is
    if not isinstance(result, pd.DataFrame) or key not in result.columns:
        raise ValueError(f"the pipeline's result has no column {key!r} to match rows by")
    labels = pd.Index(np.asarray(result[key].to_numpy()), name=key)
    columns = output_columns(result.drop(columns=[key]))
    return {name: column.set_axis(labels) for name, column in columns.items()}


@dataclass(frozen=True)
class Comparison:
    """How a later run's column differs from the first run's, element by element."""

    changed: np.ndarray  # one flag per element of the first run
    membership: int  # rows held by only one of the two runs


def compare(before: pd.Series, after: pd.Series) -> Comparison:
    """Which elements of ``before`` hold another value in ``after``, matched by row label
    (the n-th row of a repeated label matches the n-th row of that label)."""
    if before.index.equals(after.index):
        return Comparison(differs(before.to_numpy(), after.to_numpy()), 0)
    positions = row_keys(after.index).get_indexer(row_keys(before.index))
    present = positions >= 0
    values = before.to_numpy().copy() if before.dtype == after.dtype else before.to_numpy(object)
    values[present] = after.to_numpy()[positions[present]]
    changed = differs(before.to_numpy(), values) & present
    return Comparison(changed, int((~present).sum() + len(after) - present.sum()))


def row_keys(index: pd.Index) -> pd.Index:
    """Labels made unique by their occurrence number."""
    flat = index.to_flat_index()
    occurrence = (
        pd.Series(np.zeros(len(flat))).groupby(pd.Index(flat), sort=False, dropna=False).cumcount()
    )
    return pd.MultiIndex.from_arrays([flat, occurrence.to_numpy()])


def differs(before: np.ndarray, after: np.ndarray) -> np.ndarray:
    """Element-wise: the two values differ (two missing values are equal)."""
    both_missing = np.asarray(pd.isna(before) & pd.isna(after), dtype=bool)
    kinds = {before.dtype.kind, after.dtype.kind}
    if kinds <= set("iub"):
        equal = before == after
    elif kinds <= set("iufb"):
        equal = np.isclose(
            before.astype(float), after.astype(float), rtol=FLOAT_TOLERANCE, atol=0.0
        )
    else:
        equal = np.array([_same(a, b) for a, b in zip(before, after, strict=True)], dtype=bool)
    return ~(np.asarray(equal, dtype=bool) | both_missing)


def _same(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except (TypeError, ValueError):
        return a is b
