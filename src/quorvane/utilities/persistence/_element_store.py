"""A run's per-element log in a SQL store, as Arrow IPC blocks, and lineage read from them.

Each log is one row of ``element_logs`` (its metadata and the first node id of every node
block) and its blocks in ``element_blocks``: part 0 holds the nodes, part 1 the row
identities, parts 2 and on each result's (key, node) pairs sorted by key, with the first key
of every block in ``element_results``. Writing a whole block as one value is what makes
storing fast (a block is a memory copy where a row per node costs a statement row each);
reading one applicant fetches only the blocks its walk reaches.
"""

from __future__ import annotations

import itertools
import json
from bisect import bisect_left, bisect_right
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from datetime import UTC, datetime
from typing import Any, TypeVar

import numpy as np

from . import _element_codec as codec
from . import _element_members as members
from ._columns import checked_text
from ._element_log import (
    ElementLineage,
    ElementLog,
    ElementLogError,
    ElementLogParts,
    MemberPage,
)
from ._element_walk import IdentityRows, NodeRows, _value, lineage

Item = TypeVar("Item")
Made = TypeVar("Made")

NODES, IDENTITIES, FIRST_RESULT = 0, 1, 2
#: the part of the index of group aggregates' inputs by source row (see _element_members)
MEMBERS = -1
#: copies of the wide node and identity blocks without their list column (see _BlockReader)
LIGHT = {NODES: -2, IDENTITIES: -3}
#: the names the list column of a stored block may have (a node block's, stepped or not)
LISTS = {NODES: ("inputs", codec.STEPPED["inputs"]), IDENTITIES: ("members",)}
#: rows per block: a lineage reaches a few blocks per operation of its pipeline, each read
#: whole; larger blocks store a little faster and read slower
NODE_BLOCK_ROWS = 2048
IDENTITY_BLOCK_ROWS = 1024
RESULT_BLOCK_ROWS = 1024
MEMBER_BLOCK_ROWS = 4096
#: list entries (inputs, members) a node or identity block holds at most, beside a row that
#: alone has more: a walk reads a block whole, save a wide row's list it does not follow
BLOCK_ENTRIES = 65536
#: the blocks' compression (Arrow IPC buffers): lz4 halves what is written for less time
#: than writing the other half would take
COMPRESSION = "lz4"


def node_rows(table: Any, load: Callable[[], Any] | None = None) -> NodeRows:
    """A node block's rows; a block read without its inputs reads them by ``load``."""
    text = table.column("text")
    has_inputs = "inputs" in table.column_names
    offsets, inputs = (
        codec._offsets_and_values(table.column("inputs")) if has_inputs else (None, None)
    )
    return NodeRows(
        node_id=codec._numbers(table, "node_id", np.int64),
        node_type=codec._numbers(table, "node_type", np.uint8),
        operation=codec._numbers(table, "operation", np.int32),
        word=codec._numbers(table, "word", np.int64),
        input_start=offsets,
        inputs=inputs,
        value=codec._numbers(table, "value", np.float64),
        text=None if text.null_count == len(text) else text.to_pylist(),
        row=codec._numbers(table, "row", np.int64),
        protected=codec._numbers(table, "protected", np.bool_),
        group=_optional_texts(table, "group"),
        arity=codec._numbers(table, "arity", np.int64) if "arity" in table.column_names else None,
        load_inputs=None if has_inputs or load is None else _list_loader(load, "inputs"),
    )


def identity_rows(table: Any, first: int, load: Callable[[], Any] | None = None) -> IdentityRows:
    """An identity block's rows; a block read without its members reads them by ``load``."""
    names = table.column_names
    has_members = "members" in names
    offsets, members = (
        codec._offsets_and_values(table.column("members")) if has_members else (None, None)
    )
    return IdentityRows(
        first=first,
        kind=codec._numbers(table, "kind", np.uint8),
        key=table.column("key").to_pylist(),
        member_start=offsets,
        members=members,
        member_count=codec._numbers(table, "member_count", np.int64)
        if "member_count" in names
        else None,
        load_members=None if has_members or load is None else _list_loader(load, "members"),
    )


def _list_loader(load: Callable[[], Any], name: str) -> Callable[[], tuple[np.ndarray, np.ndarray]]:
    return lambda: codec._offsets_and_values(load().column(name))


