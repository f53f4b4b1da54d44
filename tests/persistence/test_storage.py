"""The storage calls, against a SQLite file and against the loopback service alike."""

from __future__ import annotations

import itertools
import math
from dataclasses import replace
from functools import partial

import numpy as np
import pytest
from element_logs import chain_log, hand_made_log, peer_log, tracked_run

from quorvane.utilities.orrin32_dag._element_view import element_log_parts
from quorvane.utilities.persistence import (
    ElementLogError,
    ElementLogParts,
    ServiceError,
    StoredEdge,
    StoredNode,
    StoredRowValue,
    _element_codec,
    _element_store,
    lineage_in_log,
    result_node_in_log,
)
from quorvane.utilities.persistence._element_store import ElementStore

ODD_NAMES = [
    'credit"scores',
    "o'brien",
    "income; DROP TABLE nodes;--",
    "Größe_€_日本",
    "line\nbreak\ttab",
    "back\\slash %s {0}",
    "",
]


def node(fp, op="add", **kw):
    return StoredNode(fingerprint=fp, node_type=kw.pop("node_type", "BINARY"), operation=op, **kw)


def test_pipeline_lifecycle(backend):
    pid = backend.create_pipeline(
        pipeline_name="loans", config={"seed": 3}, git_commit="abc123", tenant_id=None
    )
    record = backend.get_pipeline(pid)
    assert (record["pipeline_name"], record["status"], record["tenant_id"]) == (
        "loans",
        "running",
        "acme",
    )
    assert record["config"] == {"seed": 3} and record["completed_at"] is None
    backend.complete_pipeline(pid, "failed")  # status positional
    assert backend.get_pipeline(pid)["status"] == "failed"
    backend.complete_pipeline(pid, status="completed")
    assert backend.get_pipeline(pid)["status"] == "completed"
    second = backend.create_pipeline("second")  # name positional
    assert second != pid
    assert [p["pipeline_id"] for p in backend.list_pipelines()] == [pid, second]


@pytest.mark.parametrize("name", ODD_NAMES)
def test_odd_names_are_kept_verbatim(backend, name):
    pid = backend.create_pipeline(name)
    backend.register_source(3, name, name + "_col", is_protected=True)
    backend.store_nodes([node(11, op=name, table_name=name, column_name=name)])
    backend.store_row_values(
        [
            StoredRowValue(
                pipeline_id=pid,
                row_index=0,
                fingerprint=11,
                node_operation=name,
                column_name=name,
                text_value=name,
            )
        ]
    )
    backend.store_results(pid, [(name, name, 11, 1.0, None)])
    assert backend.get_pipeline(pid)["pipeline_name"] == name
    assert backend.get_sources(pid) == [
        {"pair_id": 3, "table": name, "column": name + "_col", "is_protected": True}
    ]
    stored = backend.get_nodes(pid)[0]
    assert (stored.operation, stored.table_name, stored.column_name) == (name, name, name)
    value = backend.get_row_values(pid)[0]
    assert (value.node_operation, value.column_name, value.text_value) == (name, name, name)
    result = backend.get_results(name)[0]
    assert (result["row_key"], result["output_name"]) == (name, name)


def test_nodes_are_unique_per_fingerprint_and_edges_resolve(backend):
    pid = backend.create_pipeline("dag")
    metadata = {"note": "kept", "at": {"step": 2}}
    first = node(7, op="first", metadata=metadata, pair_id=None, entity_hash=5)
    assert backend.store_nodes([node(1, node_type="SOURCE"), first, node(7, op="second")]) == 2
    assert backend.store_nodes([node(1)]) == 0  # a repeated batch stores nothing twice
    nodes = {n.fingerprint: n for n in backend.get_nodes(pid)}
    assert nodes[7].operation == "first" and nodes[7].metadata == metadata
    assert nodes[7].pair_id is None and nodes[7].pipeline_id == pid
    ids = backend.get_fingerprint_node_map(pid)
    assert set(ids) == {1, 7}
    rows = [(ids[1], ids[7], 0), (ids[1], ids[7], 1), (ids[1], ids[7], 0)]
    backend.store_edges_resolved(rows)
    # the edge stored before counts as resolved; the unknown parent cannot be resolved
    resolved = backend.store_edges(
        [
            StoredEdge(parent_fingerprint=1, child_fingerprint=7, input_position=0),
            StoredEdge(parent_fingerprint=99, child_fingerprint=7, input_position=2),  # unknown
        ]
    )
    assert resolved == 1
    edges = sorted(
        (e.parent_fingerprint, e.child_fingerprint, e.input_position)
        for e in backend.get_edges(pid)
    )
    assert edges == [(1, 7, 0), (1, 7, 1)]


