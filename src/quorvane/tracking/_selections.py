"""Row selections: a filtered container remembers what decided which rows it kept.

A boolean mask (``t[mask]``, ``t.loc[mask]``, ``t.loc[mask, cols]``, ``query``), the
columns ``dropna`` and ``drop_duplicates`` look at, and a ``duplicated`` mask decide which
rows a result holds: every value later combined from several of its rows depends on them
(see ``_row_order``). A mask whose provenance is not known (a plain array) makes the
selection unknown when an operation needs it; a mask pandas builds inside one of the
containers' calls is that call's business (those above name their columns themselves).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series
from pandas.api.types import is_bool_dtype

from . import _row_order as row_order
from ._array_words import held_as_words
from ._caller_warnings import report_warnings_at_caller
from ._calls import _in_parent, _inside_parent
from ._elementwise import array_entries
from ._labels import selected_by_labels
from ._positions import _followed, gather, known_rows, row_positions


def mask_keys(source: Any, mask: Any) -> row_order.Keys:
    """Per field, the entries of a row mask at ``source``'s rows (aligned on the index as
    pandas aligns a boolean series); None for a mask whose provenance is not known."""
    fields = source._fields
    if _followed(mask, fields) and isinstance(mask, Series):
        rows = row_positions(source.index, mask)
        return {
            f.series_attr: [gather(getattr(mask, f.series_attr), rows, f.absent, f.dtype)]
            for f in fields
        }
    return {f.series_attr: [array_entries(mask, len(source), f.series_attr)] for f in fields}


def _is_row_mask(obj: Any, key: Any) -> bool:
    if isinstance(key, (Series, np.ndarray, pd.Index)):
        return key.ndim == 1 and is_bool_dtype(key.dtype) and len(key) == len(obj)
    return isinstance(key, list) and len(key) == len(obj) > 0 and isinstance(key[0], bool)


def _rows_of_mask(series: Any, key: Any) -> np.ndarray | None:
    """The positions of the rows a boolean ``key`` keeps of ``series``, aligned on the index
    as pandas aligns a boolean series; None for any other key (a frame takes its masked
    rows with ``take``, which says which it takes) or one pandas will refuse."""
    if not isinstance(series, Series) or not _is_row_mask(series, key):
        return None
    if isinstance(key, Series):
        if not key.index.equals(series.index):
            key = key.reindex(series.index)
            if key.isna().any():
                return None
        return np.flatnonzero(key.to_numpy(dtype=bool, copy=False))
    return np.flatnonzero(np.asarray(key, dtype=bool))


def selected_by_mask(source: Any, result: Any, key: Any, operation: str) -> None:
    """``result`` holds the rows of ``source`` a row ``key`` chose, when it is a mask (or
    labels that carry entries: see ``_labels``)."""
    if not getattr(source, "_tracker", None):
        return
    if not _is_row_mask(source, key):
        if isinstance(source, Series) or operation != "filter":  # a frame's [] picks columns
            selected_by_labels(source, result, key, operation)
        return
    keys = mask_keys(source, key)
    if any(a is None for arrays in keys.values() for a in arrays) and _in_parent():
        return  # pandas' own mask inside one of the containers' calls: it names its keys
    if isinstance(result, (Series, DataFrame)) and result is not source:
        row_order.remember(source, result, keys, operation, row_order.SELECTION)


def frame_columns(frame: Any) -> dict[str, Any]:
    """The columns of ``frame`` by name, as the frame itself gives them (``frame[name]``):
    handed to ``eval`` and ``query`` as the first place to look a name up, so that a
    condition is built from tracked columns on every pandas version. pandas may rebind a
    name in it while it evaluates, so it is a dict of its own. Names an expression can only
    reach in backticks are left to pandas' own lookup."""
    return {c: frame[c] for c in frame.columns if isinstance(c, str) and c.isidentifier()}


def _resolved(obj: Any, key: Any) -> Any:
    """``key`` with a callable (or each callable of a tuple) called on ``obj``, once, as
    pandas would call it."""
    if isinstance(key, tuple):
        return tuple(k(obj) if callable(k) else k for k in key)
    return key(obj) if callable(key) else key


class SelectingLoc:
    """``obj.loc`` whose row masks are remembered as the result's selection."""

    def __init__(self, obj: Any, loc: Any) -> None:
        self._obj = obj
        self._loc = loc

    def __getitem__(self, key: Any) -> Any:
        key = _resolved(self._obj, key)
        result = self._loc[key]
        selected_by_mask(self._obj, result, key[0] if isinstance(key, tuple) else key, "loc")
        return result

    def __setitem__(self, key: Any, value: Any) -> None:
        self._loc[key] = value

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._loc(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._loc, name)


