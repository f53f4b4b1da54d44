"""``pd.concat`` of tracked containers (and the concat that ends ``pd.get_dummies``)."""

from __future__ import annotations

import weakref
from typing import Any

import numpy as np
from pandas import DataFrame, Series

from ._positions import (
    ARRAY_ENTRIES,
    Field,
    _has_key,
    _same_family,
    _tracker_of,
    carried_array,
    carried_columns,
    full,
    gather,
    lookup,
    reads_carried,
    reads_carried_column,
    row_positions,
    unknown_fill,
)
from ._row_order import aligned_back, with_decided


def note_columns_cut(result: Any, source: Any) -> None:
    """Note that ``result``, on the rows of the tracked frame ``source``, holds only some of
    its columns (as pandas' ``drop`` makes it), by a reference that does not keep ``source``
    alive."""
    if len(result.columns) < len(source.columns):
        object.__setattr__(result, "_columns_cut_from", weakref.ref(source))


def _same_rows(one: Any, other: Any) -> bool:
    return one.index is other.index or one.index.equals(other.index)


def concat_pieces(result: Any, objs: list) -> tuple[str, list]:
    """How a ``pd.concat`` result is made of its inputs: ("rows", objs) when they were
    stacked, ("columns", objs) when placed side by side."""
    n_rows = sum(len(obj) for obj in objs)
    if isinstance(result, Series):
        return "rows", objs
    if len(result) == n_rows and _stacked_columns(result, objs):
        return "rows", objs
    return "columns", objs


def _stacked_columns(result: Any, objs: list) -> bool:
    """Whether a frame with as many rows as ``objs`` together stacks them: its columns hold
    every piece's (an outer join of the columns), or only columns that every piece has
    (``join="inner"``), where pieces side by side would give it more than any one has."""
    columns = [list(obj.columns) if isinstance(obj, DataFrame) else [] for obj in objs]
    labels = set(result.columns)
    if all(set(c) <= labels for c in columns):
        return True
    inner = all(labels <= set(c) for c in columns)
    return inner and len(result.columns) <= min((len(c) for c in columns), default=0)


def _series_fields(obj: Any, fields: tuple[Field, ...], tracker: Any) -> dict[str, np.ndarray]:
    """The arrays of a piece of a concat: its own when it is of the family, else unknown."""
    if _same_family(obj, fields) and isinstance(obj, Series):
        return {f.series_attr: np.asarray(getattr(obj, f.series_attr), f.dtype) for f in fields}
    return {f.series_attr: full(len(obj), f, unknown_fill(f, tracker)) for f in fields}


def _stacked_series(result: Any, objs: list) -> dict[str, np.ndarray]:
    fields = result._fields
    array = carried_array(result)
    if array is not None and all(_reads_carried_series(obj, fields) for obj in objs):
        # pandas concatenated the words every piece reads together with its values
        return {f.series_attr: getattr(array, ARRAY_ENTRIES[f.series_attr]) for f in fields}
    tracker = _tracker_of(objs)
    pieces = [_series_fields(obj, fields, tracker) for obj in objs]
    out = {}
    for f in fields:
        parts = [piece[f.series_attr] for piece in pieces]
        out[f.series_attr] = np.concatenate(parts) if parts else np.empty(0, f.dtype)
    return out


def _reads_carried_series(obj: Any, fields: tuple[Field, ...]) -> bool:
    return isinstance(obj, Series) and _same_family(obj, fields) and reads_carried(obj, fields)


def concat_tracker(objs: list) -> Any:
    """The tracker of a concat's inputs: the first that has one, else the tracker whose
    words a piece pandas built itself holds in its words arrays (see ``_followed_piece``)."""
    tracker = _tracker_of(objs)
    if tracker is not None:
        return tracker
    for obj in objs:
        columns = [obj] if isinstance(obj, Series) else [c for _, c in obj.items()]
        for column in columns:
            held = getattr(column.array, "tracker", None)
            if held is not None:
                return held
    return None


def _followed_piece(obj: Any, fields: tuple[Field, ...]) -> bool:
    """Whether ``obj`` is a concat input of the family whose rows were followed. pandas
    also concatenates pieces it built itself and never finalised (``merge_asof`` and
    ``merge_ordered`` put the rows their nearest keys paired side by side): they have no
    tracker, and which rows they hold, nothing here saw."""
    return _same_family(obj, fields) and getattr(obj, "_tracker", None) is not None


def _frame_pieces(obj: Any, fields: tuple[Field, ...]) -> tuple[list, dict[str, list]]:
    """Column labels of a concat input and, per field, each column's array (None: unknown)."""
    if not _followed_piece(obj, fields):
        labels = (
            [obj.name if obj.name is not None else 0]
            if isinstance(obj, Series)
            else list(obj.columns)
        )
        return labels, {f.frame_attr: [None] * len(labels) for f in fields}
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


