"""The operations a replay can evaluate, by the names the DAG road logs them under.

A step is evaluated from its inputs' values in operand order (a where's condition, then the
value if true, then the value if false). Numbers follow numpy's rules, so that a replay
agrees with the pipeline that ran; text compares and concatenates as Python does. A name
missing here is not guessed at: the replay says it cannot evaluate that step.
"""

from __future__ import annotations

import json
import math
import operator
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

#: A value as the log records it: a number, text, or None where none was recorded.
Value = float | str | None


class CannotEvaluate(Exception):
    """A step whose operation, or whose operands, the replay cannot evaluate."""


def number(value: Value) -> float:
    """``value`` as a float (NaN for a missing one); text that is no number cannot be."""
    if value is None:
        return math.nan
    if isinstance(value, str):
        try:
            return float(value)
        except ValueError:
            raise CannotEvaluate(f"{value!r} is not a number") from None
    return float(value)


def same(a: Value, b: Value) -> bool:
    """Whether two values agree: numbers to rounding, missing to missing, text exactly."""
    if isinstance(a, str) or isinstance(b, str):
        if isinstance(a, str) and isinstance(b, str):
            return a == b
        try:
            return same(number(a), number(b))
        except CannotEvaluate:
            return False
    x, y = number(a), number(b)
    if math.isnan(x) or math.isnan(y):
        return math.isnan(x) and math.isnan(y)
    return math.isclose(x, y, rel_tol=1e-9, abs_tol=1e-12)


def _from_numpy(result: Any) -> float:
    return float(result)


def _ufunc(ufunc: np.ufunc) -> Callable[[Sequence[Value]], Value]:
    def evaluate(args: Sequence[Value]) -> Value:
        if len(args) != ufunc.nin:
            raise CannotEvaluate(f"{ufunc.__name__} takes {ufunc.nin} operands, not {len(args)}")
        with np.errstate(all="ignore"):
            return _from_numpy(ufunc(*(np.float64(number(a)) for a in args)))

    return evaluate


#: Operator names (``s + t`` logs "add") and the numpy functions that compute them.
_OPERATORS: dict[str, np.ufunc] = {
    "add": np.add,
    "sub": np.subtract,
    "mul": np.multiply,
    "div": np.true_divide,
    "truediv": np.true_divide,
    "floordiv": np.floor_divide,
    "mod": np.remainder,
    "pow": np.power,
    "gt": np.greater,
    "lt": np.less,
    "ge": np.greater_equal,
    "le": np.less_equal,
    "eq": np.equal,
    "ne": np.not_equal,
    "and": np.logical_and,
    "or": np.logical_or,
    "xor": np.logical_xor,
    "neg": np.negative,
    "abs": np.absolute,
}

# Text operands: what pandas does with object columns of strings.
_TEXT = {
    "add": operator.add,
    "eq": operator.eq,
    "ne": operator.ne,
    "gt": operator.gt,
    "lt": operator.lt,
    "ge": operator.ge,
    "le": operator.le,
    "equal": operator.eq,
    "not_equal": operator.ne,
}


def _where(args: Sequence[Value]) -> Value:
    if len(args) != 3:
        raise CannotEvaluate(f"where takes a condition and two values, not {len(args)} operands")
    condition, if_true, if_false = args
    return if_true if _truth(condition) else if_false


def _assigned(args: Sequence[Value]) -> Value:
    # ``frame.loc[mask, column] = value`` logs the old value, the mask and the value: the
    # value where the mask holds, the old value elsewhere. Other shapes (a constant value,
    # rows picked by labels) leave out what the replay would need.
    if len(args) != 3:
        raise CannotEvaluate(
            f"a .loc assignment of {len(args)} operands: its value or its rows were not logged"
        )
    old, mask, value = args
    if isinstance(mask, str) or number(mask) not in (0.0, 1.0):
        raise CannotEvaluate(f"a .loc assignment whose rows are not a mask ({mask!r})")
    return _where((mask, value, old))


def _kept(args: Sequence[Value]) -> Value:
    # the rows a ``.loc`` assignment's mask did not pick log the old value and the mask:
    # the old value while the mask still leaves the row out; the value it would be given was
    # computed for the rows picked only
    if len(args) != 2:
        raise CannotEvaluate(f"a row a .loc assignment left takes 2 operands, not {len(args)}")
    old, mask = args
    if isinstance(mask, str) or number(mask) not in (0.0, 1.0):
        raise CannotEvaluate(f"a .loc assignment whose rows are not a mask ({mask!r})")
    if _truth(mask):
        raise CannotEvaluate(
            "the change makes a .loc assignment pick the row, whose value was computed "
            "for the rows it picked only"
        )
    return old


