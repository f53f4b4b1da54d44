"""Helpers for the tracker's persistence tests: a loopback service, small DAGs, read-back."""

from __future__ import annotations

import asyncio
import contextlib
import json
import socket
import threading

from quorvane.server import KeyRing, create_app, start_server
from quorvane.utilities.orrin32 import OpCode
from quorvane.utilities.orrin32_dag import DAGTracker
from quorvane.utilities.persistence import HostedStorage, SQLiteStorage, StoredRowValue

KEY = "tracker-key-5be1"
OTHER_KEY = "tracker-key-other"
KEYS = {KEY: "acme", OTHER_KEY: "beta"}


class Service:
    """The lineage service on loopback; ``dashboard`` may be "ok", "error", "slow", or
    bytes: a success answered with that body instead of the service's own."""

    def __init__(self, db_path: str, dashboard: str | bytes = "ok"):
        store = SQLiteStorage(db_path)
        for key, tenant in KEYS.items():
            KeyRing(store).add(key, tenant)
        self.dashboard = dashboard
        self.dashboard_posts = 0
        self.idle = threading.Event()  # no slow dashboard request is still being answered
        self.idle.set()
        self.running = start_server(self._switch(create_app(store)))
        self.url = self.running.url

    def _switch(self, app):
        service = self

        async def switched(scope, receive, send):
            if scope["type"] != "http" or scope["path"] != "/v1/dashboard/sync":
                return await app(scope, receive, send)
            service.dashboard_posts += 1
            if isinstance(service.dashboard, bytes):
                await send({"type": "http.response.start", "status": 200, "headers": []})
                return await send({"type": "http.response.body", "body": service.dashboard})
            if service.dashboard == "error":
                body = json.dumps({"error": "dashboard is down"}).encode()
                await send({"type": "http.response.start", "status": 500, "headers": []})
                return await send({"type": "http.response.body", "body": body})
            service.idle.clear()
            try:
                if service.dashboard == "slow":
                    await asyncio.sleep(1.0)
                return await app(scope, receive, send)
            finally:
                service.idle.set()

        return switched

    def client(self, key: str = KEY) -> HostedStorage:
        return HostedStorage(self.url, key)

    def stop(self) -> None:
        self.idle.wait(10)
        self.running.stop()


def closed_port_url() -> str:
    with contextlib.closing(socket.socket()) as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}"


def build_run(tracker: DAGTracker, protected: bool = True) -> dict:
    """Two source columns, a division per row and a clip: a small credit pipeline."""
    income = tracker.register("applicants", "income")
    debt = tracker.register("applicants", "debt", protected=protected)
    ids = {}
    src_income = tracker.create_source_node("applicants", "income", tracker.encode({income}))
    src_debt = tracker.create_source_node(
        "applicants", "debt", tracker.encode({debt}, taint=protected)
    )
    for row in range(3):
        w_income = tracker.encode({income}, entity=row + 1)
        w_debt = tracker.encode({debt}, entity=row + 1, taint=protected)
        ratio = tracker.combine(w_debt, w_income, OpCode.DIV)
        div = tracker.log_binary("div", src_debt, src_income, ratio)
        clipped = tracker.update_chain(ratio, OpCode.CLIP)
        ids[row] = tracker.log_unary("clip", div, clipped)
    return ids


def buffer_values(tracker: DAGTracker, n: int) -> None:
    with tracker._value_buffer_lock:
        for i in range(n):
            tracker._value_buffer.append(
                StoredRowValue(
                    pipeline_id=tracker._pipeline_id or 0,
                    row_index=i,
                    fingerprint=i + 1,
                    node_operation="div",
                    value=float(i),
                )
            )
