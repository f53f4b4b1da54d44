"""Frame operators: every element of the result combines the elements it was made of.

pandas computes a frame's operators block by block on bare arrays (with another frame,
with a series down the rows or across the columns, with a scalar) and then finalises the
result from each operand in turn, so the last operand's entries would replace the
others'. The operator entry points of a tracked frame (the operators, their named forms
such as ``mul(s, axis=0)``, and numpy's ufuncs) let pandas align and compute the values,
then make each result column's entries from its operands' entries, lined up as pandas
lined up their values, with the family's own algebra: as the series operators do.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any

import numpy as np
from pandas import DataFrame, Index, Series
from pandas.errors import InvalidIndexError

from ..core._word import OpCode
from ._arguments import lacking
from ._array_words import hold_in, reads_own_array, reads_own_column, taken
from ._calls import _in_place_call
from ._elementwise import constant_entries, is_constant, untracked_rows
from ._follow import Field, gather, lookup, operands_aligned
from ._ops import KEPT
from ._positions import _same_family, unknown_entries
from ._row_order import selections_apart
from ._scalars import scalar_entries
from ._series import _binop_calls, _count_binop, derived_words, operators_of, pandas_operator

_ROWS, _COLUMNS = 0, 1


def _axis_number(axis: Any) -> int:
    """pandas' axis of a named operator: a series operand lines up with the rows (0) or,
    by default, with the columns (1)."""
    return _ROWS if axis in (0, "index", "rows") else _COLUMNS


class OperatingFrame:
    """Operators and ufuncs of a tracked frame (module doc). A family supplies
    ``_combine_entries``: its algebra over entries lined up on the result."""

    _fields: tuple[Field, ...] = ()

    def _combine_entries(
        self,
        operands: list[dict],
        values: Callable[[], Any],
        op_name: str,
        op_code: int,
        words: np.ndarray | None = None,
    ) -> dict[str, np.ndarray]:
        """The entries of elements made from the aligned ``operands``: their words combined
        (unless ``words`` are given), and each other field's entries for them (the DAG
        road's nodes); ``values`` gives the column's values for a family that records them
        (``_record_column``)."""
        tracker = getattr(self, "_tracker", None)
        words_field, *others = self._fields
        # a constant operand (a table a road logs) has a node but no words: it adds no source
        lent = [o[words_field.series_attr] for o in operands]
        if words is None:
            words = derived_words(tracker, [w for w in lent if w is not None], op_code)
        entries = {words_field.series_attr: words}
        for f in others:
            if f.element is not None:
                made = f.element(tracker, [o[f.series_attr] for o in operands], words, op_name)
                entries[f.series_attr] = np.asarray(made, dtype=f.dtype)
        self._record_column(values, words, op_name, entries)
        return entries

    def _record_column(
        self, values: Callable[[], Any], words: np.ndarray, op_name: str, entries: dict
    ) -> None:
        """Called with every column an operation made and its entries (the DAG road
        records its values)."""

    def _operated(
        self,
        others: list,
        result: Any,
        op_name: str,
        op_code: int,
        axis: int,
        alone: bool,
        fills: bool = False,
        reflected: bool = False,
    ) -> Any:
        """``result`` of an operation over this frame and ``others`` (aligned by pandas),
        each element combining the entries of every tracked operand. An element with no
        other tracked operand (a constant, a plain object) keeps this frame's entries, or
        takes one step when ``alone`` (a ufunc of one input); on a road that logs
        constants, one with a constant is a step over it too, its words kept (a constant
        adds no source), the constant first where the operator is ``reflected``."""
        fields = self._fields
        if not _same_family(result, fields) or result is self:
            return result
        tracker = getattr(self, "_tracker", None)
        object.__setattr__(result, "_tracker", tracker)
        sides = [self, *(x for x in others if _is_container(x) and _same_family(x, fields))]
        lined_up = [_Lined(side, result.index, axis, tracker) for side in sides]
        lent = _lent(sides, lined_up, others, tracker, len(result)) if tracker else []
        constants = _constants(others, tracker, fields, len(result)) if len(sides) == 1 else []
        combine = bool(tracker) and not _in_place_call() and (len(sides) > 1 or alone or lent)
        stepped = not combine and bool(tracker) and not _in_place_call() and bool(constants)
        mappings: dict[str, dict] = {f.frame_attr: {} for f in fields}
        column_array = _column_arrays(result)
        words_alone = bool(tracker) and len(fields) == 1  # words an array can hold
        for position, label in enumerate(result.columns):
            if not _names_one_column(result.columns, label):
                continue  # one entry per label cannot tell equal labels apart
            array = column_array(position) if words_alone else None
            inputs = [side.own_array(label) for side in lined_up] if array is not None else []
            # every operand's entries are its array's own, which pandas lined up as these (not
            # with a ``fill_value``: pandas writes it into copies of the operands' arrays,
            # where it holds no word, and the containers' elements keep the operand's); with
            # constants alone, the array's copy of the same words
            from_arrays = array is not None and not (lent or fills)
            from_arrays = from_arrays and all(x is not None for x in inputs)
            words = taken(array, op_code if combine else KEPT) if from_arrays else None
            if words is not None:
                entries = [{fields[0].series_attr: words}]
            else:
                entries = [side.entries(label) for side in lined_up] + lent
            if combine and words is None:
                column = functools.partial(column_array, position)  # read if recorded
                entries = [self._combine_entries(entries, column, op_name, op_code)]
                hold_in(array, entries[0], tracker, inputs)
            elif stepped:
                own = lined_up[0].entries(label)
                operands = [*constants, own] if reflected else [own, *constants]
                column = functools.partial(column_array, position)
                kept = own[fields[0].series_attr] if words is None else words
                made = self._combine_entries(operands, column, op_name, op_code, words=kept)
                entries = [made]
            for f in fields:
                mappings[f.frame_attr][label] = entries[0][f.series_attr]
        result._set_mappings(mappings)
        return result

    # -- one operand: every element one step further, as a column's would be ----------------

    def _stepped(self, result: Any, op_name: str, op_code: int) -> Any:
        return self._operated([], result, op_name, op_code, _COLUMNS, alone=True)

    def __neg__(self) -> Any:
        return self._stepped(super().__neg__(), "neg", OpCode.NEG)  # type: ignore[misc]

    def __invert__(self) -> Any:
        return self._stepped(super().__invert__(), "invert", OpCode.LOGIC)  # type: ignore[misc]

    def abs(self) -> Any:
        return self._stepped(super().abs(), "abs", OpCode.ABS)  # type: ignore[misc]

    def round(self, *args: Any, **kwargs: Any) -> Any:
        result = super().round(*args, **kwargs)  # type: ignore[misc]
        return self._stepped(result, "round", OpCode.ROUND)

    def __round__(self, decimals: int = 0) -> Any:
        # pandas' own finalises the rounded result once more, from the receiver.
        return self.round(decimals)

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        calls = _binop_calls()
        with operands_aligned():
            result = super().__array_ufunc__(ufunc, method, *inputs, **kwargs)  # type: ignore[misc]
        if method != "__call__" or _binop_calls() != calls:
            return result  # a reduction, or pandas ran one of the operators
        tracked = [x for x in inputs if _same_family(x, self._fields)]
        receiver = next((x for x in tracked if isinstance(x, DataFrame)), self)
        others = [x for x in tracked if x is not receiver]
        outputs = result if isinstance(result, tuple) else (result,)
        for out in outputs:
            receiver._operated(others, out, ufunc.__name__, OpCode.UFUNC, _COLUMNS, alone=True)
        return result


def _lent(sides: list, lined_up: list, others: list, tracker: Any, n: int) -> list[dict]:
    """What reaches every element beside the operands' own entries: the selection of a
    filtered operand lined up onto rows it lacks (see ``lacking``), and data of unseen
    origin with a value per row (a plain array, series or frame) as unknown."""
    lent = []
    for side, lined in zip(sides, lined_up, strict=True):
        holder = sides[0] if side is not sides[0] else (sides[1:] or [None])[0]
        if selections_apart(holder, side):  # else it lends nothing: its rows need no finding
            lent += lacking(holder, side, lined.rows, n)
    fields = sides[0]._fields
    for x in others:  # a tracked scalar (``frame / ref``): its entries, for every element
        scalar = scalar_entries(x, tracker, fields)
        if scalar is not None:
            lent.append({f.series_attr: np.full(n, scalar[f.series_attr], f.dtype) for f in fields})
    if any(_unseen_rows(x) for x in others):
        lent.append(unknown_entries(fields, tracker, n))
    return lent


def _constants(others: list, tracker: Any, fields: tuple, n: int) -> list[dict]:
    """The entries of the constant operands among ``others``, on a road that logs them
    (none elsewhere)."""
    found = [constant_entries(tracker, fields, x, n) for x in others if is_constant(x)]
    return [entries for entries in found if entries is not None]


def _is_container(value: Any) -> bool:
    return isinstance(value, (Series, DataFrame))


def _unseen_rows(value: Any) -> bool:
    """Whether ``value`` is plain data with a value per row (see ``untracked_rows``), a
    plain frame or a two-dimensional array among them."""
    if isinstance(value, (np.ndarray, DataFrame)) and np.ndim(value) == 2:
        # a table of numpy's, tracked or not, is not read by position: unknown
        plain = isinstance(value, np.ndarray) or getattr(value, "_tracker", None) is None
        return plain and len(value) > 1
    return untracked_rows(value)


class _Lined:
    """One operand's entries, lined up on the result's rows: a frame's column by label, a
    series down the rows or (by its labels) across the columns."""

    def __init__(self, side: Any, result_index: Index, axis: int, tracker: Any) -> None:
        self.side, self.n, self.tracker = side, len(result_index), tracker
        self.across = isinstance(side, Series) and axis == _COLUMNS
        self.result_index = result_index
        # its rows can be found again by label (see ``_rows``)
        index = side.index
        self.followed = self.across or index.is_unique or index.equals(result_index)
        self.down: dict[str, np.ndarray] = {}  # a series down the rows: the same for every column

    @functools.cached_property
    def rows(self) -> np.ndarray | None:
        """Position of each result row in this operand (None: the same rows), found only
        when its entries are gathered: where its array's own are taken, pandas found them."""
        return None if self.across else _rows(self.result_index, self.side)[0]

    def entries(self, label: Any) -> dict[str, np.ndarray]:
        side = self.side
        out = {}
        for f in side._fields:
            if self.across:
                out[f.series_attr] = self._across(f, label)
            elif not self.followed:  # rows that cannot be found again
                out[f.series_attr] = self._filled(f, unknown=True)
            elif isinstance(side, Series):
                if f.series_attr not in self.down:
                    array = getattr(side, f.series_attr)
                    self.down[f.series_attr] = gather(array, self.rows, f.absent, f.dtype)
                out[f.series_attr] = self.down[f.series_attr]
            else:
                array = lookup(getattr(side, f.frame_attr), label)
                if array is None:
                    # a column of the operand without entries is unknown; one that pandas
                    # added in the alignment holds only fill values
                    has_column = _names_one_column(side.columns, label)
                    out[f.series_attr] = self._filled(f, unknown=has_column)
                else:
                    out[f.series_attr] = gather(array, self.rows, f.absent, f.dtype)
        return out

    def own_array(self, label: Any) -> Any:
        """The words array of this operand's element ``label`` (a frame's column, a series
        down the rows) when its entries are that array's own, lined up by pandas as here;
        else None."""
        side = self.side
        if self.across or not self.followed:
            return None
        if isinstance(side, Series):
            return side.array if reads_own_array(side) else None
        if not _names_one_column(side.columns, label):
            return None
        array = _column_arrays(side)(side.columns.get_loc(label))
        return array if reads_own_column(side, label, array) else None

    def _across(self, f: Field, label: Any) -> np.ndarray:
        """A series whose labels match the result's columns: its element ``label`` for
        every row of that column."""
        index = self.side.index
        if not index.is_unique:
            return self._filled(f, unknown=True)
        position = index.get_indexer([label])[0]
        if position < 0:
            return self._filled(f, unknown=False)
        entry = np.asarray(getattr(self.side, f.series_attr), dtype=f.dtype)[position]
        return np.full(self.n, entry, dtype=f.dtype)

    def _filled(self, f: Field, unknown: bool) -> np.ndarray:
        value = f.unknown(self.tracker) if unknown and self.tracker else f.absent
        return np.full(self.n, value, dtype=f.dtype)


