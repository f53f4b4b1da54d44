"""Whether a protected attribute reached a stored value: the first thing an auditor asks.

A word names its sources exactly, except a dense word, whose source set lives in the
engine of the process that made it: its sources are read from the run's stored DAG above
it instead. What cannot be resolved either way is "unknown", never "not reached".
"""

from __future__ import annotations

import functools
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from ..core import MODE_DENSE, UNKNOWN_SOURCE
from ..utilities.orrin32 import ProvenanceTracker
from ..utilities.persistence import SQLStore

REACHED, NOT_REACHED, UNKNOWN = "reached", "not reached", "unknown"
#: most dense words of one run resolved through the stored DAG (each is one graph walk)
MAX_DAG_LOOKUPS = 64
#: nodes read per walk: enough to find every source of a result in a realistic pipeline
WALK_NODES = 5_000


@dataclass(frozen=True)
class Reach:
    """Whether protected attributes reached a value, and which (column names)."""

    state: str
    names: tuple[str, ...] = ()

    @property
    def text(self) -> str:
        if self.state == REACHED:
            return "reached by: " + (", ".join(self.names) or "a protected attribute")
        return self.state

    @property
    def css(self) -> str:
        return self.state.replace(" ", "-")


def combined(reaches: Iterable[Reach]) -> Reach:
    """The reach of values taken together: reached by any name that reached one of them;
    else unknown if one is unknown; else not reached (also for no values at all)."""
    names: set[str] = set()
    state = NOT_REACHED
    for reach in reaches:
        names.update(reach.names)
        if reach.state == REACHED or (reach.state == UNKNOWN and state == NOT_REACHED):
            state = reach.state
    return Reach(state, tuple(sorted(names)) if state == REACHED else ())


class ReachFinder:
    """The reach of the words stored for one run, each word resolved once."""

    def __init__(self, store: SQLStore, pipeline_id: int, sources: Iterable[dict[str, Any]]):
        self._store = store
        self._pipeline_id = pipeline_id
        self._by_pair: dict[int, tuple[str, bool]] = {}
        for source in sources:
            if source["pair_id"] is not None:
                protected = bool(source["is_protected"])
                known = self._by_pair.get(source["pair_id"], ("", False))[1]
                self._by_pair[source["pair_id"]] = (source["column"], protected or known)
            if (source["table"], source["column"]) == UNKNOWN_SOURCE:
                self._by_pair[source["pair_id"]] = (UNKNOWN, False)
        self._found: dict[int, Reach] = {}
        self._lookups = 0

    def of_words(self, words: Iterable[int]) -> Reach:
        return combined(self.of_word(int(word)) for word in set(words))

    def of_word(self, word: int) -> Reach:
        reach = self._found.get(word)
        if reach is None:
            reach = self._found[word] = self._resolve(word)
        return reach

    def _resolve(self, word: int) -> Reach:
        mode, taint, _ = ProvenanceTracker.read_header(word)
        if mode == MODE_DENSE:
            return self._from_dag(word, taint)
        pairs = _decoder().decode(word)
        if not pairs:
            return Reach(UNKNOWN)  # no source at all: the word of an unfollowed value
        names, unknown = set(), False
        for pair in pairs:
            name, protected = self._by_pair.get(pair, (UNKNOWN, False))
            unknown = unknown or name == UNKNOWN
            if protected:
                names.add(name)
        return _reach(names, taint, unknown)

    def _from_dag(self, word: int, taint: bool) -> Reach:
        if self._lookups >= MAX_DAG_LOOKUPS:
            return Reach(REACHED) if taint else Reach(UNKNOWN)
        self._lookups += 1
        nodes, _, truncated = self._store.lineage_of(self._pipeline_id, word, WALK_NODES)
        sources = [n for n in nodes if n["node_type"] == "SOURCE"]
        names = {n["column"] for n in sources if n["is_protected"]}
        unknown = truncated or not sources
        unknown |= any((n["table"], n["column"]) == UNKNOWN_SOURCE for n in sources)
        return _reach(names, taint, unknown)


def _reach(names: set[str], taint: bool, unknown: bool) -> Reach:
    if names or taint:
        return Reach(REACHED, tuple(sorted(names)))
    return Reach(UNKNOWN if unknown else NOT_REACHED)


@functools.cache
def _decoder() -> ProvenanceTracker:
    # words of the modes that hold their pair ids decode without the tracker that made them
    return ProvenanceTracker()
