"""check_lineage: perturb each source column in plain pandas and compare what changed with
the lineage a tracked run reports."""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np
import pandas as pd

from ._elements import compare, differs, output_columns, row_keys
from ._perturb import KINDS, check_kinds, perturbations
from ._report import ColumnCheck, Element, Failure, LineageCheck
from ._reported import Reported, nothing_reported, reported

ROADS = ("words", "dag")


def check_lineage(
    pipeline: Callable[[pd.DataFrame], Any],
    frame: pd.DataFrame,
    protected: Iterable[str] = (),
    *,
    road: str = "words",
    seed: int = 0,
    rounds: int = 1,
    kinds: Sequence[str] = KINDS,
    table: str = "source",
    key: str | None = None,
) -> LineageCheck:
    """Check that the lineage reported for ``pipeline``'s output covers what its inputs do.

    ``pipeline`` is plain pandas code: it takes a DataFrame and returns a DataFrame, a Series
    or a mapping of names to Series. It runs once on ``frame`` as it is, then once for each
    perturbation of each column of ``frame`` (``kinds``: a permutation, a redraw from the
    column's values, a flip to another of its values for a column of few distinct values,
    small noise for a numeric one; ``rounds`` times, drawn from ``seed``). An output
    element, matched by row label and column, depends on a source column when a
    perturbation of that column changes its value. A tracked run (``road``: "words" for
    ``wrap_dataframe``, "dag" for ``wrap_dataframe_dag``) reports the element's sources;
    an element that reads unknown counts as reporting every source. ``key`` names a column
    of the result that identifies each row (a business key): rows are then matched by its
    values instead of by row label, for a pipeline that renumbers its rows
    (``reset_index(drop=True)`` after a filter or a sort); that column itself is not
    judged, and the source column of that name is not perturbed. Only elements present
    in both runs are judged: rows that a perturbation adds to the output or drops from it
    (through a filter) are counted apart, per source column, because a filter's condition
    decides which rows exist and the values of the rows it keeps do not name it.

    Without ``key``, a result that repeats row labels (``set_index`` of a column with
    repeated values) is matched by position, its rows named by their position, when its
    rows are the source's, in the source's order (a run on the rows reversed gives them
    reversed); a run that then holds another number of rows is counted apart. Any other
    result that repeats row labels cannot be matched soundly: the check asks for ``key``.

    Perturbation finds a lower bound of the true dependencies, never all of them.
    """
    if road not in ROADS:
        raise ValueError(f"road is one of {ROADS}, not {road!r}")
    if rounds < 1:
        raise ValueError(f"rounds must be at least 1, not {rounds}")
    kinds = check_kinds(kinds)
    sources = tuple(str(label) for label in frame.columns)
    protected = tuple(str(name) for name in protected)
    missing = sorted(set(protected) - set(sources))
    if missing:
        raise ValueError(f"protected columns {missing} are not columns of the frame")

    baseline = output_columns(pipeline(frame.copy()), key)
    by_position = key is None and _repeats_labels(baseline)
    if by_position:
        _refuse_unless_in_source_order(pipeline, frame, baseline)
        baseline = _numbered(baseline, len(frame))
    tracked_result = pipeline(_wrap(road, frame.copy(), table, list(protected)))
    findings = _Findings(baseline, sources)
    for position, label in enumerate(frame.columns):
        if key is not None and str(label) == key:
            # the key names the row: perturbing it renames rows instead of changing a value
            continue
        rng = np.random.default_rng([seed, position])
        for _ in range(rounds):
            for kind, values in perturbations(frame[label], kinds, rng):
                run = _perturbed_run(pipeline, frame, label, values, key, by_position)
                findings.add(position, kind, run)

    columns = _column_checks(baseline, tracked_result, findings, table, protected, key, by_position)
    return LineageCheck(
        pipeline=getattr(pipeline, "__qualname__", repr(pipeline)),
        road=road,
        sources=sources,
        protected=protected,
        rows=len(frame),
        runs=findings.runs,
        columns=columns,
        membership=findings.membership,
        failures=tuple(findings.failures),
    )


