"""The digest that ties a stored result to the source row it was computed from."""

from __future__ import annotations

import hashlib
from typing import Any


def source_row_hash(row: Any) -> str:
    """SHA-256 (lowercase hex) of a source row serialised with its ``to_json()``.

    This is the ``input_hash`` that the tracker stores with each result row: hash the same
    row of the current source data again and compare, and a different digest shows that
    the row changed after the run.
    """
    return hashlib.sha256(row.to_json().encode("utf-8")).hexdigest()
