"""The request and response bodies of the lineage API, validated strictly.

Integers are JSON integers within 64 bits (``true`` and ``1.7`` are not integers), texts are
JSON strings, and unknown fields are refused, so a malformed request is answered with 422
and a short message before anything is stored.
"""

from __future__ import annotations

from itertools import repeat
from operator import contains
from typing import Annotated, Any, Self

from pydantic import (
    AfterValidator,
    BaseModel,
    BeforeValidator,
    ConfigDict,
    Field,
    Strict,
    model_validator,
)

from ..utilities.persistence import NUL_MESSAGE


def _without_nul(text: str) -> str:
    if "\x00" in text:
        raise ValueError(NUL_MESSAGE)
    return text


def _column_without_nul(texts: list[str | None]) -> list[str | None]:
    # one pass in C over a whole column; the record is looked for only when there is one
    if any(map(contains, filter(None, texts), repeat("\x00"))):
        at = next(i for i, text in enumerate(texts) if text and "\x00" in text)
        raise ValueError(f"record {at} {NUL_MESSAGE}")
    return texts


# every scalar is strict; containers are not, so that a JSON array is a tuple. U+0000 is
# refused in every text (PostgreSQL cannot keep it), so both stores keep the same.
Int64 = Annotated[int, Strict(), Field(ge=-(2**63), le=2**63 - 1)]
Id = Annotated[int, Strict(), Field(ge=0, le=2**63 - 1)]
Text = Annotated[str, Strict(), AfterValidator(_without_nul)]
TextColumn = Annotated[list[Annotated[str, Strict()]], AfterValidator(_column_without_nul)]
OptionalTextColumn = Annotated[
    list[Annotated[str, Strict()] | None], AfterValidator(_column_without_nul)
]
Flag = Annotated[bool, Strict()]
Number = Annotated[float, Strict()]
#: a provenance word: 32 bits, unsigned
Word = Annotated[int, Strict(), Field(ge=0, le=2**32 - 1)]


class Record(BaseModel):
    model_config = ConfigDict(extra="forbid", ser_json_inf_nan="constants")


class Loose(BaseModel):
    """A record that carries free-form fields of its own (a dashboard summary)."""

    model_config = ConfigDict(extra="allow", ser_json_inf_nan="constants")


# -- requests ------------------------------------------------------------------------------------


class NewPipeline(Record):
    pipeline_name: Text = "unnamed"
    config: dict[str, Any] | None = None
    git_commit: Text | None = None
    tenant_id: Text | None = None


class PipelineStatus(Record):
    status: Annotated[Text, Field(min_length=1, max_length=64)] = "completed"


class NewSource(Record):
    pair_id: Int64
    table: Text
    column: Text
    is_protected: Flag = False
    pipeline_id: Id | None = None


class Node(Record):
    fingerprint: Int64
    node_type: Text
    operation: Text
    table_name: Text | None = None
    column_name: Text | None = None
    pair_id: Int64 | None = None
    is_protected: Flag = False
    entity_hash: Int64 | None = None
    chain_hash: Int64 | None = None
    metadata: dict[str, Any] | None = None
    pipeline_id: Id | None = None


class Edge(Record):
    parent_fingerprint: Int64
    child_fingerprint: Int64
    input_position: Int64


class RowValue(Record):
    pipeline_id: Id
    row_index: Int64
    fingerprint: Int64
    node_operation: Text
    value: Number | None = None
    column_name: Text | None = None
    tenant_id: Text | None = None
    text_value: Text | None = None


# Bulk writes travel as columns, one list per field: a list of numbers validates an order of
# magnitude faster than as many objects, and the body is a third of the size.
class Columns(Record):
    @model_validator(mode="after")
    def _same_length(self) -> Self:
        if len({len(column) for column in vars(self).values()}) > 1:
            raise ValueError("all columns must have the same length")
        return self


class NodeColumns(Columns):
    fingerprint: list[Int64]
    node_type: TextColumn
    operation: TextColumn
    table_name: OptionalTextColumn
    column_name: OptionalTextColumn
    pair_id: list[Int64 | None]
    is_protected: list[Flag]
    entity_hash: list[Int64 | None]
    chain_hash: list[Int64 | None]
    metadata: list[dict[str, Any] | None]
    pipeline_id: list[Id | None]