def test_a_batch_of_many_statements_and_lines_counts_each_record_once(backend):
    # more records than one statement (SQLite), one copy (PostgreSQL) or one line of a
    # request body (the service) holds, with repeats across those boundaries
    pid = backend.create_pipeline("big")
    fingerprints = [*range(1, 2501), *range(1, 2501, 7)]
    assert backend.store_nodes([node(fp, entity_hash=fp) for fp in fingerprints]) == 2500
    stored = backend.get_nodes(pid)
    assert [n.fingerprint for n in stored] == list(range(1, 2501))  # in hand-over order
    assert all(n.entity_hash == n.fingerprint for n in stored)
    edges = [StoredEdge(parent_fingerprint=fp, child_fingerprint=fp + 1, input_position=0)
             for fp in range(1, 2600)]  # fmt: skip
    assert backend.store_edges(edges) == 2499  # those past the last node cannot be resolved
    assert len(backend.get_edges(pid)) == 2499


def test_nodes_of_different_pipelines_are_apart(backend):
    one = backend.create_pipeline("one")
    two = backend.create_pipeline("two")
    backend.store_nodes([node(5, pipeline_id=one), node(5, pipeline_id=two)])
    assert backend.get_fingerprint_node_map(one).keys() == {5}
    assert backend.get_fingerprint_node_map(one) != backend.get_fingerprint_node_map(two)


@pytest.mark.parametrize(
    ("value", "text", "expected"),
    [
        (2.5, None, 2.5),
        (None, "abc", None),
        (None, None, None),
        (math.inf, None, math.inf),
        (-0.0, None, -0.0),
    ],
)
def test_row_values_round_trip(backend, value, text, expected):
    pid = backend.create_pipeline("values")
    record = StoredRowValue(
        pipeline_id=pid,
        row_index=4,
        fingerprint=9,
        node_operation="div",
        value=value,
        column_name="c",
        text_value=text,
    )
    assert backend.store_row_values([record, record]) == 1  # a retried batch adds nothing
    (stored,) = backend.get_row_values(pid, row_index=4)
    assert (stored.value, stored.text_value, stored.row_index) == (expected, text, 4)
    assert backend.get_row_values(pid, row_index=5) == []


def test_nan_values_stay_nan(backend):
    pid = backend.create_pipeline("nan")
    backend.store_row_values(
        [
            StoredRowValue(
                pipeline_id=pid, row_index=0, fingerprint=1, node_operation="x", value=math.nan
            )
        ]
    )
    backend.store_results(pid, [("457", "score", 3, math.nan, None)])
    assert math.isnan(backend.get_row_values(pid)[0].value)
    assert math.isnan(backend.get_results("457")[0]["value"])


def test_results_by_row_key(backend):
    pid = backend.create_pipeline("results")
    digest = "a" * 64
    # the exact hash is an optional sixth field
    rows = [("457", "risk_score", 123, 0.25, digest), ("458", "risk_score", 124, None, None, "e")]
    assert backend.keeps_exact_hashes and backend.store_results(pid, rows) == 2
    assert backend.get_results(457) == [
        {
            "pipeline_id": pid,
            "row_key": "457",
            "output_name": "risk_score",
            "fingerprint": 123,
            "value": 0.25,
            "input_hash": digest,
            "exact_hash": None,
        }
    ]
    assert backend.get_results(458)[0]["exact_hash"] == "e"
    backend.store_results(pid, [("457", "risk_score", 999, 0.5, digest)])  # replaces
    assert [r["fingerprint"] for r in backend.get_results("457", pipeline_id=pid)] == [999]
    assert backend.store_results(pid, []) == 0


def test_row_values_before_any_pipeline_are_kept(backend):
    record = StoredRowValue(pipeline_id=0, row_index=1, fingerprint=2, node_operation="t.c")
    assert backend.store_row_values([record]) == 1
    assert len(backend.get_row_values(0)) == 1


def test_dashboard_sync_is_stored(backend):
    pid = backend.create_pipeline("dash")
    payload = {
        "pipeline": {"pipeline_name": "dash", "provenance_pipeline_id": pid},
        "fairness": {"protected_attributes": ["t.ß"]},
    }
    backend.store_dashboard_sync(payload)
    (sync,) = backend.get_dashboard_syncs()
    assert sync["payload"] == payload and sync["provenance_pipeline_id"] == pid


