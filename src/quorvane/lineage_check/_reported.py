"""What a tracked run reports for each element: its source columns, unknown, tainted."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd


@dataclass(frozen=True)
class Reported:
    """The lineage a tracked run gives the elements of one output column."""

    sources: np.ndarray  # elements x source columns: the element names the source
    unknown: np.ndarray  # the element reads unknown (counts as naming every source)
    tainted: np.ndarray  # the element's taint bit
    tracked: bool  # False when the result left tracking: it then names nothing

    def covers(self) -> np.ndarray:
        """Elements x sources the element is reported to depend on."""
        return self.sources | self.unknown[:, None]

    def taken(self, positions: np.ndarray) -> Reported:
        """The lineage of the elements at ``positions``, in that order."""
        return Reported(
            self.sources[positions], self.unknown[positions], self.tainted[positions], self.tracked
        )


def nothing_reported(elements: int, sources: int) -> Reported:
    """The lineage of a result that left tracking: no source, not unknown, not tainted."""
    none = np.zeros(elements, dtype=bool)
    return Reported(np.zeros((elements, sources), dtype=bool), none, none, tracked=False)


def reported(
    container: Any, holder: Any, table: str, sources: Sequence[str], position: int = 0
) -> Reported:
    """The lineage of ``container``, the column at ``position`` of the result ``holder``
    (or the result). A plain result that holds words (``pd.crosstab`` of tracked series)
    reports what they say: it is tracked data that pandas put together alone."""
    n = len(container)
    tracker = getattr(holder, "_tracker", None)
    words = _words(container)
    plain_tracker = _holder_tracker(holder)
    if plain_tracker is not None:
        tracker, words = plain_tracker, _held_words(holder, plain_tracker)[position]
    if tracker is None or words is None:
        return nothing_reported(n, len(sources))
    codes, distinct = pd.factorize(np.asarray(words, dtype=np.uint32))
    column_of = {name: position for position, name in enumerate(sources)}
    named = np.zeros((len(distinct), len(sources)), dtype=bool)
    unknown = np.zeros(len(distinct), dtype=bool)
    tainted = np.zeros(len(distinct), dtype=bool)
    # each distinct word is decoded once, however many elements carry it
    for row, word in enumerate(distinct.tolist()):
        for source_table, column in tracker.explain(word):
            if source_table == table and column in column_of:
                named[row, column_of[column]] = True
        unknown[row] = tracker.is_unknown(word)
        tainted[row] = tracker.is_tainted(word)
    return Reported(named[codes], unknown[codes], tainted[codes], tracked=True)


def _holder_tracker(holder: Any) -> Any:
    # imported here so that `import quorvane` does not load the engine
    from ..tracking._plain_holders import holder_tracker

    return holder_tracker(holder)


def _held_words(holder: Any, tracker: Any) -> list[np.ndarray]:
    from ..tracking._plain_holders import held_words

    return held_words(holder, tracker)


def _words(container: Any) -> np.ndarray | None:
    words = getattr(container, "_prov", None)
    if words is None or len(words) != len(container):
        return None
    return np.asarray(words)
