"""The audit pages over HTTP: sessions, tenants, not-found pages, escaping, exports and the
row's values."""

from __future__ import annotations

import contextlib
import json
import re
import shutil
import subprocess
import threading
import time
from types import SimpleNamespace
from urllib.parse import quote, urlencode

import httpx
import pytest
from markupsafe import escape
from sites import HOSTILE, HOSTILE_KEY, OTHER_KEY, demo_pipeline

from quorvane.server import KeyRing, applicant, flips
from quorvane.server.lineage import Lineage
from quorvane.server.sessions import Sessions
from quorvane.utilities.persistence import (
    ElementLineage,
    LineageStep,
    PostgresStorage,
    SQLiteStorage,
)

COOKIE = "quorvane_session"


@contextlib.contextmanager
def client(site, key=None):
    """A browser, logged in with ``key`` when one is given."""
    with httpx.Client(base_url=site.url, follow_redirects=False, timeout=30) as browser:
        if key:
            assert browser.post("/login", data={"api_key": key}).status_code == 303
        yield browser


def get(site, key, path):
    with client(site, key) as browser:
        return browser.get(path)


def lineage_url(run, key, output, kind=""):
    return f"/runs/{run}/lineage{kind}?" + urlencode({"key": key, "output": output})


@pytest.mark.parametrize("path", ["/", "/runs/1", "/runs/1/lineage?key=a&output=b"])
# a valid API key put in the cookie by hand is no session either
@pytest.mark.parametrize("cookie", [None, "not-a-session-at-all", "{key}"])
def test_pages_send_a_browser_without_a_session_to_the_login(site, path, cookie):
    cookies = {COOKIE: cookie.format(key=site.key)} if cookie else {}
    with httpx.Client(base_url=site.url, cookies=cookies, timeout=30) as browser:
        answer = browser.get(path)
    assert answer.status_code == 303
    assert answer.headers["location"] == "/login?next=" + quote(path, safe="")


def test_login_opens_a_server_session_that_logout_ends_everywhere(site):
    with client(site) as browser:
        answer = browser.post("/login", data={"api_key": site.key, "next": "/runs/1"})
        assert answer.status_code == 303 and answer.headers["location"] == "/runs/1"
        cookie = answer.headers["set-cookie"]
        session_id = browser.cookies[COOKIE]
        assert site.key not in cookie and len(session_id) >= 40
        assert "HttpOnly" in cookie and "SameSite=strict" in cookie and "Path=/" in cookie
        assert browser.get("/").status_code == 200
        gone = browser.post("/logout")
        assert gone.headers["location"] == "/login"
        assert 'quorvane_session=""' in gone.headers["set-cookie"]
        assert browser.get("/").status_code == 303
    # the old cookie, kept by someone, opens nothing any more
    with httpx.Client(base_url=site.url, cookies={COOKIE: session_id}, timeout=30) as replay:
        assert replay.get("/").status_code == 303


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_sessions_are_per_tenant_and_end_at_expiry_or_when_their_key_is_revoked(
    request, tmp_path, kind
):
    if kind == "sqlite":
        store = SQLiteStorage(str(tmp_path / "sessions.db"))
    else:
        store = PostgresStorage(request.getfixturevalue("pg_url"))
    keys = KeyRing(store)
    keys.add("key-acme-0123456789", "acme")
    keys.add("key-beta-0123456789", "beta")
    sessions = Sessions(store, keys, lifetime_seconds=3600)
    acme, beta = sessions.open("key-acme-0123456789"), sessions.open("key-beta-0123456789")
    assert acme and beta and acme != beta
    assert (sessions.tenant(acme), sessions.tenant(beta)) == ("acme", "beta")
    assert sessions.open("key-nobody-0123456789") is None
    keys.revoke(api_key="key-acme-0123456789")
    assert sessions.tenant(acme) is None and sessions.tenant(beta) == "beta"
    brief = Sessions(store, keys, lifetime_seconds=0.2).open("key-beta-0123456789")
    assert sessions.tenant(brief) == "beta"
    time.sleep(0.3)
    assert sessions.tenant(brief) is None and sessions.tenant(beta) == "beta"
    store.disconnect()


@pytest.mark.parametrize(
    ("form", "headers", "status", "location"),
    [
        ({"api_key": "wrong-key-123456"}, {}, 401, None),
        ({"api_key": "{key}"}, {"origin": "http://evil.example"}, 403, None),
        ({"api_key": "{key}", "next": "//evil.example/x"}, {}, 303, "/"),
        ({"api_key": "{key}", "next": "https://evil.example"}, {}, 303, "/"),
    ],
)
def test_bad_logins_are_refused_and_never_lead_off_the_site(site, form, headers, status, location):
    form = {name: value.format(key=site.key) for name, value in form.items()}
    with client(site) as browser:
        answer = browser.post("/login", data=form, headers=headers)
    assert answer.status_code == status
    assert answer.headers.get("location") == location
    assert "set-cookie" not in answer.headers or status == 303