# -- per-element logs ------------------------------------------------------------------------
# (result, key): the node ids of that element's lineage and whether a protected source reached
# it; None where there is no such element
# (result, key, every node of its walk, protected reached, nodes whose word is tainted)
HAND_LINEAGES = [
    ("approved", "LA-1", {0, 2, 3, 4, 5, 6, 10, 11, 12, 13, 15, 16, 18}, False, ()),
    # taint that only another member's cells bring into the group mean still reaches LA-1
    ("approved", "LA-1", {0, 2, 3, 4, 5, 6, 10, 11, 12, 13, 15, 16, 18}, True, (6, 12, 15)),
    ("approved", "LA-2", {0, 1, 2, 3, 4, 6, 9, 10, 12, 14, 17, 19}, True, ()),
    ("label", "LA-3", {0, 7, 20, 21}, False, ()),
    ("approved", "LA-3", None, None, ()),
    ("no such result", "LA-1", None, None, ()),
]
#: the nodes a walk without the groups' members leaves out: LA-2's part of the group mean
OTHER_MEMBERS = {("approved", "LA-1"): {6, 12}}


@pytest.mark.parametrize("full", [True, False], ids=["every-member", "own-inputs"])
@pytest.mark.parametrize(("result", "key", "ids", "reached", "tainted"), HAND_LINEAGES)
def test_one_elements_lineage_is_the_exact_walk_back(
    backend, result, key, ids, reached, tainted, full
):
    log = hand_made_log()
    protected = log.protected.copy()
    protected[list(tainted)] = True
    log = replace(log, protected=protected)
    pid = backend.create_pipeline("hand")
    other = backend.create_pipeline("without a per-element log")
    backend.write_element_log(pid, log)
    found = backend.read_element_lineage(pid, result, key, full=full)
    assert backend.read_element_lineage(other, "approved", "LA-1") is None
    if ids is None:
        assert found is None
        return
    assert found == lineage_in_log(log, result_node_in_log(log, result, key), key, full=full)
    if not full:
        ids = ids - OTHER_MEMBERS.get((result, key), set())
    assert {s.node_id for s in found.steps} == ids and found.protected_reached is reached
    assert [s.node_id for s in found.steps] == sorted(ids) and found.exact
    narrowed = [s for s in found.steps if s.unlisted]
    assert [(s.node_id, s.members, s.unlisted, s.inputs) for s in narrowed] == (
        [] if full or 15 not in ids else [(15, 2, 1, (11,))]
    )


@pytest.mark.parametrize("wide", [False, True], ids=["blocks-read-whole", "wide-rows-apart"])
def test_a_lineage_through_a_group_reads_only_the_applicants_part(backend, monkeypatch, wide):
    if wide:  # each group's aggregate in a block of its own, read without its inputs
        monkeypatch.setattr(_element_store, "BLOCK_ENTRIES", 1000)
    log = peer_log(3000)
    pid = backend.create_pipeline("peers")
    backend.write_element_log(pid, log)
    for key in ("LA-0000005", "LA-0002999"):
        node = result_node_in_log(log, "approved", key)
        own = backend.read_element_lineage(pid, "approved", key)
        assert own == lineage_in_log(log, node, key) and own.protected_reached
        [group] = [s for s in own.steps if s.unlisted]
        cells = [s for s in own.steps if s.node_type == "SOURCE" and s.identity]
        assert group.inputs == tuple(s.node_id for s in cells) and len(own.steps) == 8
        assert (group.identity, group.unlisted) == ((key,), 2 * group.members - 2)
        every = backend.read_element_lineage(pid, "approved", key, full=True)
        assert every == lineage_in_log(log, node, key, full=True)
        assert len(every.steps) == len(own.steps) + group.unlisted
        # the members it counts, page by page, are the full walk's
        pages = [
            backend.read_element_members(pid, group.node_id, offset=at, limit=1000)
            for at in range(0, 2 * group.members, 1000)
        ]
        listed = [member for page in pages for member in page.members]
        assert pages[0].total == len(listed) == group.unlisted + len(group.inputs)
        assert sorted(n for _, n in listed) == sorted(every.step(group.node_id).inputs)
        assert {k for k, _ in listed} == set(every.step(group.node_id).identity)


