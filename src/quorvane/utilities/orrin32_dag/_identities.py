"""Row identities: which row of which table a value belongs to.

Every row of a wrapped table is a *source row* with its business key. A node belongs to
the row its inputs belong to; when they belong to two rows (a join pairs a row of each
side, or a later step combines their columns) it belongs to the *merged row* of the two,
and an aggregate over several rows belongs to a *group* whose members are those rows.
Constants, whole columns and groups do not pin an element-wise step to a row: a group
mean added to an applicant's wage belongs to the applicant.

All of it is numpy over whole operations: a batch of nodes asks once.
"""

from __future__ import annotations

import threading
from typing import Any

import numpy as np

from ._growing import Growing
from ._runs import run, sorted_distinct

NO_IDENTITY = -1
#: The kinds of identity, as a log stores them (``ElementLog.identity_kind``).
SOURCE_ROW, MERGED_ROW, GROUP = 0, 1, 2
#: How deep merged rows nest (a join of a join of a join ...) when one is looked for in another.
_MAX_NESTING = 6
_LOW = np.int64(0xFFFFFFFF)


class KeyTexts:
    """The business key of each identity, as text. Integer keys (an index of numbers, the
    usual key of a wrapped table) are kept as numbers and given their text (Python's, as
    ``row_keys`` gives it) when a key is first read: that text takes longer than the rest
    of wrapping a table of a million rows, and is not needed until a log is read."""

    def __init__(self) -> None:
        self.texts = Growing(object, "")
        self._numbers: list[tuple[np.ndarray, np.ndarray]] = []
        # a table wrapped in one thread while a key is read in another: no key is lost
        # between the numbers kept and their text made, nor read before it is made
        self._lock = threading.Lock()

    def set(self, ids: np.ndarray, keys: np.ndarray) -> None:
        with self._lock:
            if keys.dtype.kind in "iu":
                self._numbers.append((ids, keys))
            else:
                self.texts.set(ids, np.asarray(keys, dtype=object))

    def _made(self) -> Growing:
        with self._lock:
            for ids, numbers in self._numbers:
                self.texts.set(ids, np.array([str(n) for n in numbers.tolist()], dtype=object))
            self._numbers.clear()
        return self.texts

    def __getstate__(self) -> dict:
        return {"texts": self._made()}

    def __setstate__(self, state: dict) -> None:
        self.__init__()  # type: ignore[misc]
        self.texts = state["texts"]

    def get(self, positions: Any) -> np.ndarray:
        return self._made().get(positions)

    def run(self, first: int, count: int) -> np.ndarray:
        return self._made().run(first, count)


