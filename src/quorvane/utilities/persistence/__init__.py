"""Storage for provenance records: record types, storage backends and the background writer."""

from .storage import StoredEdge, StoredNode, StoredRowValue

__all__ = ["StoredEdge", "StoredNode", "StoredRowValue"]