def _truth(value: Value) -> bool:
    # numpy's truth of a float: anything but zero, NaN included
    return number(value) != 0


def _select(args: Sequence[Value]) -> Value:
    # conditions, then as many choices, then the default when one was given
    pairs, rest = divmod(len(args), 2)
    default: Value = args[-1] if rest else 0.0
    for condition, choice in zip(args[:pairs], args[pairs : 2 * pairs], strict=True):
        if _truth(condition):
            return choice
    return default


def _fillna(args: Sequence[Value]) -> Value:
    if len(args) != 2:
        raise CannotEvaluate("fillna takes the values and one fill value")
    value, fill = args
    return fill if value is None or (not isinstance(value, str) and math.isnan(value)) else value


def _clip(args: Sequence[Value]) -> Value:
    if len(args) != 3:
        raise CannotEvaluate("clip needs both bounds recorded (missing ones as NaN)")
    value, lower, upper = (number(a) for a in args)
    if math.isnan(value):
        return value
    if not math.isnan(lower):
        value = max(value, lower)
    if not math.isnan(upper):
        value = min(value, upper)
    return value


#: which of its bounds a between counts, by its ``inclusive`` (both when not recorded)
_CLOSED = {"both": (True, True), "left": (True, False), "right": (False, True)}
_CLOSED["neither"] = (False, False)


def closed_sides(inclusive: Value) -> float:
    """A between's ``inclusive`` as the engine's pass reads it: bit 0 for the lower bound
    counted, bit 1 for the upper; NaN for a text that names neither."""
    closed = _CLOSED.get(str(inclusive))
    return math.nan if closed is None else float(closed[0] + 2 * closed[1])


def _between(args: Sequence[Value]) -> Value:
    if len(args) not in (3, 4):
        raise CannotEvaluate("between takes the values, two bounds and which of them count")
    closed = _CLOSED.get(str(args[3])) if len(args) == 4 else (True, True)
    if closed is None:
        raise CannotEvaluate(f"a between whose bounds count as {args[3]!r}")
    value, lower, upper = (number(a) for a in args[:3])
    above = lower <= value if closed[0] else lower < value
    below = value <= upper if closed[1] else value < upper
    return float(above and below)


def _round(args: Sequence[Value]) -> Value:
    # without its decimals recorded, a round to 0 and a round to 1 decimal look alike
    if len(args) != 2:
        raise CannotEvaluate("round without its number of decimals recorded")
    return float(np.round(np.float64(number(args[0])), int(number(args[1]))))


def _invert(args: Sequence[Value]) -> Value:
    # ~ on a boolean is "not"; the log keeps booleans as 0 and 1
    (value,) = args
    x = number(value)
    if x in (0.0, 1.0):
        return 1.0 - x
    if math.isnan(x) or x != int(x):
        raise CannotEvaluate(f"~ of {value!r}")
    return float(~int(x))


def _table(text: Value, what: str) -> Any:
    if not isinstance(text, str):
        raise CannotEvaluate(f"the {what} table was not recorded")
    try:
        return json.loads(text)
    except ValueError:
        raise CannotEvaluate(f"the {what} table is not JSON") from None


def _keys_of(value: Value) -> list[str]:
    """The texts a JSON object may key ``value`` by (JSON keys are text)."""
    if value is None:
        return ["null", "NaN", "nan"]
    if isinstance(value, str):
        return [value]
    keys = [repr(float(value)), str(value)]
    if math.isfinite(value) and value == int(value):
        keys[:0] = [str(int(value)), "true" if value == 1 else "false" if value == 0 else ""]
    return keys


def _from_json(value: Any) -> Value:
    if value is None or isinstance(value, str):
        return value
    return float(value)


def _map(args: Sequence[Value]) -> Value:
    if len(args) != 2:
        raise CannotEvaluate("map takes the values and one recorded table")
    value, text = args
    table = _table(text, "mapping")
    if isinstance(table, list):  # [[key, value], ...], for keys JSON cannot name
        for key, mapped in table:
            if same(_from_json(key), value):
                return _from_json(mapped)
        return None
    if not isinstance(table, dict):
        raise CannotEvaluate("the mapping table is neither an object nor a list of pairs")
    for key in _keys_of(value):
        if key in table:
            return _from_json(table[key])
    return None


