"""Sorts whose result labels cannot tell which rows went where."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from pandas import DataFrame, Series

from . import _row_order as row_order
from ._arguments import given_rows
from ._calls import _inside_parent
from ._plain_values import plain_view
from ._positions import known_rows

# -- sorts whose labels cannot tell the rows ------------------------------------------------

_ROW_LABEL = "__quorvane_row__"


def sorted_positions(obj: Any, method: str, args: tuple, kwargs: dict) -> np.ndarray | None:
    """Row positions a sort will give, worked out beforehand when the labels cannot tell
    them afterwards (a non-unique index, ``ignore_index``); None when they can, or for a
    column sort.

    The same pandas sort runs on a stand-in that carries the positions: as the values of
    a series on the same index (``sort_index``), under a positional index (a series'
    ``sort_values``), or in an extra column (a frame's ``sort_values``, whose keys are
    named columns or levels, so an extra column changes nothing).
    """
    if kwargs.get("axis", 0) not in (0, "index"):
        return None
    if obj.index.is_unique and not kwargs.get("ignore_index"):
        return None
    kwargs = {k: v for k, v in kwargs.items() if k not in ("inplace", "ignore_index")}
    rows = np.arange(len(obj), dtype=np.intp)
    if method == "sort_index":
        kwargs.pop("axis", None)
        stand_in = Series(rows, index=obj.index)
        return stand_in.sort_index(*args, **kwargs).to_numpy()
    if isinstance(obj, Series):
        stand_in = Series(obj.to_numpy(), index=pd.RangeIndex(len(obj)))
        return stand_in.sort_values(*args, **kwargs).index.to_numpy()
    stand_in = DataFrame(obj, copy=False).copy(deep=False)
    stand_in[_ROW_LABEL] = rows
    return stand_in.sort_values(*args, **kwargs)[_ROW_LABEL].to_numpy()


def _on_plain_columns(key: Any) -> Any:
    """A frame sort's ``key``, given each sort column as its plain column: pandas hands it
    a bare series of the column's array, on which a words array's text would not take
    ``.str``. The columns' words are followed as sort keys already."""

    def on_plain(column: Any) -> Any:
        return key(plain_view(column))

    return on_plain


class SortsFollow:
    """``sort_values``/``sort_index`` that announce their rows on a non-unique index."""

    def sort_values(self, *args: Any, **kwargs: Any) -> Any:
        return self._sort("sort_values", args, kwargs)

    def sort_index(self, *args: Any, **kwargs: Any) -> Any:
        return self._sort("sort_index", args, kwargs)

    def _sort(self, method: str, args: tuple, kwargs: dict) -> Any:
        parent = getattr(super(), method)
        positions = sorted_positions(self, method, args, kwargs)
        keys = row_order.sort_keys(self, method, args, kwargs)
        lent = given_rows(self, [kwargs.get("key")], method) if kwargs.get("key") else None
        for attr, entries in (lent or {}).items():  # what a key function reads besides
            keys[attr] = [*keys.get(attr, []), entries]
        if kwargs.get("key") and not isinstance(self, Series):
            kwargs = {**kwargs, "key": _on_plain_columns(kwargs["key"])}
        if positions is None:
            result = parent(*args, **kwargs)
        else:
            with known_rows(self, positions):
                result = parent(*args, **kwargs)
        self._ordered_by(result, keys, method, kwargs)
        if kwargs.get("ignore_index"):
            self._placed(result, kwargs, method)
        return result

    def reset_index(self, *args: Any, **kwargs: Any) -> Any:
        result = super().reset_index(*args, **kwargs)  # type: ignore[misc]
        target = self if kwargs.get("inplace") else result
        if isinstance(getattr(target, "index", None), pd.RangeIndex):  # every level reset
            self._placed(result, kwargs, "reset_index")
        return result

    def set_axis(self, labels: Any, *args: Any, **kwargs: Any) -> Any:
        result = super().set_axis(labels, *args, **kwargs)  # type: ignore[misc]
        if kwargs.get("axis", args[0] if args else 0) in (0, "index", "rows"):
            self._placed(result, kwargs, "set_axis")
        return result

    def _placed(self, result: Any, kwargs: dict, method: str) -> None:
        """``result`` (or this container, in place) holds its rows under labels given by
        their place (see ``_row_order.placed_in_order``)."""
        target = self if kwargs.get("inplace") else result
        if row_order._same_family(target, getattr(self, "_fields", ())):
            row_order.placed_in_order(target, method)

    def nlargest(self, *args: Any, **kwargs: Any) -> Any:
        return self._select_n("nlargest", args, kwargs)

    def nsmallest(self, *args: Any, **kwargs: Any) -> Any:
        return self._select_n("nsmallest", args, kwargs)

    def _select_n(self, method: str, args: tuple, kwargs: dict) -> Any:
        if isinstance(self, Series):
            keys = row_order.own_keys(self)
        else:
            columns = kwargs.get("columns", args[1] if len(args) > 1 else None)
            keys = row_order.column_keys(self, columns if isinstance(columns, list) else [columns])
        with _inside_parent():  # pandas picks the rows with its own iloc: this call's
            result = getattr(super(), method)(*args, **kwargs)
        self._ordered_by(result, keys, method, kwargs)
        row_order.picked_in_order(result, method)  # the first n in that order
        return result

    def sample(self, *args: Any, **kwargs: Any) -> Any:
        weights = kwargs.get("weights")
        with _inside_parent():  # pandas takes the rows it drew: this call's
            result = super().sample(*args, **kwargs)  # type: ignore[misc]
        if weights is None:
            # drawn at random: the order the rows had still counts, and picked the rows
            row_order.picked_in_order(result, "sample")
            return result
        fields = getattr(self, "_fields", ())
        if row_order._same_family(weights, fields) and isinstance(weights, Series):
            keys = row_order.own_keys(weights)
        elif np.ndim(weights) == 0 and not isinstance(self, Series):
            keys = row_order.column_keys(self, [weights])
        else:  # weights of unknown provenance (a plain array, an untracked series)
            keys = {f.series_attr: [None] for f in fields}
        self._ordered_by(result, keys, "sample", kwargs)
        row_order.picked_in_order(result, "sample")  # the weights chose the rows too
        return result

    def _ordered_by(self, result: Any, keys: dict, method: str, kwargs: dict) -> None:
        """``result`` (or this container, sorted in place) is in an order the ``keys``
        decided (see ``_row_order``)."""
        target = self if kwargs.get("inplace") else result
        if row_order._same_family(target, getattr(self, "_fields", ())):
            row_order.remember(self, target, keys, method)
