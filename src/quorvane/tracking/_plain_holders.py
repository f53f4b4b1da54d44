"""Plain pandas containers that hold words: tracked data that pandas put together alone.

pandas' constructors and top-level functions keep the arrays they are given:
``pd.Series(t.x)``, ``pd.DataFrame({"a": t.x})``, ``pd.Series(np.select(...), index=...)``
(numpy's array with words), and ``pd.crosstab`` of tracked series (its labels are the keys'
words arrays) all hold words, though none of the containers' methods ran. What pandas
computed on the way, outside the arrays, is not in those words: ``crosstab``'s counts are a
plain column, and a cell it placed by its labels holds only the words of its own values, not
those of the keys that chose its row and column.

So such a container is read as tracked data, never as clean: each element combines the
words of its own value (unknown where its column holds plain values: what made them was not
seen), of its row's labels and of its column's label, one ORDER step where labels add
words. This over-approximates (a label that only names the row adds its words too), and
under strict provenance a plain column raises when it is read.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ..core._operations import operation
from ..core._word import OpCode
from ._array import WordsArray
from ._arrays import TrackedArray
from ._combining import derived_words

#: What strict provenance's error calls the read of a plain column.
PLAIN_CELLS = "a plain column of a container pandas built from tracked data (pd.crosstab, ...)"


def holder_tracker(container: Any) -> Any:
    """The tracker whose words a plain series or frame holds, in a column, a level of its
    index or its column labels; None when it holds none (or is itself a tracked one)."""
    if not isinstance(container, (pd.Series, pd.DataFrame)) or hasattr(container, "_tracker"):
        return None
    arrays = [*_columns(container), *_levels(container.index)]
    if isinstance(container, pd.DataFrame):
        arrays.extend(_levels(container.columns))
    for array in arrays:
        tracker = _tracker_of(array)
        if tracker:
            return tracker
    return None


def held_words(container: Any, tracker: Any) -> list[np.ndarray]:
    """Per column, in order (a series: its one), the words ``tracker`` reads for each
    element of the plain ``container`` (module doc)."""
    n = len(container)
    rows = [w for level in _levels(container.index) if (w := _words_in(level, tracker)) is not None]
    columns = getattr(container, "columns", None)
    labels = [] if columns is None else _levels(columns)
    by_column = [w for level in labels if (w := _words_in(level, tracker)) is not None]
    out = []
    for j, array in enumerate(_columns(container)):
        own = _words_in(array, tracker)
        if own is None:
            with operation(PLAIN_CELLS):
                own = np.full(n, tracker.unknown_word(), dtype=np.uint32)
        placed = [*rows, *(np.full(n, words[j], dtype=np.uint32) for words in by_column)]
        out.append(derived_words(tracker, [own, *placed], OpCode.ORDER) if placed else own)
    return out


def _columns(container: Any) -> list[Any]:
    # numpy's array with words survives in a series' storage, and ``values`` hands it out
    series = [container] if isinstance(container, pd.Series) else [c for _, c in container.items()]
    return [s.values if isinstance(s.values, TrackedArray) else s.array for s in series]


def _levels(index: pd.Index) -> list[Any]:
    return [index.get_level_values(i).array for i in range(index.nlevels)]


def _tracker_of(array: Any) -> Any:
    if isinstance(array, WordsArray):
        return array.tracker
    if isinstance(array, TrackedArray) and array._prov is not None:
        return array._tracker
    return None


def _words_in(array: Any, tracker: Any) -> np.ndarray | None:
    """The words of ``array``'s elements when it holds ``tracker``'s; None otherwise."""
    if _tracker_of(array) is not tracker:
        return None
    if isinstance(array, WordsArray):
        return np.asarray(array.words, dtype=np.uint32)
    words = np.asarray(array._prov, dtype=np.uint32)
    return words if words.shape == (len(array),) else None
