"""API keys: who a request acts for.

Only SHA-256 digests of keys are stored. ``tenant_for_key`` answers which tenant a key
belongs to (None for an unknown or revoked key) and is the one place that decides it, for
the API's bearer header and for any other way a key reaches the app.
"""

from __future__ import annotations

import hashlib
import threading
import time
from typing import Annotated

from fastapi import Depends, Header, HTTPException, Request

from ..utilities.persistence import SQLStore

TENANT_HEADER = "X-Quorvane-Tenant"
# a revoked key stops working within this many seconds in every service process
KEY_CACHE_SECONDS = 2.0


def key_digest(api_key: str) -> str:
    return hashlib.sha256(api_key.encode("utf-8")).hexdigest()


def read_keys(text: str) -> list[str]:
    """The keys in ``text``: one a line, blank lines and lines starting with '#' skipped."""
    lines = (line.strip() for line in text.splitlines())
    return [line for line in lines if line and not line.startswith("#")]


class KeyRing:
    """The operator's view of the keys of one store: add, revoke, list and look up."""

    def __init__(self, store: SQLStore):
        self._store = store
        self._lock = threading.Lock()
        self._cache: dict[str, tuple[float, str | None]] = {}

    def add(self, api_key: str, tenant_id: str, move: bool = False) -> str:
        """Let ``api_key`` act as ``tenant_id``; returns the key id shown by ``list``. A key
        that acts for another tenant is refused with PermissionError unless ``move``."""
        if len(api_key) < 12 or api_key != api_key.strip():
            raise ValueError("an API key is at least 12 characters, without surrounding spaces")
        digest = key_digest(api_key)
        self._store.for_tenant(tenant_id).add_api_key_digest(digest, move=move)
        with self._lock:
            self._cache.pop(digest, None)
        return digest[:12]

    def revoke(self, api_key: str | None = None, key_id: str | None = None) -> int:
        """Revoke a key given itself or its id; returns how many keys were removed."""
        if (api_key is None) == (key_id is None):
            raise ValueError("name either the key or its id")
        prefix = key_digest(api_key) if api_key is not None else str(key_id)
        removed = self._store.revoke_api_key_digests(prefix)
        with self._lock:
            self._cache.clear()
        return removed

    def list(self) -> list[dict[str, str]]:
        return self._store.list_api_keys()

    def tenant_for_key(self, api_key: str) -> str | None:
        if not api_key:
            return None
        digest = key_digest(api_key)
        now = time.monotonic()
        with self._lock:
            cached = self._cache.get(digest)
        if cached is not None and now - cached[0] < KEY_CACHE_SECONDS:
            return cached[1]
        tenant = self._store.tenant_for_key_digest(digest)
        with self._lock:
            if len(self._cache) > 10_000:  # guessed keys must not grow it without bound
                self._cache.clear()
            self._cache[digest] = (now, tenant)
        return tenant


def _unauthorized() -> HTTPException:
    return HTTPException(401, "missing or invalid API key", headers={"WWW-Authenticate": "Bearer"})


def bearer_key(authorization: Annotated[str | None, Header()] = None) -> str:
    scheme, _, key = (authorization or "").partition(" ")
    if scheme != "Bearer" or not key.strip():
        raise _unauthorized()
    return key.strip()


def tenant_store(
    request: Request,
    api_key: Annotated[str, Depends(bearer_key)],
    x_quorvane_tenant: Annotated[str | None, Header()] = None,
) -> SQLStore:
    """The store as seen by the tenant the request's key belongs to."""
    tenant = request.app.state.keys.tenant_for_key(api_key)
    if tenant is None:
        raise _unauthorized()
    check_claimed_tenant(tenant, x_quorvane_tenant)
    return request.app.state.store.for_tenant(tenant)


def check_claimed_tenant(tenant: str, claimed: str | None) -> None:
    """A request may name a tenant: the key's own, or "default" meaning the key's."""
    if claimed not in (None, "default", tenant):
        raise HTTPException(403, "the API key does not belong to the tenant named in the request")


TenantStore = Annotated[SQLStore, Depends(tenant_store)]
