"""``pd.concat`` of tracked containers (and the concat that ends ``pd.get_dummies``)."""

from __future__ import annotations

import sys
from types import FrameType
from typing import Any

import numpy as np
from pandas import DataFrame, Series

from ._positions import (
    Field,
    _has_key,
    _same_family,
    _tracker_of,
    full,
    gather,
    lookup,
    row_positions,
    unknown_fill,
)


def concat_pieces(result: Any, objs: list) -> tuple[str, list]:
    """How a ``pd.concat`` result is made of its inputs: ("rows", objs) when they were
    stacked, ("columns", objs) when placed side by side."""
    n_rows = sum(len(obj) for obj in objs)
    if isinstance(result, Series) or len(result) == n_rows:
        stacked = (
            all(set(getattr(obj, "columns", [])) <= set(result.columns) for obj in objs)
            if isinstance(result, DataFrame)
            else True
        )
        if stacked:
            return "rows", objs
    return "columns", objs


def _series_fields(obj: Any, fields: tuple[Field, ...], tracker: Any) -> dict[str, np.ndarray]:
    """The arrays of a piece of a concat: its own when it is of the family, else unknown."""
    if _same_family(obj, fields) and isinstance(obj, Series):
        return {f.series_attr: np.asarray(getattr(obj, f.series_attr), f.dtype) for f in fields}
    return {f.series_attr: full(len(obj), f, unknown_fill(f, tracker)) for f in fields}


def _stacked_series(result: Any, objs: list) -> dict[str, np.ndarray]:
    fields = result._fields
    tracker = _tracker_of(objs)
    pieces = [_series_fields(obj, fields, tracker) for obj in objs]
    out = {}
    for f in fields:
        parts = [piece[f.series_attr] for piece in pieces]
        out[f.series_attr] = np.concatenate(parts) if parts else np.empty(0, f.dtype)
    return out


def _frame_pieces(obj: Any, fields: tuple[Field, ...]) -> tuple[list, dict[str, list]]:
    """Column labels of a concat input and, per field, each column's array (None: unknown)."""
    if isinstance(obj, Series):
        labels = [obj.name if obj.name is not None else 0]
        arrays = {
            f.frame_attr: [getattr(obj, f.series_attr, None) if _same_family(obj, fields) else None]
            for f in fields
        }
        return labels, arrays
    labels = list(obj.columns)
    arrays = {
        f.frame_attr: [
            lookup(getattr(obj, f.frame_attr), label) if _same_family(obj, fields) else None
            for label in labels
        ]
        for f in fields
    }
    return labels, arrays


def _is_pandas_get_dummies(frame: FrameType) -> bool:
    module = frame.f_globals.get("__name__", "")
    return frame.f_code.co_name == "get_dummies" and module.startswith("pandas.")


def _dummy_sources(objs: list) -> dict[int, Any]:
    """For the concat that ends ``pd.get_dummies``: which input holds the dummies of which
    encoded column. pandas builds the dummy frames from the columns' bare values, so the
    columns they derive from are read off the ``get_dummies`` call on the stack."""
    frame: FrameType | None = sys._getframe(1)
    while frame is not None and not _is_pandas_get_dummies(frame):
        frame = frame.f_back
    if frame is None:
        return {}
    encoded = frame.f_locals.get("data_to_encode")
    if not isinstance(encoded, DataFrame):
        return {}
    columns = [encoded.iloc[:, j] for j in range(encoded.shape[1])]
    offset = len(objs) - len(columns)
    return {offset + j: column for j, column in enumerate(columns) if offset >= 0}


def _concatenated_frame(result: Any, objs: list) -> dict[str, dict]:
    fields = result._fields
    tracker = _tracker_of(objs)
    mode, _ = concat_pieces(result, objs)
    out: dict[str, dict] = {f.frame_attr: {} for f in fields}
    pieces = [_frame_pieces(obj, fields) for obj in objs]
    for k, series in _dummy_sources(objs).items():
        if _same_family(series, fields):
            labels = pieces[k][0]
            pieces[k] = (
                labels,
                {f.frame_attr: [getattr(series, f.series_attr)] * len(labels) for f in fields},
            )
    if mode == "rows":
        for f in fields:
            fill = unknown_fill(f, tracker)
            for label in result.columns:
                parts = []
                for obj, (labels, arrays) in zip(objs, pieces, strict=True):
                    if label in labels:
                        array = arrays[f.frame_attr][labels.index(label)]
                        parts.append(
                            full(len(obj), f, fill) if array is None else np.asarray(array, f.dtype)
                        )
                    else:  # pandas fills the column of this piece with NaN
                        parts.append(np.full(len(obj), f.absent, f.dtype))
                if _has_key(label):
                    out[f.frame_attr][label] = np.concatenate(parts)
        return out
    position = 0
    for obj, (labels, arrays) in zip(objs, pieces, strict=True):
        rows = row_positions(result.index, obj)
        for j in range(len(labels)):
            if position >= len(result.columns):
                break
            label = result.columns[position]
            position += 1
            for f in fields:
                array = arrays[f.frame_attr][j]
                if array is not None and _has_key(label):
                    out[f.frame_attr][label] = gather(array, rows, f.absent, f.dtype)
    return out
