"""DAGTrackedSeries: a Series whose every element carries a word and the id of its DAG node.

pandas computes values, index and names; the words and node ids follow their elements
(see ``_follow``). An operation then steps every element through the tracker: its word
from ``combine``/``update_chain``, one logged node and one recorded value. Node id -1 means
"no node": a fill value of an alignment or an outer join, which derives from no source.
An element whose origin cannot be followed has the tracker's unknown source node
(``DAGTracker.unknown_node``), so its lineage says so instead of ending nowhere.
"""

from __future__ import annotations

import builtins
from collections.abc import Callable
from typing import Any, ClassVar

import numpy as np
import pandas as pd

from .. import _row_order
from .._caller_warnings import report_warnings_at_caller
from .._checks import as_int, exact
from .._follow import (
    Field,
    FollowingSeries,
    array_entries,
    followed_attribute,
    gather,
    row_positions,
    tracked_array,
    unknown_fill,
)
from ..orrin32 import OpCode, ProvenanceTracker, _compat, _groups
from ..orrin32._accessors import SeriesAccessors
from ..orrin32._engine import combine_batch, update_chain_batch
from ..orrin32._series import (
    _ARRAY_FUNCTIONS,
    BINARY_OPERATORS,
    WORDS,
    _binop_calls,
    _count_binop,
    _derived_words,
    _flatten,
    _in_parent,
    _in_place_call,
    _inside_parent,
)
from ._records import NodeType
from ._row_values import record_values

#: Node id of an element that no logged node produced.
NO_NODE = -1

# pandas' own Series, bound once: code that puts a tracked class in the place of
# ``pandas.Series`` (the conformance run of pandas' tests does) must not turn the parent's
# operators into these.
_Series = pd.Series


def _unknown_node(tracker: Any) -> int:
    unknown = getattr(tracker, "unknown_node", None)
    return unknown() if unknown is not None else NO_NODE


def aggregate_nodes(
    tracker: Any, arrays: list, segments: np.ndarray, n: int, words: np.ndarray, op_name: str
) -> np.ndarray:
    """One AGGREGATE node per segment (a group), its inputs the distinct nodes of its
    members; -1 for a segment none of whose members has a node."""
    nodes = np.concatenate([np.asarray(a, dtype=np.int64) for a in arrays])
    owners = np.concatenate([segments] * len(arrays))
    keep = (owners >= 0) & (nodes >= 0)
    pairs = np.unique(np.stack([owners[keep], nodes[keep]]), axis=1)
    bounds = np.searchsorted(pairs[0], np.arange(n + 1))
    logged = tracker._log_segments(op_name, words, bounds, pairs[1])
    if logged is not None:
        return logged
    out = np.full(n, NO_NODE, dtype=np.int64)
    for segment in range(n):
        inputs = pairs[1, bounds[segment] : bounds[segment + 1]].tolist()
        if inputs:
            out[segment] = tracker.log_aggregate(op_name, inputs, int(words[segment]))
    return out


def window_nodes(
    tracker: Any, nodes: Any, span: int, words: np.ndarray, op_name: str
) -> np.ndarray:
    """One AGGREGATE node per element over the nodes of its window's members. An expanding
    window (span 0) chains: each node takes the previous element's node and its own, so
    its lineage still reaches every member before it."""
    logged = tracker._log_windows(op_name, words, nodes, span)
    if logged is not None:
        return logged
    members = np.asarray(nodes, dtype=np.int64).tolist()
    out = np.full(len(members), NO_NODE, dtype=np.int64)
    previous = NO_NODE
    for i, word in enumerate(np.asarray(words).tolist()):
        window = [previous, members[i]] if span == 0 else members[max(0, i - span + 1) : i + 1]
        inputs = sorted({n for n in window if n >= 0})
        if inputs:
            previous = out[i] = tracker.log_aggregate(op_name, inputs, word)
    return out


#: The node ids of a series (``_node_ids``) and of a frame's columns (``_col_nodes``).
NODES = Field(
    "_node_ids",
    "_col_nodes",
    np.int64,
    absent=NO_NODE,
    unknown=_unknown_node,
    aggregate=aggregate_nodes,
    window=window_nodes,
)
FIELDS = (WORDS, NODES)


def _stock_words(tracker: Any, name: str) -> bool:
    """Whether the tracker's word method ``name`` is the base tracker's own, so that the
    engine's batch kernel gives the same words as one call per element."""
    own = getattr(tracker, "__dict__", {})
    return getattr(type(tracker), name, None) is getattr(ProvenanceTracker, name) and (
        name not in own
    )


