"""Tracked frames in Parquet files and Arrow streams.

A tracked frame keeps its per-element entries beside pandas' columns, where Arrow cannot see
them. For a file or a stream each tracked column is handed over as a words column instead
(values, words and node ids in one Arrow extension column, with the tracker's registry in the
schema: see ``_arrow``), and a reader takes the words columns back into a tracked frame of
their tracker. A column without entries, or of a dtype words columns cannot hold (dates,
categories, pandas' string dtype), travels plain and reads as unknown.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from ._array import WordsArray
from ._dtype import WordsDtype, supported
from ._plain_values import plain_view

#: ``attrs`` entry of a written frame: the pandas string dtypes of the words columns that
#: hold text as Python objects, so that reading gives the column its dtype back.
TEXT_DTYPES = "quorvane_text_dtypes"


def as_words_columns(frame: Any) -> pd.DataFrame:
    """A plain frame with the values of ``frame`` whose tracked columns are words columns."""
    fields = {f.frame_attr: getattr(frame, f.frame_attr) for f in frame._fields}
    words_attr, *id_attrs = fields
    columns, text_dtypes = [], {}
    for position, label in enumerate(frame.columns):
        plain = plain_view(frame.iloc[:, position])  # a words column's words are below
        words = fields[words_attr].get(label)
        text = isinstance(plain.dtype, pd.StringDtype)
        if words is None or not (text or supported(plain.dtype)) or not _single(frame, label):
            columns.append(plain.array)
            continue
        if text:
            text_dtypes[str(position)] = str(plain.dtype)
        ids = fields[id_attrs[0]].get(label) if id_attrs else None
        values = plain.to_numpy(dtype=object) if text else plain.to_numpy()
        columns.append(WordsArray.from_values(values, words, frame._tracker, ids))
    out = pd.DataFrame(dict(enumerate(columns)), index=frame.index)
    out.columns = frame.columns
    if text_dtypes:
        out.attrs[TEXT_DTYPES] = text_dtypes
    return out


def from_words_columns(frame: pd.DataFrame, frame_class_of: Callable[[Any], type]) -> Any:
    """``frame``'s words columns taken back into a tracked frame of their tracker's road
    (``frame_class_of(tracker)``).

    Raises ValueError when the words columns come from more than one tracker, whose words
    cannot meet in one frame."""
    labels = _words_labels(frame)
    trackers = {id(frame[label].dtype.tracker): frame[label].dtype.tracker for label in labels}
    if len(trackers) > 1:
        raise ValueError("the words columns come from more than one tracker")
    tracker = next(iter(trackers.values()), None)
    text_dtypes = frame.attrs.get(TEXT_DTYPES, {})
    plain = pd.DataFrame(
        {i: _values(frame.iloc[:, i], text_dtypes.get(str(i))) for i in range(frame.shape[1])},
        index=frame.index,
    )
    plain.columns = frame.columns
    result = frame_class_of(tracker)(plain, _tracker=tracker)
    words_field, *id_fields = result._fields
    for label in labels:
        array = frame[label].array
        getattr(result, words_field.frame_attr)[label] = np.array(array.words, np.uint32)
        for f in id_fields:
            ids = array.node_ids
            entries = np.full(len(array), f.absent, f.dtype) if ids is None else ids
            getattr(result, f.frame_attr)[label] = np.array(entries, f.dtype)
    return result


def _words_labels(frame: pd.DataFrame) -> list:
    return [
        label
        for position, label in enumerate(frame.columns)
        if isinstance(frame.dtypes.iloc[position], WordsDtype) and _single(frame, label)
    ]


def _values(column: pd.Series, text_dtype: str | None) -> Any:
    array = column.array
    if not isinstance(array, WordsArray):
        return array
    values = np.asarray(array)
    return pd.array(values, dtype=text_dtype) if text_dtype else values


def _single(frame: pd.DataFrame, label: Any) -> bool:
    return bool((frame.columns == label).sum() == 1)


# -- Arrow tables that are concatenated before a reader sees them -------------------------
#
# Dask's peer-to-peer shuffle cuts each partition into Arrow tables on one worker and
# concatenates the pieces from many workers on another before handing them back. A words
# column's type holds its writer's registry, and two workers' registries differ (each
# interns its own dense words), so such pieces would not concatenate. Here the values stay
# plain columns, as pandas would write them; each tracked column's words ride in a uint32
# column beside them, and the registry in a dictionary column, one entry per piece, so that
# every row's words are translated with the registry they were written under.

WORDS_COLUMN = "__quorvane_words_{}__"
REGISTRY_COLUMN = "__quorvane_registry__"


def as_arrow_table(frame: Any, **kwargs: Any) -> Any:
    """``frame`` as an Arrow table of its plain values, its words and its tracker's registry
    (``kwargs`` go to ``pyarrow.Table.from_pandas``)."""
    import pyarrow as pa

    from . import _registry

    # the values as numpy's: the words go in columns of their own below
    table = pa.Table.from_pandas(plain_view(frame), **kwargs)
    words_attr = frame._fields[0].frame_attr
    for position, label in enumerate(frame.columns):
        words = getattr(frame, words_attr).get(label)
        if words is not None and _single(frame, label):
            table = table.append_column(WORDS_COLUMN.format(position), pa.array(words, pa.uint32()))
    tracker = frame._tracker
    registry = "" if tracker is None else _registry.dump(tracker)
    indices = pa.array(np.zeros(len(frame), np.int8))
    return table.append_column(
        REGISTRY_COLUMN, pa.DictionaryArray.from_arrays(indices, pa.array([registry]))
    )


def from_arrow_table(
    table: Any, to_pandas: Callable[[Any], pd.DataFrame], frame_class_of: Callable, tracker: Any
) -> Any:
    """A table made by ``as_arrow_table`` (possibly concatenated from many) as a tracked
    frame: ``to_pandas`` converts its values, the words are translated into the live
    tracker of their lineage here (``tracker`` when the table has no registry)."""
    extras = [name for name in table.column_names if name.startswith("__quorvane_")]
    registries = table.column(REGISTRY_COLUMN) if REGISTRY_COLUMN in extras else None
    words = {
        int(name[len("__quorvane_words_") : -2]): table.column(name).to_numpy()
        for name in extras
        if name != REGISTRY_COLUMN
    }
    frame = to_pandas(table.drop_columns(extras))
    if registries is not None:
        tracker, words = _translated(registries, words, tracker)
    result = frame_class_of(tracker)(frame, _tracker=tracker)
    words_attr = result._fields[0].frame_attr
    for position, entries in words.items():
        getattr(result, words_attr)[frame.columns[position]] = entries
    return result


def _translated(registries: Any, words: dict, tracker: Any) -> tuple[Any, dict]:
    """The live tracker of the rows' registries, and the words translated into it."""
    from . import _registry, _trackers

    # chunks from different pieces have dictionaries of their own: decode each alone
    decoded = [chunk.dictionary_decode() for chunk in registries.chunks]
    texts = np.concatenate(
        [chunk.to_numpy(zero_copy_only=False) for chunk in decoded] or [np.array([], object)]
    )
    out = {position: np.array(w, np.uint32) for position, w in words.items()}
    live: dict[int, Any] = {}
    for text in {t for t in texts if t}:
        target, translation = _registry.load(text)
        live[id(target)] = target
        rows = texts == text
        for position, w in words.items():
            out[position][rows] = _trackers.translate(w[rows], translation)
    if len(live) > 1:
        raise ValueError("the table's rows come from more than one tracker lineage")
    return next(iter(live.values()), tracker), out


__all__ = ["as_arrow_table", "as_words_columns", "from_arrow_table", "from_words_columns"]
