"""The service against hostile clients on real loopback sockets: bodies withheld without a
key, keys guessed, answers framed, numbers out of range, and the process out of descriptors.

Each 127.x.y.z address is a client address of its own, so one test can play an attacker
and an honest client at once."""

from __future__ import annotations

import contextlib
import os
import socket
import subprocess
import sys
import threading
import time
from urllib.parse import urlencode

import httpx
import pytest

from quorvane.server import KeyRing, ServerSettings, create_app, start_server
from quorvane.server.throttle import FailureThrottle
from quorvane.utilities.persistence import PostgresStorage, SQLiteStorage

KEY = "guard-key-0123456789"
WRONG = "guard-key-wrong-00000"
SETTINGS = ServerSettings(
    request_timeout=2.0, body_timeout=3.0, failures_per_minute=3, failure_delay=1.0
)


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    store = SQLiteStorage(str(tmp_path_factory.mktemp("guard") / "guard.db"))
    KeyRing(store).add(KEY, "acme")
    with start_server(create_app(store, SETTINGS), settings=SETTINGS) as running:
        yield running


def connect(url, source):
    host, port = url.removeprefix("http://").split(":")
    return socket.create_connection((host, int(port)), timeout=10, source_address=(source, 0))


def client(url, source="127.0.0.1", key=KEY):
    headers = {"Authorization": f"Bearer {key}"} if key else {}
    transport = httpx.HTTPTransport(local_address=source)
    return httpx.Client(base_url=url, headers=headers, transport=transport, timeout=10)


def withhold(url, source, key):
    """A request whose headers arrive, and one byte of its body of 1000."""
    sock = connect(url, source)
    auth = f"Authorization: Bearer {key}\r\n" if key else ""
    sock.sendall(
        f"POST /v1/pipelines HTTP/1.1\r\nHost: x\r\n{auth}Content-Type: application/json\r\n"
        "Content-Length: 1000\r\n\r\n{".encode()
    )
    return sock


def status_of(sock):
    answer = b""
    with contextlib.suppress(OSError):
        while chunk := sock.recv(4096):
            answer += chunk
    return int(answer.split(b" ", 2)[1]) if answer else None


@pytest.mark.parametrize(
    ("count", "key", "source", "released_with"),
    [
        (8, None, "127.0.0.1", {408}),  # from the keyed client's own address
        (64, None, "127.0.0.1", {408}),
        (64, None, "127.0.0.2", {408}),
        # a keyed client withholding bodies holds its own address's turns, not the service
        (8, KEY, "127.0.0.3", {408}),
        # a wrong key is refused at once, its body unread, and soon the address is shut out
        (64, WRONG, "127.0.0.4", {401, 429}),
    ],
)
def test_withheld_bodies_lock_no_keyed_client_out(served, count, key, source, released_with):
    held = [withhold(served.url, source, key) for _ in range(count)]
    try:
        latencies = []
        with client(served.url) as honest:
            for n in range(10):
                started = time.monotonic()
                answer = honest.post("/v1/pipelines", json={"pipeline_name": f"p{n}"})
                latencies.append(time.monotonic() - started)
                assert answer.status_code == 200, answer.text
        print(f"\n{count} withholding ({key or 'no key'}): slowest answer {max(latencies):.3f} s")
        assert max(latencies) < 1.0
        # the deadline of a withheld body releases it
        assert {status_of(sock) for sock in held} <= released_with
    finally:
        for sock in held:
            sock.close()


@pytest.mark.parametrize("way", ["bearer", "login"])
def test_failed_authentications_are_throttled_per_address(served, way):
    source = {"bearer": "127.0.1.1", "login": "127.0.1.2"}[way]

    def attempt(key):
        with client(served.url, source, key if way == "bearer" else None) as guesser:
            if way == "bearer":
                return guesser.get("/v1/whoami")
            return guesser.post("/login", data={"api_key": key})

    # the allowance, and the failure beyond it that shuts the address out for a second
    assert [attempt(WRONG).status_code for _ in range(4)] == [401] * 4
    shut = attempt(KEY)  # even the right key is not looked at while shut out
    assert shut.status_code == 429 and shut.headers["retry-after"] == "1"
    with client(served.url, "127.0.1.3") as other:
        assert other.get("/v1/whoami").status_code == 200  # another address is not
    time.sleep(1.1)
    assert attempt(WRONG).status_code == 401  # and now for two
    assert attempt(KEY).headers["retry-after"] == "2"
    time.sleep(2.1)
    assert attempt(KEY).status_code in (200, 303)


def test_the_throttle_doubles_its_delay_and_forgets_old_failures():
    throttle = FailureThrottle(allowance=2, window=60, first_delay=1)
    waits = []
    for at in (0, 0, 0, 1, 3, 7, 15, 31, 31, 200):
        throttle.failed("a", now=at)
        waits.append(throttle.wait_for("a", now=at))
    # beyond two a minute: 1, 2, 4, ... s, at most a minute; and failures age out
    assert waits == [0, 0, 1, 2, 4, 8, 16, 32, 60, 0]
    assert throttle.wait_for("b", now=0) == 0


