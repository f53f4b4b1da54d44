"""Replay of one applicant's lineage with some of its source values changed.

Only the steps that depend on a changed source cell are recomputed, in the lineage's order
(inputs first); every other step keeps its recorded value. Each recomputed step is first
replayed from its recorded inputs: when that does not give its recorded value, the replay
has misread the step and treats it as one it cannot evaluate. An aggregate over other
applicants is held at its recorded value, or at another group's recorded aggregate when
the change moves the applicant into that group.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from ..core._tracker import UNKNOWN_SOURCE
from ..utilities.persistence import ElementLineage, LineageStep
from ._groups import GroupKey, Groups, NoGroups, group_key
from ._operations import CannotEvaluate, Value, evaluator, missing, same

#: What a change sets: a source column (``married`` or ``applicants.married``) to a value.
Changes = Mapping[str, Value]


class _Unknown:
    """The value of a step the replay could not compute, and of every step after it."""

    def __repr__(self) -> str:
        return "UNKNOWN"


UNKNOWN: Any = _Unknown()


@dataclass(frozen=True)
class GroupMove:
    """An aggregate taken from the group the applicant moves into."""

    step: LineageStep
    recorded_group: str
    new_group: GroupKey
    value: Value


@dataclass(frozen=True)
class Unevaluated:
    """A step the replay cannot compute, and why."""

    step: LineageStep
    reason: str


@dataclass(frozen=True)
class Replay:
    """The replayed values of the steps that depend on the changed cells."""

    lineage: ElementLineage
    changed_cells: tuple[LineageStep, ...]
    values: dict[int, Any] = field(repr=False)
    held: tuple[LineageStep, ...]
    moved: tuple[GroupMove, ...]
    not_evaluated: tuple[Unevaluated, ...]
    checked: int  # recomputed steps that reproduced their recorded value first

    @property
    def computed(self) -> bool:
        """Whether the root's new value was computed."""
        return self.values.get(self.lineage.root) is not UNKNOWN

    def new_value(self, node_id: int) -> Value:
        """A step's value after the change (its recorded one where no change reaches it);
        only where ``computed`` holds for it."""
        return self.values.get(node_id, self.lineage.step(node_id).value)


def changed_cells(lineage: ElementLineage, changes: Changes) -> dict[int, Value]:
    """The applicant's own source cells that ``changes`` sets, with their new values."""
    cells: dict[int, Value] = {}
    for step in lineage.steps:
        if step.node_type != "SOURCE" or lineage.key not in step.identity or not step.column:
            continue
        for name, value in changes.items():
            if name in (step.column, f"{step.table}.{step.column}"):
                cells[step.node_id] = value
    return cells


def unfollowed(step: LineageStep) -> bool:
    """Whether ``step`` is the source of values whose inputs the log could not follow."""
    return step.node_type == "SOURCE" and (step.table, step.column) == UNKNOWN_SOURCE


UNFOLLOWED = (
    "its values come from a call whose inputs the log could not follow (plain data, "
    "such as a to_numpy() round trip), which may read the changed values"
)


def replay(lineage: ElementLineage, changes: Changes, groups: Groups | None = None) -> Replay:
    """``lineage`` replayed with its applicant's source cells set by ``changes``."""
    groups = groups or NoGroups()
    cells = changed_cells(lineage, changes)
    run = _Run(lineage, groups)
    replayed = run.values.keys()  # a lineage through a group holds every member's steps:
    for step in lineage.steps:  # the loop stays lean for the ones no change reaches
        if step.node_id in cells:
            run.values[step.node_id] = cells[step.node_id]
        elif not step.inputs:
            if changes and unfollowed(step):
                # it may be made from the changed values, whether or not any of them is
                # also on the lineage by name: whatever reads it is unknown
                run.values[step.node_id] = run.cannot(step, UNFOLLOWED)
        elif not replayed.isdisjoint(step.inputs):
            run.values[step.node_id] = run.step(step)
    return Replay(
        lineage=lineage,
        changed_cells=tuple(lineage.step(i) for i in cells),
        values=run.values,
        held=tuple(run.held),
        moved=tuple(run.moved),
        not_evaluated=tuple(run.not_evaluated),
        checked=run.checked,
    )


_ANOTHER_ROW_JOINS = "the change alters a join key: another row would join"
_UNKNOWN_STEP = "an operation it cannot replay"

#: steps that carry their first input's value, the others deciding which rows there are
#: or their order (a segment of a concat, a window after a sort), and what a change of
#: those others would do
_PASSED_ON = {
    "row selection": "the change alters which rows a condition chose: the row would move",
    "row order": "the change alters the order of the rows",
}


_NOT_RECORDED = "a step it cannot replay whose value was not recorded"

_LEAVES_THE_ROWS = "the change alters whether the applicant's row is kept"

#: conditions that keep rows, and whether an applicant's own input to one keeps its row:
#: a boolean mask's element, and each cell dropna reads (the row stays while none is missing)
_KEEPS = {
    "filter": lambda value: _truthy(value),
    "dropna": lambda value: not missing(value),
}


