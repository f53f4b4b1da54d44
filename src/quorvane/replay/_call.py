"""``quorvane.whatif`` and the run-level flip counts, on a tracker in memory or a stored run."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from ..utilities.orrin32_dag import DAGTracker
from ..utilities.persistence import ElementLineage, ElementLog
from ._answer import WhatIf, answer
from ._flips import FlipCounts, flip_counts
from ._groups import GroupKey, Groups, LogGroups, NoGroups, recorded_by_key
from ._operations import Value
from ._replay import replay

#: named results looked at for the score a decision is made from, on a store that finds a
#: result's node only by walking its whole lineage (one that looks nodes up reads them all,
#: so that it names the score the tracker in memory names)
_SCORES_LOOKED_AT = 8


def whatif(
    source: Any,
    run: Any,
    key: str,
    changes: Mapping[str, Value],
    result: str | None = None,
) -> WhatIf:
    """Would ``key``'s ``result`` change if its source values were ``changes``?

    ``source`` is a :class:`DAGTracker` (``run``: the tracked result series, or a mapping of
    result names to them) or a storage backend (``run``: the stored pipeline id). Only the
    lineage is read, never the pipeline's code: the steps the log can evaluate are
    recomputed, aggregates over other applicants are held at their recorded values (or
    taken from the group the change moves the applicant into), and a step it cannot
    evaluate is named in the answer, which then gives no new value.
    """
    if not isinstance(key, str) or not key:
        raise TypeError("key must be an applicant's business key (a non-empty str)")
    changes = _checked_changes(changes)
    if isinstance(source, DAGTracker):
        return _in_memory(source, run, key, changes, result)
    if hasattr(source, "read_element_lineage"):
        return _stored(source, run, key, changes, result)
    raise TypeError(
        f"source must be a DAGTracker or a storage backend, not {type(source).__name__}"
    )


def run_flip_counts(source: Any, run: Any, result: str | None = None) -> FlipCounts:
    """For each protected attribute, how many decisions of ``result`` flip when it alone is
    set to each of its other values (``source`` and ``run`` as for :func:`whatif`)."""
    if isinstance(source, DAGTracker):
        results = _named(run)
        log = source.element_log(results)
        return flip_counts(log, _chosen(result, list(results)))
    if hasattr(source, "read_element_log"):
        log = source.read_element_log(run)
        if log is None:
            raise LookupError(f"run {run} has no per-element log (it was stored before them)")
        return flip_counts(log, _chosen(result, sorted(log.results)))
    raise TypeError(
        f"source must be a DAGTracker or a storage backend, not {type(source).__name__}"
    )


def _checked_changes(changes: Mapping[str, Value]) -> dict[str, Value]:
    if not isinstance(changes, Mapping) or not changes:
        raise ValueError("changes must name at least one source column and its new value")
    checked: dict[str, Value] = {}
    for name, value in changes.items():
        if not isinstance(name, str) or not name:
            raise TypeError(f"a change names a source column, not {name!r}")
        if isinstance(value, np.generic):  # a value read from a frame: numpy's scalar
            value = value.item()
        if isinstance(value, bool):
            value = float(value)
        if value is not None and not isinstance(value, int | float | str):
            raise TypeError(f"{name} can be set to a number or a text, not {value!r}")
        checked[name] = float(value) if isinstance(value, int) else value
    return checked


def _named(run: Any) -> dict[str, Any]:
    if isinstance(run, Mapping):
        return dict(run)
    name = getattr(run, "name", None)
    if not isinstance(name, str):
        raise TypeError(
            "run must be a tracked result series with a name, or a mapping of result names "
            "to tracked series"
        )
    return {name: run}


def _chosen(result: str | None, known: list[str]) -> str:
    if result is not None:
        if result not in known:
            raise LookupError(f"no result {result!r} (results: {', '.join(known) or 'none'})")
        return result
    if len(known) != 1:
        raise ValueError(f"name the result to replay, one of: {', '.join(known) or 'none'}")
    return known[0]


def _in_memory(
    tracker: DAGTracker, run: Any, key: str, changes: dict[str, Value], result: str | None
) -> WhatIf:
    results = _named(run)
    result = _chosen(result, list(results))
    log = tracker.element_log(results)
    nodes = {name: _node_of(log, name, key) for name in log.results}
    root = nodes.get(result)
    if root is None:
        raise LookupError(f"{result} has no element of {key!r}")
    lineage = tracker.element_lineage(root, key)
    return _answered(lineage, changes, result, LogGroups(log), nodes)


def _node_of(log: ElementLog, result: str, key: str) -> int | None:
    keys, nodes = log.results[result]
    hits = [i for i, k in enumerate(keys.tolist()) if k == key]
    return int(nodes[hits[-1]]) if hits else None


def _stored(
    storage: Any, run: Any, key: str, changes: dict[str, Value], result: str | None
) -> WhatIf:
    known = sorted(storage.element_results(run))
    if not known:
        raise LookupError(
            f"run {run} keeps no per-element lineage (it was stored before per-element logs "
            "were kept): no what-if can be replayed from it"
        )
    result = _chosen(result, known)
    lineage = storage.read_element_lineage(run, result, key)
    if lineage is None:
        raise LookupError(
            f"run {run} has no exact lineage of {key!r}'s {result}: it has no such key, or "
            "it was stored before per-element lineage was kept"
        )
    nodes: dict[str, int | None] = {result: lineage.root}
    if _is_decision(lineage.step(lineage.root).value):  # a decision names what it is made from
        others = [name for name in known if name != result]
        if getattr(storage, "element_result_node", None) is None:
            others = others[:_SCORES_LOOKED_AT]
        for other in others:
            nodes[other] = _stored_node(storage, run, other, key)
    return _answered(lineage, changes, result, _StoredGroups(storage, run), nodes)


def _answered(
    lineage: ElementLineage,
    changes: dict[str, Value],
    result: str,
    groups: Groups,
    nodes: Mapping[str, int | None],
) -> WhatIf:
    if not lineage.exact:
        raise LookupError(f"the run keeps no exact lineage of {lineage.key!r}")
    on_lineage = {s.node_id for s in lineage.steps}
    scores = [
        (node, name)
        for name, node in nodes.items()
        if name != result and node is not None and node in on_lineage and node != lineage.root
    ]
    score = None
    if scores:
        node, name = max(scores)  # the named result nearest the decision
        score = (name, node)
    return answer(replay(lineage, changes, groups), result, changes, score)


def _is_decision(value: Value) -> bool:
    return isinstance(value, float) and value in (0.0, 1.0)


def _stored_node(storage: Any, run: Any, result: str, key: str) -> int | None:
    """The node of ``key``'s element of ``result``: looked up where the store can, else
    the root of its lineage (a whole walk)."""
    look_up = getattr(storage, "element_result_node", None)
    if look_up is not None:
        return look_up(run, result, key)
    found = storage.read_element_lineage(run, result, key)
    return found.root if found is not None else None


class _StoredGroups:
    """The groups of a stored run, read only when a replay moves an applicant into another
    group: that operation's aggregates where the store can look them up, else the whole
    log (once)."""

    def __init__(self, storage: Any, run: Any) -> None:
        self._storage, self._run = storage, run
        self._groups: Groups | None = None

    def _loaded(self) -> Groups:
        if self._groups is None:
            log = self._storage.read_element_log(self._run)
            self._groups = LogGroups(log) if log is not None else NoGroups()
        return self._groups

    def group_of(self, node_id: int) -> str | None:
        # a stored lineage's steps carry their group keys: a step without one has none
        return None

    def recorded(self, node_id: int) -> Mapping[GroupKey, Value]:
        look_up = getattr(self._storage, "read_element_groups", None)
        if look_up is None:
            return self._loaded().recorded(node_id)
        return recorded_by_key(look_up(self._run, node_id))