def _optional_texts(table: Any, name: str) -> list[str | None] | None:
    if name not in table.column_names:
        return None
    column = table.column(name)
    return None if column.null_count == len(column) else column.to_pylist()


def _cuts(counts: np.ndarray, rows: int, volume: int) -> np.ndarray:
    """The first row of each block: at most ``rows`` rows, and no more than ``volume``
    list entries (``counts`` per row) unless one row alone has more, so that a row with a
    million inputs (a group's aggregate) sits in a block of its own."""
    n = len(counts)
    if n == 0:
        return np.zeros(1, np.int64)
    even = np.arange(0, n, rows, dtype=np.int64)
    if bool((np.add.reduceat(counts, even) <= volume).all()):
        return even  # no block is cut short by its list entries: the usual log
    total = np.concatenate([[0], np.cumsum(counts, dtype=np.int64)])
    firsts = [0]
    while firsts[-1] < n:
        start = firsts[-1]
        end = int(np.searchsorted(total, total[start] + volume, side="right")) - 1
        firsts.append(min(max(end, start + 1), start + rows, n))
    return np.asarray(firsts[:-1], np.int64)


def _numbered(
    part: int, table: Any, firsts: np.ndarray, wide: Sequence[int], first_number: int = 0
) -> Iterator[tuple[int, int, Any]]:
    """(part, number, block) of each block of a table cut at the rows ``firsts`` (node
    blocks stepped, see ``codec.stepped_blocks``), numbered from ``first_number``; a block
    whose number is in ``wide`` (see _wide) a second time, without its list column."""
    cut = codec.stepped_blocks if part == NODES else codec.blocks
    for number, block in enumerate(cut(table, firsts), first_number):
        for stored_as, stored in _with_light_copy(part, block, number in wide):
            yield stored_as, number, stored


class _NodeBlocks:
    """A log's node blocks, made part by part as they are written, numbered across the
    parts; what the log's row keeps of them (the first node id of each, which are wide,
    how many nodes) and its group aggregates' inputs are noted as they go by."""

    def __init__(self, log: ElementLogParts) -> None:
        self._log = log
        self._firsts: list[np.ndarray] = []
        self.wide: dict[int, list[int]] = {NODES: []}
        self.groups = members.GroupInputs(log.head.identity_kind)
        self.count = 0

    def blocks(self) -> Iterator[tuple[int, int, Any]]:
        number = 0
        for part in self._log.parts():
            arity = np.diff(part.input_start)
            cuts = _cuts(arity, NODE_BLOCK_ROWS, BLOCK_ENTRIES)
            wide = [number + at for at in _wide(part.input_start, cuts)]
            self.wide[NODES].extend(wide)
            # an empty log has one empty block, and no first node id
            self._firsts.append(np.asarray(part.node_id[cuts[cuts < part.size]], np.int64))
            self.groups.add(part)
            self.count += part.size
            yield from _numbered(NODES, codec.node_table(part, arity), cuts, wide, number)
            number += len(cuts)

    def firsts(self) -> np.ndarray:
        """The first node id of every node block written, as the log's row keeps them."""
        return np.concatenate([np.zeros(0, np.int64), *self._firsts]).astype("<i8")


def _wide(offsets: np.ndarray, firsts: np.ndarray) -> list[int]:
    """The blocks (by number) that hold more list entries than a block is cut at: one row
    each, a group's aggregate or a group."""
    ends = np.append(firsts[1:], len(offsets) - 1)
    entries = offsets[ends] - offsets[firsts]
    return np.flatnonzero(entries > BLOCK_ENTRIES).tolist()


def _with_light_copy(part: int, block: Any, wide: bool) -> list[tuple[int, Any]]:
    """The block, and when it is ``wide`` (see _wide) a copy of it without its list column."""
    if not wide:
        return [(part, block)]
    lists = [name for name in LISTS[part] if name in block.column_names]
    return [(part, block), (LIGHT[part], block.drop_columns(lists))]


def _encoded(item: tuple[int, int, Any]) -> tuple[int, int, bytes]:
    part, number, block = item
    return part, number, codec.to_bytes(block, COMPRESSION)


