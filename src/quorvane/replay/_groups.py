"""The recorded aggregates of a group operation, by group: where an applicant lands when a
changed attribute moves it into another group.

A groupby logs one aggregate node per group in one call, so the groups of one operation
are the consecutive nodes of that operation that carry a group key.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Any, Protocol

import numpy as np

from ..utilities.persistence import ElementLog
from ._operations import Value

#: A group key as the replay compares it: its values in order, numbers as floats.
GroupKey = tuple[Any, ...]


class Groups(Protocol):
    """What a replay asks of a run about its group aggregates."""

    def group_of(self, node_id: int) -> str | None:
        """The group key (JSON text) of an aggregate node, or None."""

    def recorded(self, node_id: int) -> Mapping[GroupKey, Value]:
        """The values of the aggregates logged by the same operation as ``node_id``,
        by group key (a key recorded twice is left out: it names no one aggregate)."""


def group_key(text: str) -> GroupKey:
    """The values of a group key recorded as JSON (a list, an object or one value)."""
    parsed = json.loads(text)
    if isinstance(parsed, dict):
        parsed = list(parsed.values())
    elif not isinstance(parsed, list):
        parsed = [parsed]
    return tuple(_component(v) for v in parsed)


def _component(value: Any) -> Any:
    if isinstance(value, bool | int | float):
        number = float(value)
        return None if math.isnan(number) else number
    return value


class NoGroups:
    """A run whose log records no groups: no aggregate can move."""

    def group_of(self, node_id: int) -> str | None:
        return None

    def recorded(self, node_id: int) -> Mapping[GroupKey, Value]:
        return {}


class LogGroups:
    """The groups of a run's :class:`ElementLog`."""

    def __init__(self, log: ElementLog) -> None:
        self._log = log

    def _row(self, node_id: int) -> int | None:
        ids = self._log.node_id
        row = int(np.searchsorted(ids, node_id))
        return row if row < len(ids) and ids[row] == node_id else None

    def group_of(self, node_id: int) -> str | None:
        row = self._row(node_id)
        if row is None or self._log.group is None:
            return None
        return self._log.group[row]

    def recorded(self, node_id: int) -> Mapping[GroupKey, Value]:
        log, row = self._log, self._row(node_id)
        if row is None or log.group is None or log.group[row] is None:
            return {}
        operation = log.operation[row]
        first, last = row, row
        while first > 0 and log.operation[first - 1] == operation and log.group[first - 1]:
            first -= 1
        while last + 1 < log.size and log.operation[last + 1] == operation and log.group[last + 1]:
            last += 1
        return recorded_by_key(
            [(str(log.group[r]), _value(log, r)) for r in range(first, last + 1)]
        )


def recorded_by_key(
    recorded: Mapping[str, Value] | list[tuple[str, Value]],
) -> dict[GroupKey, Value]:
    """Recorded aggregates by their group keys' values (a key met twice, as text or as
    values, is left out: it names no one aggregate)."""
    pairs = recorded.items() if isinstance(recorded, Mapping) else recorded
    found: dict[GroupKey, Value] = {}
    twice: set[GroupKey] = set()
    for text, value in pairs:
        key = group_key(text)
        if key in found:
            twice.add(key)
        found[key] = value
    return {k: v for k, v in found.items() if k not in twice}


def _value(log: ElementLog, row: int) -> Value:
    if log.text is not None and log.text[row] is not None:
        return log.text[row]
    value = float(log.value[row])
    return None if math.isnan(value) else value