@pytest.mark.parametrize("kind", ["page", "lineage", "lineage.json", "lineage.dot"])
def test_another_tenants_run_is_not_found_by_url(site, kind):
    path = {
        "page": f"/runs/{site.other_run}",
        "lineage": lineage_url(site.other_run, "k-1", HOSTILE),
        "lineage.json": lineage_url(site.other_run, "k-1", HOSTILE, ".json"),
        "lineage.dot": lineage_url(site.other_run, "k-1", HOSTILE, ".dot"),
    }[kind]
    mine = get(site, site.key, path)
    assert mine.status_code == 404
    assert "beta-only" not in mine.text
    assert get(site, OTHER_KEY, path).status_code == 200
    # and an id no tenant has looks the same
    nobodys = get(site, site.key, f"/runs/{10**9}").text
    others = get(site, site.key, f"/runs/{site.other_run}").text
    assert nobodys.replace(str(10**9), "N") == others.replace(str(site.other_run), "N")


@pytest.mark.parametrize("layout", ["dot", "layered"])
@pytest.mark.parametrize("page", ["runs", "run", "search", "lineage"])
def test_hostile_names_are_shown_escaped_never_as_markup(site, page, layout):
    if layout == "dot" and shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")
    path = {
        "runs": "/?" + urlencode({"name": HOSTILE}),
        "run": f"/runs/{site.hostile_run}",
        "search": f"/runs/{site.hostile_run}?" + urlencode({"q": HOSTILE_KEY}),
        "lineage": lineage_url(site.hostile_run, HOSTILE_KEY, HOSTILE) + f"&layout={layout}",
    }[page]
    answer = get(site, site.key, path)
    assert answer.status_code == 200
    body = answer.text
    for hostile in (HOSTILE, HOSTILE_KEY, "<script>", "<img"):
        assert hostile not in body
    assert str(escape(HOSTILE_KEY if page == "search" else HOSTILE)) in body
    assert "script-src 'none'" in answer.headers["content-security-policy"]


def test_the_applicants_page_and_exports_hold_its_own_exact_lineage(site):
    with client(site, site.key) as browser:
        values = browser.get(lineage_url(site.demo_run, site.spotlight, "score", ".json")).json()
        page = browser.get(lineage_url(site.demo_run, site.spotlight, "score")).text
        dag = browser.get(lineage_url(site.demo_run, site.spotlight, "score", ".dag.json")).json()
        dot_text = browser.get(lineage_url(site.demo_run, site.spotlight, "score", ".dot")).text
        prov = browser.get(lineage_url(site.demo_run, site.spotlight, "score", ".prov.json"))
    applications, credit_score = demo_pipeline()
    plain = credit_score(applications)
    steps = values["steps"]
    assert values["exact"] is True and values["key"] == site.spotlight
    assert steps[-1]["value"] == pytest.approx(plain["score"][site.spotlight])
    # every source cell is this applicant's own, with its own value
    cells = [s for s in steps if s["type"] == "SOURCE" and s["identity"]]
    assert cells and all(s["identity"] == [site.spotlight] for s in cells)
    assert all(s["value"] == applications.at[site.spotlight, s["column"]] for s in cells)
    assert {s["column"] for s in cells if s["is_protected"]} == {"married", "old"}
    # the weights and the base the score is made with are steps of their own
    assert {20.0, 10.0, 800.0} <= {s["value"] for s in steps if s["type"] == "CONSTANT"}
    assert values["protected_reached"] and "<strong>Reached by: married, old</strong>" in page
    assert 'id="exact"' in page and 'id="not-exact"' not in page
    if prov.status_code != 404:  # the interop extra is installed: the same steps, no more
        assert len(prov.json()["entity"]) == len(steps)
    # the shape of the computation stays exported as the library's DAG
    assert dag["node_count"] >= 1
    if shutil.which("dot"):
        checked = subprocess.run(["dot", "-Tcanon"], input=dot_text, text=True, capture_output=True)
        assert checked.returncode == 0, checked.stderr