def _chained_words(tracker: Any, words: np.ndarray, op_code: int) -> np.ndarray:
    if _stock_words(tracker, "update_chain"):
        return update_chain_batch(tracker._rust, words, op_code)
    update_chain = tracker.update_chain
    return np.array([update_chain(w, op_code) for w in words.tolist()], dtype=WORDS.dtype)


def _combined_words(tracker: Any, left: np.ndarray, right: np.ndarray, op_code: int) -> Any:
    if _stock_words(tracker, "combine"):
        return combine_batch(tracker._rust, left, right, op_code)
    combine = tracker.combine
    pairs = zip(left.tolist(), right.tolist(), strict=True)
    return np.array([combine(a, b, op_code) for a, b in pairs], dtype=WORDS.dtype)


def chain_elements(
    tracker: Any, words: np.ndarray, nodes: np.ndarray, op_name: str, op_code: int
) -> tuple[np.ndarray, np.ndarray]:
    """Every element one ``op_code`` step further: its word, and one UNARY node wherever
    its input node exists."""
    out_words = _chained_words(tracker, np.asarray(words, WORDS.dtype), op_code)
    return out_words, _element_nodes(tracker, [nodes], out_words, op_name)


def _combine_elements(
    tracker: Any, left: tuple, right: tuple, op_name: str, op_code: int
) -> tuple[np.ndarray, np.ndarray]:
    """The words of aligned operand pairs combined, and one BINARY node wherever both
    input nodes exist."""
    out_words = _combined_words(
        tracker, np.asarray(left[0], WORDS.dtype), np.asarray(right[0], WORDS.dtype), op_code
    )
    return out_words, _element_nodes(tracker, [left[1], right[1]], out_words, op_name)


def _operand_rows(series: Any, other: Any) -> tuple[np.ndarray | None, np.ndarray | None]:
    """Position of each result element in ``series`` and in ``other``, as pandas aligned
    them (outer join of the indexes); None for rows in place."""
    if not isinstance(other, _Series):
        return None, None
    index, other_index = series.index, other.index
    if index is other_index or index.equals(other_index):
        return None, None
    _, left_rows, right_rows = index.join(other_index, how="outer", return_indexers=True)
    return left_rows, right_rows


