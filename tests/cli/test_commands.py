"""Every `quorvane` command through click's test runner: its help, a success and a failure,
with the exit status and the one line a user reads."""

from __future__ import annotations

import json

import pandas as pd
import pytest
from click.testing import CliRunner

import quorvane.server.run
from quorvane.cli import main
from quorvane.utilities.persistence import (
    StoredNode,
    open_store,
    source_row_exact_hash,
    source_row_hash,
)

KEY = "cli-matrix-key-0123456789"


@pytest.fixture
def site(tmp_path, monkeypatch):
    """A store with one run of tenant acme (60 results over 30 applicants, both hashes),
    its source as CSV, and a key; the working directory is ``tmp_path``."""
    monkeypatch.chdir(tmp_path)
    frame = pd.DataFrame(
        {"income": [1000.0 + i / 7 for i in range(30)], "debt": [1e-12] * 30},
        index=pd.Index([f"A{i:02d}" for i in range(30)], name="id"),
    )
    store = open_store("lineage.db", "acme")
    pid = store.create_pipeline("loans")
    store.register_source(0, "applicants", "income", is_protected=False, pipeline_id=pid)
    store.store_nodes(
        [
            StoredNode(
                fingerprint=7,
                node_type="SOURCE",
                operation="applicants.married",
                table_name="applicants",
                column_name="married",
                pair_id=1,
                is_protected=True,
                pipeline_id=pid,
            )
        ]
    )
    rows = [
        (key, output, 3, 0.5, source_row_hash(row), source_row_exact_hash(row))
        for output in ("score", "approved")
        for key, row in frame.iterrows()
    ]
    store.store_results(pid, rows)
    store.complete_pipeline(pid)
    store.disconnect()
    frame.to_csv("applicants.csv")
    frame.to_parquet("applicants.parquet")
    tampered = frame.copy()
    tampered.loc["A03", "debt"] = 4e-11  # beyond what to_json's 10 decimals can see
    tampered.to_csv("tampered.csv")
    frame.head(3).to_csv("tiny.csv")
    (tmp_path / "applicants.txt").write_text("id,income\n")
    (tmp_path / "key.txt").write_text(KEY + "\n")
    (tmp_path / "broken.db").write_text("not a database\n")
    # `serve` gets as far as listening; the test stands in for the Ctrl-C that ends it
    monkeypatch.setattr(quorvane.server.run, "serve", _interrupted)
    return pid


def _interrupted(*args, **kwargs):
    raise KeyboardInterrupt


def run(*args: str, input: str | None = None):
    return CliRunner().invoke(main, list(args), input=input, prog_name="quorvane")


S = ("--store", "lineage.db")
ACME = (*S, "--tenant", "acme")

COMMANDS = [
    (),
    ("serve",),
    ("keys",),
    ("keys", "add"),
    ("keys", "revoke"),
    ("keys", "list"),
    ("pipelines",),
    ("show",),
    ("verify",),
    ("export",),
    ("whatif",),
]


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: " ".join(c) or "quorvane")
def test_help_exits_0_on_every_command(command):
    done = run(*command, "--help")
    usage = " ".join(("Usage: quorvane", *command))
    assert done.exit_code == 0 and done.output.startswith(usage)


@pytest.mark.parametrize(
    ("args", "status", "said"),
    [
        (("--version",), 0, "quorvane 0."),
        (("serve", "--store", "new.db", "--create", "--port", "0"), 0, "serving on http://"),
        (("keys", "add", *S, "--tenant", "acme", "--key-file", "key.txt"), 0, "added key"),
        (("keys", "list", *S), 0, "the store has no keys"),
        (("pipelines", *ACME), 0, "completed"),
        (("pipelines", *S), 0, "the store holds runs of: acme (1 run)"),
        (("show", "1", *ACME), 0, "listed 20 of 60 result rows"),
        (("show", "1", *ACME, "--limit", "0"), 0, "60 result rows\n"),
        (("verify", "1", "applicants.csv", *ACME, "--index-column", "id"), 0, "every row"),
        (("verify", "1", "applicants.parquet", *ACME, "--index-column", "id"), 0, "exact row"),
        (("export", "1", *ACME), 0, '"eventType": "COMPLETE"'),
    ],
)
def test_commands_succeed(site, args, status, said):
    done = run(*args)
    assert (done.exit_code, said in done.output) == (status, True), done.output