class RowIdentities:
    """The identities of one tracker, as columns (see the module doc)."""

    def __init__(self) -> None:
        self.kind = Growing(np.uint8, SOURCE_ROW)
        self.table = Growing(np.int32, -1)
        self.key = KeyTexts()
        self.left = Growing(np.int64, NO_IDENTITY)
        self.right = Growing(np.int64, NO_IDENTITY)
        self.member_end = Growing(np.int64, 0)
        self.members = Growing(np.int64, NO_IDENTITY)
        self.tables: list[str] = []
        self._pair_codes = np.zeros(0, dtype=np.int64)
        self._pair_ids = np.zeros(0, dtype=np.int64)

    @property
    def count(self) -> int:
        return self.kind.size

    def _add(self, kind: int, counts: np.ndarray | int, flat: np.ndarray) -> np.ndarray:
        """New identities of ``kind``, identity i with ``counts[i]`` members from ``flat``;
        ``counts`` an int: how many new identities, none with members (source rows)."""
        n = counts if isinstance(counts, int) else len(counts)
        start = self.count
        ids = run(start, n)
        self.kind.set(ids, kind)
        total = int(self.member_end.get([start - 1])[0]) if start else 0
        ends = total if isinstance(counts, int) else total + np.cumsum(counts, dtype=np.int64)
        self.member_end.set(ids, ends)
        self.members.append(flat)
        return ids

    def add_source_rows(self, table: str, keys: np.ndarray) -> np.ndarray:
        """One source row per business key of ``table`` (text, or integers: see
        ``KeyTexts``); their identities."""
        if table not in self.tables:
            self.tables.append(table)
        ids = self._add(SOURCE_ROW, len(keys), np.zeros(0, np.int64))
        self.table.set(ids, self.tables.index(table))
        self.key.set(ids, np.asarray(keys))
        return ids

    # -- element-wise steps --------------------------------------------------------------

    def fold(self, columns: list[np.ndarray]) -> np.ndarray:
        """The identity of each element made from the identities of its inputs (one array
        per operand), combined left to right; it may be one of them (read it, do not
        change it)."""
        out = np.asarray(columns[0], dtype=np.int64)
        for column in columns[1:]:
            out = self.combine(out, np.asarray(column, dtype=np.int64))
        return out

    def combine(self, a: np.ndarray, b: np.ndarray) -> np.ndarray:
        """Per element, the identity of a value made from one of row ``a`` and one of ``b``
        (``a`` itself where they agree everywhere)."""
        if np.array_equal(a, b):  # two values of the same rows: most steps of a table
            return a
        a_free, b_free = self._free(a), self._free(b)
        out = a.copy()
        take_b = (a_free & ~b_free) | (a_free & b_free & (a < 0))
        out[take_b] = b[take_b]
        clash = np.flatnonzero(~a_free & ~b_free & (a != b))
        if len(clash):
            x, y = a[clash], b[clash]
            in_x, in_y = self._contains(x, y), self._contains(y, x)
            made = np.where(in_x, x, y)
            apart = ~in_x & ~in_y
            if apart.any():
                made[apart] = self._merged(x[apart], y[apart])
            out[clash] = made
        return out

    def _free(self, ids: np.ndarray) -> np.ndarray:
        """Identities that do not pin a step to a row: none, or a group."""
        return (ids < 0) | (self.kind.get(ids) == GROUP)

    def _contains(self, outer: np.ndarray, inner: np.ndarray) -> np.ndarray:
        """Whether ``inner`` is ``outer`` or a member of it (merged rows, nested)."""
        found = outer == inner
        frontier = [outer]
        for _ in range(_MAX_NESTING):
            frontier = [side.get(f) for f in frontier for side in (self.left, self.right)]
            frontier = [f for f in frontier if (f >= 0).any()]
            if not frontier:
                break
            for f in frontier:
                found |= (f == inner) & (f >= 0)
        return found

    def _merged(self, left: np.ndarray, right: np.ndarray) -> np.ndarray:
        """The merged row of each (left, right) pair, made once per pair."""
        codes = (left << 32) | (right & _LOW)
        at = np.searchsorted(self._pair_codes, codes)
        at = np.minimum(at, max(len(self._pair_codes) - 1, 0))
        known = len(self._pair_codes) > 0
        hit = (self._pair_codes[at] == codes) if known else np.zeros(len(codes), dtype=bool)
        out = np.empty(len(codes), dtype=np.int64)
        if known:
            out[hit] = self._pair_ids[at[hit]]
        if not hit.all():
            fresh, where = np.unique(codes[~hit], return_inverse=True)
            lefts, rights = fresh >> 32, fresh & _LOW
            flat = np.stack([lefts, rights], axis=1).reshape(-1)
            ids = self._add(MERGED_ROW, np.full(len(fresh), 2, np.int64), flat)
            self.left.set(ids, lefts)
            self.right.set(ids, rights)
            out[~hit] = ids[where]
            codes_all = np.concatenate([self._pair_codes, fresh])
            ids_all = np.concatenate([self._pair_ids, ids])
            order = np.argsort(codes_all, kind="stable")
            self._pair_codes, self._pair_ids = codes_all[order], ids_all[order]
        return out

    # -- aggregates --------------------------------------------------------------------

    def groups(self, offsets: np.ndarray, flat: np.ndarray) -> np.ndarray:
        """The identity of each segment's aggregate over the identities ``flat`` of its
        inputs (``offsets``): the one row all its inputs belong to, a new group when they
        belong to several, none when to none."""
        n = len(offsets) - 1
        segments = np.repeat(np.arange(n, dtype=np.int64), np.diff(offsets))
        keep = flat >= 0
        pairs = sorted_distinct((segments[keep] << 32) | flat[keep])
        owners, rows = pairs >> 32, pairs & _LOW
        counts = np.bincount(owners, minlength=n)
        out = np.full(n, NO_IDENTITY, dtype=np.int64)
        first = np.searchsorted(owners, np.arange(n))
        single = counts == 1
        out[single] = rows[first[single]]
        several = counts > 1
        if several.any():
            members = rows[several[owners]]
            out[several] = self._add(GROUP, counts[several], members)
        return out

    # -- reading -----------------------------------------------------------------------

    def business_keys(self, ids: np.ndarray) -> np.ndarray:
        """The business key of each identity: a source row's own, a merged row's left
        member's; "" for none and for a group."""
        ids = np.asarray(ids, dtype=np.int64).copy()
        for _ in range(_MAX_NESTING):
            merged = self.kind.get(ids) == MERGED_ROW
            if not merged.any():
                break
            ids[merged] = self.left.get(ids[merged])
        keys = self.key.get(ids)
        keys[(ids < 0) | (self.kind.get(ids) != SOURCE_ROW)] = ""
        return keys

    def two_rows_of_a_table(self, ids: np.ndarray) -> np.ndarray:
        """Per identity, whether it is a merged row of two rows of one table (a value
        shifted in from the row before, combined with the row's own): it belongs to no one
        of them, as a join's pair of a row and a looked-up row belongs to the row."""
        ids = np.asarray(ids, dtype=np.int64)
        out = np.zeros(len(ids), dtype=bool)
        merged = np.flatnonzero((ids >= 0) & (self.kind.get(ids) == MERGED_ROW))
        if not len(merged):
            return out
        left = self._leftmost(self.left.get(ids[merged]))
        right = self._leftmost(self.right.get(ids[merged]))
        known = (left >= 0) & (right >= 0)
        table_left = np.where(known, self.table.get(np.maximum(left, 0)), -1)
        table_right = np.where(known, self.table.get(np.maximum(right, 0)), -2)
        out[merged] = known & (left != right) & (table_left == table_right)
        return out

    def _leftmost(self, ids: np.ndarray) -> np.ndarray:
        """The source row each identity's left members lead to (-1: none)."""
        ids = ids.copy()
        for _ in range(_MAX_NESTING):
            merged = (ids >= 0) & (self.kind.get(np.maximum(ids, 0)) == MERGED_ROW)
            if not merged.any():
                break
            ids[merged] = self.left.get(ids[merged])
        source = (ids >= 0) & (self.kind.get(np.maximum(ids, 0)) == SOURCE_ROW)
        return np.where(source, ids, NO_IDENTITY)

    def applicants_of_groups(self, ids: np.ndarray) -> np.ndarray:
        """Per identity, the business key of the one applicant a group of several of its
        rows stands for (its rows of a one-to-many join, aggregated back per applicant);
        "" for anything else: a group of several applicants or of one row, a row, none."""
        ids = np.asarray(ids, dtype=np.int64)
        out = np.full(len(ids), "", dtype=object)
        known = ids[(ids >= 0) & (ids < self.count)]
        for identity in np.unique(known[self.kind.get(known) == GROUP]).tolist():
            start = int(self.member_end.get([identity - 1])[0]) if identity else 0
            end = int(self.member_end.get([identity])[0])
            keys = set(self.business_keys(self.members.get(np.arange(start, end))).tolist())
            if end - start > 1 and len(keys) == 1 and "" not in keys:
                out[ids == identity] = keys.pop()
        return out

    def source_members(self, identity: int) -> list[int]:
        """The source rows an identity stands for, left to right (itself for a source row)."""
        if identity < 0:
            return []
        if int(self.kind.get([identity])[0]) == SOURCE_ROW:
            return [identity]
        start, end = (int(e) for e in self.member_end.get([identity - 1, identity]))
        start = start if identity else 0
        out: list[int] = []
        for member in self.members.get(np.arange(start, end)).tolist():
            for row in self.source_members(member):
                if row not in out:
                    out.append(row)
        return out

    def columns(self) -> dict:
        """Every identity, as the columns of a log (kind, table, key, member offsets)."""
        n = self.count
        names = np.array([*self.tables, ""], dtype=object)  # table -1 reads the last: ""
        return {
            "identity_kind": self.kind.run(0, n),
            "identity_table": tuple(names[self.table.run(0, n)]),
            "identity_key": tuple(self.key.run(0, n)),
            "member_start": np.concatenate([[0], self.member_end.run(0, n)]).astype(np.int64),
            "members": self.members.view().copy(),
        }
