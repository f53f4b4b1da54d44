"""quorvane's OpenLineage facet of one applicant's exact lineage: every step of one result,
with its value, the row(s) it belongs to and the code version of the run that made it.

Named and attached as OpenLineage asks of custom facets (``{Prefix}{Name}{Entity}Facet``
under ``{prefix}_{name}``); its JSON schema ships beside this file (``schemas/``).
"""

from __future__ import annotations

import attr
from openlineage.client.facet_v2 import RunFacet
from openlineage.client.utils import RedactMixin

FACET_KEY = "quorvane_elementLineage"
SCHEMA_URL = (
    "https://quorvane.dev/schemas/facets/1-0-0/QuorvaneElementLineageRunFacet.json"
    "#/$defs/QuorvaneElementLineageRunFacet"
)


@attr.define
class ElementStep(RedactMixin):
    """One step of the lineage: a node of the run, with its own value."""

    id: str
    nodeType: str
    operation: str
    inputs: list[str]
    """The identifiers of its inputs, in operand order."""
    word: str
    protected: bool
    value: float | str | None = None
    """None where no value was recorded (or it is NaN)."""
    identity: list[str] = attr.field(factory=list)
    """The business keys of the row(s) the value belongs to."""
    table: str | None = None
    column: str | None = None


@attr.define
class QuorvaneElementLineageRunFacet(RunFacet):
    """One applicant's exact lineage of one result in this run."""

    result: str
    key: str
    """The applicant's business key."""
    root: str
    """The identifier of the result's step."""
    protectedReached: bool
    """Whether a protected source is on the lineage."""
    steps: list[ElementStep]
    """Every step, inputs first, the result last."""
    codeVersion: str | None = None
    """The git commit of the code that made the run, where known."""

    @staticmethod
    def _get_schema() -> str:
        return SCHEMA_URL
