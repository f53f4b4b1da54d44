"""DAGTrackedDataFrame and wrap_dataframe_dag: per-column words and DAG node ids."""

from __future__ import annotations

import contextlib
from collections.abc import Hashable
from typing import ClassVar

import numpy as np
import pandas as pd

from .._checks import exact
from ..orrin32 import MAX_PAIRS, MODE_01_ENTITY_BITS, OpCode
from ._row_values import record_values
from ._series import NO_NODE, DAGTrackedSeries


def _fit(array, n: int, dtype, fill: int) -> np.ndarray:
    """A fresh array of n entries: a copy of ``array``, or its first entry repeated when
    its length differs (a frame derived by a row filter shares its source's arrays), or
    ``fill`` when there is nothing to repeat."""
    if array is None:
        return np.full(n, fill, dtype=dtype)
    if len(array) == n:
        return np.array(array, dtype=dtype, copy=True)
    first = array[0] if len(array) else fill
    return np.broadcast_to(np.asarray(first, dtype=dtype), (n,)).copy()


class DAGTrackedDataFrame(pd.DataFrame):
    """Pandas DataFrame with DAG-tracked provenance."""

    _metadata: ClassVar[list[str]] = ["_tracker", "_col_prov", "_col_nodes"]

    def __init__(self, *args, **kwargs):
        tracker = kwargs.pop("_tracker", None)
        col_prov = kwargs.pop("_col_prov", None)
        col_nodes = kwargs.pop("_col_nodes", None)
        super().__init__(*args, **kwargs)
        self._tracker = tracker
        self._col_prov = col_prov if col_prov is not None else {}
        self._col_nodes = col_nodes if col_nodes is not None else {}

    @property
    def _constructor(self):
        return DAGTrackedDataFrame

    @property
    def _constructor_sliced(self):
        return DAGTrackedSeries

    def __getitem__(self, key):
        result = super().__getitem__(key)
        if not isinstance(result, pd.Series):
            return result
        try:
            prov = (getattr(self, "_col_prov", None) or {}).get(key)
            nodes = (getattr(self, "_col_nodes", None) or {}).get(key)
        except TypeError:  # an unhashable key that pandas still answered with a Series
            prov = nodes = None
        n = len(result)
        return DAGTrackedSeries(
            result.values,
            index=result.index,
            _prov=_fit(prov, n, np.uint32, 0),
            _tracker=getattr(self, "_tracker", None),
            _node_ids=_fit(nodes, n, np.int64, NO_NODE),
        )

    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        # Only a single column label keys the mappings (a column list is unhashable).
        if isinstance(value, DAGTrackedSeries) and isinstance(key, Hashable):
            self._col_prov[key] = np.array(value._prov, dtype=np.uint32, copy=True)
            self._col_nodes[key] = np.array(value._node_ids, dtype=np.int64, copy=True)

    def _merge_col_provenance(
        self,
        col_prov: dict,
        col_nodes: dict,
        result_columns: set,
        n: int,
        out_prov: dict,
        out_nodes: dict,
    ) -> None:
        """Propagate column provenance from one side of a merge into *out_prov*/*out_nodes*."""
        tracker = self._tracker
        for label, prov in col_prov.items():
            if label not in result_columns or label in out_prov:
                continue
            base = int(prov[0]) if len(prov) else 0
            merged = tracker.update_chain(base, OpCode.MERGE) if tracker else base
            out_prov[label] = np.full(n, merged, dtype=np.uint32)
            if not tracker or label not in col_nodes:
                continue
            nodes = col_nodes[label]
            input_node = int(nodes[0]) if len(nodes) else NO_NODE
            if input_node >= 0:
                node_id = tracker.log_unary("merge", input_node, merged)
                out_nodes[label] = np.full(n, node_id, dtype=np.int64)

    def merge(self, right, *args, **kwargs) -> DAGTrackedDataFrame:
        merged = super().merge(right, *args, **kwargs)
        n = len(merged)
        columns = set(merged.columns)
        out_prov: dict = {}
        out_nodes: dict = {}
        self._merge_col_provenance(self._col_prov, self._col_nodes, columns, n, out_prov, out_nodes)
        if isinstance(right, DAGTrackedDataFrame):
            self._merge_col_provenance(
                right._col_prov, right._col_nodes, columns, n, out_prov, out_nodes
            )
        return DAGTrackedDataFrame(
            merged, _tracker=self._tracker, _col_prov=out_prov, _col_nodes=out_nodes
        )


# -- wrapping ----------------------------------------------------------------------------


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


def _check_capacity(tracker, table: str, names: list) -> None:
    """Refuse, before registering any column, a table whose new pairs do not fit."""
    new = sum(1 for name in names if tracker.get_id(table, name) is None)
    free = MAX_PAIRS - tracker._next_id
    if new > free:
        raise ValueError(
            f"Maximum {MAX_PAIRS} pairs supported: table {table!r} needs {new} new "
            f"pairs and {free} are free"
        )


def _entities(tracker, index: pd.Index, include_entity) -> list:
    """The entity bits of every row, from its index label (0 when entities are off)."""
    if not include_entity:
        return [0] * len(index)
    modulus = 1 << MODE_01_ENTITY_BITS
    entity_from_row = tracker.entity_from_row
    return [entity_from_row(label) % modulus for label in index]


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


def _source_words(tracker, pair_id: int, entities: list, tainted: bool) -> list:
    """The word of every row of a source column.

    A source word depends only on the pair, the row's entity bits and the taint, so each
    distinct entity (at most 256 of them) is encoded once and its word reused.
    """
    by_entity = {
        entity: tracker.encode({pair_id}, entity=entity, chain=0, taint=tainted, depth=0)
        for entity in dict.fromkeys(entities)
    }
    return [by_entity[entity] for entity in entities]


def wrap_dataframe_dag(
    df: pd.DataFrame,
    tracker,
    table: str,
    protected=False,
    include_entity: bool = True,
) -> DAGTrackedDataFrame:
    """Wrap a DataFrame with DAG-tracked provenance.
    Creates source nodes for each column in the DAG.
    Records source values per row for value-level lineage.

    Args:
        protected: True to mark entire table, or list of column names
            to mark specific columns as protected.
    """
    exact("table", table, str)
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"df must be a pandas DataFrame, not {type(df).__name__}")
    if not table:
        raise ValueError("table and column must be non-empty strings")
    names = [str(label) for label in df.columns]
    _check_columns(df.columns, names)
    _check_capacity(tracker, table, names)
    listed: set | None = None
    if isinstance(protected, (list, tuple, set)):
        listed = {str(name) for name in protected}
    entities = _entities(tracker, df.index, include_entity) if names else []
    row_dtype = _row_read_dtype(df)
    result = DAGTrackedDataFrame(df, _tracker=tracker)
    for position, (label, name) in enumerate(zip(df.columns, names, strict=True)):
        column_protected = name in listed if listed is not None else protected
        pair_id = tracker.register(table, name, column_protected)
        tainted = tracker.is_protected(table, name)
        words = _source_words(tracker, pair_id, entities, tainted)
        source = tracker.create_source_node(table, name, words[0]) if words else NO_NODE
        cells = _row_read_cells(df.iloc[:, position], row_dtype)
        record_values(tracker, cells, words, f"{table}.{name}", column_name=name)
        result._col_prov[label] = np.array(words, dtype=np.uint32)
        result._col_nodes[label] = np.full(len(words), source, dtype=np.int64)
    return result