@pytest.mark.parametrize(
    "path", ["/login", "/", "/static/audit.css", "/v1/whoami", "/openapi.json", "/nope", "/docs"]
)
def test_every_answer_carries_the_headers_of_a_careful_service(served, path):
    with client(served.url) as browser:
        answer = browser.get(path)
    policy = answer.headers["content-security-policy"]
    assert "frame-ancestors 'none'" in policy and "script-src 'none'" in policy
    assert "http" not in policy  # nothing from another origin
    assert answer.headers["x-content-type-options"] == "nosniff"
    assert answer.headers["referrer-policy"] == "same-origin"
    # no browsable documentation loading its scripts from elsewhere
    assert answer.status_code != 200 or path != "/docs"


@pytest.fixture(params=["sqlite", "postgres"])
def any_store(request, tmp_path):
    if request.param == "sqlite":
        store = SQLiteStorage(str(tmp_path / "bounds.db"))
    else:
        store = PostgresStorage(request.getfixturevalue("pg_url"))
    KeyRing(store).add(KEY, "acme")
    with start_server(create_app(store)) as running:
        running.store = store
        yield running


def test_keys_sharing_their_key_id_are_told_apart_by_the_whole_digest(any_store):
    store = any_store.store
    store.for_tenant("acme").add_api_key_digest("a" * 64)
    store.for_tenant("beta").add_api_key_digest("a" * 63 + "b")
    found = [store.tenant_for_key_digest("a" * 63 + end) for end in "abc"]
    assert found == ["acme", "beta", None]


BEYOND = 2**64 + 5


def test_numbers_out_of_range_are_refused_on_both_stores(any_store):
    with client(any_store.url) as api:
        run = api.post("/v1/pipelines", json={}).json()["pipeline_id"]
        for word, status in ((2**32, 422), (-1, 422), (2**32 - 1, 200)):
            rows = {"rows": [["k", "score", word, 1.0, None]]}
            assert api.post(f"/v1/pipelines/{run}/results", json=rows).status_code == status
        # a page session, as a browser logs in (the API's bearer key stays on the client)
        assert api.post("/login", data={"api_key": KEY}).status_code == 303
        for path, within in (
            (f"/runs/{run}?page={BEYOND}", False),
            (f"/?page={-BEYOND}", False),
            (f"/runs/{BEYOND}", False),
            (f"/runs/{BEYOND}/lineage?" + urlencode({"key": "k", "output": "score"}), False),
            (f"/v1/pipelines/{BEYOND}", False),
            (f"/v1/results?pipeline_id={BEYOND}", False),
            (f"/runs/{run}?page={2**63 - 1}", True),  # the last page
            (f"/runs/{run}", True),  # showing the largest word
        ):
            status = api.get(path).status_code
            assert status == 200 if within else 400 <= status < 500, path


# -- out of file descriptors ---------------------------------------------------------------------
FILE_LIMIT = 64
SERVE = """
import resource, sys
resource.setrlimit(resource.RLIMIT_NOFILE, ({limit}, {limit}))
sys.argv = ["quorvane", "serve", "--store", sys.argv[1], "--port", "0", "--log-level", "warning"]
from quorvane.cli import main
main()
"""


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@pytest.mark.skipif(not os.path.exists("/proc/self/stat"), reason="reads CPU time from /proc")
def test_out_of_descriptors_the_service_waits_calmly_and_answers_once_one_frees(tmp_path):
    store = SQLiteStorage(str(tmp_path / "limit.db"))
    KeyRing(store).add(KEY, "acme")
    store.disconnect()
    service = subprocess.Popen(
        [sys.executable, "-c", SERVE.format(limit=FILE_LIMIT), str(tmp_path / "limit.db")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    idle = []
    try:
        url = service.stdout.readline().split()[-1]
        with client(url) as honest:
            assert honest.get("/v1/whoami").status_code == 200
        # twice as many idle connections as the process has descriptors
        idle = [connect(url, "127.0.2.1") for _ in range(2 * FILE_LIMIT)]
        time.sleep(0.5)
        cpu, wall = cpu_seconds(service.pid), time.monotonic()
        waiting = {}

        def ask():
            with client(url) as honest:
                waiting["status"] = honest.get("/v1/whoami").status_code
                waiting["at"] = time.monotonic()

        asking = threading.Thread(target=ask)
        asking.start()
        time.sleep(1.5)  # bounded: well within the idle connections' deadline of 10 s
        busy = (cpu_seconds(service.pid) - cpu) / (time.monotonic() - wall)
        assert "status" not in waiting  # no descriptor for it yet
        for sock in idle:
            sock.close()
        freed = time.monotonic()
        asking.join(10)
        assert waiting.get("status") == 200
        print(f"\nout of descriptors: CPU {busy:.1%}; answered {waiting['at'] - freed:.3f} s after")
        assert waiting["at"] - freed < 1.0 and busy < 0.2
    finally:
        for sock in idle:
            sock.close()
        service.terminate()
        _, log = service.communicate(timeout=30)
    # said once, not once a try
    assert log.count("cannot accept connections") == 1, log[-2000:]
