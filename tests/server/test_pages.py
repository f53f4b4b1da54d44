"""The audit pages over HTTP: sessions, tenants, escaping, exports and the row's values."""

from __future__ import annotations

import json
import shutil
import subprocess
from urllib.parse import quote, urlencode

import httpx
import pytest
from markupsafe import escape
from sites import HOSTILE, HOSTILE_KEY, OTHER_KEY

from quorvane.server.lineage import Lineage

COOKIE = "quorvane_session"


def client(site, key=None):
    cookies = {COOKIE: key} if key else {}
    return httpx.Client(base_url=site.url, cookies=cookies, follow_redirects=False, timeout=30)


def get(site, key, path):
    with client(site, key) as browser:
        return browser.get(path)


def lineage_url(run, key, output, kind=""):
    return f"/runs/{run}/lineage{kind}?" + urlencode({"key": key, "output": output})


@pytest.mark.parametrize("path", ["/", "/runs/1", "/runs/1/lineage?key=a&output=b"])
@pytest.mark.parametrize("key", [None, "not-a-key-at-all"])
def test_pages_send_a_browser_without_a_valid_key_to_the_login(site, path, key):
    answer = get(site, key, path)
    assert answer.status_code == 303
    assert answer.headers["location"] == "/login?next=" + quote(path, safe="")


def test_login_keeps_the_key_in_an_httponly_strict_cookie_and_logout_drops_it(site):
    with client(site) as browser:
        answer = browser.post("/login", data={"api_key": site.key, "next": "/runs/1"})
        assert answer.status_code == 303 and answer.headers["location"] == "/runs/1"
        cookie = answer.headers["set-cookie"]
        assert f"{COOKIE}={site.key}" in cookie
        assert "HttpOnly" in cookie and "SameSite=strict" in cookie and "Path=/" in cookie
        assert browser.get("/").status_code == 200
        gone = browser.post("/logout")
        assert gone.headers["location"] == "/login"
        assert 'quorvane_session=""' in gone.headers["set-cookie"]
        assert browser.get("/").status_code == 303


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
    assert (
        get(site, site.key, f"/runs/{10**9}").text
        == get(site, site.key, f"/runs/{site.other_run}").text
    )


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


def test_the_lineage_joins_the_applicants_own_values_and_source_check(site):
    with client(site, site.key) as browser:
        values = browser.get(lineage_url(site.demo_run, site.spotlight, "score", ".json")).json()
        dag = browser.get(lineage_url(site.demo_run, site.spotlight, "score", ".dag.json")).json()
        dot_text = browser.get(lineage_url(site.demo_run, site.spotlight, "score", ".dot")).text
        prov = browser.get(lineage_url(site.demo_run, site.spotlight, "score", ".prov.json"))
    result, steps = values["result"], values["steps"]
    assert values["source_row"] == "changed"  # the demo edited this applicant's income
    assert all(step["value"] is not None for step in steps)
    assert float(steps[0]["value"]) == pytest.approx(result["value"], rel=1e-5)
    by_name = {f"{s['table']}.{s['column']}": s for s in steps if s["type"] == "SOURCE"}
    assert {name for name, s in by_name.items() if s["is_protected"]} == {
        "loanapp.married",
        "loanapp.old",
    }
    row = site.store.get_row_values(site.demo_run, result["row_index"])
    assert float(by_name["loanapp.appinc"]["value"]) == next(
        v.value for v in row if v.node_operation == "loanapp.appinc"
    )
    assert dag["nodes"][str(dag["root_id"])]["provenance"] == f"0x{result['fingerprint']:08X}"
    assert dag["node_count"] == len(steps)
    if prov.status_code != 404:  # the interop extra is installed
        assert "entity" in prov.json() and "wasDerivedFrom" in prov.json()
    if shutil.which("dot"):
        checked = subprocess.run(["dot", "-Tcanon"], input=dot_text, text=True, capture_output=True)
        assert checked.returncode == 0, checked.stderr


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
    ("path", "status"),
    [
        ("/?page=abc", 400),
        (f"/runs/{2**70}", 400),
        ("/runs/1/lineage?key=x", 400),
        ("/runs/1/lineage?key=nobody&output=score", 404),
        ("/runs/1/lineage.exe?key=x&output=y", 404),
    ],
)
def test_bad_addresses_get_a_page_not_a_trace(site, path, status):
    answer = get(site, site.key, path)
    assert answer.status_code == status
    assert answer.headers["content-type"].startswith("text/html")
    assert "Traceback" not in answer.text


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
