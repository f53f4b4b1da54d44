"""TrackedDataFrame (one word array per column) and wrap_dataframe, the pipeline entry."""

from __future__ import annotations

import sys
from collections.abc import Iterable
from typing import Any, ClassVar

import numpy as np
import pandas as pd
from pandas import DataFrame

from ...core import _lineage
from ...core import _tracker as _tracker_module
from ...core._algebra import engine_function as _engine_function
from ...tracking._caller_warnings import report_warnings_at_caller
from ...tracking._frame import TrackingFrame, column_entries, with_carried_words
from ...tracking._series import QUIET_FRAME_METHODS, quiet_temporaries
from ...tracking._storage import words_in_arrays
from ...tracking._wrapping import keep_key, key_labels, wrapped_column_names
from ._series import WORDS, TrackedSeries


class TrackedDataFrame(TrackingFrame):
    """Pandas DataFrame with ORRIN-32 provenance."""

    _metadata: ClassVar[list[str]] = ["_tracker", "_col_prov"]
    _fields = (WORDS,)
    _series_class = TrackedSeries

    def __setstate__(self, state: Any) -> None:
        super().__setstate__(state)
        # words made in another process are translated into this process' tracker
        _lineage.come_home(self, "_col_prov", per_column=True)


quiet_temporaries(TrackedDataFrame, QUIET_FRAME_METHODS)


# -- wrapping ---------------------------------------------------------------------------------

_INT64_MIN = np.iinfo(np.int64).min


def _uses_builtin_entity_hash(tracker: Any) -> bool:
    """Whether the tracker's entity of a row label is the interpreter's hash (low 32 bits).

    Only then may the whole index be hashed in bulk; an overridden or patched hash is
    honoured by calling it once per row label.
    """
    base_method = getattr(_tracker_module.ProvenanceTracker, "entity_from_row", None)
    if "entity_from_row" in getattr(tracker, "__dict__", {}):
        return False
    if getattr(type(tracker), "entity_from_row", None) is not base_method:
        return False
    if _tracker_module._hash_entity is not _BUILTIN_HASH_ENTITY:
        return False
    package = sys.modules.get(__package__)
    return getattr(package, "_hash_entity", _BUILTIN_HASH_ENTITY) is _BUILTIN_HASH_ENTITY


_BUILTIN_HASH_ENTITY = _tracker_module._hash_entity


def _int_label_hashes(values: np.ndarray) -> np.ndarray | None:
    """hash() of every int64 label, computed with numpy (None when it cannot be exact)."""
    if sys.hash_info.width != 64:
        return None
    if values.size and values.min() == _INT64_MIN:
        return None  # abs() would overflow
    modulus = sys.hash_info.modulus
    hashes = np.abs(values) % modulus
    np.negative(hashes, out=hashes, where=values < 0)
    hashes[hashes == -1] = -2  # the interpreter reserves -1
    return hashes


def _label_hashes(index: pd.Index) -> np.ndarray:
    """hash() of every row label, with None hashed as 0, as an int64 array."""
    dtype = index.dtype
    if dtype.kind in "iub" and not isinstance(dtype, pd.api.extensions.ExtensionDtype):
        values = np.asarray(index)
        if dtype.kind != "u" or (values.size == 0 or values.max() <= np.iinfo(np.int64).max):
            hashes = _int_label_hashes(values.astype(np.int64, copy=False))
            if hashes is not None:
                return hashes
    hashes = np.fromiter(map(hash, index), dtype=np.int64, count=len(index))
    if isinstance(index, pd.MultiIndex):
        return hashes  # labels are tuples, never None
    missing = np.flatnonzero(np.asarray(index.isna()))
    for pos in missing:
        if index[pos] is None:
            hashes[pos] = 0
    return hashes


def _row_entities(tracker: Any, index: pd.Index) -> np.ndarray:
    """Entity hash of each row label, modulo 2**MODE_01_ENTITY_BITS, as uint32."""
    bits = _tracker_module._layout.MODE_01_ENTITY_BITS
    if 0 <= bits <= 32 and _uses_builtin_entity_hash(tracker):
        # Low bits of a two's-complement hash equal those of (hash & 0xFFFFFFFF).
        hashes = _label_hashes(index)
        return (hashes & ((1 << bits) - 1)).astype(np.uint32)
    modulus = 1 << bits
    entity_from_row = tracker.entity_from_row
    return np.fromiter(
        (entity_from_row(label) % modulus for label in index), dtype=np.uint32, count=len(index)
    )


def _protected_names(protected: Any) -> set[str] | None:
    if isinstance(protected, (list, tuple, set)):
        return {str(name) for name in protected}
    return None


def wrap_dataframe(
    df: DataFrame,
    tracker: Any,
    table: str,
    protected: bool | Iterable[Any] = False,
    include_entity: bool = True,
    key: Any = None,
) -> TrackedDataFrame:
    """Wrap a DataFrame with ORRIN-32 provenance. Sets taint for protected columns.

    ``key`` names the column that holds each row's business key (by default the index
    is the key); it is checked here and kept for the table (``tracker.table_keys``).
    """
    names_of_columns = wrapped_column_names(df, tracker, table)
    key_labels(df, key)
    n = len(df)
    names = _protected_names(protected)
    if names is None and protected:
        tracker._protected_tables.add(table)
        tracker._rust.mark_table_protected(table)
    entities = None
    column_words = []
    for name in names_of_columns:
        column_protected = (name in names) if names is not None else protected
        pair_id = tracker.register(table, name, column_protected)
        is_tainted = tracker.is_protected(table, name)
        if entities is None:
            # A row label's entity does not depend on the column: hash the index once.
            if include_entity:
                entities = _row_entities(tracker, df.index)
            else:
                entities = np.zeros(n, dtype=np.uint32)
        words = _engine_function("encode_source_column")(
            tracker._rust, pair_id, entities, is_tainted
        )
        column_words.append(np.asarray(words, dtype=np.uint32))
    if words_in_arrays():
        df = with_carried_words(df, column_words, tracker)
    result = TrackedDataFrame(df, _tracker=tracker)
    for position, (col, words) in enumerate(zip(df.columns, column_words, strict=True)):
        carried = column_entries(result, position, "_prov")
        result._col_prov[col] = words if carried is None else carried
    keep_key(tracker, table, key)
    _tracker_module.table_wrapped(tracker, table, result)
    return result


TrackedSeries._frame_class = TrackedDataFrame


report_warnings_at_caller(TrackedDataFrame)
