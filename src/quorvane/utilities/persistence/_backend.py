"""The interface every storage backend offers to the tracker, the writer and pipeline authors."""

from __future__ import annotations

import abc
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal, Self

from ._records import StoredEdge, StoredNode, StoredRowValue

#: A result row: (row key, output name, fingerprint, value, input hash), and to a backend
#: that ``keeps_exact_hashes``, optionally the exact hash of the source row as a sixth field.
ResultRow = (
    tuple[str, Any, int, float | None, str | None]
    | tuple[str, Any, int, float | None, str | None, str | None]
)
#: A resolved edge row: (parent database id, child database id, input position).
EdgeRow = tuple[int, int, int]


class StorageBackend(abc.ABC):
    """Where pipelines, sources, DAG nodes, edges, row values and results are kept.

    Pipeline ids are opaque positive ints given out by the backend. Every backend is scoped
    to one tenant: it never returns or changes another tenant's pipelines. The write calls
    apply each batch atomically, so a failed call can be retried as a whole; repeating a
    successful one stores nothing twice (nodes are unique per pipeline and fingerprint,
    edges per pipeline, fingerprints and input position).
    """

    #: whether ``store_results`` takes a sixth field, the source row's exact hash
    keeps_exact_hashes: bool = False

    # -- connection -------------------------------------------------------------------------
    @abc.abstractmethod
    def connect(self) -> None:
        """Open the backend (and check that it is reachable and accepts us)."""

    @abc.abstractmethod
    def disconnect(self) -> None:
        """Release connections; a later call opens them again."""

    # -- pipelines ------------------------------------------------------------------------
    @abc.abstractmethod
    def create_pipeline(
        self,
        pipeline_name: str = "unnamed",
        config: Mapping[str, Any] | None = None,
        git_commit: str | None = None,
        tenant_id: str | None = None,
    ) -> int:
        """Open a pipeline run with status "running" and return its id.

        ``tenant_id`` None means the backend's own tenant; naming another tenant is refused
        with ``PermissionError``. The new run becomes the backend's current pipeline, which
        calls without an explicit pipeline id (``register_source``, ``store_edges``) use.
        """

    @abc.abstractmethod
    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        """Close a pipeline run with ``status`` ("completed" or "failed")."""

    @abc.abstractmethod
    def get_pipeline(self, pipeline_id: int) -> dict[str, Any] | None:
        """The pipeline record as a dict, or None when this tenant has no such pipeline."""

    @abc.abstractmethod
    def list_pipelines(self) -> list[dict[str, Any]]:
        """This tenant's pipeline records, oldest first."""

    # -- writes ----------------------------------------------------------------------------
    @abc.abstractmethod
    def register_source(
        self,
        pair_id: int,
        table: str,
        column: str,
        is_protected: bool = False,
        *,
        pipeline_id: int | None = None,
    ) -> None:
        """Record the (table, column) source pair ``pair_id`` of the (current) pipeline."""

    @abc.abstractmethod
    def store_nodes(self, nodes: Sequence[StoredNode]) -> int:
        """Store nodes; a node without ``pipeline_id`` goes to the current pipeline.

        Returns the number of nodes newly stored (a fingerprint already stored for the same
        pipeline keeps its first record).
        """

    @abc.abstractmethod
    def get_fingerprint_node_map(self, pipeline_id: int) -> dict[int, int]:
        """Mapping from fingerprint to database node id for one pipeline."""

    @abc.abstractmethod
    def store_edges_resolved(self, rows: Iterable[EdgeRow]) -> int:
        """Store edges given as (parent database id, child database id, input position)."""

    @abc.abstractmethod
    def store_edges(self, edges: Sequence[StoredEdge], pipeline_id: int | None = None) -> int:
        """Store edges given by fingerprints, resolved within one pipeline.

        Returns the number of edges resolved (stored now or stored before); an edge whose
        parent or child fingerprint has no node in that pipeline cannot be resolved and is
        not stored.
        """

    @abc.abstractmethod
    def store_row_values(self, values: Sequence[StoredRowValue]) -> int:
        """Store per-row element values; returns the number stored."""

    @abc.abstractmethod
    def store_results(self, pipeline_id: int, rows: Iterable[ResultRow]) -> int:
        """Store result rows (row key, output name, fingerprint, value, input hash).

        A row for a (row key, output name) already stored for the pipeline replaces it.
        The n-th row of an output within one call is taken to be element n of that output
        (as ``persist_results`` hands them over), the row index of its recorded row values.
        """

    # -- reads -----------------------------------------------------------------------------
    @abc.abstractmethod
    def get_sources(self, pipeline_id: int) -> list[dict[str, Any]]:
        """The source pairs registered for a pipeline, by pair id."""

    @abc.abstractmethod
    def get_nodes(self, pipeline_id: int) -> list[StoredNode]:
        """The stored nodes of a pipeline, in the order they were stored."""

    @abc.abstractmethod
    def get_edges(self, pipeline_id: int) -> list[StoredEdge]:
        """The stored edges of a pipeline, as fingerprints and input positions."""

    @abc.abstractmethod
    def get_row_values(
        self, pipeline_id: int, row_index: int | None = None
    ) -> list[StoredRowValue]:
        """Stored row values of a pipeline, optionally of one row position only."""

    @abc.abstractmethod
    def get_results(
        self,
        row_key: Any | None = None,
        pipeline_id: int | None = None,
        output_name: Any | None = None,
    ) -> list[dict[str, Any]]:
        """Stored result rows, filtered by row key, pipeline and output name.

        Each dict has the keys pipeline_id, row_key, output_name, fingerprint, value and
        input_hash (and exact_hash, None where none was stored, from a backend that
        ``keeps_exact_hashes``). To check a source row for later changes, hash it again the
        way it was hashed when the results were stored (``source_row_exact_hash`` or
        ``source_row_hash``) and compare with ``exact_hash`` or ``input_hash``.
        """

    # -- dashboard ---------------------------------------------------------------------------
    @abc.abstractmethod
    def store_dashboard_sync(self, payload: Mapping[str, Any]) -> int | None:
        """Keep one dashboard summary as sent by a tracker; returns its id (None from a
        remote service that took it without naming one)."""

    @abc.abstractmethod
    def get_dashboard_syncs(self) -> list[dict[str, Any]]:
        """This tenant's stored dashboard summaries, oldest first."""

    # -- context manager ---------------------------------------------------------------------
    def __enter__(self) -> Self:
        self.connect()
        return self

    def __exit__(self, exc_type, exc_val, exc_tb) -> Literal[False]:
        self.disconnect()
        return False
