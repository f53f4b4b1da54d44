"""The provenance tracker: source registry, header reads, word algebra and explanations."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager

from . import _lineage
from ._checks import as_int, exact
from ._operations import current_operation
from ._word import OpCode, ProvenanceInfo

#: The module users import the tracker from. Names looked up there when a method runs can be
#: patched there; it is found by name, not imported, so the core stays below it.
PUBLIC_MODULE = "quorvane.utilities.orrin32"


def _public():
    """The public module when it is loaded, else the core package, which has the same names."""
    public = sys.modules.get(PUBLIC_MODULE)
    return public if public is not None else sys.modules[__package__]


class _Layout:
    """The layout constants, read from the public module whenever a method runs, so that a
    value set there (a smaller MAX_PAIRS, say) is the one every method uses."""

    def __getattr__(self, name: str):
        return getattr(_public(), name)


_layout = _Layout()


class ProvenanceLostError(RuntimeError):
    """An operation would lose provenance while strict provenance is on."""


#: The pseudo-source of values whose provenance could not be followed. Its pair is
#: registered the first time such a value appears, so a word derived from one carries it
#: and reports as (partly) unknown, never as clean.
UNKNOWN_SOURCE = ("<unknown>", "<unknown>")


def table_wrapped(tracker, table: str, frame) -> None:
    """Tell the tracker's observers that ``table`` was wrapped as ``frame``."""
    # A tracker of another class (or built without __init__) simply has no observers.
    for observer in tuple(getattr(tracker, "_observers", ())):
        observer.table_wrapped(table, frame)


def _hash_entity(row_id) -> int:
    """Hash a row identifier to entity bits."""
    if row_id is None:
        return 0
    return hash(row_id) & 0xFFFFFFFF


