"""TrackedDataFrame (one word array per column) and wrap_dataframe, the pipeline entry."""

from __future__ import annotations

import sys
from collections.abc import Hashable, Iterable
from typing import Any, ClassVar

import numpy as np
import pandas as pd

from . import _compat
from . import _tracker as _tracker_module
from ._series import TrackedSeries, _engine_function, _fit_words
from ._word import OpCode


class TrackedDataFrame(pd.DataFrame):
    """Pandas DataFrame with ORRIN-32 provenance."""

    _metadata: ClassVar[list[str]] = ["_tracker", "_col_prov"]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        tracker = kwargs.pop("_tracker", None)
        col_prov = kwargs.pop("_col_prov", None)
        super().__init__(*args, **kwargs)
        self._tracker = tracker
        self._col_prov = col_prov if col_prov is not None else {}

    # -- pandas construction hooks ------------------------------------------------------

    @property
    def _constructor(self) -> type[TrackedDataFrame]:
        return TrackedDataFrame

    @property
    def _constructor_sliced(self) -> type[TrackedSeries]:
        return TrackedSeries

    def _constructor_from_mgr(self, mgr: Any, axes: Any) -> TrackedDataFrame:
        # Built without __init__ (see _compat); pandas' __finalize__ then shares the
        # source's tracker and word mapping by reference.
        df = _compat.from_mgr(TrackedDataFrame, mgr, axes)
        object.__setattr__(df, "_tracker", None)
        object.__setattr__(df, "_col_prov", {})
        return df

    def _constructor_sliced_from_mgr(self, mgr: Any, axes: Any) -> TrackedSeries:
        ser = _compat.from_mgr(TrackedSeries, mgr, axes)
        object.__setattr__(ser, "_name", None)
        object.__setattr__(ser, "_prov", np.zeros(len(ser), dtype=np.uint32))
        object.__setattr__(ser, "_tracker", None)
        return ser

    # -- column access ------------------------------------------------------------------

    def __getitem__(self, key: Any) -> Any:
        if callable(key):
            key = key(self)
        result = super().__getitem__(key)
        if not isinstance(result, pd.Series):
            return result
        words = _stored_words(self._col_prov, key, len(result))
        # Built from pandas' own result so that copy-on-write still knows the column's
        # memory is shared with this frame.
        out = TrackedSeries(result, _prov=words, _tracker=self._tracker)
        # pandas reads columns through frame[label] inside groupby, .loc and others and takes
        # the column's name from the result; a user's column access returns an unnamed one.
        if not _compat.caller_is_pandas():
            object.__setattr__(out, "_name", None)
        return out

    def __setitem__(self, key: Any, value: Any) -> None:
        super().__setitem__(key, value)
        # Only a single column label keys the word mapping (a column list is unhashable).
        if isinstance(value, TrackedSeries) and isinstance(key, Hashable):
            self._col_prov[key] = np.array(value._prov, dtype=np.uint32, copy=True)

    # -- merge ------------------------------------------------------------------------------

    def merge(self, right: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame:
        result = super().merge(right, *args, **kwargs)
        n = len(result)
        columns = result.columns
        merged: dict[Hashable, np.ndarray] = {}
        sources = [self._col_prov]
        if isinstance(right, TrackedDataFrame):
            sources.append(right._col_prov)
        # Left columns come first, so they win where both sides track a label.
        for col_prov in sources:
            for label, words in col_prov.items():
                if label in columns and label not in merged:
                    merged[label] = self._merged_words(words, n)
        return TrackedDataFrame(result, _tracker=self._tracker, _col_prov=merged)

    def _merged_words(self, words: np.ndarray, n: int) -> np.ndarray:
        # One tracker call per column: a merge collapses a column to one representative word.
        if len(words) == 0:
            return np.zeros(n, dtype=np.uint32)
        first = int(words[0])
        tracker = self._tracker
        if tracker:
            first = tracker.update_chain(first, OpCode.MERGE)
        return np.full(n, first, dtype=np.uint32)


def _stored_words(col_prov: dict, key: Any, n: int) -> np.ndarray:
    """A copy of the words stored for ``key``, fitted to ``n`` rows; zeros if untracked."""
    try:
        words = col_prov.get(key)
    except TypeError:  # unhashable key: never a tracked column
        words = None
    if words is None:
        return np.zeros(n, dtype=np.uint32)
    if len(words) != n:
        return _fit_words(np.asarray(words, dtype=np.uint32), n)
    return np.array(words, dtype=np.uint32, copy=True)


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
    df: pd.DataFrame,
    tracker: Any,
    table: str,
    protected: bool | Iterable[Any] = False,
    include_entity: bool = True,
) -> TrackedDataFrame:
    """Wrap a DataFrame with ORRIN-32 provenance. Sets taint for protected columns."""
    if type(table) is not str:
        raise TypeError(f"table must be str, not {type(table).__name__}")
    result = TrackedDataFrame(df, _tracker=tracker)
    n = len(df)
    names = _protected_names(protected)
    if names is None and protected:
        tracker._protected_tables.add(table)
        tracker._rust.mark_table_protected(table)
    entities = None
    for col in df.columns:
        name = str(col)
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
        result._col_prov[col] = np.asarray(words, dtype=np.uint32)
    return result