class EdgeColumns(Columns):
    parent_fingerprint: list[Int64]
    child_fingerprint: list[Int64]
    input_position: list[Int64]


class RowValueColumns(Columns):
    pipeline_id: list[Id]
    row_index: list[Int64]
    fingerprint: list[Int64]
    node_operation: TextColumn
    value: list[Number | None]
    column_name: OptionalTextColumn
    tenant_id: OptionalTextColumn
    text_value: OptionalTextColumn


class NewNodes(Record):
    columns: NodeColumns
    default_pipeline_id: Id | None = None


class NewEdges(Record):
    columns: EdgeColumns
    pipeline_id: Id | None = None


class ResolvedEdges(Record):
    rows: list[tuple[Int64, Int64, Int64]]


class NewRowValues(Record):
    columns: RowValueColumns


def _with_exact_hash(row: Any) -> Any:
    # rows of clients that send no exact hash have five fields: the sixth is then None
    return [*row, None] if isinstance(row, (list, tuple)) and len(row) == 5 else row


class NewResults(Record):
    #: (row key, output name, fingerprint, value, input hash[, exact hash])
    rows: list[
        Annotated[
            tuple[Text, Text, Word, Number | None, Text | None, Text | None],
            BeforeValidator(_with_exact_hash),
        ]
    ]


class DashboardPipeline(Loose):
    pipeline_name: Text | None = None
    provenance_pipeline_id: Id | None = None


class DashboardSync(Loose):
    pipeline: DashboardPipeline | None = None


# -- responses -----------------------------------------------------------------------------------


class Tenant(Record):
    tenant_id: Text


class PipelineId(Record):
    pipeline_id: Int64


class Stored(Record):
    stored: Int64


class Registered(Record):
    registered: Flag


class Pipeline(Record):
    pipeline_id: Int64
    tenant_id: Text
    pipeline_name: Text
    status: Text
    config: Any = None
    git_commit: Text | None
    created_at: Text
    completed_at: Text | None


class OnePipeline(Record):
    pipeline: Pipeline


class Pipelines(Record):
    pipelines: list[Pipeline]


class Source(Record):
    pair_id: Int64
    table: Text
    column: Text
    is_protected: Flag


class Sources(Record):
    sources: list[Source]


class Nodes(Record):
    nodes: list[Node]


class FingerprintMap(Record):
    #: (fingerprint, database node id) pairs
    map: list[tuple[Int64, Int64]]


class Edges(Record):
    edges: list[Edge]


class RowValues(Record):
    values: list[RowValue]


class Result(Record):
    pipeline_id: Int64
    row_key: Text
    output_name: Text
    fingerprint: Int64
    value: Number | None
    input_hash: Text | None
    exact_hash: Text | None = None


class Results(Record):
    results: list[Result]


class SyncAccepted(Record):
    status: Text
    sync_id: Int64


class Sync(Record):
    sync_id: Int64
    received_at: Text
    pipeline_name: Text | None
    provenance_pipeline_id: Int64 | None
    payload: dict[str, Any]


class Syncs(Record):
    syncs: list[Sync]


class Problem(Record):
    error: Text


class ElementResults(Record):
    results: list[Text]


class LineageStep(Record):
    node_id: Int64
    node_type: Text
    operation: Text
    inputs: list[Int64]
    word: Int64
    value: Number | Text | None
    identity: list[Text]
    table: Text | None = None
    column: Text | None = None
    protected: Flag = False
    group: Text | None = None
    members: Int64 = 0
    unlisted: Int64 = 0


class ElementLineage(Record):
    root: Int64
    key: Text
    steps: list[LineageStep]
    exact: Flag = True


class ElementGroups(Record):
    #: the recorded aggregates of one groupby by group key (JSON text); empty: no group's
    groups: dict[Text, Number | Text | None]


class MemberPage(Record):
    total: Int64
    offset: Int64
    #: (business key of the member's row, its input node)
    members: list[tuple[Text, Int64]]


class ElementMembers(Record):
    #: None: the run keeps no index of its groups' members
    page: MemberPage | None


class ElementResultNode(Record):
    #: None: the run has no per-element log, or no such result or key
    node: Int64 | None


class OneElementLineage(Record):
    #: None: the run has no per-element log (stored before they were kept), or no such key
    lineage: ElementLineage | None