def _isin(args: Sequence[Value]) -> Value:
    if len(args) != 2:
        raise CannotEvaluate("isin takes the values and one recorded list")
    value, text = args
    members = _table(text, "isin")
    if not isinstance(members, list):
        raise CannotEvaluate("the isin values are not a list")
    return float(any(same(_from_json(m), value) for m in members))


def _cut(args: Sequence[Value]) -> Value:
    if len(args) != 2:
        raise CannotEvaluate("cut takes the values and its recorded bins")
    value, text = args
    table = _table(text, "bins")
    binning = table if isinstance(table, dict) else {"bins": table}
    edges = [float(e) for e in binning.get("bins", ())]
    labels = binning.get("labels")
    right = bool(binning.get("right", True))
    lowest = bool(binning.get("include_lowest", False))
    x = number(value)
    if len(edges) < 2:
        raise CannotEvaluate("the bins of cut were not recorded")
    for i, (low, high) in enumerate(zip(edges, edges[1:], strict=False)):
        first = i == 0 and lowest
        inside = (low < x <= high or (first and x == low)) if right else (low <= x < high)
        if inside:
            if labels is not None and labels is not False:
                return _from_json(labels[i])
            return _interval(low, high, right)
    return None


def _interval(low: float, high: float, right: bool) -> str:
    import pandas as pd

    return str(pd.Interval(low, high, closed="right" if right else "left"))


def _astype(args: Sequence[Value]) -> Value:
    value = args[0]
    kind = args[1] if len(args) == 2 else None
    if not isinstance(kind, str):
        raise CannotEvaluate("astype without its recorded type")
    name = kind.lower()
    if name.startswith(("int", "uint")):
        return float(math.trunc(number(value)))
    if name.startswith("float"):
        return number(value)
    if name.startswith("bool"):
        return float(_truth(value))
    if name in ("str", "string", "object"):
        return value if isinstance(value, str) else None
    raise CannotEvaluate(f"astype to {kind}")


def _binary_or_text(name: str, ufunc: np.ufunc) -> Callable[[Sequence[Value]], Value]:
    numeric = _ufunc(ufunc)
    text = _TEXT.get(name)

    def evaluate(args: Sequence[Value]) -> Value:
        if text is not None and any(isinstance(a, str) for a in args) and len(args) == 2:
            try:
                result = text(args[0], args[1])
            except TypeError:  # a text beside a number: pandas refuses it too
                raise CannotEvaluate(f"{name} of {args[0]!r} and {args[1]!r}") from None
            return result if isinstance(result, str) else float(result)
        return numeric(args)

    # what a step's inputs after these are is the replay's to say (see ``_Run.step``)
    evaluate.operands = ufunc.nin  # type: ignore[attr-defined]
    return evaluate


def _notna(args: Sequence[Value]) -> Value:
    if len(args) != 1:
        raise CannotEvaluate(f"notna takes one operand, not {len(args)}")
    return float(not missing(args[0]))


def missing(value: Value) -> bool:
    """Whether a recorded value is a gap (None or NaN)."""
    return value is None or (isinstance(value, float) and math.isnan(value))


_SPECIAL: dict[str, Callable[[Sequence[Value]], Value]] = {
    "where": _where,
    "mask": _where,  # logged as a where: the condition, the value if true, the value if false
    "loc": _assigned,
    "loc kept": _kept,
    "select": _select,
    "fillna": _fillna,
    "clip": _clip,
    "between": _between,
    "round": _round,
    "invert": _invert,
    "map": _map,
    "isin": _isin,
    "cut": _cut,
    "astype": _astype,
    "notna": _notna,
}


def evaluator(operation: str) -> Callable[[Sequence[Value]], Value] | None:
    """How to compute a step of ``operation`` from its inputs' values; None if the replay
    does not know the operation (a user function, a name this module does not list)."""
    special = _SPECIAL.get(operation)
    if special is not None:
        return special
    ufunc = _OPERATORS.get(operation)
    if ufunc is None:  # a numpy ufunc logs under its own name: "log", "maximum", "greater"
        found = getattr(np, operation, None)
        ufunc = found if isinstance(found, np.ufunc) and found.nout == 1 else None
    if ufunc is None:
        return None
    return _binary_or_text(operation, ufunc)
