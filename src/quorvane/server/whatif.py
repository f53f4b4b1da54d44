"""The what-if panel of an applicant's page: one protected attribute set to another value,
the applicant's result replayed from the stored lineage, and whether the decision flips.

The answer is the replay's own: a new value only where it computed one, the aggregates it
held at their recorded values, and the steps it could not evaluate, named.
"""

from __future__ import annotations

import math
from typing import Any

from ..utilities.persistence import SQLStore
from .applicant import Applicant


def parsed(text: str) -> float | str:
    """A value typed into the form: a number when it reads as one, else the text."""
    try:
        number = float(text)
    except ValueError:
        return text
    if not math.isfinite(number):
        raise ValueError(f"{text!r} is not a value to set")
    return number


def what_if(store: SQLStore, found: Applicant, name: str, text: str) -> Any:
    """The replay's answer to setting the protected attribute ``name`` to ``text`` for the
    applicant of ``found`` (``ValueError``: not one of the attributes its result read)."""
    from ..replay import whatif

    if name not in {attribute for attribute, _, _ in found.attributes}:
        raise ValueError(f"{name!r} is not a protected attribute of this lineage")
    changes = {name: parsed(text.strip())}
    return whatif(store, found.run["pipeline_id"], found.key, changes, result=found.output)
