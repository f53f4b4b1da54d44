"""Storage for provenance records: record types, storage backends and the background writer.

- ``SQLiteStorage(path)``: lineage in a local SQLite file (the embedded default).
- ``HostedStorage(api_url, api_key, tenant_id)``: the same calls against the hosted service
  (``python -m quorvane.utilities.persistence.service`` runs a reference one).
- ``AsyncWriter(storage, WriterConfig())``: hands records to a backend from a daemon thread.
"""

from ._backend import StorageBackend
from ._records import StoredEdge, StoredNode, StoredRowValue
from ._rowhash import source_row_hash
from ._sqlite import SQLiteStorage
from .hosted import HostedStorage, ServiceError
from .writer import AsyncWriter, WriterConfig

__all__ = [
    "AsyncWriter",
    "HostedStorage",
    "SQLiteStorage",
    "ServiceError",
    "StorageBackend",
    "StoredEdge",
    "StoredNode",
    "StoredRowValue",
    "WriterConfig",
    "source_row_hash",
]