def test_lineage_steps_carry_values_identities_and_sources(backend):
    pid = backend.create_pipeline("hand")
    backend.write_element_log(pid, hand_made_log())
    steps = backend.read_element_lineage(pid, "approved", "LA-1")
    wage, merged, group = steps.step(5), steps.step(13), steps.step(15)
    assert (wage.value, wage.identity, wage.table, wage.column) == (
        30.0,
        ("LA-1",),
        "loans",
        "wage",
    )
    assert (merged.operation, merged.inputs, merged.identity) == (
        "add",
        (11, 10),
        ("LA-1", "north"),
    )
    assert (steps.step(4).value, steps.step(3).identity) == (560.0, ())
    # the group mean's members are counted, the applicant's own key kept; all on request
    every = backend.read_element_lineage(pid, "approved", "LA-1", full=True).step(15)
    assert (group.identity, group.members, group.group) == (("LA-1",), 2, '["north"]')
    assert (every.identity, every.members, every.group) == (("LA-1", "LA-2"), 0, '["north"]')
    label = backend.read_element_lineage(pid, "label", "LA-3")
    assert label.step(21).value == "yes" and label.step(20).value.startswith('{"low"')


def in_memory(log, rows=None):
    """(the log, its walk, what is written: the log, or it in parts of ``rows`` nodes)."""
    written = log if rows is None else ElementLogParts.of(log, rows)
    return log, partial(lineage_in_log, log), written


def wide_words(log):
    """``log`` with its later words negative and past 32 bits: blocks of narrow words and
    blocks of words no narrower type holds."""
    later = np.arange(log.size) >= log.size // 2
    return replace(log, word=np.where(later, -(log.word + 1) * 2**33, log.word))


def tracked(rows=None):
    """The same of a tracked pipeline; in parts read from the tracker when ``rows``."""
    tracker, approved = tracked_run()
    log = tracker.element_log({"approved": approved})
    if rows is None:
        return log, tracker.element_lineage, log
    parts = element_log_parts(tracker, {"approved": approved}, rows)
    assert parts.size == log.size
    return log, tracker.element_lineage, parts


@pytest.mark.parametrize(
    "make",
    [
        lambda: in_memory(hand_made_log()),
        lambda: in_memory(chain_log(2500, ops=6)),
        lambda: in_memory(chain_log(2500, ops=6), rows=1000),
        lambda: in_memory(wide_words(chain_log(2500, ops=6)), rows=1000),
        tracked,
        lambda: tracked(rows=7),
    ],
    ids=[
        "hand-made",
        "three-blocks",
        "three-blocks-in-parts",
        "words-past-32-bits",
        "tracked",
        "tracked-in-parts",
    ],
)
@pytest.mark.parametrize("stepped", [True, False], ids=["stepped", "blocks-stored-before"])
def test_the_whole_log_reads_back_and_a_new_one_replaces_it(backend, monkeypatch, make, stepped):
    if not stepped:  # node blocks as stores wrote them before ids were kept as steps
        monkeypatch.setattr(_element_codec, "stepped_blocks", _element_codec.blocks)
    log, walk, written = make()
    pid = backend.create_pipeline("logged")
    assert backend.read_element_log(pid) is None and backend.element_results(pid) == []
    backend.write_element_log(pid, chain_log(3))
    backend.write_element_log(pid, written)
    back = backend.read_element_log(pid)
    for name in ("node_id", "node_type", "operation", "word", "input_start", "inputs", "row"):
        assert np.array_equal(getattr(back, name), getattr(log, name)), name
    assert np.array_equal(back.value, log.value, equal_nan=True)
    assert (back.text, back.group, back.sources) == (log.text, log.group, log.sources)
    assert (back.identity_key, back.identity_table) == (log.identity_key, log.identity_table)
    assert backend.element_results(pid) == list(log.results)
    # nodes in blocks past the first: the walk crosses block boundaries
    for key in list(log.results["approved"][0])[::997]:
        node = result_node_in_log(log, "approved", key)
        assert backend.read_element_lineage(pid, "approved", key) == walk(node, key)


