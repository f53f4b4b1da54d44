"""SQLiteStorage: the embedded default backend, a SQLite file on local disk."""

from __future__ import annotations

import os

from ._connections import Database
from ._sqlstore import SQLStore


class SQLiteStorage(SQLStore):
    """Lineage kept in a SQLite file (WAL mode), scoped to one tenant.

    Every thread gets its own connection, so the background writer can store while the
    pipeline's thread reads. ``synchronous`` is the SQLite durability level ("FULL" by
    default: a committed batch survives a power loss). Names and texts are stored as given,
    with parameterised SQL only.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        tenant_id: str = "default",
        *,
        synchronous: str = "FULL",
        timeout: float = 30.0,
    ):
        super().__init__(Database(path, synchronous, timeout), tenant_id)

    def __repr__(self) -> str:
        return f"SQLiteStorage({self._db.path!r}, tenant_id={self._tenant!r})"

    @property
    def path(self) -> str:
        return self._db.path


__all__ = ["SQLiteStorage"]