@pytest.mark.parametrize(
    ("args", "status", "said"),
    [
        (("nosuch",), 2, "No such command"),
        (("pipelines", "--store", "nosuch.db"), 2, "there is no store at nosuch.db"),
        (("serve", "--store", "nosuch.db"), 2, "give --create to make a new one"),
        (("serve", *S, "--port", "70000"), 2, "70000 is not in the range"),
        (("keys", "add", "--store", "no/dir.db", "--create", "--tenant", "a"), 2, "no does not"),
        (("keys", "add", *S, "--tenant", "beta", "--key-file", "key.txt"), 1, "with --move"),
        (("keys", "add", *S, "--tenant", "acme"), 2, "no key given"),
        (("keys", "revoke", *S, "--id", "zz"), 2, "key id is at least 8"),
        (("keys", "revoke", *S, "--id", "0123456789ab"), 1, "no such key"),
        (("keys", "list", "--store", "."), 2, "is a directory"),
        (("pipelines", "--store", "broken.db"), 1, "file is not a database"),
        (("show", "9", *ACME), 1, "tenant 'acme' has no pipeline 9"),
        (("show", "1", *S), 1, "another tenant"),
        (("show", "1", *ACME, "--limit", "-1"), 2, "-1 is not in the range"),
        (("verify", "1", "tampered.csv", *ACME, "--index-column", "id"), 1, "CHANGED  A03"),
        (("verify", "1", "tiny.csv", *ACME, "--index-column", "id"), 1, "probably wrong"),
        (("verify", "1", "applicants.csv", *ACME), 1, "try --index-column id"),
        (("verify", "1", "applicants.txt", *ACME), 2, "unknown kind of file '.txt'"),
        (("verify", "1", "applicants.csv", *ACME, "--index-column", "x"), 2, "no column 'x'"),
        (("export", "1", *ACME, "--format", "prov-json"), 2, "or a fingerprint with --value"),
        (("export", "1", *ACME, "--value", "0x3"), 2, "--value is for the PROV formats"),
        # a run stored before per-element logs: no applicant's lineage passed off as exact
        (("export", "1", *ACME, "--key", "A03", "--format", "prov-n"), 1, "kept no per-elem"),
        (("export", "1", *ACME, "--key", "A03", "--value", "0x3"), 2, "--key (one applicant)"),
        (("whatif", "1", "A01", *ACME, "--set", "income=0"), 1, "keeps no per-element lineage"),
    ],
)
def test_commands_fail_in_one_line(site, args, status, said):
    if args[:2] == ("keys", "add") and "beta" in args:
        assert run("keys", "add", *S, "--tenant", "acme", "--key-file", "key.txt").exit_code == 0
    done = run(*args)
    assert (done.exit_code, said in done.output) == (status, True), done.output
    assert "Traceback" not in done.output and done.output.count("Error") <= 1


def test_debug_shows_the_error_itself(site):
    done = run("--debug", "pipelines", "--store", "broken.db")
    assert isinstance(done.exception, ConnectionError)
    assert "file is not a database" in str(done.exception.__cause__)


def test_a_key_moves_only_when_told(site):
    assert run("keys", "add", *S, "--tenant", "acme", "--key-file", "key.txt").exit_code == 0
    moved = run("keys", "add", *S, "--tenant", "beta", "--key-file", "key.txt", "--move")
    assert moved.exit_code == 0 and "moved key" in moved.output
    assert "beta" in run("keys", "list", *S).output


def test_show_json_is_complete(site):
    run("verify", "1", "tiny.csv", *ACME, "--index-column", "id")
    report = json.loads(run("show", "1", *ACME, "--json").output)
    assert [(s["column"], s["is_protected"]) for s in report["sources"]] == [
        ("married", True),
        ("income", False),
    ]
    assert len(report["results"]) == report["result_count"] == 60
    assert report["results"][0]["exact_hash"] is not None
    assert report["source_checks"][0]["outcome"] == "wrong-source"


def test_every_check_is_kept_the_latest_first(site, tmp_path):
    for source in ("applicants.csv", "tiny.csv", "tampered.csv"):
        run("verify", "1", source, *ACME, "--index-column", "id")
    store = open_store("lineage.db", "acme")
    checks = store.source_checks(1, with_keys=True)
    store.disconnect()
    assert [(c["source"], c["outcome"], c["checked"], c["expected"]) for c in checks] == [
        (str(tmp_path / "tampered.csv"), "changed", 30, 30),
        (str(tmp_path / "tiny.csv"), "wrong-source", 3, 30),
        (str(tmp_path / "applicants.csv"), "match", 30, 30),
    ]
    assert checks[0]["changed_keys"] == ["A03"] and checks[0]["hash_kind"] == "exact"
    assert checks[0]["key_column"] == "id" and len(checks[0]["source_sha256"]) == 64