def _encoded(label: Any, source: Any, kept: Any) -> Any:
    """The column of ``source`` (one that ``kept`` dropped) that a column ``label`` of
    indicators encodes, by pandas' default names for them (``<column>_<value>``), the
    longest such name; None when none does."""
    text = str(label)
    names = [c for c in source.columns if c not in kept.columns and text.startswith(f"{c}_")]
    return max(names, key=lambda c: len(str(c)), default=None)


def _encoded_pieces(objs: list, pieces: list, fields: tuple[Field, ...]) -> None:
    """Give the plain pieces of a concat the entries of the columns they encode, in place.

    ``pd.get_dummies`` of a tracked frame ends in a concat of the frame without the encoded
    columns (a tracked piece cut from the frame, see ``note_columns_cut``) and of plain frames of
    indicators on the same rows, named after the columns they encode: each indicator takes
    that column's entries. Any other plain column stays unknown.
    """
    cut = [(obj, getattr(obj, "_columns_cut_from", None)) for obj in objs]
    cut = [(kept, ref()) for kept, ref in cut if ref is not None and ref() is not None]
    for k, obj in enumerate(objs):
        if _same_family(obj, fields) or not isinstance(obj, DataFrame):
            continue
        for kept, source in cut:
            if not _same_rows(obj, kept):
                continue
            labels, arrays = pieces[k]
            for j, label in enumerate(labels):
                column = _encoded(label, source, kept)
                if column is None:
                    continue
                for f in fields:
                    arrays[f.frame_attr][j] = lookup(getattr(source, f.frame_attr), column)


def _concatenated_frame(result: Any, objs: list) -> dict[str, dict]:
    fields = result._fields
    tracker = concat_tracker(objs)
    mode, _ = concat_pieces(result, objs)
    out: dict[str, dict] = {f.frame_attr: {} for f in fields}
    pieces = [_frame_pieces(obj, fields) for obj in objs]
    _encoded_pieces(objs, pieces, fields)
    if mode == "rows":
        moved = _stacked_moved(result, objs, fields)
        for f in fields:
            fill = unknown_fill(f, tracker)
            for label in result.columns:
                carried = lookup(moved, label)
                if carried is not None:
                    out[f.frame_attr][label] = getattr(carried, ARRAY_ENTRIES[f.series_attr])
                    continue
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
    placed = carried_columns(result)
    for obj, (labels, arrays) in zip(objs, pieces, strict=True):
        rows = row_positions(result.index, obj)
        reading = _carried_pieces(obj, labels, fields) if rows is None else set()
        for j in range(len(labels)):
            if position >= len(result.columns):
                break
            label = result.columns[position]
            position += 1
            held = lookup(placed, label) if labels[j] in reading else None
            for f in fields:
                array = arrays[f.frame_attr][j]
                if held is not None:  # pandas placed the words the piece reads, as they are
                    out[f.frame_attr][label] = getattr(held, ARRAY_ENTRIES[f.series_attr])
                elif array is not None and _has_key(label):
                    out[f.frame_attr][label] = gather(array, rows, f.absent, f.dtype)
            _decided_column(out, label, fields, tracker, aligned_back(None, obj, rows))
    return out


def _carried_pieces(obj: Any, labels: list, fields: tuple[Field, ...]) -> set:
    """The labels of ``obj``'s columns (a series: its one) whose entries are the words their
    values carry (see ``carried_columns``)."""
    if not _followed_piece(obj, fields):
        return set()
    if isinstance(obj, Series):
        return set(labels) if reads_carried(obj, fields) else set()
    pieces = carried_columns(obj)
    return {label for label in pieces if reads_carried_column(obj, label, pieces[label])}


def _stacked_moved(result: Any, objs: list, fields: tuple[Field, ...]) -> dict:
    """By label, the columns of ``result`` (``objs`` stacked) whose values pandas
    concatenated together with the words that every piece reads for that column: the words
    to read there are the concatenated ones."""
    if not all(_same_family(obj, fields) and isinstance(obj, DataFrame) for obj in objs):
        return {}
    moved = carried_columns(result)
    for obj in objs:
        if not moved:
            break
        pieces = carried_columns(obj)
        moved = {
            label: array
            for label, array in moved.items()
            if reads_carried_column(obj, label, lookup(pieces, label))
        }
    return moved


def _decided_column(out: dict, label: Any, fields: tuple, tracker: Any, decided: list) -> None:
    """The column ``label`` of ``out`` with every element combining ``decided`` (a filtered
    piece placed beside rows it lacks: see ``aligned_back``), in place."""
    columns = {f: lookup(out[f.frame_attr], label) for f in fields}
    if not decided or not tracker or any(c is None for c in columns.values()):
        return
    for f, array in with_decided(tracker, fields, columns, decided).items():
        out[f.frame_attr][label] = array