@pytest.mark.parametrize(
    ("path", "status", "said"),
    [
        ("/runs/{run}/lineage?{q}", 200, "This page cannot show"),
        ("/runs/{run}/lineage.json?{q}", 200, '"exact": false'),
        ("/runs/{run}/lineage.provn?{q}", 404, "this run kept none"),
        ("/runs/{run}/report?{q}", 404, "no exact report"),
        ("/runs/{run}", 200, 'id="no-flips"'),
    ],
)
def test_a_run_stored_without_a_per_element_log_never_claims_an_exact_lineage(
    site, path, status, said
):
    assert site.store.element_results(site.hostile_run) == []  # stored the old way
    q = urlencode({"key": HOSTILE_KEY, "output": HOSTILE})
    answer = get(site, site.key, path.format(run=site.hostile_run, q=q))
    assert (answer.status_code, said in answer.text) == (status, True)
    assert 'id="exact"' not in answer.text


def test_the_results_are_searched_and_paged_on_the_server(site):
    with client(site, site.key) as browser:
        found = browser.get(f"/runs/{site.demo_run}?" + urlencode({"q": site.spotlight})).text
        everything = browser.get(f"/runs/{site.demo_run}?page=99").text
    assert found.count("/lineage?key=") == 2  # its score and its approval
    assert everything.count("/lineage?key=") == 2 * 24
    assert "page 1 of 1" not in everything  # one page: no pager at all
    export = get(site, site.key, lineage_url(site.hostile_run, HOSTILE_KEY, HOSTILE, ".json"))
    disposition = export.headers["content-disposition"]
    assert disposition.isascii() and "<" not in disposition and json.loads(export.text)["steps"]


@pytest.mark.parametrize(
    ("path", "status", "heading"),
    [
        ("/?page=abc", 400, "The address is not valid."),
        (f"/runs/{2**70}", 400, "The address is not valid."),
        ("/runs/{run}/lineage?key=x", 400, "The address is not valid."),
        (f"/runs/{10**9}", 404, "No such run"),
        (f"/runs/{10**9}/lineage?key=x&output=score", 404, "No such run"),
        ("/runs/{run}/lineage?key=nobody&output=score", 404, "No such applicant"),
        ("/runs/{run}/lineage?key={spotlight}&output=nothing", 404, "No such output"),
        ("/runs/{run}/lineage.exe?key=x&output=y", 404, "No such export"),
        ("/no/such/place", 404, "No such page"),
    ],
)
def test_bad_addresses_get_a_page_that_says_what_is_missing(site, path, status, heading):
    path = path.format(run=site.demo_run, spotlight=site.spotlight)
    with client(site, site.key) as browser:
        answer = browser.get(path, headers={"accept": "text/html,*/*;q=0.8"})
    assert answer.status_code == status
    assert answer.headers["content-type"].startswith("text/html")
    assert re.search(r"<h1[^>]*>([^<]*)</h1>", answer.text)[1] == heading
    assert "Traceback" not in answer.text


@pytest.mark.parametrize("path", ["/no/such/place", "/v1/no/such/place"])
def test_unknown_paths_answer_api_clients_in_json(site, path):
    answer = httpx.get(site.url + path, headers={"accept": "application/json"}, timeout=30)
    assert answer.status_code == 404 and answer.json() == {"error": "Not Found"}
    in_browser = httpx.get(site.url + path, headers={"accept": "text/html"}, timeout=30)
    assert in_browser.headers["content-type"].startswith(
        "application/json" if path.startswith("/v1") else "text/html"
    )


def test_a_run_page_lists_the_openlineage_events_of_its_job(site):
    run_id = "01930000-0000-7000-8000-00000000beef"
    event = {
        "eventType": "COMPLETE",
        "eventTime": "2026-12-07T12:00:00Z",
        "run": {"runId": run_id},
        "job": {"namespace": "credit-team", "name": "credit-decisions"},
        "inputs": [{"namespace": "credit-team", "name": "loanapp"}],
        "outputs": [{"namespace": "credit-team", "name": "scores"}],
        "producer": "https://example.invalid/producer",
    }
    headers = {"Authorization": f"Bearer {site.key}"}
    posted = httpx.post(f"{site.url}/api/v1/lineage", json=event, headers=headers, timeout=30)
    assert posted.status_code < 300, posted.text
    page = get(site, site.key, f"/runs/{site.demo_run}").text
    assert run_id in page and "COMPLETE" in page and "scores" in page
    # the other tenant sees its own runs' pages without it
    assert run_id not in get(site, OTHER_KEY, f"/runs/{site.other_run}").text


def _reach_by_column(page: str) -> dict[str, str]:
    table = page[page.index('id="risk"') : page.index("</table>", page.index('id="risk"'))]
    return dict(re.findall(r'<tr><td>([^<]*)</td><td><span class="reach [^"]*">([^<]*)<', table))


