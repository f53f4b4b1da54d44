"""What a page cannot show, said for what it is: which run, applicant or output is missing.

Another tenant's run reads exactly as a run that does not exist, so nothing here tells
the two apart.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from ..utilities.persistence import SQLStore


class NotFound(LookupError):
    """A 404 of the pages: a heading and one sentence an auditor can act on."""

    def __init__(self, title: str, detail: str):
        super().__init__(detail)
        self.title = title
        self.detail = detail


def no_run(pipeline_id: int) -> NotFound:
    return NotFound("No such run", f"There is no run #{pipeline_id} that this key can see.")


def visible_run(store: SQLStore, pipeline_id: int) -> dict[str, Any]:
    """The run's record, or ``no_run`` when it does not exist or is another tenant's."""
    try:
        run = store.get_pipeline(pipeline_id)
    except PermissionError:
        run = None
    if run is None:
        raise no_run(pipeline_id)
    return run


def no_applicant(pipeline_id: int, row_key: str) -> NotFound:
    return NotFound("No such applicant", f"Run #{pipeline_id} has no result for the key {row_key}.")


def no_output(pipeline_id: int, row_key: str, output: str, outputs: Iterable[str]) -> NotFound:
    known = ", ".join(sorted(outputs)) or "none"
    return NotFound(
        "No such output",
        f"Run #{pipeline_id} has no output {output} for {row_key}; its outputs are: {known}.",
    )


def no_page(path: str) -> NotFound:
    return NotFound("No such page", f"Nothing is served at {path}.")
