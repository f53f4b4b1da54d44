"""quorvane: data provenance and taint tracking for pandas pipelines.

The everyday API::

    import quorvane as qv
    frame = qv.wrap(applicants, qv.ProvenanceTracker(), "applicants", protected=["age"])
    ...
    qv.audit(frame["score"]), qv.column_risk_report(frame)
    qv.check_lineage(pipeline, applicants, protected=["age"])   # is the lineage complete?

The names load on first use, so that importing the package (or its engine) stays cheap.
"""

from __future__ import annotations

import importlib
from typing import Any

__version__ = "0.1.0"

_EVERYDAY = {
    "wrap": "._everyday",
    "audit": "._everyday",
    "column_risk_report": "._everyday",
    "ProvenanceTracker": "._everyday",
    "DAGTracker": "._everyday",
    "check_lineage": ".lineage_check",
    "LineageCheck": ".lineage_check",
    "whatif": ".replay",
}

__all__ = ["__version__", *_EVERYDAY]


def __getattr__(name: str) -> Any:
    module = _EVERYDAY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(module, __name__), name)


def __dir__() -> list[str]:
    return sorted([*globals(), *_EVERYDAY])
