"""One applicant's exact lineage, as its page shows it: every step with that applicant's own
value, the constants and thresholds it used, and whether a protected attribute reached it.

Read from the run's per-element log (``read_element_lineage``), never from the summary kept
per fingerprint: that summary merges every result sharing a word, so it is shown only as
the shape of the computation (see ``lineage``), and a run that has nothing else gets a page
that says it cannot show one applicant exactly.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from functools import cached_property
from typing import Any

from ..core import UNKNOWN_SOURCE
from ..recording import flat_settings
from ..utilities.persistence import ElementLineage, LineageStep, SQLStore
from .drawing import Box
from .notfound import NotFound, no_applicant, no_output, visible_run
from .reach import NOT_REACHED, REACHED, UNKNOWN, Reach

#: most steps drawn; a longer lineage (a group over many applicants) is listed, not drawn
MAX_DRAWN = 300
#: steps listed open; a longer lineage starts folded
OPEN_STEPS = 60
#: inputs named in a step's line; the others are folded under it
SHOWN_INPUTS = 8
#: inputs listed under a step at most (an aggregate over every applicant has a million)
LISTED_INPUTS = 200
#: steps listed at most; past it the source cells of other applicants that an aggregate
#: read are counted, not listed (the exports have every one)
LISTED_STEPS = 2000
#: the value a what-if offers instead of a 0/1 attribute's own
_OTHER_FLAG = {0.0: "1", 1.0: "0"}
#: characters kept for a value in a box, so that every applicant's drawing has the same size
VALUE_CHARS = 16


def shown(value: float | str | None) -> str:
    """A value as the page writes it: numbers to 6 significant digits, "–" for none."""
    if value is None:
        return "–"
    if isinstance(value, float):
        return "NaN" if math.isnan(value) else f"{value:.6g}"
    return str(value)


def step_name(step: LineageStep) -> str:
    """What the step is: its source column, its constant's value, or its operation."""
    if step.table and step.column:
        return f"{step.table}.{step.column}"
    if step.node_type == "CONSTANT":
        return f"constant {shown(step.value)}"
    return step.operation or step.node_type.lower()


def is_column(step: LineageStep) -> bool:
    """A source column's own node: it stands for the whole column, no one applicant's cell."""
    return step.node_type == "SOURCE" and not step.identity and not step.inputs


@dataclass(frozen=True)
class Operand:
    """An input of a step as its line names it: what it is and its value."""

    node_id: int
    text: str


@dataclass(frozen=True)
class Step:
    """One step of the lineage as listed: the record, its name and its inputs named."""

    record: LineageStep
    name: str
    operands: tuple[Operand, ...]  # the first LISTED_INPUTS inputs

    @property
    def unlisted_inputs(self) -> int:
        """Inputs not named: past the listed ones, and those of a group's other members
        (which the lineage counts, and the exports list)."""
        return len(self.record.inputs) - len(self.operands) + self.record.unlisted

    @property
    def value(self) -> str:
        return shown(self.record.value)

    @property
    def mark(self) -> str:
        """Words that mark a protected source, or a step one reached (never colour alone)."""
        if self.record.node_type == "SOURCE":
            return "protected" if self.record.protected else ""
        return "reached by protected" if self.record.protected else ""

    @property
    def formula(self) -> str:
        """The step written out with its inputs' values, constants and thresholds included:
        ``ge(score = 570, 560)``."""
        if self.record.node_type == "SOURCE":  # a cell: its column, at its row
            row = ", ".join(self.record.identity)
            return f"{self.name}[{row}]" if row else self.name
        if not self.operands:
            return self.name
        shown_operands = [o.text for o in self.operands[:SHOWN_INPUTS]]
        more = len(self.record.inputs) - len(shown_operands) + self.record.unlisted
        if more > 0:
            shown_operands.append(f"… {more} more")
        return f"{self.record.operation}({', '.join(shown_operands)})"


def _operand(step: LineageStep) -> str:
    if step.node_type == "CONSTANT":
        return shown(step.value)
    if is_column(step):
        return step_name(step)
    return f"{step_name(step)} #{step.node_id} = {shown(step.value)}"