def _arrays(series: Any, rows: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
    """Words and node ids of ``series`` at ``rows`` (absent where it has no row)."""
    return (
        gather(series._prov, rows, WORDS.absent, WORDS.dtype),
        gather(series._node_ids, rows, NODES.absent, NODES.dtype),
    )


class DAGTrackedSeries(SeriesAccessors, _groups.WindowingSeries, FollowingSeries, pd.Series):
    """Pandas Series with DAG-tracked provenance."""

    _metadata: ClassVar[list[str]] = ["_name", "_prov", "_tracker", "_node_ids"]
    _fields = FIELDS
    _prov = followed_attribute("_prov")
    _node_ids = followed_attribute("_node_ids")

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        prov = kwargs.pop("_prov", None)
        tracker = kwargs.pop("_tracker", None)
        node_ids = kwargs.pop("_node_ids", None)
        super().__init__(*args, **kwargs)
        self._tracker = tracker
        data = args[0] if args else kwargs.get("data")
        _row_order.carry(self, data)
        lent = _arrays_lent(self, data)
        self._prov = prov if prov is not None else lent[WORDS.series_attr]
        self._node_ids = node_ids if node_ids is not None else lent[NODES.series_attr]
        if prov is None and node_ids is None:
            # bare values: provenance unknown until given
            self._followed = isinstance(data, DAGTrackedSeries) and getattr(
                data, "_followed", False
            )
            _groups.cut_from(self, _compat.pandas_caller_local("_postprocess_for_cut", "original"))

    # -- pandas construction hooks ------------------------------------------------------

    @property
    def _constructor(self) -> type[DAGTrackedSeries]:
        return DAGTrackedSeries

    @property
    def _constructor_expanddim(self) -> type:
        from ._frame import DAGTrackedDataFrame

        return DAGTrackedDataFrame

    def _constructor_from_mgr(self, mgr: Any, axes: Any) -> DAGTrackedSeries:
        return _series_from_mgr(mgr, axes)

    def _constructor_expanddim_from_mgr(self, mgr: Any, axes: Any) -> Any:
        from ._frame import DAGTrackedDataFrame

        return DAGTrackedDataFrame._from_mgr_with_defaults(mgr, axes)

    # -- the steps ---------------------------------------------------------------------

    def _binop_dag(self, other: Any, pandas_op: Callable, op_name: str, op_code: int) -> Any:
        exact("op_name", op_name, str)
        op_code = as_int("op_code", op_code)
        _count_binop()
        if _in_parent() and _compat.caller_is_pandas(depth=3):
            return pandas_op(self, other)  # pandas' own step inside one of ours
        # pandas computes and aligns; nothing is logged for a result it refuses to build.
        result = pandas_op(self, other)
        if not isinstance(result, DAGTrackedSeries):
            return result
        tracker = self._tracker
        object.__setattr__(result, "_tracker", tracker)
        left_rows, right_rows = _operand_rows(self, other)
        left = _arrays(self, left_rows)
        positional = _positional_operand(other, len(left[0]))
        if positional is not None and tracker and not _in_place_call():
            words, nodes = _combine_elements(tracker, left, positional, op_name, op_code)
            return _finish(result, words, nodes, op_name)
        if not tracker or not isinstance(other, DAGTrackedSeries) or _in_place_call():
            # A constant or an untracked operand adds no source: the receiver's entries.
            result._set_fields({"_prov": left[0].copy(), "_node_ids": left[1].copy()})
            return result
        right = _arrays(other, right_rows)
        words, nodes = _combine_elements(tracker, left, right, op_name, op_code)
        return _finish(result, words, nodes, op_name)

    def _unop_dag(self, pandas_op: Callable, op_name: str, op_code: int) -> Any:
        exact("op_name", op_name, str)
        op_code = as_int("op_code", op_code)
        return self._stepped(pandas_op(self), op_name, op_code)

    def _stepped(self, result: Any, op_name: str, op_code: int) -> Any:
        """``result`` (built by pandas from this series, its elements followed) with every
        element one step further."""
        if not isinstance(result, DAGTrackedSeries) or result is self:
            return result
        tracker = self._tracker
        object.__setattr__(result, "_tracker", tracker)
        if not tracker or _in_place_call():
            return result
        words, nodes = chain_elements(
            tracker,
            np.asarray(result._prov, WORDS.dtype),
            np.asarray(result._node_ids, NODES.dtype),
            op_name,
            op_code,
        )
        return _finish(result, words, nodes, op_name)

    def _transform(
        self, name: str, op_name: str, op_code: int, args: tuple, kwargs: dict, inner: bool
    ) -> Any:
        parent = getattr(_Series, name)
        if inner:
            return parent(self, *args, **kwargs)
        in_place = _compat.inplace_requested(kwargs)
        with _inside_parent(in_place=in_place):
            result = parent(self, *args, **kwargs)
        if in_place or not isinstance(result, _Series):
            return result  # in place, the elements keep their words and nodes
        return self._stepped(result, op_name, op_code)

    # -- one operand ---------------------------------------------------------------------

    def __neg__(self) -> Any:
        return self._unop_dag(_Series.__neg__, "neg", OpCode.NEG)

    def clip(self, lower: Any = None, upper: Any = None, **kwargs: Any) -> Any:
        inner = _in_parent() and _compat.caller_is_pandas()
        bounds = [x for x in (lower, upper) if isinstance(x, DAGTrackedSeries)]
        if inner or not bounds or _compat.inplace_requested(kwargs):
            return self._transform("clip", "clip", OpCode.CLIP, (lower, upper), kwargs, inner)
        with _inside_parent():
            result = _Series.clip(self, lower, upper, **kwargs)
        return self._derived(result, [self, *bounds], "clip", OpCode.CLIP)

    def abs(self) -> Any:
        return self._stepped(super().abs(), "abs", OpCode.ABS)

    def groupby(self, by: Any = None, *args: Any, **kwargs: Any) -> Any:
        grouped = super().groupby(by, *args, **kwargs)
        if _compat.caller_is_pandas():
            return grouped
        return _groups.TrackedGroupBy(self, grouped, _groups.key_arrays(self, by))

    def round(self, *args: Any, **kwargs: Any) -> Any:
        return self._stepped(super().round(*args, **kwargs), "round", OpCode.ROUND)

    def __round__(self, decimals: int = 0) -> Any:
        # pandas' own finalises the rounded result once more, from the receiver.
        return self.round(decimals)

    def __invert__(self) -> Any:
        return self._unop_dag(_Series.__invert__, "invert", OpCode.LOGIC)

    def isin(self, values: Any) -> Any:
        return self._stepped(super().isin(values), "isin", OpCode.CMP)

    # -- several operands: conditions and ufuncs ---------------------------------------------

    def where(self, cond: Any, other: Any = np.nan, **kwargs: Any) -> Any:
        return self._conditional("where", cond, other, kwargs)

    def mask(self, cond: Any, other: Any = np.nan, **kwargs: Any) -> Any:
        return self._conditional("mask", cond, other, kwargs)

    def _conditional(self, name: str, cond: Any, other: Any, kwargs: dict) -> Any:
        parent = getattr(_Series, name)
        if _compat.inplace_requested(kwargs) or (
            _in_parent() and _compat.caller_is_pandas(depth=3)
        ):
            with _inside_parent(in_place=True):
                return parent(self, cond, other, **kwargs)
        with _inside_parent():
            result = parent(self, cond, other, **kwargs)
        operands = [self, *(x for x in (cond, other) if isinstance(x, DAGTrackedSeries))]
        return self._derived(result, operands, name, OpCode.WHERE)

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        calls = _binop_calls()
        result = super().__array_ufunc__(ufunc, method, *inputs, **kwargs)
        operands = [x for x in inputs if isinstance(x, DAGTrackedSeries)]
        if method != "__call__" or not isinstance(result, DAGTrackedSeries):
            return result
        if _binop_calls() != calls:
            return result  # pandas ran one of the operators, which made the entries
        return self._derived(result, operands, ufunc.__name__, OpCode.UFUNC)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        # numpy's own implementation, as if this class did not take part (see the words road)
        result = func._implementation(*args, **kwargs)
        tracker = self._tracker
        if func not in _ARRAY_FUNCTIONS or not tracker:
            return result
        if not isinstance(result, np.ndarray) or result.ndim != 1 or len(result) != len(self):
            return result
        flat = _flatten(args) + _flatten(list(kwargs.values()))
        operands = [x for x in flat if isinstance(x, DAGTrackedSeries) and len(x) == len(self)]
        index = pd.RangeIndex(len(result))  # positional, as numpy is
        lined_up = [
            DAGTrackedSeries(x._values, index=index, _prov=x._prov, _node_ids=x._node_ids)
            for x in operands
        ]
        shape = DAGTrackedSeries(np.zeros(len(result)), index=index)
        words = _derived_words(tracker, shape, lined_up, OpCode.WHERE)
        nodes = _element_nodes(tracker, [x._node_ids for x in lined_up], words, func.__name__)
        return tracked_array(result, words, tracker, np.asarray(nodes, dtype=np.int64))

    def _derived(self, result: Any, operands: list, op_name: str, op_code: int) -> Any:
        """``result`` (pandas' values, aligned as pandas aligned them) made element by
        element from tracked ``operands``: each element's word combines its operands'
        words with one step, and one node takes their nodes as inputs."""
        if not isinstance(result, DAGTrackedSeries):
            return result
        tracker = self._tracker
        object.__setattr__(result, "_tracker", tracker)
        if not tracker:
            return result
        words = _derived_words(tracker, result, operands, op_code)
        inputs = [_arrays(x, row_positions(result.index, x))[1] for x in operands]
        nodes = _element_nodes(tracker, inputs, words, op_name)
        return _finish(result, words, nodes, op_name)

    def fillna(self, value: Any = 0, **kwargs: Any) -> Any:
        inner = _in_parent() and _compat.caller_is_pandas()
        return self._transform("fillna", "fillna", OpCode.FILL, (value,), kwargs, inner)

    def replace(self, *args: Any, **kwargs: Any) -> Any:
        inner = _in_parent() and _compat.caller_is_pandas()
        return self._transform("replace", "replace", OpCode.MAP, args, kwargs, inner)

    # -- .str and .dt (see _accessors): their steps ------------------------------------------

    def _elementwise(
        self, values: pd.Series, op_name: builtins.str, op_code: int, others: list
    ) -> Any:
        """``values`` (pandas' result, made element by element from this series and the
        tracked series ``others``, same rows) as a tracked series, every element one step
        further."""
        result = DAGTrackedSeries(
            values, _prov=self._prov, _node_ids=self._node_ids, _tracker=self._tracker
        )
        if others:
            return self._derived(result, [self, *others], op_name, op_code)
        return self._stepped(result, op_name, op_code)


def _binary_operator(name: str, op_name: str, op_code: int) -> Callable[..., Any]:
    pandas_op = getattr(_Series, name)

    def operator(self: DAGTrackedSeries, other: Any) -> Any:
        return self._binop_dag(other, pandas_op, op_name, op_code)

    operator.__name__ = operator.__qualname__ = name
    return operator


for _name, (_op_name, _code) in BINARY_OPERATORS.items():
    setattr(DAGTrackedSeries, _name, _binary_operator(_name, _op_name, _code))


def quiet_temporaries(cls: type, names: tuple[str, ...]) -> None:
    """Give ``cls`` the methods ``names`` it inherits, with their operator calls quiet.

    These pandas methods compute masks of their own with the operators (the rows that
    drop_duplicates and query keep, the differences of compare); such temporaries log no
    node and record no value, which for every row of a frame would cost more than the
    method itself and fill the log with steps nobody made.
    """
    for name in names:
        setattr(cls, name, _quiet(getattr(super(cls, cls), name), name))


def _quiet(method: Callable, name: str) -> Callable:
    def quiet(self: Any, *args: Any, **kwargs: Any) -> Any:
        with _inside_parent(in_place=True):
            return method(self, *args, **kwargs)

    quiet.__name__ = quiet.__qualname__ = name
    quiet.__doc__ = method.__doc__
    return quiet


quiet_temporaries(DAGTrackedSeries, ("compare",))


def _positional_operand(other: Any, n: int) -> tuple[np.ndarray, np.ndarray] | None:
    """Words and nodes of numpy's array for tracked inputs (np.where), read by position."""
    words = array_entries(other, n)
    nodes = array_entries(other, n, "_node_ids")
    if words is None or nodes is None:
        return None
    return np.asarray(words, WORDS.dtype), np.asarray(nodes, NODES.dtype)


_KINDS = {1: NodeType.UNARY, 2: NodeType.BINARY}


def _element_nodes(tracker: Any, inputs: list, words: np.ndarray, op_name: str) -> np.ndarray:
    """One node per element with that element's input nodes (all of them must exist): in
    one native call, or one public logging call per node when the tracker wants those."""
    kind = _KINDS.get(len(inputs), NodeType.AGGREGATE)
    logged = tracker._log_columns(kind, op_name, words, inputs)
    if logged is not None:
        return logged
    if kind is NodeType.UNARY:
        log_unary = tracker.log_unary
        log = lambda ids, word: log_unary(op_name, ids[0], word)  # noqa: E731
    elif kind is NodeType.BINARY:
        log_binary = tracker.log_binary
        log = lambda ids, word: log_binary(op_name, ids[0], ids[1], word)  # noqa: E731
    else:
        log_aggregate = tracker.log_aggregate
        log = lambda ids, word: log_aggregate(op_name, ids, word)  # noqa: E731
    columns = (np.asarray(x, dtype=np.int64).tolist() for x in inputs)
    nodes = [
        log(ids, word) if min(ids) >= 0 else NO_NODE
        for word, *ids in zip(np.asarray(words).tolist(), *columns, strict=True)
    ]
    return np.array(nodes, dtype=NODES.dtype)


def _finish(result: DAGTrackedSeries, words: Any, nodes: Any, op_name: str) -> Any:
    result._set_fields(
        {
            "_prov": np.asarray(words, dtype=WORDS.dtype),
            "_node_ids": np.asarray(nodes, dtype=NODES.dtype),
        }
    )
    record_values(result._tracker, result._values, words, op_name)
    return result


def _series_from_mgr(mgr: Any, axes: Any) -> DAGTrackedSeries:
    # Built without __init__ (see orrin32's _compat); the attributes get defaults here and
    # the source's through __finalize__.
    ser = _compat.from_mgr(DAGTrackedSeries, mgr, axes)
    n = len(ser)
    object.__setattr__(ser, "_name", None)
    object.__setattr__(ser, "_tracker", None)
    object.__setattr__(ser, "_prov", _absent(WORDS, n))
    object.__setattr__(ser, "_node_ids", _absent(NODES, n))
    object.__setattr__(ser, "_followed", False)
    return ser


def _arrays_lent(series: DAGTrackedSeries, data: Any) -> dict[str, np.ndarray]:
    """Entries of a series built by a call: those of a tracked series it was built from
    (its rows followed as pandas took them), else none yet (word 0, no node)."""
    n = len(series)
    if isinstance(data, DAGTrackedSeries):
        rows = row_positions(series.index, data)
        tracker = series._tracker or data._tracker
        return {
            f.series_attr: gather(
                getattr(data, f.series_attr), rows, unknown_fill(f, tracker), f.dtype
            )
            for f in FIELDS
        }
    return {f.series_attr: _absent(f, n) for f in FIELDS}


def _absent(field: Field, n: int) -> np.ndarray:
    """``n`` absent entries as a read-only view that costs nothing: most series built with
    them are given their real entries by ``__finalize__`` straight away."""
    return np.broadcast_to(np.array(field.absent, dtype=field.dtype), (n,))


report_warnings_at_caller(DAGTrackedSeries)
