"""Records as columns (one list per field), checked a whole column at a time.

A batch of thousands of records is checked with a few passes that run in C (the set of the
types in a column, its minimum and maximum) instead of a check per field of every record; a
column that fails the quick pass is checked value by value, for the precise complaint.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from functools import partial
from itertools import repeat
from operator import attrgetter, contains, is_not
from typing import Any

from ._documents import NUL_MESSAGE
from ._jsonable import split_float

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

_NOT_NONE = partial(is_not, None)


def columns(records: Sequence[Any], names: tuple[str, ...]) -> dict[str, list[Any]]:
    """The records as one list per field, in record order."""
    if not records:
        return {name: [] for name in names}
    if len(names) == 1:
        return {names[0]: list(map(attrgetter(names[0]), records))}
    return dict(
        zip(names, map(list, zip(*map(attrgetter(*names), records), strict=True)), strict=True)
    )


def column_length(chunk: Mapping[str, Sequence[Any]]) -> int:
    lengths = {len(column) for column in chunk.values()}
    if len(lengths) > 1:
        raise ValueError("all columns must have the same length")
    return lengths.pop() if lengths else 0


def int64(value: Any) -> int:
    """An integer that fits a 64-bit signed column; bools, texts and fractions are refused."""
    if type(value) is int and INT64_MIN <= value <= INT64_MAX:
        return value
    if isinstance(value, (bool, str, bytes)) or value is None:
        raise TypeError(f"expected an integer, not {type(value).__name__}")
    if not isinstance(value, int):
        if isinstance(value, float) and not value.is_integer():
            raise ValueError(f"expected an integer, got {value!r}")
        value = int(value)
    if not INT64_MIN <= value <= INT64_MAX:
        raise OverflowError(f"{value} does not fit a 64-bit integer")
    return value


def int64_column(values: Sequence[Any], *, optional: bool = False) -> list[Any]:
    """``values`` as 64-bit integers (None kept when ``optional``)."""
    kinds = set(map(type, values))
    if optional:
        kinds.discard(type(None))
        present: Iterable[Any] = filter(_NOT_NONE, values)
    else:
        present = values
    if kinds <= {int}:
        numbers = list(present) if optional else values
        if not numbers or (min(numbers) >= INT64_MIN and max(numbers) <= INT64_MAX):
            return list(values)
    return [None if optional and v is None else int64(v) for v in values]


def text_column(values: Sequence[Any], name: str, *, optional: bool = False) -> list[Any]:
    """``values`` as texts (what is not a text is written as one; None kept when
    ``optional``), refusing U+0000, which PostgreSQL cannot keep in a text: the same record
    is then refused on every store."""
    kinds = set(map(type, values))
    if optional:
        kinds.discard(type(None))
    if kinds <= {str}:
        texts = list(values)
    elif optional:
        texts = [None if v is None else str(v) for v in values]
    else:
        texts = list(map(str, values))
    present = filter(_NOT_NONE, texts) if optional else texts
    if any(map(contains, present, repeat("\x00"))):
        at = next(i for i, text in enumerate(texts) if text is not None and "\x00" in text)
        raise ValueError(f"{name} of record {at} {NUL_MESSAGE}")
    return texts


def checked_text(name: str, value: Any) -> str:
    """One text of a record: a ``str`` without U+0000."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if "\x00" in value:
        raise ValueError(f"{name} {NUL_MESSAGE}")
    return value


def flag_column(values: Sequence[Any]) -> list[int]:
    """Truth values as 1 and 0."""
    return [1 if value else 0 for value in values]


def float_columns(values: Sequence[Any]) -> tuple[list[float | None], list[int]]:
    """(numbers for a REAL column, NaN flags), as ``split_float`` gives them."""
    pairs = list(map(split_float, values))
    return [pair[0] for pair in pairs], [pair[1] for pair in pairs]
