"""DAGTrackedDataFrame and wrap_dataframe_dag: per-column words and DAG node ids."""

from __future__ import annotations

import contextlib
from typing import Any, ClassVar

import numpy as np
import pandas as pd

from ...core._tracker import table_wrapped
from ...recording import record_values
from ...tracking._caller_warnings import report_warnings_at_caller
from ...tracking._frame import TrackingFrame, column_entries, with_carried_words
from ...tracking._series import QUIET_FRAME_METHODS, quiet_temporaries
from ...tracking._storage import words_in_arrays
from ...tracking._wrapping import keep_key, row_keys, wrapped_column_names
from ..orrin32._frame import _row_entities
from ._element_values import record_group_results, record_node_values
from ._series import (
    FIELDS,
    NO_NODE,
    DAGTrackedSeries,
)


class DAGTrackedDataFrame(TrackingFrame):
    """Pandas DataFrame with DAG-tracked provenance."""

    _metadata: ClassVar[list[str]] = ["_tracker", "_col_prov", "_col_nodes"]
    _fields = FIELDS
    _series_class = DAGTrackedSeries

    def _record_column(
        self, values: Any, words: np.ndarray, op_name: str, entries: dict | None = None
    ) -> None:
        made = values()
        record_values(self._tracker, made, words, op_name)
        if entries is not None:
            record_node_values(self._tracker, entries.get("_node_ids"), made)

    def _record_groups(self, result: Any, groups: np.ndarray | None, labels: list) -> None:
        record_group_results(self._tracker, result, groups, labels)


quiet_temporaries(DAGTrackedDataFrame, QUIET_FRAME_METHODS)


# -- wrapping ----------------------------------------------------------------------------


def _entities(tracker, index: pd.Index, include_entity) -> np.ndarray:
    """The entity bits of every row, from its index label (0 when entities are off)."""
    if not include_entity:
        return np.zeros(len(index), dtype=np.uint32)
    return _row_entities(tracker, index)


