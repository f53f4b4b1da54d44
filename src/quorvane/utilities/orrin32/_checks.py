"""Argument checks shared by the tracker: exact built-in types and integer conversion."""

from typing import Any


def require_type(value: Any, name: str, expected: type, optional: bool = False) -> None:
    """Refuse anything but exactly ``expected`` (no subclass; None only when optional)."""
    if type(value) is expected or (optional and value is None):
        return
    wanted = f"{expected.__name__} or None" if optional else expected.__name__
    raise TypeError(f"{name} must be {wanted}, not {type(value).__name__}")


def as_int(value: Any, name: str) -> int:
    """Take an int unchanged and convert any other number; refuse the rest.

    Text is refused even though ``int("5")`` would parse it: a string is not a number.
    """
    if type(value) is int:
        return value
    if isinstance(value, (str, bytes, bytearray)) or not (
        hasattr(type(value), "__int__") or hasattr(type(value), "__index__")
    ):
        raise TypeError(f"{name} must be int, not {type(value).__name__}")
    return int(value)
