"""DAGTrackedSeries: a Series whose every element carries a word and the id of its DAG node.

Operations run element by element through the tracker: each element gets its word from
``combine``/``update_chain``, one logged node and one recorded value. Node id -1 means
"no node"; id 0 is the tracker's first real node, so nothing falls back to it.
"""

from __future__ import annotations

import operator
from collections.abc import Callable
from typing import ClassVar

import numpy as np
import pandas as pd

from .._checks import as_int, exact
from ..orrin32 import OpCode, ProvenanceTracker
from ._records import NodeType
from ._row_values import record_values

#: Node id of an element that no logged node produced.
NO_NODE = -1


def _by_position(array, length: int, n: int, fill: int, broadcast: bool) -> list:
    """Entries 0..n-1 of an operand's word or node array, as Python ints.

    ``length`` is the operand's element count. With ``broadcast``, a length-1 operand
    that numpy broadcast over n elements lends its single entry to every position;
    otherwise positions beyond the array get ``fill`` (word 0, or no node).
    """
    if array is None or len(array) == 0:
        return [fill] * n
    if broadcast and length == 1 and n != 1:
        return [int(array[0])] * n
    entries = array[:n].tolist()
    if len(entries) < n:
        entries.extend([fill] * (n - len(entries)))
    return entries


def _operand_entries(series, n: int, broadcast: bool = False) -> tuple[list, list]:
    """The words and node ids that a tracked operand contributes to n result positions.

    Only the other operand of a two-operand operation is broadcast by numpy; a transform
    result longer than its receiver has positions that no element of it produced.
    """
    length = len(series)
    words = _by_position(getattr(series, "_prov", None), length, n, 0, broadcast)
    nodes = _by_position(getattr(series, "_node_ids", None), length, n, NO_NODE, broadcast)
    return words, nodes


def _int_words(*operands) -> bool:
    """Whether every word the operands lend is a plain int: their word arrays are of an
    integer dtype (``tolist`` gives ints) or absent (the fill word 0 is an int)."""
    for series in operands:
        prov = getattr(series, "_prov", None)
        if prov is None or not len(prov):
            continue
        if not isinstance(prov, np.ndarray) or prov.dtype.kind not in "iu":
            return False
    return True


def _word_function(tracker, name: str, int_words: bool):
    """The tracker's word method ``name`` (``combine`` or ``update_chain``) for a loop over
    the elements' words.

    When the words and the operation code are plain ints and the method is the base
    tracker's own, the engine's function is called directly: for int arguments the method
    only passes them on and returns the engine's int.
    """
    method = getattr(tracker, name)
    if not int_words:
        return method
    own = getattr(tracker, "__dict__", {})
    if getattr(type(tracker), name, None) is getattr(ProvenanceTracker, name) and name not in own:
        return getattr(tracker._rust, name)
    return method


def _fast_logger(tracker):
    """The tracker's per-element node logger (see ``DAGTracker._element_node_logger``),
    or None for a tracker of another kind or one whose logging methods are replaced."""
    factory = getattr(tracker, "_element_node_logger", None)
    return factory() if factory is not None else None


def _copy_or_default(array, n: int, dtype, fill: int) -> np.ndarray:
    """A copy of ``array``, or n entries of ``fill`` when the series has none."""
    if array is None:
        return np.full(n, fill, dtype=dtype)
    return np.array(array, dtype=dtype, copy=True)


