"""Storage for provenance records: record types, storage backends and the background writer.

- ``SQLiteStorage(path)``: lineage in a local SQLite file (the embedded default).
- ``PostgresStorage(url)``: the same tables in a PostgreSQL database shared by a team
  (needs the ``server`` extra).
- ``HostedStorage(api_url, api_key, tenant_id)``: the same calls against the lineage service
  (``quorvane serve`` runs one; needs the ``client`` or ``server`` extra).
- ``open_store(location)``: a SQLite path or a ``postgresql://`` URL, opened as the right store.
- ``AsyncWriter(storage, WriterConfig())``: hands records to a backend from a daemon thread.
- ``ElementLog`` and ``ElementLineage``: one run's per-element log and one element's exact
  lineage (``write_element_log`` and ``read_element_lineage`` on the SQL stores and
  ``HostedStorage``; ``lineage_in_log`` walks a log held in memory).
- ``SQLStore``, ``Columns``, ``node_to_wire`` and ``row_value_to_wire``: what the lineage
  service builds on (the stores' common base, bulk columns, and the records' wire form).
"""

from ._backend import StorageBackend
from ._documents import NUL_MESSAGE, DocumentError, JSONText, Nested, check_document, outline
from ._element_codec import ARROW_STREAM, element_log_from_stream, element_log_to_stream
from ._element_log import (
    NODE_TYPES,
    PART_ROWS,
    ElementLineage,
    ElementLog,
    ElementLogError,
    ElementLogParts,
    LineageStep,
    MemberPage,
    no_nodes,
    nodes_part,
)
from ._element_members import Identities, applicant_rows, own_inputs_of, two_applicants
from ._element_walk import IdentityRows, NodeRows, lineage_in_log, result_node_in_log
from ._element_walk import lineage as walk_lineage
from ._records import StoredEdge, StoredNode, StoredRowValue
from ._rowhash import source_row_exact_hash, source_row_hash
from ._source_files import SourceFileError, file_sha256, read_source_file
from ._sqlite import SQLiteStorage
from ._sqlstore import Columns, SQLStore
from ._verify import SourceCheck, check_source_rows, likely_key_column
from ._wire import node_to_wire, row_value_to_wire
from .hosted import HostedStorage, ServiceError
from .writer import AsyncWriter, WriterConfig


def open_store(location: str, tenant_id: str = "default") -> SQLStore:
    """The store at ``location``: a ``postgresql://`` URL or the path of a SQLite file."""
    if location.startswith(("postgresql://", "postgres://")):
        from ._postgres import PostgresStorage

        return PostgresStorage(location, tenant_id)
    return SQLiteStorage(location, tenant_id)


def __getattr__(name: str) -> object:
    # PostgreSQL support needs psycopg, which the core install does not have
    if name == "PostgresStorage":
        from ._postgres import PostgresStorage

        return PostgresStorage
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "Identities",
    "IdentityRows",
    "NodeRows",
    "NUL_MESSAGE",
    "DocumentError",
    "JSONText",
    "Nested",
    "check_document",
    "outline",
    "NODE_TYPES",
    "ARROW_STREAM",
    "ElementLogParts",
    "PART_ROWS",
    "no_nodes",
    "nodes_part",
    "element_log_from_stream",
    "element_log_to_stream",
    "applicant_rows",
    "two_applicants",
    "lineage_in_log",
    "own_inputs_of",
    "walk_lineage",
    "result_node_in_log",
    "ElementLineage",
    "ElementLog",
    "ElementLogError",
    "LineageStep",
    "MemberPage",
    "AsyncWriter",
    "Columns",
    "HostedStorage",
    "PostgresStorage",
    "SQLStore",
    "SQLiteStorage",
    "ServiceError",
    "SourceCheck",
    "SourceFileError",
    "StorageBackend",
    "StoredEdge",
    "StoredNode",
    "StoredRowValue",
    "WriterConfig",
    "check_source_rows",
    "file_sha256",
    "likely_key_column",
    "node_to_wire",
    "open_store",
    "read_source_file",
    "row_value_to_wire",
    "source_row_exact_hash",
    "source_row_hash",
]
