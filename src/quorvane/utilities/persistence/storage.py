"""Stored record types and storage backends."""

from ._backend import EdgeRow, ResultRow, StorageBackend
from ._records import StoredEdge, StoredNode, StoredRowValue
from ._rowhash import source_row_hash
from ._sqlite import SQLiteStorage
from .hosted import HostedStorage, ServiceError

__all__ = [
    "EdgeRow",
    "HostedStorage",
    "ResultRow",
    "SQLiteStorage",
    "ServiceError",
    "StorageBackend",
    "StoredEdge",
    "StoredNode",
    "StoredRowValue",
    "source_row_hash",
]