class DAGTrackedSeries(pd.Series):
    """Pandas Series with DAG-tracked provenance."""

    _metadata: ClassVar[list[str]] = ["_prov", "_tracker", "_node_ids"]

    def __init__(self, *args, **kwargs):
        prov = kwargs.pop("_prov", None)
        tracker = kwargs.pop("_tracker", None)
        node_ids = kwargs.pop("_node_ids", None)
        super().__init__(*args, **kwargs)
        n = len(self)
        self._prov = prov if prov is not None else np.zeros(n, dtype=np.uint32)
        self._tracker = tracker
        self._node_ids = node_ids if node_ids is not None else np.full(n, NO_NODE, np.int64)

    @property
    def _constructor(self):
        return DAGTrackedSeries

    # -- shared machinery --------------------------------------------------------------

    def _untracked_result(self, values, index) -> DAGTrackedSeries:
        n = len(self)
        return DAGTrackedSeries(
            values,
            index=index,
            _prov=_copy_or_default(getattr(self, "_prov", None), n, np.uint32, 0),
            _tracker=self._tracker,
            _node_ids=_copy_or_default(getattr(self, "_node_ids", None), n, np.int64, NO_NODE),
        )

    def _binop_dag(self, other, np_op: Callable, op_name: str, op_code: int) -> DAGTrackedSeries:
        exact("op_name", op_name, str)
        op_code = as_int("op_code", op_code)
        # As in pandas, division by zero and invalid values give inf/NaN without a warning.
        with np.errstate(all="ignore"):
            values = np_op(self.values, getattr(other, "values", other))
        tracker = self._tracker
        if not isinstance(other, DAGTrackedSeries) or not tracker:
            return self._untracked_result(values, self.index)
        # Built before any node is logged, so a result that cannot exist logs nothing.
        result = DAGTrackedSeries(values, index=self.index, _tracker=tracker)
        n = len(result)
        left_words, left_nodes = _operand_entries(self, n)
        right_words, right_nodes = _operand_entries(other, n, broadcast=True)
        combine = _word_function(tracker, "combine", _int_words(self, other))
        words: list[int] = []
        nodes: list[int] = []
        add_word, add_node = words.append, nodes.append
        log = _fast_logger(tracker)
        if log is None:
            log_binary = tracker.log_binary
            for left_word, right_word, left, right in zip(
                left_words, right_words, left_nodes, right_nodes, strict=True
            ):
                word = combine(left_word, right_word, op_code)
                add_word(word)
                add_node(
                    log_binary(op_name, left, right, word) if left >= 0 and right >= 0 else NO_NODE
                )
        else:
            binary = NodeType.BINARY
            for left_word, right_word, left, right in zip(
                left_words, right_words, left_nodes, right_nodes, strict=True
            ):
                word = combine(left_word, right_word, op_code)
                add_word(word)
                add_node(
                    log(binary, op_name, [left, right], word)
                    if left >= 0 and right >= 0
                    else NO_NODE
                )
        return self._finish(result, values, words, nodes, op_name)

    def _unop_dag(self, np_op: Callable, op_name: str, op_code: int) -> DAGTrackedSeries:
        exact("op_name", op_name, str)
        op_code = as_int("op_code", op_code)
        with np.errstate(all="ignore"):
            values = np_op(self.values)
        if not self._tracker:
            return self._untracked_result(values, self.index)
        return self._chain_step(values, self.index, op_name, op_code)

    def _apply_tracked_unary(
        self, result_values, result_index, op_name: str, op_code: int
    ) -> DAGTrackedSeries:
        """Apply a tracked unary operation, updating provenance for each element.

        Shared by fillna, replace, and similar element-wise transforms.
        """
        exact("op_name", op_name, str)
        op_code = as_int("op_code", op_code)
        if not self._tracker:
            return self._untracked_result(result_values, result_index)
        return self._chain_step(result_values, result_index, op_name, op_code)

    def _chain_step(self, values, index, op_name: str, op_code: int) -> DAGTrackedSeries:
        """Advance every element's chain with ``op_code`` and log one UNARY node each."""
        tracker = self._tracker
        result = DAGTrackedSeries(values, index=index, _tracker=tracker)
        n = len(result)
        in_words, in_nodes = _operand_entries(self, n)
        update_chain = _word_function(tracker, "update_chain", _int_words(self))
        words: list[int] = []
        nodes: list[int] = []
        add_word, add_node = words.append, nodes.append
        log = _fast_logger(tracker)
        if log is None:
            log_unary = tracker.log_unary
            for in_word, in_node in zip(in_words, in_nodes, strict=True):
                word = update_chain(in_word, op_code)
                add_word(word)
                add_node(log_unary(op_name, in_node, word) if in_node >= 0 else NO_NODE)
        else:
            unary = NodeType.UNARY
            for in_word, in_node in zip(in_words, in_nodes, strict=True):
                word = update_chain(in_word, op_code)
                add_word(word)
                add_node(log(unary, op_name, [in_node], word) if in_node >= 0 else NO_NODE)
        return self._finish(result, values, words, nodes, op_name)

    @staticmethod
    def _finish(result: DAGTrackedSeries, values, words: list, nodes: list, op_name: str):
        result._prov = np.array(words, dtype=np.uint32)
        result._node_ids = np.array(nodes, dtype=np.int64)
        record_values(result._tracker, values, words, op_name)
        return result

    # -- two operands --------------------------------------------------------------------

    def __add__(self, other):
        return self._binop_dag(other, np.add, "add", OpCode.ADD)

    def __sub__(self, other):
        return self._binop_dag(other, np.subtract, "sub", OpCode.SUB)

    def __mul__(self, other):
        return self._binop_dag(other, np.multiply, "mul", OpCode.MUL)

    def __truediv__(self, other):
        return self._binop_dag(other, np.true_divide, "div", OpCode.DIV)

    def __floordiv__(self, other):
        return self._binop_dag(other, np.floor_divide, "floordiv", OpCode.DIV)

    def __pow__(self, other):
        return self._binop_dag(other, np.power, "pow", OpCode.MUL)

    def __radd__(self, other):
        return self._binop_dag(other, lambda a, b: np.add(b, a), "add", OpCode.ADD)

    def __rsub__(self, other):
        return self._binop_dag(other, lambda a, b: np.subtract(b, a), "sub", OpCode.SUB)

    def __rmul__(self, other):
        return self._binop_dag(other, lambda a, b: np.multiply(b, a), "mul", OpCode.MUL)

    def __rtruediv__(self, other):
        return self._binop_dag(other, lambda a, b: np.true_divide(b, a), "div", OpCode.DIV)

    def __gt__(self, other):
        return self._binop_dag(other, operator.gt, "gt", OpCode.CMP)

    def __lt__(self, other):
        return self._binop_dag(other, operator.lt, "lt", OpCode.CMP)

    def __ge__(self, other):
        return self._binop_dag(other, operator.ge, "ge", OpCode.CMP)

    def __le__(self, other):
        return self._binop_dag(other, operator.le, "le", OpCode.CMP)

    # -- one operand ---------------------------------------------------------------------

    def __neg__(self):
        return self._unop_dag(operator.neg, "neg", OpCode.NEG)

    def clip(self, lower=None, upper=None, **kwargs):
        return self._unop_dag(lambda a: np.clip(a, lower, upper), "clip", OpCode.CLIP)

    # -- transforms through pandas ------------------------------------------------------

    def fillna(self, value=0, **kwargs):
        result = super().fillna(value=value, **kwargs)
        # In place, pandas hands back None (2.x) or the receiver (3.x): no new words.
        if kwargs.get("inplace") or not isinstance(result, pd.Series):
            return result
        return self._apply_tracked_unary(result.values, self.index, "fillna", OpCode.FILL)

    def replace(self, *args, **kwargs):
        result = super().replace(*args, **kwargs)
        if kwargs.get("inplace") or not isinstance(result, pd.Series):
            return result
        return self._apply_tracked_unary(result.values, result.index, "replace", OpCode.MAP)
