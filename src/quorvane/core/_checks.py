"""Argument checks shared by the provenance modules.

A parameter declared ``str``, ``list`` or ``dict`` takes exactly that built-in type (a
subclass is refused); one declared ``int`` or ``float`` takes any object with that
conversion. Every refusal is a ``TypeError`` naming the argument, the expected type and the
given type.
"""

from __future__ import annotations

from typing import Any


def _refuse(name: str, expected: str, value: Any) -> TypeError:
    return TypeError(f"{name} must be {expected}, not {type(value).__name__}")


def exact(name: str, value: Any, kind: type, optional: bool = False) -> Any:
    """Return ``value`` when its type is exactly ``kind`` (or None when ``optional``)."""
    if type(value) is kind or (optional and value is None):
        return value
    expected = f"{kind.__name__} or None" if optional else kind.__name__
    raise _refuse(name, expected, value)


def as_int(name: str, value: Any) -> int:
    """An int unchanged; any other object with an integer conversion converted."""
    if type(value) is int:
        return value
    # str and bytes convert by parsing, which is not a number conversion: refuse them.
    kind = type(value)
    if hasattr(kind, "__index__") or hasattr(kind, "__int__"):
        return int(value)
    raise _refuse(name, "int", value)


def as_float(name: str, value: Any) -> float:
    """Any object with a float conversion, converted."""
    if isinstance(value, float):
        return value
    kind = type(value)
    if hasattr(kind, "__float__") or hasattr(kind, "__index__"):
        return float(value)
    raise _refuse(name, "float", value)