def _distinct(entities: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """``np.unique(entities, return_inverse=True)``, counted instead of sorted when the
    entity bits are small numbers (they are a few bits): a sort of a million rows'
    entities cost more than the rest of the wrap."""
    if not len(entities) or int(entities.max()) >= 1 << 16:
        return np.unique(entities, return_inverse=True)
    counts = np.bincount(entities)
    distinct = np.flatnonzero(counts)
    position = np.zeros(len(counts), dtype=np.intp)
    position[distinct] = np.arange(len(distinct))
    return distinct.astype(entities.dtype), position[entities]


def _row_read_dtype(df: pd.DataFrame):
    """The dtype of a positional row read (``df.iloc[i]``): one read for the whole frame.

    A row of a frame whose columns differ in dtype is upcast to their common dtype (int
    and float columns give floats), and the recorded values must be those of that read.
    """
    if len(df) == 0 or len(df.columns) == 0:
        return None
    return df.iloc[0].dtype


def _row_read_cells(column: pd.Series, row_dtype):
    """The cells of one column as a positional row read yields them, column at a time.

    The row dtype of the first row stands for every row. Where a column does not cast to
    it (a row read picks its dtype per row when a categorical column holds missing
    values), its own values are read: they record the same numbers and texts.
    """
    if row_dtype is not None and column.dtype != row_dtype:
        with contextlib.suppress(TypeError, ValueError):
            column = column.astype(row_dtype)
    dtype = column.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "biufcO":
        return column.to_numpy()
    return column.array  # extension values: their elements are what a row read yields


def _source_words(
    tracker, pair_id: int, entities: tuple[np.ndarray, np.ndarray], tainted: bool
) -> np.ndarray:
    """The word of every row of a source column, of its rows' ``entities`` as (distinct
    entities, the position of each row's among them): the same for every column.

    A source word depends only on the pair, the row's entity bits and the taint, so each
    distinct entity (at most 256 of them) is encoded once and its word reused.
    """
    distinct, position = entities
    words = [
        tracker.encode({pair_id}, entity=entity, chain=0, taint=tainted, depth=0)
        for entity in distinct.tolist()
    ]
    return np.array(words, dtype=np.uint32)[position] if words else np.zeros(0, np.uint32)


def wrap_dataframe_dag(
    df: pd.DataFrame,
    tracker,
    table: str,
    protected=False,
    include_entity: bool = True,
    key=None,
) -> DAGTrackedDataFrame:
    """Wrap a DataFrame with DAG-tracked provenance.
    Creates source nodes for each column in the DAG, and a cell node for each element,
    which belongs to its row and holds its value.
    Records source values per row for value-level lineage.

    Args:
        protected: True to mark entire table, or list of column names
            to mark specific columns as protected.
        key: The column holding each row's business key (the identity of the row in
            every value derived from it); None: the index is the key.
    """
    names = wrapped_column_names(df, tracker, table)
    keys = _index_keys(df) if key is None else row_keys(df, key)
    listed: set | None = None
    if isinstance(protected, (list, tuple, set)):
        listed = {str(name) for name in protected}
    entities = _entities(tracker, df.index, include_entity) if names else np.zeros(0, np.uint32)
    distinct_entities = _distinct(entities)
    row_dtype = _row_read_dtype(df)
    identities = _source_rows(tracker, table, keys) if names else None
    column_words, column_nodes = [], []
    for position, name in enumerate(names):
        column_protected = name in listed if listed is not None else protected
        pair_id = tracker.register(table, name, column_protected)
        tainted = tracker.is_protected(table, name)
        words = _source_words(tracker, pair_id, distinct_entities, tainted)
        source = tracker.create_source_node(table, name, int(words[0])) if len(words) else NO_NODE
        cells = _row_read_cells(df.iloc[:, position], row_dtype)
        record_values(tracker, cells, words, f"{table}.{name}", column_name=name)
        column_words.append(words)
        column_nodes.append(_cell_nodes(tracker, source, words, identities, cells))
    if words_in_arrays():
        df = with_carried_words(df, column_words, tracker, column_nodes)
    result = DAGTrackedDataFrame(df, _tracker=tracker)
    for position, label in enumerate(df.columns):
        # a column that carries its entries is read from there: pandas moves those
        carried_words = column_entries(result, position, "_prov")
        carried_nodes = column_entries(result, position, "_node_ids")
        result._col_prov[label] = column_words[position] if carried_words is None else carried_words
        result._col_nodes[label] = (
            column_nodes[position] if carried_nodes is None else carried_nodes
        )
    keep_key(tracker, table, key)
    table_wrapped(tracker, table, result)
    return result


def _index_keys(df: pd.DataFrame) -> np.ndarray:
    """The business keys of rows keyed by their index: the labels of an integer index as
    they are (given their text when read, see ``KeyTexts``), any other's text."""
    index = df.index
    numbers = isinstance(index.dtype, np.dtype) and index.dtype.kind in "iu"
    if numbers and not isinstance(index, pd.MultiIndex):
        return index.to_numpy(copy=True)
    return row_keys(df)


def _source_rows(tracker, table: str, keys: np.ndarray) -> np.ndarray | None:
    """The row identities of a wrapped table's rows (None: the tracker keeps none)."""
    elements = getattr(tracker, "_elements", None)
    if elements is None:
        return None
    return elements.identities.add_source_rows(table, keys)


def _cell_nodes(tracker, source: int, words: np.ndarray, identities, cells) -> np.ndarray:
    """The node of every element of a wrapped column: its cell, holding its value, or
    the column's node for a tracker that logs no cells."""
    if identities is None or source == NO_NODE:
        return np.full(len(words), source, dtype=np.int64)
    ids = tracker._log_cells(source, words, identities)
    record_node_values(tracker, ids, cells)
    return ids


DAGTrackedSeries._frame_class = DAGTrackedDataFrame


report_warnings_at_caller(DAGTrackedDataFrame)