@dataclass
class Applicant:
    """One applicant's result, with its exact lineage and the run that made it."""

    run: dict[str, Any]
    output: str
    lineage: ElementLineage
    result_row: dict[str, Any] | None = None

    @property
    def key(self) -> str:
        return self.lineage.key

    @cached_property
    def steps(self) -> list[Step]:
        """The steps listed, inputs first, the result last: every one, unless there are more
        than LISTED_STEPS, when the other applicants' source cells are left out."""
        by_id = {s.node_id: s for s in self.lineage.steps}
        listed = self.lineage.steps
        if len(listed) > LISTED_STEPS:
            listed = tuple(s for s in listed if not self._others_cell(s))
        return [
            Step(
                s,
                step_name(s),
                tuple(
                    Operand(i, _operand(by_id[i]) if i in by_id else f"#{i}")
                    for i in s.inputs[:LISTED_INPUTS]
                ),
            )
            for s in listed
        ]

    def _others_cell(self, step: LineageStep) -> bool:
        return step.node_type == "SOURCE" and bool(step.identity) and self.key not in step.identity

    @property
    def unlisted(self) -> int:
        """Steps of the lineage the page counts but does not list."""
        return len(self.lineage.steps) - len(self.steps)

    @property
    def result(self) -> LineageStep:
        return self.lineage.step(self.lineage.root)

    @property
    def reach(self) -> Reach:
        """Whether a protected attribute reached the result: from every source this
        applicant's result read, never from a drawn part."""
        sources = [s for s in self.lineage.steps if s.node_type == "SOURCE"]
        if self.lineage.protected_reached:
            return Reach(REACHED, tuple(sorted({str(s.column) for s in sources if s.protected})))
        unknown = any((s.table, s.column) == UNKNOWN_SOURCE for s in sources)
        return Reach(UNKNOWN if unknown or not sources else NOT_REACHED)

    @property
    def protected_names(self) -> list[str]:
        return sorted({step_name(s) for s in self.lineage.steps if s.protected and s.column})

    @cached_property
    def attributes(self) -> list[tuple[str, str, str]]:
        """(name a what-if sets, this applicant's value, the value offered instead) of each
        protected attribute read: the column's name, or table.column where two tables
        share it; a 0/1 attribute is offered its other value."""
        cells = [
            s
            for s in self.lineage.steps
            if s.node_type == "SOURCE" and s.protected and s.column and not is_column(s)
        ]
        columns = [str(s.column) for s in cells]
        found: dict[str, tuple[str, str]] = {}
        for cell in cells:
            name = str(cell.column) if columns.count(str(cell.column)) == 1 else step_name(cell)
            other = (
                {0.0: "1", 1.0: "0"}.get(cell.value, "") if isinstance(cell.value, float) else ""
            )
            found.setdefault(name, (shown(cell.value), other))
        return [(name, now, other) for name, (now, other) in sorted(found.items())]

    @property
    def drawn(self) -> list[LineageStep]:
        """The steps a drawing shows: all but the source columns' own nodes (a cell shows
        its column's name and its value)."""
        return [s for s in self.lineage.steps if not is_column(s)]

    @property
    def drawable(self) -> bool:
        return len(self.drawn) <= MAX_DRAWN

    def boxes(self) -> list[Box]:
        return [_box(step, step.node_id == self.lineage.root) for step in self.drawn]

    def edges(self) -> list[tuple[int, int]]:
        drawn = {s.node_id for s in self.drawn}
        return [(i, s.node_id) for s in self.drawn for i in s.inputs if i in drawn]

    @property
    def code_version(self) -> str | None:
        return self.run.get("git_commit")

    @property
    def settings(self) -> list[tuple[str, str]]:
        """The run's configuration, as dotted names and their values."""
        config = self.run.get("config")
        return flat_settings(config) if isinstance(config, Mapping) else []

    def to_dict(self) -> dict[str, Any]:
        """The lineage with the applicant's values, as the JSON export of this page."""
        return {
            "pipeline_id": self.run["pipeline_id"],
            "key": self.key,
            "output": self.output,
            "exact": self.lineage.exact,
            "protected_reached": self.lineage.protected_reached,
            "code_version": self.code_version,
            "config": self.run.get("config"),
            "started": self.run.get("created_at"),
            "steps": [
                {
                    "id": s.node_id,
                    "type": s.node_type,
                    "operation": s.operation,
                    "table": s.table,
                    "column": s.column,
                    "word": f"0x{s.word:08X}",
                    "is_protected": s.protected,
                    "value": _json_value(s.value),
                    "identity": list(s.identity),
                    "inputs": list(s.inputs),
                }
                for s in self.lineage.steps
            ],
        }


def _json_value(value: float | str | None) -> float | str | None:
    return None if isinstance(value, float) and math.isnan(value) else value


def _box(step: LineageStep, is_root: bool) -> Box:
    name = step_name(step)
    value = shown(step.value)
    word = f"0x{step.word:08X}"
    is_source = step.node_type == "SOURCE"
    classes = "node " + ("source" if is_source else "step")
    mark = ""
    if step.protected:
        mark = "protected" if is_source else "reached by protected"
        classes += " protected" if is_source else " tainted"
    if is_root:
        classes += " root"
    lines = (name, "= " + value, f"{word} · {mark}" if mark else word)
    tooltip = f"{name} ({step.node_type}, step {step.node_id}): {value}"
    return Box(step.node_id, lines, classes, tooltip, widths=(len(name), VALUE_CHARS + 2, 10))


def read_applicant(
    store: SQLStore, pipeline_id: int, key: str, output: str, *, full: bool = False
) -> Applicant | None:
    """The exact lineage of ``key``'s ``output`` in a run (a group's other members counted,
    or with ``full`` walked, as an export keeps them); None when the run kept no
    per-element log (it was stored before runs kept one); ``NotFound`` when the run is not
    this tenant's, or its log has no such output or applicant."""
    run = visible_run(store, pipeline_id)
    stored = store.element_results(pipeline_id)
    if not stored:
        return None
    if output not in stored:
        raise no_output(pipeline_id, key, output, stored)
    lineage = store.read_element_lineage(pipeline_id, output, key, full=full)
    if lineage is None:
        raise no_applicant(pipeline_id, key)
    rows = [r for r in store.results_for_keys(pipeline_id, [key]) if r["output_name"] == output]
    return Applicant(run, output, lineage, rows[0] if rows else None)


def no_exact_export(kind: str) -> NotFound:
    return NotFound(
        "No such export",
        f"The {kind} export gives one applicant's exact lineage, and this run kept none.",
    )
