"""The lineage service for tests: on a SQLite file, in a thread on loopback."""

from __future__ import annotations

from quorvane.server import KeyRing, create_app, start_server
from quorvane.utilities.persistence import SQLiteStorage

KEYS = {"key-acme-7f3a": "acme", "key-beta-91c2": "beta"}


def start_service(db_path, keys=(), settings=None):
    store = SQLiteStorage(db_path)
    ring = KeyRing(store)
    for key, tenant in dict(keys).items():
        ring.add(key, tenant)
    return start_server(create_app(store, settings), settings=settings)