def a_part_lost(log):
    """``log`` in parts, of which one never comes."""
    parts = ElementLogParts.of(log, rows=log.size // 3)
    return replace(parts, parts=lambda: itertools.islice(parts.parts(), 2))


@pytest.mark.parametrize("failure", ["disk-full", "a-part-lost"])
def test_a_failed_write_stores_nothing_and_keeps_the_log_before(backend, monkeypatch, failure):
    pid = backend.create_pipeline("logged")
    backend.write_element_log(pid, hand_made_log())
    before = backend.read_element_lineage(pid, "approved", "LA-2")
    insert = ElementStore._insert_blocks

    def fail_after_the_nodes(self, tx, log_id, blocks):
        insert(self, tx, log_id, itertools.islice(blocks, 1))
        raise OSError("disk full")

    if failure == "disk-full":
        monkeypatch.setattr(ElementStore, "_insert_blocks", fail_after_the_nodes)
    written = chain_log(20) if failure == "disk-full" else a_part_lost(chain_log(20))
    with pytest.raises((OSError, ServiceError, ElementLogError)):
        backend.write_element_log(pid, written)
    monkeypatch.undo()
    backend.disconnect()  # the service closes the connection of a request that failed
    assert backend.read_element_lineage(pid, "approved", "LA-2") == before
    assert backend.read_element_lineage(pid, "approved", "LA-0000001") is None


# -- tenants ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda s, pid: s.get_pipeline(pid),
        lambda s, pid: s.get_nodes(pid),
        lambda s, pid: s.get_fingerprint_node_map(pid),
        lambda s, pid: s.get_edges(pid),
        lambda s, pid: s.get_sources(pid),
        lambda s, pid: s.get_row_values(pid),
        lambda s, pid: s.get_results(pipeline_id=pid),
        lambda s, pid: s.complete_pipeline(pid, "failed"),
        lambda s, pid: s.store_results(pid, [("1", "o", 1, 1.0, None)]),
        lambda s, pid: s.store_nodes([node(3, pipeline_id=pid)]),
        lambda s, pid: s.register_source(0, "t", "c", is_protected=False, pipeline_id=pid),
        lambda s, pid: s.store_dashboard_sync({"pipeline": {"provenance_pipeline_id": pid}}),
        lambda s, pid: s.write_element_log(pid, hand_made_log()),
        lambda s, pid: s.read_element_lineage(pid, "approved", "LA-1"),
        lambda s, pid: s.read_element_log(pid),
        lambda s, pid: s.element_results(pid),
    ],
)
def test_a_tenant_cannot_touch_another_tenants_pipeline(backends, call):
    acme, beta = backends
    pid = acme.create_pipeline("private")
    acme.store_nodes([node(1)])
    acme.store_results(pid, [("1", "o", 1, 1.0, None)])
    acme.write_element_log(pid, hand_made_log())
    with pytest.raises(PermissionError):
        call(beta, pid)
    assert acme.get_pipeline(pid)["status"] == "running"
    assert acme.read_element_lineage(pid, "approved", "LA-1").root == 18
    assert [n.fingerprint for n in acme.get_nodes(pid)] == [1]
    assert acme.get_results("1")[0]["fingerprint"] == 1


def test_listings_show_only_the_own_tenant(backends):
    acme, beta = backends
    pid = acme.create_pipeline("private")
    acme.store_results(pid, [("1", "o", 1, 1.0, None)])
    acme.store_dashboard_sync({"pipeline": {}})
    ids = acme.get_fingerprint_node_map(pid)
    assert beta.list_pipelines() == [] and beta.get_results("1") == []
    assert beta.get_dashboard_syncs() == []
    beta_pid = beta.create_pipeline("mine")
    acme.store_nodes([node(2, pipeline_id=pid)])
    ids = acme.get_fingerprint_node_map(pid)
    beta.store_nodes([node(3, pipeline_id=beta_pid)])
    beta_ids = beta.get_fingerprint_node_map(beta_pid)
    # node ids of another tenant do not resolve into edges
    assert beta.store_edges_resolved([(ids[2], beta_ids[3], 0)]) == 0
    assert beta.get_edges(beta_pid) == []


def test_naming_another_tenant_is_refused(backends):
    acme, _ = backends
    with pytest.raises(PermissionError):
        acme.create_pipeline(pipeline_name="p", config=None, git_commit=None, tenant_id="beta")
    assert acme.create_pipeline(pipeline_name="p", tenant_id="acme")


def test_pipeline_zero_is_each_tenants_own(backends):
    acme, beta = backends
    for store, fp in ((acme, 1), (beta, 2)):
        store.store_results(0, [("1", "o", fp, float(fp), None)])
        value = StoredRowValue(
            pipeline_id=0, row_index=1, fingerprint=7, node_operation="t.c", value=float(fp)
        )
        assert store.store_row_values([value]) == 1
        assert store.store_nodes([node(5, f"op{fp}", pipeline_id=0)]) == 1
    for store, fp in ((acme, 1), (beta, 2)):
        assert [r["fingerprint"] for r in store.get_results("1")] == [fp]
        assert [v.value for v in store.get_row_values(0)] == [float(fp)]
        assert [n.operation for n in store.get_nodes(0)] == [f"op{fp}"]