class _Findings:
    """What the perturbed runs changed: per output column, elements x source columns."""

    def __init__(self, baseline: dict[str, Any], sources: tuple[str, ...]) -> None:
        self.baseline = baseline
        self.sources = sources
        self.found = {
            name: np.zeros((len(column), len(sources)), dtype=bool)
            for name, column in baseline.items()
        }
        self.membership = dict.fromkeys(sources, 0)
        self.failures: list[Failure] = []
        self.runs = 0

    def add(self, source: int, kind: str, outcome: dict[str, Any] | Exception) -> None:
        self.runs += 1
        name = self.sources[source]
        if isinstance(outcome, Exception):
            self.failures.append(Failure(name, kind, f"{type(outcome).__name__}: {outcome}"))
            return
        for column, before in self.baseline.items():
            after = outcome.get(column)
            if after is None:
                # the column itself came and went, with every one of its rows
                self.membership[name] = max(self.membership[name], len(before))
                continue
            comparison = compare(before, after)
            self.found[column][:, source] |= comparison.changed
            self.membership[name] = max(self.membership[name], comparison.membership)


def _wrap(road: str, frame: pd.DataFrame, table: str, protected: list[str]) -> Any:
    # imported here so that `import quorvane` does not load the engine
    if road == "dag":
        from ..utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag

        return wrap_dataframe_dag(frame, DAGTracker(), table, protected=protected)
    from ..utilities.orrin32 import ProvenanceTracker, wrap_dataframe

    return wrap_dataframe(frame, ProvenanceTracker(), table, protected=protected)


def _perturbed_run(
    pipeline: Callable[[pd.DataFrame], Any],
    frame: pd.DataFrame,
    label: Any,
    values: pd.Series,
    key: str | None,
    by_position: bool = False,
) -> dict[str, Any] | Exception:
    changed = frame.copy()
    changed[label] = values.array  # the same rows: no alignment, the dtype kept
    outcome = _quiet_run(pipeline, changed, key)
    if by_position and not isinstance(outcome, Exception):
        return _numbered(outcome, len(frame))
    return outcome


def _quiet_run(
    pipeline: Callable[[pd.DataFrame], Any], frame: pd.DataFrame, key: str | None
) -> dict[str, Any] | Exception:
    # what the perturbed data makes numpy or pandas say (a log of a negative number) is
    # not the user's concern; what the pipeline raises is kept in the report
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return output_columns(pipeline(frame), key)
        except Exception as exc:  # noqa: BLE001 - any error of the user's code, reported
            return exc


def _repeats_labels(columns: dict[str, Any]) -> bool:
    return any(not column.index.is_unique for column in columns.values())


def _refuse_unless_in_source_order(
    pipeline: Callable[[pd.DataFrame], Any], frame: pd.DataFrame, baseline: dict[str, Any]
) -> None:
    """Refuse a result that repeats row labels unless its rows are the source's, in the
    source's order: then the rows reversed give the result reversed."""
    n = len(frame)
    backwards = _quiet_run(pipeline, frame.iloc[::-1].copy(), None)
    kept = not isinstance(backwards, Exception) and all(
        len(column) == n
        and (other := backwards.get(name)) is not None
        and len(other) == n
        and other.index[::-1].equals(column.index)
        and not differs(column.to_numpy(), other.to_numpy()[::-1]).any()
        for name, column in baseline.items()
    )
    if not kept:
        raise ValueError(
            "the pipeline's result repeats row labels and its rows are not the source's in "
            "the source's order, so its rows cannot be matched across runs: pass key= (the "
            "command's --key) naming a column of the result that identifies each row"
        )


