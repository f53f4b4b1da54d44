"""quorvane's own OpenLineage facet: which output columns a protected attribute reaches.

OpenLineage asks custom facets for a project prefix: the class is named
``{Prefix}{Name}{Entity}Facet`` and attached under the key ``{prefix}_{name}``. Its JSON schema
ships beside this file (``schemas/``); ``_schemaURL`` names its published, versioned copy.
"""

from __future__ import annotations

import attr
from openlineage.client.facet_v2 import DatasetFacet
from openlineage.client.utils import RedactMixin

FACET_KEY = "quorvane_columnProtection"
SCHEMA_URL = (
    "https://quorvane.dev/schemas/facets/1-0-0/QuorvaneColumnProtectionDatasetFacet.json"
    "#/$defs/QuorvaneColumnProtectionDatasetFacet"
)


@attr.define
class ProtectedInputField(RedactMixin):
    """A protected source column that reaches an output column."""

    namespace: str
    name: str
    field: str


@attr.define
class ColumnProtection(RedactMixin):
    """The protection facts of one output column."""

    protected: bool
    """Some value of the column derives from a protected attribute."""

    risk: float
    """The highest taint risk of any value: 1 / (1 + depth) when tainted, else 0."""

    protectedInputFields: list[ProtectedInputField] = attr.field(factory=list)


@attr.define
class QuorvaneColumnProtectionDatasetFacet(DatasetFacet):
    """Per output column: whether a protected attribute reaches it, and which ones do."""

    fields: dict[str, ColumnProtection]
    """The protection facts of every output column that carries words."""

    unknownFields: list[str] = attr.field(factory=list)
    """Output columns whose provenance is unknown, entirely (they carry no words) or in part:
    there, not protected does not mean clean."""

    @staticmethod
    def _get_schema() -> str:
        return SCHEMA_URL
