"""Login sessions of the audit pages, kept on the server.

The browser's cookie holds a random session id and nothing else: the API key that opened
the session never leaves the login form. The store keeps digests only, so that whoever
reads the database can neither log in nor pose as a session. A session ends at logout, at
its expiry, or as soon as its key is revoked, in every process that serves the store.
"""

from __future__ import annotations

import hashlib
import secrets
from datetime import UTC, datetime, timedelta

from ..utilities.persistence import SQLStore
from .auth import KeyRing, key_digest

#: bytes of randomness in a session id (256 bits: not guessable in any number of tries)
SESSION_ID_BYTES = 32


def _digest(session_id: str) -> str:
    return hashlib.sha256(session_id.encode("utf-8")).hexdigest()


class Sessions:
    """Open, resolve and close the page sessions of one store."""

    def __init__(self, store: SQLStore, keys: KeyRing, lifetime_seconds: float):
        self._store = store
        self._keys = keys
        self._lifetime = timedelta(seconds=lifetime_seconds)

    def open(self, api_key: str) -> str | None:
        """A new session id for the holder of ``api_key``; None when the key is not valid."""
        tenant = self._keys.tenant_for_key(api_key)
        if tenant is None:
            return None
        session_id = secrets.token_urlsafe(SESSION_ID_BYTES)
        expires = (datetime.now(UTC) + self._lifetime).isoformat(timespec="microseconds")
        self._store.for_tenant(tenant).open_page_session(
            _digest(session_id), key_digest(api_key), expires
        )
        return session_id

    def tenant(self, session_id: str) -> str | None:
        """The tenant a live session acts for; None for an unknown, ended or expired one."""
        if not session_id or len(session_id) > 256:
            return None
        return self._store.tenant_for_page_session(_digest(session_id))

    def close(self, session_id: str) -> None:
        if session_id and len(session_id) <= 256:
            self._store.close_page_session(_digest(session_id))