def _numbered(columns: dict[str, Any], rows: int) -> dict[str, Any]:
    """The columns labelled by position; none when they do not hold the source's ``rows``
    (every row then counts as come and gone)."""
    if any(len(column) != rows for column in columns.values()):
        return {}
    return {name: column.set_axis(pd.RangeIndex(rows)) for name, column in columns.items()}


def _column_checks(
    baseline: dict[str, Any],
    tracked_result: Any,
    findings: _Findings,
    table: str,
    protected: tuple[str, ...],
    key: str | None,
    by_position: bool = False,
) -> dict[str, ColumnCheck]:
    tracked_columns = output_columns(tracked_result, key)
    if by_position:
        tracked_columns = _numbered(tracked_columns, len(next(iter(baseline.values()))))
    checks = {}
    for name, plain in baseline.items():
        container = tracked_columns.get(name)
        # a frame's tracker is the frame's; a series of a mapping has its own
        holder = tracked_result if isinstance(tracked_result, pd.DataFrame) else container
        position = _position_of(holder, name)
        lineage, values_match = _aligned_lineage(
            plain, container, holder, table, findings.sources, position
        )
        checks[name] = _column_check(
            name, plain, lineage, values_match, findings.found[name], findings.sources, protected
        )
    return checks


def _column_check(
    name: str,
    plain: pd.Series,
    lineage: Reported,
    values_match: bool,
    found: np.ndarray,
    sources: tuple[str, ...],
    protected: tuple[str, ...],
) -> ColumnCheck:
    covers = lineage.covers()
    missing = found & ~covers
    protected_mask = np.array([source in protected for source in sources], dtype=bool)
    by_protected = found[:, protected_mask].any(axis=1) & ~lineage.tainted & ~lineage.unknown
    return ColumnCheck(
        column=name,
        elements=len(plain),
        found=int(found.sum()),
        covered=int((found & covers).sum()),
        named=int(lineage.sources.sum()),
        named_found=int((found & lineage.sources).sum()),
        unknown=int(lineage.unknown.sum()),
        tracked=lineage.tracked,
        values_match=values_match,
        under_reported=_elements(plain.index, name, missing, sources),
        protected_untainted=_elements(
            plain.index, name, found & protected_mask & by_protected[:, None], sources
        ),
    )


def _position_of(holder: Any, name: str) -> int:
    """The position of the column ``name`` in ``holder`` (0 for a series)."""
    if not isinstance(holder, pd.DataFrame):
        return 0
    labels = [str(label) for label in holder.columns]
    return labels.index(name) if name in labels else 0


def _aligned_lineage(
    plain: pd.Series,
    container: Any,
    holder: Any,
    table: str,
    sources: tuple[str, ...],
    position: int = 0,
) -> tuple[Reported, bool]:
    """The tracked run's lineage for the plain run's elements, and whether its values are
    the plain run's (a tracked run that computes other values is a fault in itself)."""
    if container is None:
        return nothing_reported(len(plain), len(sources)), False
    lineage = reported(container, holder, table, sources, position)
    if container.index.equals(plain.index):
        same = not compare(plain, container).changed.any()
        return lineage, same
    positions = row_keys(container.index).get_indexer(row_keys(plain.index))
    if (positions < 0).any():
        # the tracked run lacks rows of the plain run: it reports nothing for them
        return nothing_reported(len(plain), len(sources)), False
    aligned = lineage.taken(positions)
    values = pd.Series(container.to_numpy()[positions], index=plain.index)
    return aligned, not compare(plain, values).changed.any()


def _elements(
    index: pd.Index, column: str, flags: np.ndarray, sources: tuple[str, ...]
) -> tuple[Element, ...]:
    rows = np.flatnonzero(flags.any(axis=1))
    return tuple(
        Element(
            _plain(index[row]),
            column,
            tuple(s for s, f in zip(sources, flags[row], strict=True) if f),
        )
        for row in rows
    )


def _plain(label: Any) -> Any:
    # numpy's scalars print as np.int64(3) in a report meant for people
    return label.item() if isinstance(label, np.generic) else label