def test_pages_head_each_column_and_result_with_the_protected_attributes_that_reached_it(site):
    with client(site, site.key) as browser:
        page = browser.get(f"/runs/{site.demo_run}?" + urlencode({"q": site.spotlight})).text
        lineage = browser.get(lineage_url(site.demo_run, site.spotlight, "score")).text
    reach = _reach_by_column(page)
    # the score reads marital status and age, however far down its risk level puts it
    assert reach["score"] == reach["approved"] == "reached by: married, old"
    assert reach["loanapp.married"] == "reached by: married"
    assert reach["loanapp.appinc"] == "not reached"
    assert "risk by derivation distance, not by effect" in page
    results = page[page.index('id="results"') :]
    assert results.count(">reached by: married, old</span>") == 2  # the score, the approval
    assert "<strong>Reached by: married, old</strong>" in lineage
    assert lineage.count("· reached by protected</text>") >= 1  # steps marked in words
    assert lineage.count("· protected</text>") == 2  # and both protected sources


def test_a_run_page_lists_every_tamper_check_the_latest_first(site):
    page = get(site, site.key, f"/runs/{site.demo_run}").text
    table = page.split('id="source-checks"')[1].split("</table>")[0]
    clean, edited = reversed(table.split("<tr><td>")[1:])  # the demo checked twice
    assert "1 changed, 0 missing" in edited and "rows match" in clean
    assert "loanapp-edited.csv" in edited and "exact" in edited and "sha256" in edited
    tamper = page.split('id="tamper"')[1].split("</dd>")[0]
    assert "1 changed" in tamper  # the run's status is its latest check
    assert "not verified" in get(site, OTHER_KEY, f"/runs/{site.other_run}").text


@pytest.mark.parametrize(
    ("outcome", "changed", "missing", "status"),
    [
        ("match", [], [], "matches"),
        ("changed", ["k"], [], "changed"),
        ("changed", [], ["k"], "missing from the source"),
        ("wrong-source", [], ["k"], "unknown: the last check's file or key column"),
    ],
)
def test_a_results_row_status_follows_the_last_check(outcome, changed, missing, status):
    check = {"outcome": outcome, "changed_keys": changed, "missing_keys": missing}
    lineage = Lineage(1, {"row_key": "k", "input_hash": "h"}, [], [], False, check)
    assert lineage.row_status.startswith(status)


def test_a_run_is_counted_once_in_the_background_and_its_page_does_not_wait(monkeypatch):
    counted, release = [], threading.Event()

    def slow_count(store, pipeline_id):
        counted.append(pipeline_id)
        release.wait(10)
        return ["counts"]

    monkeypatch.setattr(flips, "count_run", slow_count)
    monkeypatch.setattr(flips, "WAIT_SECONDS", 0.05)
    counter, store = flips.FlipCounter(), SimpleNamespace(tenant_id="acme")
    run = {"pipeline_id": 7, "status": "completed", "completed_at": "2026-12-09T10:00:00"}
    assert counter.counts(store, run) is None  # under way: the page says so
    release.set()
    assert counter.counts(store, run) == counter.counts(store, run) == ["counts"]
    assert counted == [7]
    counter.close()


def test_a_lineage_over_every_applicant_lists_the_applicants_own_steps_and_counts_the_rest(
    monkeypatch,
):
    monkeypatch.setattr(applicant, "LISTED_STEPS", 5)
    monkeypatch.setattr(applicant, "LISTED_INPUTS", 4)
    cells = [
        LineageStep(
            node_id=2 + i, node_type="SOURCE", operation="t.wage", inputs=(1,), word=0,
            value=float(i), identity=(f"K{i}",), table="t", column="wage",
        )
        for i in range(10)
    ]  # fmt: skip
    steps = (
        LineageStep(node_id=1, node_type="SOURCE", operation="t.wage", inputs=(), word=0,
                    value=None, identity=(), table="t", column="wage"),
        *cells,
        LineageStep(node_id=12, node_type="AGGREGATE", operation="mean",
                    inputs=tuple(range(2, 12)), word=0, value=4.5, identity=()),
        LineageStep(node_id=13, node_type="BINARY", operation="sub", inputs=(5, 12), word=0,
                    value=-1.5, identity=("K3",)),
    )  # fmt: skip
    found = applicant.Applicant({}, "gap", ElementLineage(root=13, key="K3", steps=steps))
    assert [s.record.node_id for s in found.steps] == [1, 5, 12, 13] and found.unlisted == 9
    mean = found.steps[2]
    assert mean.formula.endswith("… 6 more)") and mean.unlisted_inputs == 6
    assert found.steps[3].formula == "sub(t.wage #5 = 3, mean #12 = 4.5)"