def _rows(result_index: Index, side: Any) -> tuple[np.ndarray | None, bool]:
    """Position in ``side`` of each result row (None: the same rows), and whether they
    could be found: by label, when the side's labels are unique (a label pandas added in
    the alignment has none: a fill value)."""
    index = side.index
    if index is result_index or index.equals(result_index):
        return None, True
    if index.is_unique:
        return index.get_indexer(result_index), True
    return None, False


def _names_one_column(columns: Index, label: Any) -> bool:
    try:
        return isinstance(columns.get_loc(label), int)
    except (KeyError, TypeError, InvalidIndexError):
        return False


def _column_arrays(frame: DataFrame) -> Callable[[int], Any]:
    """The array of ``frame``'s column at a position: the one the frame holds (a plain
    view of the frame would hold views of them)."""
    return lambda position: frame.iloc[:, position].array


def _operator(name: str, op_name: str, op_code: int) -> Callable[..., Any]:
    # a reflected operator (``800 - frame``, ``frame.rsub(800)``) has its other operand first
    reflected = name.strip("_").startswith("r")

    def operator(self: Any, other: Any, *args: Any, **kwargs: Any) -> Any:
        _count_binop()
        # the named forms take the axis first (an operator symbol has none: the columns)
        axis = _axis_number(kwargs.get("axis", args[0] if args else "columns"))
        fills = kwargs.get("fill_value", args[2] if len(args) > 2 else None) is not None
        with operands_aligned():
            result = pandas_operator(DataFrame, name, args, kwargs)(self, other)
        return self._operated([other], result, op_name, op_code, axis, False, fills, reflected)

    operator.__name__ = operator.__qualname__ = name
    operator.__doc__ = getattr(DataFrame, name).__doc__
    return operator


for _name, (_op_name, _code) in operators_of(DataFrame).items():
    setattr(OperatingFrame, _name, _operator(_name, _op_name, _code))
