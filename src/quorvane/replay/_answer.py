"""The answer to "what if this applicant's attribute were different?", as a record and in
words. It claims a new value only where the replay computed one."""

from __future__ import annotations

import math
from dataclasses import dataclass

from ._operations import CannotEvaluate, Value, number, same
from ._replay import Changes, Replay


@dataclass(frozen=True, kw_only=True)
class WhatIf:
    """One applicant's result replayed with changed source values.

    ``new_value`` is None when the replay could not compute it (``not_evaluated`` names the
    steps why), and ``flips`` then is None too. ``held`` names the aggregates over other
    applicants kept at their recorded values; ``moved`` the ones taken from the group the
    applicant moves into. ``score`` is the named result (such as a score) the decision is
    computed from, with its old and new value, when the lineage passes through one.
    """

    result: str
    key: str
    changes: dict[str, Value]
    old_value: Value
    new_value: Value
    flips: bool | None
    held: tuple[str, ...] = ()
    moved: tuple[str, ...] = ()
    not_evaluated: tuple[str, ...] = ()
    unreached: tuple[str, ...] = ()
    checked: int = 0
    score: tuple[str, Value, Value] | None = None

    @property
    def computed(self) -> bool:
        """Whether the new value was computed."""
        return not self.not_evaluated

    def sentence(self) -> str:
        """The answer in words, with the numbers the replay computed."""
        setting = " and ".join(f"{name} to {_shown(v)}" for name, v in self.changes.items())
        head = f"setting {setting}"
        if not self.computed:
            return (
                f"{head}: the replay cannot compute {self.key}'s {self.result}, because it "
                f"cannot evaluate {'; '.join(self.not_evaluated)}"
            )
        return self._computed(head) + _unreached(self.unreached, self.key, self.result)

    def _computed(self, head: str) -> str:
        decision = _decision(self.result, self.old_value, self.new_value)
        if self.score is not None:
            name, old, new = self.score
            return f"{head} {_moves(self.key, name, old, new)}; the decision {decision}"
        if _is_decision(self.old_value):
            return f"{head}: the decision {decision}"
        return f"{head} {_moves(self.key, self.result, self.old_value, self.new_value)}"

    def __str__(self) -> str:
        return self.sentence()


def answer(
    replay: Replay,
    result: str,
    changes: Changes,
    score: tuple[str, int] | None = None,
) -> WhatIf:
    """The :class:`WhatIf` of ``replay``, the lineage of the result ``result``; ``score``:
    the name and node id of a named result on that lineage the decision is made from."""
    lineage = replay.lineage
    root = lineage.step(lineage.root)
    new_value = replay.new_value(lineage.root) if replay.computed else None
    reached = {c.column for c in replay.changed_cells} | {
        f"{c.table}.{c.column}" for c in replay.changed_cells
    }
    scored = None
    if score is not None and replay.computed:
        name, node_id = score
        scored = (name, lineage.step(node_id).value, replay.new_value(node_id))
    return WhatIf(
        result=result,
        key=lineage.key,
        changes=dict(changes),
        old_value=root.value,
        new_value=new_value,
        flips=not same(root.value, new_value) if replay.computed else None,
        held=tuple(_described(s.node_id, s.operation, s.value) for s in replay.held),
        moved=tuple(
            f"{_described(m.step.node_id, m.step.operation, m.step.value)} taken from group "
            f"{list(m.new_group)}: {_shown(m.value)}"
            for m in replay.moved
        ),
        not_evaluated=tuple(
            f"step {u.step.node_id} ({u.step.operation}): {u.reason}" for u in replay.not_evaluated
        ),
        unreached=tuple(name for name in changes if name not in reached),
        checked=replay.checked,
        score=scored,
    )


def _unreached(names: tuple[str, ...], key: str, result: str) -> str:
    if not names:
        return ""
    verb = "does" if len(names) == 1 else "do"
    return f" ({' and '.join(names)} {verb} not reach {key}'s {result})"


def _described(node_id: int, operation: str, value: Value) -> str:
    return f"step {node_id} ({operation} = {_shown(value)})"


def _shown(value: Value) -> str:
    if isinstance(value, float) and math.isfinite(value) and value == int(value):
        return str(int(value)) if abs(value) < 1e15 else repr(value)
    return str(value)


def _moves(key: str, name: str, old: Value, new: Value) -> str:
    if same(old, new):
        return f"leaves {key}'s {name} at {_number(old)}"
    return f"changes {key}'s {name} from {_number(old)} to {_number(new)}"


def _number(value: Value) -> str:
    # the record keeps the exact values; the sentence rounds them to cents
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "missing"  # a lineage holds a missing number as None, a replay as NaN
    return repr(round(float(value), 2)) if isinstance(value, int | float) else str(value)


def _is_decision(value: Value) -> bool:
    try:
        return number(value) in (0.0, 1.0)
    except CannotEvaluate:
        return False


def _verdict(value: Value, result: str) -> str:
    # a yes/no result reads as its own name: "approved", "not approved"
    if not _is_decision(value):
        return _shown(value)
    return result if number(value) == 1.0 else f"not {result}"


def _decision(result: str, old: Value, new: Value) -> str:
    if same(old, new):
        return f"stays {_verdict(old, result)}"
    return f"flips from {_verdict(old, result)} to {_verdict(new, result)}"
