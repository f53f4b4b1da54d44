"""The lineage service: an ASGI app (FastAPI) over a SQLite or PostgreSQL store.

Needs the ``server`` extra (``pip install 'quorvane[server]'``); ``quorvane serve`` runs it.
"""

from .app import ServerSettings, create_app
from .auth import KeyRing, key_digest
from .run import RunningServer, start_server

__all__ = ["KeyRing", "RunningServer", "ServerSettings", "create_app", "key_digest", "start_server"]
