"""A tracker's registry as JSON, so that a file's words can be read by another process.

Words spell out source pair IDs (or, with four or more sources, index the engine's table of
interned pair sets), so a reader needs the source table, the protections and that dense
table. They are written as plain JSON (never a pickle: reading a file must not run code)
and read back into a tracker through the tracker's own unpickling, which also makes it the
live tracker of its lineage or merges it into the one already live here.
"""

from __future__ import annotations

import functools
import json
from typing import Any

import numpy as np

from ..core import ProvenanceTracker
from . import _trackers


def dump(tracker: Any) -> str:
    """The registry of ``tracker`` as a JSON text (stable for equal registries)."""
    names = tracker._id_to_name
    return json.dumps(
        {
            "lineage": getattr(tracker, "_lineage", None),
            "strict": bool(tracker.strict),
            "sources": [list(names[pair_id]) for pair_id in sorted(names)],
            "protected_tables": sorted(tracker._protected_tables),
            "protected_columns": sorted(list(name) for name in tracker._protected_columns),
            "dense": [[f"{part:016x}" for part in row] for row in tracker._rust.dense_export()],
        },
        sort_keys=True,
    )


@functools.lru_cache(maxsize=64)
def load(text: str) -> tuple[Any, Any]:
    """The live tracker of a registry written by ``dump`` and the translation its words
    need here. Columns written by one tracker share its text, so they are read once."""
    registry = json.loads(text)
    sources = [tuple(name) for name in registry["sources"]]
    state = {
        "strict": registry["strict"],
        "_id_to_name": dict(enumerate(sources)),
        "_name_to_id": {name: pair_id for pair_id, name in enumerate(sources)},
        "_next_id": len(sources),
        "_dense": {},
        "_protected_tables": set(registry["protected_tables"]),
        "_protected_columns": {tuple(name) for name in registry["protected_columns"]},
        "_rust": np.array(
            [[int(part, 16) for part in row] for row in registry["dense"]], dtype=np.uint64
        ).reshape(-1, 8),
        "_lineage": registry["lineage"],
    }
    tracker = ProvenanceTracker.__new__(ProvenanceTracker)
    tracker.__setstate__(state)
    return _trackers.live(tracker)