class ProvenanceTracker:
    """ORRIN-32 provenance tracker with gradient taint model."""

    def __init__(self, *, strict: bool = False):
        #: Under strict provenance, an operation that cannot follow where a value came from
        #: raises ProvenanceLostError instead of giving it the unknown word.
        self.strict = bool(strict)
        self._id_to_name: dict[int, tuple[str, str]] = {}
        self._name_to_id: dict[tuple[str, str], int] = {}
        self._next_id = 0
        self._dense: dict[int, dict] = {}
        self._protected_tables: set[str] = set()
        self._protected_columns: set[tuple[str, str]] = set()
        self._rust = _public().RustProvenanceTracker()
        self._observers: list = []
        _lineage.new_lineage(self)

    # -- pickling: the registry and the dense table travel, see _lineage ---------------

    def __getstate__(self) -> dict:
        state = self.__dict__.copy()
        state.pop("_merged_into", None)
        # observers (a run reporting to a transport) stay with the process that added them
        state.pop("_observers", None)
        state["_rust"] = self._rust.dense_export()
        return state

    def __setstate__(self, state: dict) -> None:
        dense_sets = state.pop("_rust")
        self.__dict__.update(state)
        self._observers = []
        self._rust = _public().RustProvenanceTracker()
        # A fresh engine interns the rows in order: every signature is what it was.
        self._rust.dense_import(dense_sets)
        for table in self._protected_tables:
            self._rust.mark_table_protected(table)
        _lineage.arrived(self)

    # -- source registry -------------------------------------------------------------

    def register(self, table: str, column: str, protected: bool = False) -> int:
        """Register a (table, column) pair and return its ID (0-511).

        Args:
            table: Source table or file name.
            column: Column name.
            protected: Mark the source as a protected attribute; values derived
                from it carry taint=1.
        """
        exact("table", table, str)
        exact("column", column, str)
        protected = bool(protected)
        key = (table, column)
        known = self._name_to_id.get(key)
        if known is not None:
            if protected:
                self._protected_columns.add(key)
            self._rust.register(table, column, protected)
            return known
        if self._next_id >= _layout.MAX_PAIRS:
            raise ValueError(f"Maximum {_layout.MAX_PAIRS} pairs supported")
        pair_id = self._next_id
        self._id_to_name[pair_id] = key
        self._name_to_id[key] = pair_id
        self._next_id += 1
        if protected:
            self._protected_columns.add(key)
        self._rust.register(table, column, protected)
        return pair_id

    def register_table(self, table: str, columns: list, protected: bool = False) -> list:
        """Register all columns for a table. Returns list of pair IDs."""
        exact("table", table, str)
        exact("columns", columns, list)
        return [self.register(table, column, protected) for column in columns]

    def get_name(self, pair_id: int) -> tuple | None:
        """Get (table, column) for a pair ID."""
        return self._id_to_name.get(as_int("pair_id", pair_id))

    def get_id(self, table: str, column: str) -> int | None:
        """Get pair ID for a (table, column)."""
        exact("table", table, str)
        exact("column", column, str)
        return self._name_to_id.get((table, column))

    def is_protected(self, table: str, column: str | None = None) -> bool:
        """Check if a table or specific column is a protected attribute."""
        exact("table", table, str)
        exact("column", column, str, optional=True)
        if table in self._protected_tables:
            return True
        return bool(column) and (table, column) in self._protected_columns

    # -- run observers (lineage exports) ---------------------------------------------------

    def add_observer(self, observer) -> None:
        """Tell ``observer`` of the run's tables: ``observer.table_wrapped(table, frame)``
        after each table is wrapped, ``observer.output_declared(name, frame)`` after each
        ``declare_output``."""
        if observer not in self._observers:
            self._observers.append(observer)

    def remove_observer(self, observer) -> None:
        """Stop telling ``observer`` of the run's tables (nothing happens if it was not told)."""
        if observer in self._observers:
            self._observers.remove(observer)

    def declare_output(self, frame, name: str) -> None:
        """Declare a tracked frame of this tracker an output of the run, under ``name``."""
        exact("name", name, str)
        if not name:
            raise ValueError("an output needs a non-empty name")
        if getattr(frame, "_col_prov", None) is None or not hasattr(frame, "columns"):
            raise TypeError(f"frame must be a tracked DataFrame, not {type(frame).__name__}")
        if frame._tracker is not self:
            raise ValueError(f"output {name!r} was not built with this tracker")
        for observer in tuple(self._observers):
            observer.output_declared(name, frame)

    # -- encoding and decoding ---------------------------------------------------------

    def encode(
        self, pairs: set, entity: int = 0, chain: int = 0, taint: bool = False, depth: int = 0
    ) -> int:
        """Encode provenance to 32-bit value.

        Args:
            pairs: Set of source pair IDs (0-511)
            entity: Row identifier hash (truncated to fit mode)
            chain: Computation path hash (truncated to fit mode)
            taint: True if value derives from protected data
            depth: Derivation distance from source (0-7, saturates)

        Returns:
            32-bit provenance value
        """
        entity = as_int("entity", entity)
        chain = as_int("chain", chain)
        depth = as_int("depth", depth)
        taint = bool(taint)
        exact("pairs", pairs, set)
        # The IDs go to the engine as given: it refuses a non-int ID instead of truncating it.
        ids = sorted(pairs)
        word = int(self._rust.encode(ids, entity, chain, taint, depth))
        if len(pairs) >= 4:
            signature = word & ((1 << _layout.MODE_DENSE_SIG_BITS) - 1)
            self._dense[signature] = {"pairs": frozenset(pairs), "entity": entity, "chain": chain}
        return word

    def decode(self, provenance: int) -> set:
        """Decode to pair IDs only (legacy API)."""
        return self.decode_full(provenance).pairs

    def decode_full(self, provenance: int) -> ProvenanceInfo:
        """Decode 32-bit provenance to full ProvenanceInfo."""
        decoded = self._rust.decode_full(as_int("provenance", provenance))
        return ProvenanceInfo(
            pairs=set(decoded["pairs"]),
            entity=decoded["entity"],
            chain=decoded["chain"],
            taint=decoded["taint"],
            depth=decoded["depth"],
            mode=decoded["mode"],
        )

    # -- header reads: bit operations on the word alone, no engine call ---------------

    @staticmethod
    def read_header(provenance: int) -> tuple:
        """Extract (mode, taint, depth) from header bits."""
        provenance = as_int("provenance", provenance)
        mode = (provenance >> _layout.MODE_SHIFT) & 3
        taint = bool((provenance >> _layout.TAINT_SHIFT) & 1)
        depth = (provenance >> _layout.DEPTH_SHIFT) & 7
        return (mode, taint, depth)

    @staticmethod
    def is_tainted(provenance: int) -> bool:
        """O(1) taint check — no decoding needed."""
        return bool((as_int("provenance", provenance) >> _layout.TAINT_SHIFT) & 1)

    @staticmethod
    def get_depth(provenance: int) -> int:
        """O(1) depth read — no decoding needed."""
        return (as_int("provenance", provenance) >> _layout.DEPTH_SHIFT) & 7

    @staticmethod
    def risk_score(provenance: int) -> float:
        """risk = taint * 1/(1 + depth).  Returns float in [0.0, 1.0]."""
        provenance = as_int("provenance", provenance)
        if not (provenance >> _layout.TAINT_SHIFT) & 1:
            return 0.0
        return 1.0 / (1.0 + ((provenance >> _layout.DEPTH_SHIFT) & 7))

    def get_mode(self, provenance: int) -> str:
        """Human-readable mode name."""
        provenance = as_int("provenance", provenance)
        mode = (provenance >> _layout.MODE_SHIFT) & 3
        if mode == _layout.MODE_01:
            pair_data = ((provenance & _layout.PAYLOAD_MASK) >> 16) & 1023
            return "EXACT-0" if pair_data == 0 else "EXACT-1"
        if mode == _layout.MODE_2:
            return "EXACT-2"
        if mode == _layout.MODE_3:
            return "EXACT-3"
        return "DENSE"

    # -- explanations --------------------------------------------------------------------

    def explain(self, provenance: int) -> list:
        """Decode to human-readable (table, column) names."""
        names = (self.get_name(pair_id) for pair_id in sorted(self.decode(provenance)))
        return [name for name in names if name]

    def explain_full(self, provenance: int) -> dict:
        """Full provenance explanation including taint, depth, risk."""
        provenance = as_int("provenance", provenance)
        info = self.decode_full(provenance)
        pair_ids = sorted(info.pairs)
        names = [self.get_name(pair_id) for pair_id in pair_ids]
        return {
            "pairs": [name for name in names if name is not None],
            "pair_ids": pair_ids,
            "entity": info.entity,
            "chain": info.chain,
            "taint": info.taint,
            "depth": info.depth,
            "risk": self.risk_score(provenance),
            "mode": info.mode,
            "provenance_hex": f"0x{provenance:08X}",
        }

    def explain_tables(self, provenance: int) -> list:
        """Unique table names from provenance."""
        tables: dict[str, None] = {}
        for table, _column in self.explain(provenance):
            tables.setdefault(table)
        return list(tables)

    def has_protected(self, provenance: int) -> bool:
        """Check if provenance uses any protected tables/columns."""
        return any(self.is_protected(table, column) for table, column in self.explain(provenance))

    # -- algebra -----------------------------------------------------------------------

    def combine(self, prov_a: int, prov_b: int, op: int = OpCode.ADD) -> int:
        """Combine two provenances.  pairs=union, entity=XOR, taint=OR, depth=max+1."""
        return int(
            self._rust.combine(as_int("prov_a", prov_a), as_int("prov_b", prov_b), as_int("op", op))
        )

    def update_chain(self, provenance: int, op: int) -> int:
        """Update provenance with a unary operation. Depth += 1, taint preserved."""
        return int(self._rust.update_chain(as_int("provenance", provenance), as_int("op", op)))

    def contains(self, provenance: int, pair_id: int) -> bool:
        """Check if a pair is in the provenance."""
        provenance = as_int("provenance", provenance)
        return as_int("pair_id", pair_id) in self.decode(provenance)

    def contains_table(self, provenance: int, table: str) -> bool:
        """Check if a table is in the provenance."""
        provenance = as_int("provenance", provenance)
        exact("table", table, str)
        return table in self.explain_tables(provenance)

    @contextmanager
    def strict_provenance(self) -> Iterator[ProvenanceTracker]:
        """Strict provenance inside a ``with`` block (see ``strict``)."""
        saved, self.strict = self.strict, True
        try:
            yield self
        finally:
            self.strict = saved

    def unknown_word(self) -> int:
        """The word of a value whose provenance cannot be followed (see UNKNOWN_SOURCE).

        Under strict provenance this raises ProvenanceLostError naming the operation.
        """
        if self.strict:
            raise ProvenanceLostError(
                f"{current_operation()} cannot follow where some values came from; "
                "their provenance would be unknown (strict provenance is on)"
            )
        pair_id = self.get_id(*UNKNOWN_SOURCE)
        if pair_id is None:
            pair_id = self.register(*UNKNOWN_SOURCE)
        return self.encode({pair_id}, entity=0, chain=0, taint=False, depth=0)

    def is_unknown(self, provenance: int) -> bool:
        """Whether the value derives, at least in part, from something not followed."""
        pair_id = self.get_id(*UNKNOWN_SOURCE)
        return pair_id is not None and self.contains(provenance, pair_id)

    def entity_from_row(self, row_id) -> int:
        """Create entity hash from a row identifier."""
        return _public()._hash_entity(row_id)

    def stats(self) -> dict:
        """Tracker statistics."""
        return {
            "registered_pairs": self._next_id,
            # The engine interns every set of four or more pairs, also those that combine()
            # builds; `_dense` only sees the sets given to encode().
            "dense_entries": int(self._rust.dense_count),
            "protected_tables": list(self._protected_tables),
            "protected_columns": [f"{table}.{column}" for table, column in self._protected_columns],
            "encoding": "ORRIN-32",
        }
