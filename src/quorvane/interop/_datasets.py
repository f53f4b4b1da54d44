"""OpenLineage datasets and their facets, from a schema, protected columns and column lineage.

Shared by the live run (``openlineage.py``) and the export of a stored run (``stored.py``).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from importlib import metadata
from typing import Any

from openlineage.client.event_v2 import InputDataset, OutputDataset
from openlineage.client.facet_v2 import (
    column_lineage_dataset,
    processing_engine_run,
    schema_dataset,
    tags_dataset,
)

from ._lineage import ColumnLineage
from ._protection_facet import (
    FACET_KEY,
    ColumnProtection,
    ProtectedInputField,
    QuorvaneColumnProtectionDatasetFacet,
)

PROTECTED_TAG = "protected"


def _version() -> str:
    try:
        return metadata.version("quorvane")
    except metadata.PackageNotFoundError:  # run from a source tree
        return "0+unknown"


VERSION = _version()
PRODUCER = f"https://pypi.org/project/quorvane/{VERSION}/"

#: (column name, type or None) of every column of a dataset.
Schema = list[tuple[str, str | None]]


@dataclass(frozen=True)
class Naming:
    """Where datasets live: one namespace, and dataset names for table and output names."""

    namespace: str
    names: Mapping[str, str] = field(default_factory=dict)

    def __call__(self, name: str) -> str:
        return self.names.get(name, name)


def frame_schema(frame: Any) -> Schema:
    return [(str(label), str(dtype)) for label, dtype in frame.dtypes.items()]


def engine_run_facets() -> dict[str, Any]:
    engine = processing_engine_run.ProcessingEngineRunFacet(
        version=VERSION, name="quorvane", producer=PRODUCER
    )
    return {"processing_engine": engine}


def _schema_facet(schema: Schema) -> schema_dataset.SchemaDatasetFacet:
    fields = [schema_dataset.SchemaDatasetFacetFields(name=n, type=t) for n, t in schema]
    return schema_dataset.SchemaDatasetFacet(fields=fields, producer=PRODUCER)


def input_dataset(naming: Naming, table: str, schema: Schema, protected: Iterable[str]):
    """A wrapped table: its schema, and a ``protected`` tag on each protected column."""
    facets: dict[str, Any] = {"schema": _schema_facet(schema)}
    tags = [
        tags_dataset.TagsDatasetFacetFields(
            key=PROTECTED_TAG, value="true", source="quorvane", field=column
        )
        for column in protected
    ]
    if tags:
        facets["tags"] = tags_dataset.TagsDatasetFacet(tags=tags, producer=PRODUCER)
    return InputDataset(namespace=naming.namespace, name=naming(table), facets=facets)


def output_dataset(
    naming: Naming, name: str, schema: Schema, lineage: list[ColumnLineage]
) -> OutputDataset:
    """A declared output: its schema, its column lineage and its protection facts."""
    facets = {
        "schema": _schema_facet(schema),
        "columnLineage": _column_lineage_facet(naming, lineage),
        FACET_KEY: _protection_facet(naming, lineage),
    }
    return OutputDataset(namespace=naming.namespace, name=naming(name), facets=facets)


def _column_lineage_facet(
    naming: Naming, lineage: list[ColumnLineage]
) -> column_lineage_dataset.ColumnLineageDatasetFacet:
    cl = column_lineage_dataset
    fields = {
        column.column: cl.Fields(
            inputFields=[
                cl.InputField(
                    namespace=naming.namespace,
                    name=naming(source.table),
                    field=source.column,
                    transformations=[
                        cl.Transformation(type=kind, subtype=subtype)
                        for kind, subtype in source.transformations
                    ],
                )
                for source in column.sources
            ]
        )
        for column in lineage
        if column.sources
    }
    return cl.ColumnLineageDatasetFacet(fields=fields, producer=PRODUCER)


def _protection_facet(
    naming: Naming, lineage: list[ColumnLineage]
) -> QuorvaneColumnProtectionDatasetFacet:
    fields = {
        column.column: ColumnProtection(
            protected=column.tainted,
            risk=column.risk,
            protectedInputFields=[
                ProtectedInputField(
                    namespace=naming.namespace, name=naming(source.table), field=source.column
                )
                for source in column.sources
                if source.protected
            ],
        )
        for column in lineage
        if column.tracked
    }
    unknown = [column.column for column in lineage if column.unknown]
    return QuorvaneColumnProtectionDatasetFacet(
        fields=fields, unknownFields=unknown, producer=PRODUCER
    )
