"""A what-if on a stored run, by the Python call and by `quorvane whatif`, answers as the
same what-if on the tracker in memory; so do the run's flip counts."""

from __future__ import annotations

import json

import pytest
from click.testing import CliRunner

import quorvane as qv
from quorvane.cli import main
from quorvane.replay import run_flip_counts
from quorvane.utilities.persistence import open_store

from .credit import applicants, tracked


@pytest.fixture
def stored(tmp_path):
    tracker, results = tracked(applicants())
    path = str(tmp_path / "lineage.db")
    store = open_store(path, "acme")
    pid = tracker.persist_to_storage(store, results=results)
    yield store, pid, (tracker, results), path
    store.disconnect()


@pytest.mark.parametrize(
    ("key", "changes"),
    [("LA-0001", {"married": 0.0}), ("LA-0002", {"wage": 2000.0, "old": 0.0})],
)
def test_stored_whatif_by_call_and_command(stored, key, changes):
    store, pid, (tracker, results), path = stored
    want = qv.whatif(tracker, results, key, changes, result="approved")
    assert want.computed
    assert qv.whatif(store, pid, key, changes, result="approved") == want
    settings = [a for name, v in changes.items() for a in ("--set", f"{name}={v:g}")]
    args = ["whatif", str(pid), key, *settings, "--result", "approved", "--tenant", "acme"]
    done = CliRunner().invoke(main, [*args, "--store", path])
    assert done.exit_code == 0 and done.output.startswith(want.sentence() + "\n"), done.output
    record = json.loads(CliRunner().invoke(main, [*args, "--store", path, "--json"]).output)
    assert (record["new_value"], record["flips"]) == (want.new_value, want.flips)


@pytest.mark.parametrize(
    ("args", "said"),
    [
        (("LA-0001", "--set", "married=0"), "name the result to replay, one of: approved, score"),
        (("LA-9999", "--set", "married=0", "--result", "score"), "no exact lineage of 'LA-9999'"),
        (("LA-0001", "--set", "married", "--result", "score"), "'married' is not COLUMN=VALUE"),
    ],
)
def test_stored_whatif_refusals(stored, args, said):
    store, pid, _, path = stored
    done = CliRunner().invoke(
        main, ["whatif", str(pid), *args, "--tenant", "acme", "--store", path]
    )
    assert done.exit_code != 0 and said in done.output, done.output


def test_stored_flip_counts_equal_the_trackers(stored):
    store, pid, (tracker, results), _ = stored
    assert run_flip_counts(store, pid, "approved") == run_flip_counts(tracker, results, "approved")


def test_stored_whatif_names_the_score_the_tracker_names(tmp_path):
    # more results than a lineage walk looks at, sorted before the score: a store that
    # looks each one's node up reads them all
    tracker, results = tracked(applicants())
    results = {**{f"a{i}": results["score"] for i in range(9)}, **results}
    store = open_store(str(tmp_path / "many.db"), "acme")
    pid = tracker.persist_to_storage(store, results=results)
    want = qv.whatif(tracker, results, "LA-0001", {"married": 0.0}, result="approved")
    assert want.score[0] == "score"
    assert qv.whatif(store, pid, "LA-0001", {"married": 0.0}, result="approved") == want
    store.disconnect()
