"""Plain pandas containers that hold words: tracked data that pandas put together alone.

pandas' constructors and top-level functions keep the arrays they are given:
``pd.Series(t.x)``, ``pd.DataFrame({"a": t.x})``, ``pd.Series(np.select(...), index=...)``
(numpy's array with words, or made of whole series: ``t.x.to_numpy()[positions]``),
``pd.merge(plain, tracked)`` and ``pd.crosstab`` of tracked series (its labels are the
keys' words arrays) all hold words, though none of the containers' methods ran.

Those words are only what the arrays carried. What the containers keep beside them (the
rows an earlier sort or filter decided: ``pd.DataFrame({"a": t.sort_values("b").a
.reset_index(drop=True)})``), what pandas decided on the way (the join keys that paired a
plain frame's rows with a tracked one's, the labels an array was set at by position:
``pd.Series(t.sort_values("b").a.values, index=t.index)``) and what it computed outside the
arrays (``crosstab``'s counts) is in none of them, and nothing here can tell one such
container from another.

So such a container is read as tracked data that was not followed: each element combines
the words of its own value, the unknown source, and the words of its row's labels and of its
column's label, one ORDER step. It then never reads clean, and names at least the sources
its words carried; under strict provenance reading one raises. Exact instead: assign the
arrays into a tracked frame, or call the tracked container's own method.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ..core._operations import operation
from ..core._word import OpCode
from ._array import WordsArray
from ._array_wholes import whole_word
from ._arrays import TrackedArray
from ._combining import derived_words

#: What strict provenance's error calls the read of a plain container holding words.
PLAIN_CELLS = "a plain container pandas built from tracked data (pd.DataFrame, pd.crosstab, ...)"


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
    owns = [_words_in(array, tracker) for array in _columns(container)]
    with operation(PLAIN_CELLS):
        unknown = np.full(n, tracker.unknown_word(), dtype=np.uint32)
    out = []
    for j, own in enumerate(owns):
        placed = [*rows, *(np.full(n, words[j], dtype=np.uint32) for words in by_column)]
        carried = [] if own is None else [own]
        out.append(derived_words(tracker, [*carried, unknown, *placed], OpCode.ORDER))
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
    if isinstance(array, TrackedArray) and (array._prov is not None or array._whole):
        return array._tracker
    return None


def _words_in(array: Any, tracker: Any) -> np.ndarray | None:
    """The words of ``array``'s elements when it holds ``tracker``'s; None otherwise."""
    if _tracker_of(array) is not tracker:
        return None
    if isinstance(array, WordsArray):
        return np.asarray(array.words, dtype=np.uint32)
    if array._prov is None:  # numpy's array of whole series (``s.to_numpy()[positions]``)
        return np.full(len(array), whole_word(array), dtype=np.uint32)
    words = np.asarray(array._prov, dtype=np.uint32)
    return words if words.shape == (len(array),) else None
