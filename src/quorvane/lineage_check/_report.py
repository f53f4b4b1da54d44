"""The outcome of a lineage check: per output column, and as text for a reader."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

#: How many elements of each list the text shows.
SHOWN = 10

LOWER_BOUND = (
    "Perturbation finds a lower bound of the true dependencies: a dependency that no "
    "perturbation here happened to reveal is not counted, so a recall of 100% means that no "
    "dependency found was left out, not that none exists."
)

MEMBERSHIP = (
    "Rows that a perturbation adds to the output or drops from it are counted apart "
    "(a filter decides which rows exist, and the values of the rows it keeps do not name "
    "its condition); only elements present in both runs are judged."
)


@dataclass(frozen=True)
class Element:
    """One output element and the source columns that matter here."""

    row: Any
    column: str
    sources: tuple[str, ...]


@dataclass(frozen=True)
class ColumnCheck:
    """The check of one output column."""

    column: str
    elements: int
    found: int  # (element, source) dependencies that a perturbation revealed
    covered: int  # of those, the ones the tracked run reports
    named: int  # (element, source) pairs the tracked run names explicitly
    named_found: int  # of those, the ones a perturbation revealed
    unknown: int  # elements that read unknown
    tracked: bool  # False: the result left tracking and names no source
    values_match: bool  # the tracked run computed the same values as plain pandas
    under_reported: tuple[Element, ...]
    protected_untainted: tuple[Element, ...]

    @property
    def recall(self) -> float | None:
        """Share of the dependencies found that the lineage reports (None: none found)."""
        return self.covered / self.found if self.found else None

    @property
    def precision(self) -> float | None:
        """Share of the named sources that a perturbation confirmed; for information only,
        since perturbation misses dependencies and the lineage may over-report."""
        return self.named_found / self.named if self.named else None


@dataclass(frozen=True)
class Failure:
    """A perturbed run that raised: it tells nothing about the source."""

    source: str
    perturbation: str
    error: str


@dataclass(frozen=True)
class LineageCheck:
    """What perturbing each source column changed, against the lineage reported for it."""

    pipeline: str
    road: str
    sources: tuple[str, ...]
    protected: tuple[str, ...]
    rows: int
    runs: int
    columns: dict[str, ColumnCheck]
    membership: dict[str, int] = field(default_factory=dict)
    failures: tuple[Failure, ...] = ()

    @property
    def under_reported(self) -> tuple[Element, ...]:
        return tuple(e for check in self.columns.values() for e in check.under_reported)

    @property
    def protected_untainted(self) -> tuple[Element, ...]:
        return tuple(e for check in self.columns.values() for e in check.protected_untainted)

    @property
    def recall(self) -> float | None:
        found = sum(check.found for check in self.columns.values())
        covered = sum(check.covered for check in self.columns.values())
        return covered / found if found else None

    @property
    def values_match(self) -> bool:
        return all(check.values_match for check in self.columns.values())

    @property
    def ok(self) -> bool:
        """No dependency found is missing from the lineage, and the values are pandas'."""
        return not self.under_reported and self.values_match

    def __str__(self) -> str:
        return self.to_text()

    def to_text(self) -> str:
        lines = [
            f"Lineage check of {self.pipeline} on the {self.road} road: {len(self.sources)} "
            f"source columns, {self.rows} rows, {self.runs} perturbed runs.",
            LOWER_BOUND,
            "",
            *_table(self.columns.values()),
        ]
        lines += _listing("Under-reported elements (missing sources)", self.under_reported)
        lines += _listing(
            "Elements a protected column changes that read untainted", self.protected_untainted
        )
        lines += _membership(self.membership)
        lines += _failures(self.failures)
        verdict = "complete" if self.ok else "INCOMPLETE"
        lines += [
            "",
            f"Lineage {verdict} for every dependency found (recall {_share(self.recall)}).",
        ]
        return "\n".join(lines)


def _table(checks: Any) -> list[str]:
    rows = [
        f"{'column':20} {'elements':>8} {'found':>7} {'recall':>7} {'under':>6} "
        f"{'prot->clean':>11} {'precision':>9} {'unknown':>7}"
    ]
    for c in checks:
        note = "" if c.tracked else "  untracked result"
        note += "" if c.values_match else "  VALUES DIFFER from plain pandas"
        rows.append(
            f"{c.column[:20]:20} {c.elements:>8} {c.found:>7} {_share(c.recall):>7} "
            f"{len(c.under_reported):>6} {len(c.protected_untainted):>11} "
            f"{_share(c.precision):>9} {c.unknown:>7}{note}"
        )
    return rows


def _listing(title: str, elements: tuple[Element, ...]) -> list[str]:
    if not elements:
        return []
    lines = ["", f"{title}: {len(elements)}"]
    lines += [f"  {e.column}[{e.row!r}]: {', '.join(e.sources)}" for e in elements[:SHOWN]]
    if len(elements) > SHOWN:
        lines.append(f"  ... and {len(elements) - SHOWN} more")
    return lines


def _membership(counts: dict[str, int]) -> list[str]:
    moved = {source: n for source, n in counts.items() if n}
    if not moved:
        return []
    listed = ", ".join(f"{source} ({n})" for source, n in moved.items())
    return ["", f"Rows added or dropped by perturbing: {listed}.", MEMBERSHIP]


def _failures(failures: tuple[Failure, ...]) -> list[str]:
    if not failures:
        return []
    lines = ["", f"Perturbed runs that raised (they tell nothing): {len(failures)}"]
    return lines + [f"  {f.source} ({f.perturbation}): {f.error}" for f in failures[:SHOWN]]


def _share(value: float | None) -> str:
    return "-" if value is None else f"{value:.1%}"