class SelectionsFollow:
    """Row selections of a container (see the module doc)."""

    _loc_type: type = SelectingLoc

    def __getitem__(self, key: Any) -> Any:
        key = _resolved(self, key)
        rows = _rows_of_mask(self, key)
        if rows is None:
            result = super().__getitem__(key)  # type: ignore[misc]
        else:
            with known_rows(self, rows):
                result = super().__getitem__(key)  # type: ignore[misc]
        selected_by_mask(self, result, key, "filter")
        return result

    @property
    def loc(self) -> Any:
        return self._loc_type(self, super().loc)  # type: ignore[misc]

    def dropna(self, *args: Any, **kwargs: Any) -> Any:
        keys = self._keys_of(kwargs.get("subset"))
        with _inside_parent(in_place=True):  # pandas' own masks inside: no words
            result = super().dropna(*args, **kwargs)  # type: ignore[misc]
        if kwargs.get("axis", 0) in (0, "index"):
            self._selected_by(result, kwargs, keys, "dropna")
        return result

    def drop_duplicates(self, *args: Any, **kwargs: Any) -> Any:
        keys = self._keys_of(self._subset(args, kwargs))
        with _inside_parent(in_place=True):  # pandas' own duplicated and masks: no words
            result = super().drop_duplicates(*args, **kwargs)  # type: ignore[misc]
        # which of the rows alike is kept (the first, the last) is the rows' order's choice
        in_order = self._keep(args, kwargs) is not False
        self._selected_by(result, kwargs, keys, "drop_duplicates", in_order)
        return result

    def _keep(self, args: tuple, kwargs: dict) -> Any:
        """The ``keep`` argument of ``drop_duplicates``/``duplicated``."""
        frame_args = isinstance(self, DataFrame)
        return kwargs.get("keep", args[int(frame_args)] if len(args) > frame_args else "first")

    def duplicated(self, *args: Any, **kwargs: Any) -> Any:
        """Whether each row repeats one before it: derived from every element of the
        columns compared, and from which rows there are (in which order, unless
        ``keep=False``)."""
        result = super().duplicated(*args, **kwargs)  # type: ignore[misc]
        tracker = getattr(self, "_tracker", None)
        if not tracker or not hasattr(result, "_set_fields") or _in_parent():
            return result  # (drop_duplicates names its columns itself, lazily)
        fields = self._fields  # type: ignore[attr-defined]
        keys = self._keys_of(self._subset(args, kwargs))
        entries = row_order.key_entries(tracker, fields, keys, "duplicated", _aggregate_op())
        object.__setattr__(result, "_tracker", tracker)
        result._set_fields(
            {
                f.series_attr: np.full(len(result), entries[k], dtype=f.dtype)
                for k, f in enumerate(fields)
            }  # fmt: skip
        )
        result = row_order.applied(self, result, in_order=self._keep(args, kwargs) is not False)
        return held_as_words(result, self)

    def _subset(self, args: tuple, kwargs: dict) -> Any:
        """The ``subset`` argument of a frame's ``drop_duplicates``/``duplicated``."""
        if isinstance(self, Series):
            return None
        return kwargs.get("subset", args[0] if args else None)

    def _keys_of(self, subset: Any) -> row_order.Keys:
        """Per field, the arrays of the columns ``subset`` (all of a frame's by default)."""
        if not getattr(self, "_tracker", None):
            return {}
        if isinstance(self, Series):
            return row_order.own_keys(self)
        labels = list(self.columns) if subset is None else subset  # type: ignore[attr-defined]
        return row_order.column_keys(self, labels if isinstance(labels, list) else [labels])

    def _selected_by(
        self, result: Any, kwargs: dict, keys: row_order.Keys, name: str, in_order: bool = False
    ) -> None:
        """``result`` (or this container, changed in place) holds the rows ``keys`` chose
        (``in_order``: in the rows' order too)."""
        target = self if kwargs.get("inplace") else result
        if not isinstance(target, (Series, DataFrame)):
            return
        if target is not self:  # whatever pandas' own steps left there: the columns decided
            object.__setattr__(target, row_order.ATTRIBUTE, row_order.row_order_of(self))
        row_order.remember(self, target, keys, name, row_order.SELECTION, in_order)
        if kwargs.get("ignore_index"):  # the rows kept, labelled by their place
            row_order.placed_in_order(target, name)


def _aggregate_op() -> int:
    from ..core._word import OpCode

    return OpCode.AGG


report_warnings_at_caller(SelectingLoc)