def _ahead(make: Callable[[Item], Made], items: Iterable[Item], depth: int) -> Iterator[Made]:
    """``make`` of each item, in order, worked out in one thread up to ``depth`` items
    ahead of the caller."""
    with ThreadPoolExecutor(1, thread_name_prefix="element-blocks") as pool:
        pending: deque[Future[Made]] = deque()
        try:
            for item in items:
                pending.append(pool.submit(make, item))
                if len(pending) >= depth:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        finally:
            for future in pending:
                future.cancel()


class ElementStore:
    """The per-element log calls of a SQL store (mixed into SQLStore)."""

    _db: Any
    _tenant: str

    def _check_pipeline(self, pipeline_id: Any, tx: Any = None) -> int:
        raise NotImplementedError

    # -- writing ------------------------------------------------------------------------------
    #: what ``write_element_log`` takes besides an ElementLog: the log in parts, read as its
    #: blocks are written (a tracker hands that to a store that says so)
    takes_element_log_parts = True

    def write_element_log(self, pipeline_id: int, log: ElementLog | ElementLogParts) -> None:
        """Keep ``log`` as the run's per-element log (replacing one stored before): all of
        it is stored, in one transaction, or the call raises and nothing is. A log in parts
        is read one part at a time while the blocks before are written, so no copy of
        every node is ever held."""
        if isinstance(log, ElementLog):
            log = ElementLogParts.of(log)
        if not isinstance(log, ElementLogParts):
            raise TypeError(f"log must be an ElementLog, not {type(log).__name__}")
        head = log.head
        for name in head.results:
            checked_text("result", name)
        # what is per log is made before the transaction: it holds SQLite's one write lock
        identity_cuts = _cuts(np.diff(head.member_start), IDENTITY_BLOCK_ROWS, BLOCK_ENTRIES)
        parts = [(IDENTITIES, codec.identity_table(head), identity_cuts)]
        results = []
        for part, (name, (keys, ids)) in enumerate(head.results.items(), FIRST_RESULT):
            rows = members.result_rows(head, keys, log.rows_of(np.asarray(ids, np.int64)))
            table = codec.result_table(keys, ids, sort=True, rows=rows)
            sorted_keys = table.column("key")
            key_firsts = [
                sorted_keys[at].as_py() for at in range(0, len(sorted_keys), RESULT_BLOCK_ROWS)
            ]
            results.append((name, part, json.dumps(key_firsts)))
            parts.append((part, table, np.arange(0, max(len(keys), 1), RESULT_BLOCK_ROWS)))
        meta = codec.log_meta(head)
        meta["identity_firsts"] = identity_cuts.tolist()
        nodes = _NodeBlocks(log)
        wide = {IDENTITIES: _wide(head.member_start, identity_cuts)}
        with self._db.write() as tx:
            pipeline_id = self._check_pipeline(pipeline_id, tx)
            self._drop_element_log(tx, pipeline_id)
            # its node count, block firsts and the rest of its metadata once written
            log_id = tx.execute(
                "INSERT INTO element_logs (tenant_id, pipeline_id, nodes, identities, meta,"
                " node_firsts, stored_at) VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id",
                (
                    self._tenant,
                    pipeline_id,
                    0,
                    len(head.identity_kind),
                    "{}",
                    b"",
                    datetime.now(UTC).isoformat(timespec="microseconds"),
                ),
            ).fetchone()[0]
            for name, part, block_keys in results:
                tx.execute(
                    "INSERT INTO element_results (log_id, name, part, key_firsts)"
                    " VALUES (?, ?, ?, ?)",
                    (log_id, name, part, block_keys),
                )
            index: dict[str, np.ndarray] = {}

            def member_blocks() -> Iterator[tuple[int, int, Any]]:
                # after the last node block: the parts have all been seen
                index.update(nodes.groups.index(log.rows_of, members.Identities.of_log(head)))
                if len(index["node"]):
                    cuts = np.arange(0, len(index["node"]), MEMBER_BLOCK_ROWS)
                    yield from _numbered(MEMBERS, codec.member_table(index), cuts, [])

            stored = itertools.chain(
                nodes.blocks(),
                *(_numbered(part, table, cuts, wide.get(part, [])) for part, table, cuts in parts),
                member_blocks(),
            )
            self._insert_blocks(tx, log_id, stored)
            if nodes.count != log.size:  # queued = written, or nothing is
                raise ElementLogError(
                    f"the log has {log.size} nodes and its parts gave {nodes.count}"
                )
            meta["wide"] = {str(part): numbers for part, numbers in (wide | nodes.wide).items()}
            meta["member_firsts"] = [
                [int(index["aggregate"][at]), int(index["row"][at])]
                for at in range(0, len(index["node"]), MEMBER_BLOCK_ROWS)
            ]
            tx.execute(
                "UPDATE element_logs SET nodes = ?, meta = ?, node_firsts = ? WHERE id = ?",
                (nodes.count, json.dumps(meta), nodes.firsts().tobytes(), log_id),
            )

    def _insert_blocks(self, tx: Any, log_id: int, blocks: Iterable[tuple[int, int, Any]]) -> None:
        """Every block (part, number, table), each encoded in a thread of its own while the
        ones before it are inserted: compressing and writing take about as long, and both
        let go of the interpreter's lock while they work."""
        for part, number, data in _ahead(_encoded, blocks, depth=8):
            tx.execute(
                "INSERT INTO element_blocks (log_id, part, block, data) VALUES (?, ?, ?, ?)",
                (log_id, part, number, data),
            )

    def _drop_element_log(self, tx: Any, pipeline_id: int) -> None:
        found = tx.execute(
            "SELECT id FROM element_logs WHERE tenant_id = ? AND pipeline_id = ?",
            (self._tenant, pipeline_id),
        ).fetchone()
        if found is not None:
            for table in ("element_blocks", "element_results"):
                tx.execute(f"DELETE FROM {table} WHERE log_id = ?", (found[0],))  # noqa: S608
            tx.execute("DELETE FROM element_logs WHERE id = ?", (found[0],))

    # -- reading ------------------------------------------------------------------------------
    def _element_log_row(self, pipeline_id: int) -> tuple[int, dict[str, Any], bytes] | None:
        pipeline_id = self._check_pipeline(pipeline_id)
        rows = self._db.read(
            "SELECT id, meta, node_firsts FROM element_logs WHERE tenant_id = ?"
            " AND pipeline_id = ?",
            (self._tenant, pipeline_id),
        )
        if not rows:
            return None
        log_id, meta, firsts = rows[0]
        return log_id, json.loads(meta), bytes(firsts)

    def element_results(self, pipeline_id: int) -> list[str]:
        """The names of the results whose elements the run's per-element log can trace
        (none for a run stored without one)."""
        found = self._element_log_row(pipeline_id)
        return [] if found is None else list(found[1]["results"])

    def _blocks(self, log_id: int, part: int, numbers: Sequence[int]) -> dict[int, Any]:
        return {n: codec.from_bytes(data) for n, data in self._raw_blocks(log_id, part, numbers)}

    def _raw_blocks(self, log_id: int, part: int, numbers: Sequence[int]) -> list[tuple[int, Any]]:
        # bound parameters only: the text adds one placeholder per block
        marks = ", ".join("?" * len(numbers))
        sql = f"SELECT block, data FROM element_blocks WHERE log_id = ? AND part = ? AND block IN ({marks})"  # noqa: E501, S608
        rows = self._db.read(sql, (log_id, part, *numbers))
        return [(int(number), data) for number, data in rows]

    def _result_node(self, log_id: int, result: str, key: str) -> tuple[int, int] | None:
        """(node, the key's source row or -1) of ``key``'s element of ``result``."""
        rows = self._db.read(
            "SELECT part, key_firsts FROM element_results WHERE log_id = ? AND name = ?",
            (log_id, result),
        )
        if not rows:
            return None
        part, key_firsts = rows[0]
        number = bisect_right(json.loads(key_firsts), key) - 1
        if number < 0:
            return None
        block = self._blocks(log_id, part, [number])[number]
        keys = block.column("key").to_numpy(zero_copy_only=False)
        at = int(np.searchsorted(keys, key))
        if at == len(keys) or keys[at] != key:
            return None
        row = block.column("row")[at].as_py() if "row" in block.column_names else -1
        return int(block.column("node")[at].as_py()), int(row)

    def element_result_node(self, pipeline_id: int, result: str, key: str) -> int | None:
        """The node of ``key``'s element of ``result`` (None: no such log, result or key)."""
        result, key = checked_text("result", result), checked_text("key", key)
        found = self._element_log_row(pipeline_id)
        located = None if found is None else self._result_node(found[0], result, key)
        return None if located is None else located[0]

    def read_element_lineage(
        self, pipeline_id: int, result: str, key: str, *, full: bool = False
    ) -> ElementLineage | None:
        """The exact lineage of ``key``'s element of ``result``, read from the run's
        per-element log; None when the run has none (it was stored before per-element logs
        were kept) or no such result or key. Never the lineage shared by a fingerprint.

        An aggregate over a group of rows is one step: its value, group key and member
        count, and of its inputs the applicant's own (with their lineage) and the shared
        ones; the other members' are counted in ``unlisted``, not read. ``full`` reads
        every node instead (an export of every member)."""
        result, key = checked_text("result", result), checked_text("key", key)
        found = self._element_log_row(pipeline_id)
        if found is None:
            return None
        log_id, meta, firsts = found
        located = self._result_node(log_id, result, key)
        if located is None:
            return None
        root, applicant = located
        reader = _BlockReader(self, log_id, np.frombuffer(firsts, dtype="<i8"), meta)
        sources = {int(k): (t, c, bool(p)) for k, t, c, p in meta["sources"]}
        own = None
        if not full and applicant >= 0 and "member_firsts" in meta:
            own = _MemberIndex(self, log_id, meta["member_firsts"], applicant).own_inputs
        return lineage(root, key, reader.nodes, reader.identities, meta["operations"], sources, own)

    def read_element_members(
        self, pipeline_id: int, node_id: int, *, offset: int = 0, limit: int = 1000
    ) -> MemberPage | None:
        """A page of the inputs of group aggregate ``node_id`` that a lineage counts and does
        not list: (business key of the member row, input node) in member order, from
        ``offset``, at most ``limit`` (a constant or other input of no one row has the key
        ""). None when the run keeps no index of its groups' members."""
        if offset < 0 or not 0 < limit <= 100_000:
            raise ValueError("offset must be >= 0 and limit within 1..100000")
        found = self._element_log_row(pipeline_id)
        if found is None or "member_firsts" not in found[1]:
            return None
        log_id, meta, firsts = found
        index = _MemberIndex(self, log_id, meta["member_firsts"], -1)
        start, end = index.span(int(node_id))
        rows, nodes = index.entries_between(start + offset, min(start + offset + limit, end))
        reader = _BlockReader(self, log_id, np.frombuffer(firsts, dtype="<i8"), meta)
        known = sorted({r for r in rows.tolist() if r >= 0})
        keys = dict(zip(known, (b.key[at] for b, at in reader.identities(known)), strict=True))
        members = tuple(
            (keys.get(r, ""), n) for r, n in zip(rows.tolist(), nodes.tolist(), strict=True)
        )
        return MemberPage(total=end - start, offset=offset, members=members)

    def read_element_groups(self, pipeline_id: int, node_id: int) -> dict[str, Any]:
        """The recorded value of every group aggregate logged by the same operation call as
        aggregate ``node_id``, by group key (JSON text): where a what-if finds the
        aggregate of the group a changed attribute moves an applicant into. Empty when the
        node is no group's aggregate."""
        found = self._element_log_row(pipeline_id)
        if found is None:
            return {}
        log_id, _, firsts = found
        found_meta = found[1]
        reader = _BlockReader(self, log_id, np.frombuffer(firsts, dtype="<i8"), found_meta)
        return reader.groups(int(node_id), len(firsts) // 8)

    def read_element_log(self, pipeline_id: int) -> ElementLog | None:
        """The run's whole per-element log (None: it has none)."""
        found = self._element_log_row(pipeline_id)
        if found is None:
            return None
        log_id, meta, _ = found
        pa = codec.arrow()

        def part(number: int) -> Any:
            rows = self._db.read(
                "SELECT data FROM element_blocks WHERE log_id = ? AND part = ? ORDER BY block",
                (log_id, number),
            )
            # node blocks keep their narrowed columns in whichever type held them
            tables = [codec.from_bytes(data) for (data,) in rows]
            return pa.concat_tables(tables, promote_options="permissive")

        names = self._db.read("SELECT name, part FROM element_results WHERE log_id = ?", (log_id,))
        parts = dict(names)
        results = {name: part(parts[name]) for name in meta["results"]}
        return codec.log_from_tables(meta, part(NODES), part(IDENTITIES), results)


class _BlockReader:
    """The blocks of one stored log that a walk asks for, each fetched once. A wide block
    (one aggregate's million inputs, one group's members) is fetched without its list
    column, which is fetched when first asked for: a walk that counts an aggregate's inputs,
    and does not follow them, never reads them."""

    def __init__(
        self,
        store: ElementStore,
        log_id: int,
        firsts: np.ndarray,
        meta: dict[str, Any] | None = None,
    ):
        self._store, self._log_id, self._firsts = store, log_id, firsts
        meta = meta or {}
        # a log written before identity blocks were cut by their members has fixed blocks
        found = meta.get("identity_firsts")
        self._identity_firsts = None if found is None else np.asarray(found, np.int64)
        self._wide = {int(part): set(numbers) for part, numbers in meta.get("wide", {}).items()}
        self._nodes: dict[int, NodeRows] = {}
        self._identities: dict[int, IdentityRows] = {}

    def nodes(self, ids: Sequence[int]) -> list[tuple[NodeRows, int]]:
        numbers = np.searchsorted(self._firsts, np.asarray(ids, np.int64), side="right") - 1
        self._fetch(NODES, numbers.tolist(), self._nodes, self._node_block)
        located = []
        for node_id, number in zip(ids, numbers.tolist(), strict=True):
            if number < 0:
                raise LookupError(f"the element log has no node {node_id}")
            rows = self._nodes[number]
            located.append((rows, rows.index(node_id)))
        return located

    def identities(self, indices: Sequence[int]) -> list[tuple[IdentityRows, int]]:
        if self._identity_firsts is None:
            numbers = [i // IDENTITY_BLOCK_ROWS for i in indices]
        else:
            at = np.searchsorted(self._identity_firsts, np.asarray(indices, np.int64), "right")
            numbers = (at - 1).tolist()
        self._fetch(IDENTITIES, numbers, self._identities, self._identity_block)
        return [
            (self._identities[n], i - self._identities[n].first)
            for i, n in zip(indices, numbers, strict=True)
        ]

    def _node_block(self, number: int, data: Any, light: bool) -> NodeRows:
        return node_rows(codec.from_bytes(data), self._loader(NODES, number) if light else None)

    def _identity_block(self, number: int, data: Any, light: bool) -> IdentityRows:
        firsts = self._identity_firsts
        first = number * IDENTITY_BLOCK_ROWS if firsts is None else int(firsts[number])
        load = self._loader(IDENTITIES, number) if light else None
        return identity_rows(codec.from_bytes(data), first, load)

    def _loader(self, part: int, number: int) -> Callable[[], Any]:
        def load() -> Any:
            [(_, data)] = self._store._raw_blocks(self._log_id, part, [number])
            return codec.from_bytes(data)

        return load

    def groups(self, node_id: int, blocks: int) -> dict[str, Any]:
        """The values of the group aggregates logged in one run with ``node_id`` (the same
        operation, consecutive ids), by group key; a key found twice is left out."""
        [(rows, at)] = self.nodes([node_id])
        if rows.group is None or rows.group[at] is None:
            return {}
        number = int(np.searchsorted(self._firsts, node_id, side="right") - 1)
        operation = int(rows.operation[at])
        values: dict[str, list[Any]] = {}
        for step, start in ((-1, at), (1, at + 1)):
            for block, position in self._walk(number, start, step, blocks):
                group = block.group[position] if block.group is not None else None
                if group is None or int(block.operation[position]) != operation:
                    break
                values.setdefault(group, []).append(_value(block, position))
        return {key: found[0] for key, found in values.items() if len(found) == 1}

    def _walk(
        self, number: int, at: int | None, step: int, blocks: int
    ) -> Iterator[tuple[NodeRows, int]]:
        """(block, position) of node rows from row ``at`` of block ``number`` on, one
        ``step`` at a time, across blocks."""
        while 0 <= number < blocks:
            block = self._block(number)
            if at is None:
                at = len(block.node_id) - 1 if step < 0 else 0
            while 0 <= at < len(block.node_id):
                yield block, at
                at += step
            number, at = number + step, None

    def _block(self, number: int) -> NodeRows:
        self._fetch(NODES, [number], self._nodes, self._node_block)
        return self._nodes[number]

    def _fetch(self, part: int, numbers: list[int], into: dict, make: Any) -> None:
        missing = sorted({n for n in numbers if n >= 0 and n not in into})
        wide = self._wide.get(part, set())
        for start in range(0, len(missing), 500):
            chunk = missing[start : start + 500]
            whole = [n for n in chunk if n not in wide]
            light = [n for n in chunk if n in wide]
            for number, data in self._store._raw_blocks(self._log_id, part, whole) if whole else ():
                into[number] = make(number, data, False)
            if light:
                for number, data in self._store._raw_blocks(self._log_id, LIGHT[part], light):
                    into[number] = make(number, data, True)
        absent = [n for n in missing if n not in into]
        if absent:
            raise LookupError(f"the element log lacks block {absent[0]} of part {part}")


class _MemberIndex:
    """One applicant's inputs of the group aggregates of a stored log, read from the index
    its log was written with (a block or two per aggregate)."""

    def __init__(self, store: ElementStore, log_id: int, firsts: list, applicant: int):
        self._store, self._log_id, self._applicant = store, log_id, applicant
        self._firsts = [tuple(f) for f in firsts]

    def own_inputs(
        self, node_id: int, rows: NodeRows, at: int
    ) -> tuple[tuple[int, ...], bool] | None:
        mine = self._entries(node_id, self._applicant)
        entries = sorted({*mine, *self._entries(node_id, -1)})
        return tuple(node for _, node in entries), bool(mine)

    def span(self, aggregate: int) -> tuple[int, int]:
        """The index positions (start, end) of ``aggregate``'s entries (blocks hold
        MEMBER_BLOCK_ROWS entries each)."""
        return self._position(aggregate), self._position(aggregate + 1)

    def _position(self, aggregate: int) -> int:
        number = max(bisect_left(self._firsts, (aggregate, -(2**62))) - 1, 0)
        if not self._firsts:
            return 0
        block = self._store._blocks(self._log_id, MEMBERS, [number])[number]
        aggregates = codec._numbers(block, "aggregate", np.int64)
        return number * MEMBER_BLOCK_ROWS + int(np.searchsorted(aggregates, aggregate))

    def entries_between(self, start: int, end: int) -> tuple[np.ndarray, np.ndarray]:
        """(source rows, nodes) of the index's entries start..end."""
        if end <= start:
            return np.zeros(0, np.int64), np.zeros(0, np.int64)
        numbers = list(range(start // MEMBER_BLOCK_ROWS, (end - 1) // MEMBER_BLOCK_ROWS + 1))
        blocks = self._store._blocks(self._log_id, MEMBERS, numbers)
        rows = np.concatenate([codec._numbers(blocks[n], "row", np.int64) for n in numbers])
        nodes = np.concatenate([codec._numbers(blocks[n], "node", np.int64) for n in numbers])
        first = numbers[0] * MEMBER_BLOCK_ROWS
        return rows[start - first : end - first], nodes[start - first : end - first]

    def _entries(self, aggregate: int, row: int) -> list[tuple[int, int]]:
        """(position, node) of the index's entries for (aggregate, row)."""
        wanted = (aggregate, row)
        first = max(bisect_left(self._firsts, wanted) - 1, 0)
        last = bisect_right(self._firsts, wanted)
        out: list[tuple[int, int]] = []
        if last == 0:
            return out
        blocks = self._store._blocks(self._log_id, MEMBERS, list(range(first, last)))
        for number in range(first, last):
            table = blocks[number]
            aggregates = codec._numbers(table, "aggregate", np.int64)
            source = codec._numbers(table, "row", np.int64)
            hit = np.flatnonzero((aggregates == aggregate) & (source == row))
            positions = codec._numbers(table, "position", np.int64)[hit]
            nodes = codec._numbers(table, "node", np.int64)[hit]
            out.extend(zip(positions.tolist(), nodes.tolist(), strict=True))
        return out
