"""The reads behind the audit pages, on both SQL stores: pages, search, lineage, checks."""

from __future__ import annotations

import pytest

from quorvane.utilities.persistence import (
    PostgresStorage,
    SourceCheck,
    SQLiteStorage,
    StoredEdge,
    StoredNode,
)


@pytest.fixture(params=["sqlite", "postgres"])
def store(request, tmp_path):
    if request.param == "sqlite":
        acme = SQLiteStorage(str(tmp_path / "audit.db"), "acme")
    else:
        acme = PostgresStorage(request.getfixturevalue("pg_url"), "acme")
    yield acme
    acme.disconnect()


def chain_run(store, length):
    """A run whose DAG is a chain of ``length`` steps above one source, word i at step i."""
    pid = store.create_pipeline("chain")
    kinds = ["SOURCE"] + ["UNARY"] * (length - 1)
    store.store_nodes(
        [
            StoredNode(fingerprint=i, node_type=k, operation=f"op{i}", pipeline_id=pid)
            for i, k in enumerate(kinds)
        ]
    )
    edges = [
        StoredEdge(parent_fingerprint=i, child_fingerprint=i + 1, input_position=0)
        for i in range(length - 1)
    ]
    store.store_edges(edges, pipeline_id=pid)
    return pid


@pytest.mark.parametrize(("length", "limit"), [(5, 300), (40, 10)])
def test_a_lineage_is_read_nearest_first_and_cut_at_its_limit(store, length, limit):
    pid = chain_run(store, length)
    nodes, edges, truncated = store.lineage_of(pid, length - 1, limit)
    assert [n["fingerprint"] for n in nodes] == list(range(length - 1, -1, -1))[:limit]
    assert truncated is (length > limit)
    ids = {n["id"] for n in nodes}
    assert len(edges) == len(nodes) - 1 and all(p in ids and c in ids for p, c, _ in edges)
    with pytest.raises(PermissionError):
        store.for_tenant("beta").lineage_of(pid, length - 1)


def test_result_keys_are_searched_literally_and_paged_with_their_positions(store):
    pid = store.create_pipeline("r")
    keys = ["a%1", "a_2", "ab3", "B%4"]
    rows = [(k, out, 7, float(i), None) for out in ("s", "t") for i, k in enumerate(keys)]
    store.store_results(pid, rows)
    assert store.find_result_keys(pid, "%") == (["B%4", "a%1"], 2)
    assert store.find_result_keys(pid, "_") == (["a_2"], 1)
    assert store.find_result_keys(pid, "", offset=1, limit=2) == (["a%1", "a_2"], 4)
    found = store.results_for_keys(pid, ["ab3"])
    assert [(r["output_name"], r["row_index"]) for r in found] == [("s", 2), ("t", 2)]


def test_runs_are_filtered_counted_and_their_last_check_kept(store):
    first = chain_run(store, 3)
    store.complete_pipeline(first, "completed")
    second = store.create_pipeline("Other_run")
    assert [r["pipeline_id"] for r in store.find_pipelines(name="her_r")[0]] == [second]
    assert [r["pipeline_id"] for r in store.find_pipelines(status="completed")[0]] == [first]
    assert store.count_run_parts([first, second]) == {
        first: {"nodes": 3, "edges": 2, "results": 0},
        second: {"nodes": 0, "edges": 0, "results": 0},
    }
    store.store_source_check(first, "old.csv", SourceCheck(checked=3))
    store.store_source_check(first, "new.csv", SourceCheck(checked=3, changed=["k"]))
    check = store.latest_source_checks([first, second], with_keys=True)
    assert list(check) == [first]
    assert (check[first]["source"], check[first]["changed_keys"]) == ("new.csv", ["k"])
    assert store.for_tenant("beta").latest_source_checks([first]) == {}


@pytest.mark.parametrize("dialect", ["sqlite", "postgres"])
def test_checks_kept_before_the_exact_hash_survive_its_migration(request, tmp_path, dialect):
    from quorvane.utilities.persistence import _schema

    check = (
        "INSERT INTO source_checks (tenant_id, pipeline_id, checked_at, source, checked,"
        " changed, missing, changed_keys, missing_keys) VALUES"
        " ('acme', 1, 'then', 'old.csv', 2, 1, 0, '[\"k\"]', '[]')"
    )
    before = [script for version, script in _schema.SQLITE_MIGRATIONS if version <= 4]
    if dialect == "sqlite":
        import sqlite3

        location = str(tmp_path / "v4.db")
        with sqlite3.connect(location) as conn:
            for script in before:
                for statement in _schema.statements(script):
                    conn.execute(statement)
            conn.execute(check)
            conn.execute("PRAGMA user_version=4")
        store = SQLiteStorage(location, "acme")
    else:
        import psycopg

        location = request.getfixturevalue("pg_url")
        with psycopg.connect(location) as conn:
            conn.execute("CREATE TABLE quorvane_schema (version INTEGER NOT NULL)")
            for version, script in _schema.POSTGRES_MIGRATIONS:
                if version <= 4:
                    for statement in _schema.statements(script):
                        conn.execute(statement)
                    conn.execute("INSERT INTO quorvane_schema VALUES (%s)", (version,))
            conn.execute(check)
        store = PostgresStorage(location, "acme")
    pid = store.create_pipeline("after")
    assert pid == 1
    (kept,) = store.source_checks(pid, with_keys=True)
    assert (kept["outcome"], kept["changed_keys"], kept["expected"]) == ("changed", ["k"], None)
    store.store_results(pid, [("k", "o", 1, 1.0, "h", "exact")])
    assert store.get_results("k")[0]["exact_hash"] == "exact"
    store.disconnect()