def _truthy(value: Any) -> bool:
    return not missing(value) and bool(value)


class _Ambiguous(Exception):
    """A changed value that stands for more than one of a group key's values."""


class _Run:
    def __init__(self, lineage: ElementLineage, groups: Groups) -> None:
        self.lineage = lineage
        self.groups = groups
        self.values: dict[int, Any] = {}
        self.held: list[LineageStep] = []
        self.moved: list[GroupMove] = []
        self.not_evaluated: list[Unevaluated] = []
        self.checked = 0

    def recorded(self, node_id: int) -> Value:
        return self.lineage.step(node_id).value

    def new(self, node_id: int) -> Any:
        return self.values.get(node_id, self.recorded(node_id))

    def step(self, step: LineageStep) -> Any:
        new_inputs = [self.new(i) for i in step.inputs]
        if any(v is UNKNOWN for v in new_inputs):
            return UNKNOWN
        old_inputs = [self.recorded(i) for i in step.inputs]
        unchanged = all(same(a, b) for a, b in zip(new_inputs, old_inputs, strict=True))
        compute = evaluator(step.operation)
        own = getattr(compute, "operands", len(step.inputs))
        if len(step.inputs) > own:
            # an operator's inputs after its operands decided which rows it met (a filtered
            # operand lined up onto rows it lacks): while they stay, so do its rows
            if not all(same(a, b) for a, b in zip(new_inputs[own:], old_inputs[own:], strict=True)):
                return self.cannot(step, _PASSED_ON["row selection"])
            new_inputs, old_inputs = new_inputs[:own], old_inputs[:own]
        # the log types a step by its number of inputs (a clip or a where has three and is
        # logged as an aggregate): an aggregate over other applicants is one that reads them
        keeps = _KEEPS.get(step.operation)
        if compute is None and keeps is not None and step.group is None:
            return self.kept(step, keeps)
        if step.operation == "group key":
            # a grouped table's column of keys: the joins it pairs are group lookups above,
            # which take the group's aggregate as the applicant sees it
            return step.value
        if compute is None and step.node_type == "AGGREGATE" and self.reads_others(step):
            return self.kept_value(step) if unchanged else self.aggregate(step)
        at = self.group_looked_up(step)
        if at is not None:
            # a group's aggregate looked up by the key it was grouped by: the applicant's
            # group's, held or moved with the key as the aggregate was (see ``aggregate``)
            if not same(old_inputs[at], step.value):
                return self.cannot(step, f"a {step.operation} whose value is not its group's")
            self.checked += 1
            return new_inputs[at]
        if step.node_type == "MERGE" and self.looked_up(step):
            # a column joined in from a table written in the code: the key looks it up
            return self.computed(step, evaluator("map"), old_inputs, new_inputs)
        if step.node_type == "MERGE":
            return self.passed(step, new_inputs, old_inputs, _ANOTHER_ROW_JOINS)
        moved = _PASSED_ON.get(step.operation)
        if moved is not None:
            return self.passed(step, new_inputs, old_inputs, moved)
        if compute is None:
            # a function of unchanged inputs gives what it gave
            if unchanged:
                return self.kept_value(step)
            reason = _ANOTHER_ROW_JOINS if step.operation == "join keys" else _UNKNOWN_STEP
            return self.cannot(step, reason)
        return self.computed(step, compute, old_inputs, new_inputs)

    def kept_value(self, step: LineageStep) -> Any:
        """The recorded value of a step it cannot evaluate, its inputs unchanged. Where
        none was recorded (a rank, a group's running sum: a value per member, none for the
        group; what decided the rows), the root has none to give; a step after it that
        reads it as a value gives its own recorded one from it only where it did."""
        if step.value is None and step.node_id == self.lineage.root:
            return self.cannot(step, _NOT_RECORDED)
        return step.value

    def computed(self, step: LineageStep, compute: Any, old_inputs: list, new_inputs: list) -> Any:
        """``step`` computed again from ``new_inputs``, once it gives its recorded value
        from ``old_inputs``."""
        try:
            check = compute(old_inputs)
            if not same(check, step.value):
                said = f"from its recorded inputs it gives {check!r}, not {step.value!r}"
                return self.cannot(step, said)
            self.checked += 1
            return compute(new_inputs)
        except CannotEvaluate as exc:
            return self.cannot(step, str(exc))

    def looked_up(self, step: LineageStep) -> bool:
        """Whether ``step`` joined its value in by one key from a recorded table (its
        second input, a constant)."""
        if len(step.inputs) != 2:
            return False
        return self.lineage.step(step.inputs[1]).node_type == "CONSTANT"

    def group_looked_up(self, step: LineageStep) -> int | None:
        """The place, among ``step``'s two inputs, of a group's aggregate that it looked up
        by the very key the group was made by: a ``map`` of the key through the group's
        results (``t.married.map(t.groupby("married").wage.mean())``, the aggregate second),
        a join of them on the key (``t.join(means, on="married")``, the aggregate first; a
        merge with the grouped table, ``t.merge(g.reset_index(), on="married")``, joins the
        table's key column first, then the frame's key). The key must be one of the
        aggregate's own inputs, or the table's column of its group keys. None for any other
        step."""
        at = {"map": 1, "merge": 0}.get(step.operation)
        if at is None or len(step.inputs) != 2:
            return None
        table, key = step.inputs[at], step.inputs[1 - at]
        aggregate = self.grouped_under(table)
        if aggregate is None:
            return None
        if key in aggregate.inputs or self.key_column_of(key, aggregate):
            return at
        return None

    def grouped_under(self, node_id: int) -> LineageStep | None:
        """The group's aggregate that the step ``node_id`` is, or that a join of it on its
        key carries; None for anything else."""
        step = self.lineage.step(node_id)
        if step.node_type == "AGGREGATE":
            grouped = step.group or self.groups.group_of(node_id)
            return step if grouped is not None else None
        if step.operation == "merge" and self.group_looked_up(step) == 0:
            return self.grouped_under(step.inputs[0])
        return None

    def key_column_of(self, node_id: int, aggregate: LineageStep) -> bool:
        """Whether the step ``node_id`` is the group key that a grouped table holds beside
        ``aggregate`` (made of the keys of the group's members, which the aggregate read)."""
        key = self.lineage.step(node_id)
        members = set(aggregate.inputs)
        return key.operation == "group key" and bool(key.inputs) and set(key.inputs) <= members

    def kept(self, step: LineageStep, keeps: Any) -> Any:
        """The rows a condition kept, as the applicant sees them: the same while its own
        row stays kept (the other rows' part is held, as an aggregate over them is)."""
        for i in step.inputs:
            old, new = self.recorded(i), self.new(i)
            if same(old, new):
                continue
            if self.lineage.key not in self.lineage.step(i).identity:
                return self.cannot(step, "a condition over the rows that the change alters")
            if keeps(old) != keeps(new):
                return self.cannot(step, _LEAVES_THE_ROWS)
        return step.value

    def reads_others(self, step: LineageStep) -> bool:
        if step.unlisted:  # the other rows' inputs were left out of the lineage
            return True
        key, step_of = self.lineage.key, self.lineage.step
        return any((identity := step_of(i).identity) and key not in identity for i in step.inputs)

    def passed(self, step: LineageStep, new_inputs: list, old_inputs: list, moved: str) -> Any:
        # the element carries its first input's value; the others decided which row it is
        # (a merge's join keys, the condition that chose a segment's rows): while they stay,
        # so does the row
        if not new_inputs or not same(old_inputs[0], step.value):
            return self.cannot(step, f"a {step.operation} whose value is not its first input's")
        if not all(same(a, b) for a, b in zip(new_inputs[1:], old_inputs[1:], strict=True)):
            return self.cannot(step, moved)
        self.checked += 1
        return new_inputs[0]

    def aggregate(self, step: LineageStep) -> Any:
        group = step.group or self.groups.group_of(step.node_id)
        try:
            moved_to = self.moved_group(step, group) if group is not None else None
        except _Ambiguous as exc:
            return self.cannot(step, str(exc))
        if moved_to is None:
            if step.value is None:
                return self.cannot(step, _NOT_RECORDED)
            self.held.append(step)
            return step.value
        recorded = self.groups.recorded(step.node_id)
        if recorded.get(moved_to) is None:  # none logged, or one with no value to take
            return self.cannot(step, f"no aggregate of group {list(moved_to)} was recorded")
        value = recorded[moved_to]
        self.moved.append(GroupMove(step, str(group), moved_to, value))
        return value

    def moved_group(self, step: LineageStep, group: str) -> GroupKey | None:
        """The group key after the change, when a changed input of the applicant's own is
        one of the key's values; None when only values aggregated changed."""
        recorded = list(group_key(group))
        key = list(recorded)
        moved = False
        own = [i for i in step.inputs if self.lineage.key in self.lineage.step(i).identity]
        for i in own:
            old, new = self.recorded(i), self.new(i)
            if same(old, new):
                continue
            places = [k for k, component in enumerate(recorded) if same(component, old)]
            if len(places) > 1:  # which of the key's columns it is cannot be told
                raise _Ambiguous(
                    f"the changed value {old!r} is {len(places)} of its group key's values: "
                    "the group it moves into cannot be told"
                )
            # an aggregated value of the applicant's that equals a key value by chance
            # (dep 1 in the group married 1) cannot be told from the key either
            if places and any(same(self.recorded(j), old) for j in own if j != i):
                raise _Ambiguous(
                    f"the changed value {old!r} is its group key's value and also another "
                    "of the applicant's values in the group: whether it moves cannot be told"
                )
            for k in places:
                key[k], moved = (float(new) if isinstance(new, int | float) else new), True
        return tuple(key) if moved else None

    def cannot(self, step: LineageStep, reason: str) -> Any:
        self.not_evaluated.append(Unevaluated(step, reason))
        return UNKNOWN
