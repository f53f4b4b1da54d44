"""
Native ORRIN-32 provenance engine: word packing, algebra and batch kernels.
"""

from collections.abc import Iterable, Sequence
from typing import Annotated, Any, overload

import numpy
import numpy.typing
from numpy.typing import NDArray


class RustProvenanceTracker:
    """
    Provenance word engine: encodes, decodes and combines ORRIN-32 words.

    Pair sets of four or more IDs are interned per instance, so dense words
    are only meaningful to the instance that made them.
    """

    def __init__(self, *, dense_capacity: int = 67108864) -> None: ...

    def register(self, table: str, column: str, protected: bool) -> None:
        """
        Accept a source (table, column); the word algebra does not depend on it, so nothing is kept.
        """

    def mark_table_protected(self, table: str) -> None:
        """
        Accept a protected table; the word algebra does not depend on it, so nothing is kept.
        """

    def encode(self, pairs: Iterable[int], entity: int, chain: int, taint: bool, depth: int) -> int:
        """
        Encode a pair set (IDs 0..511) with entity, chain, taint and depth into one word.
        """

    def decode_full(self, word: int) -> dict[str, Any]:
        """
        Decode a word to {'pairs', 'entity', 'chain', 'taint', 'depth', 'mode'}.
        """

    def combine(self, a: int, b: int, op: int) -> int:
        """
        Word of a value computed from two others: pairs union, entity XOR, chain hash, taint OR, depth max+1 (at most 7).
        """

    def update_chain(self, word: int, op: int) -> int:
        """
        Word after a unary operation: chain rehashed with op, depth+1 (at most 7).
        """

    def dense_export(self) -> numpy.typing.NDArray[numpy.uint64]:
        """
        Every interned pair set as a 512-bit bitmap, one (8 x uint64) row per signature, in signature order.
        """

    def dense_import(self, bitmaps: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.uint32]:
        """
        Intern the pair sets of an exported table (rows of four or more pairs); returns the signature each row has in this engine.
        """

    @property
    def dense_count(self) -> int:
        """Number of pair sets of four or more IDs interned so far."""

def combine_batch(engine: RustProvenanceTracker, a: numpy.typing.ArrayLike, b: numpy.typing.ArrayLike, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """combine() for every element; a length-1 operand broadcasts."""

def update_chain_batch(engine: RustProvenanceTracker, words: numpy.typing.ArrayLike, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """update_chain() for every element."""

def encode_source_column(engine: RustProvenanceTracker, pair_id: int, entities: numpy.typing.ArrayLike, taint: bool) -> numpy.typing.NDArray[numpy.uint32]:
    """
    Word of every row of a source column: encode([pair_id], entity, 0, taint, 0).
    """

def is_tainted_batch(words: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.bool_]:
    """Taint bit of every word, as a boolean mask."""

def entity_chain_batch(engine: RustProvenanceTracker, words: numpy.typing.ArrayLike) -> tuple[numpy.typing.NDArray[numpy.uint32], numpy.typing.NDArray[numpy.uint32]]:
    """Entity and chain fields of every word, as decode_full gives them."""

def risk_score_batch(words: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
    """Risk of every word: 0.0 when untainted, else 1 / (1 + depth)."""

def combine_segments_batch(engine: RustProvenanceTracker, words: numpy.typing.ArrayLike, segments: numpy.typing.ArrayLike, n_segments: int, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """
    One word per segment, combining the words of its members (negative: none).
    """

def combine_member_segments_batch(engine: RustProvenanceTracker, members: Sequence[numpy.typing.ArrayLike], segments: numpy.typing.ArrayLike, n_segments: int, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """
    One word per segment, combining the words of its rows in every member array (all of the segments' length; negative: none).
    """

def combine_windows_batch(engine: RustProvenanceTracker, words: numpy.typing.ArrayLike, window: int, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """Word i combines words[i - window + 1 .. i]; window 0: words[0 .. i]."""

def explain_batch(engine: RustProvenanceTracker, words: numpy.typing.ArrayLike) -> list[list[int]]:
    """Ascending pair IDs of every word."""

class NodeLog:
    """
    Columnar log of DAG nodes: ids in creation order, words, interned
    types and operations, flags and inputs, with eviction of the oldest
    non-source nodes beyond max_nodes.
    """

    def __init__(self, max_nodes: int) -> None: ...

    def append(self, type: int, op: int, word: int, flags: int, inputs: Sequence[int]) -> int:
        """Log one node; returns its id."""

    @overload
    def append_columns(self, type: int, op: int, words: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], columns: Sequence[Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]], taint_shift: int, edges: bool = False, flags: int = 0) -> object:
        """
        One node per element whose inputs (one per column) all exist; -1 elsewhere.
        A column of one entry is that node for every element.
        With edges=True, also (input word, word, position, element) of every input in
        the table as each node is made, as rows of a flat array. Every node takes
        `flags` (24: a cell of a source column, see NodeLog::kCell).
        """

    @overload
    def append_columns(self, type: int, op: int, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], columns: Sequence[Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]], taint_shift: int, edges: bool = False, flags: int = 0) -> object:
        """The same with uint32 words, read as they are."""

    def append_ragged(self, type: int, op: int, words: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], offsets: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], flat: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], taint_shift: int, edges: bool = False) -> object:
        """One node per segment of inputs; -1 for an empty segment."""

    def append_windows(self, type: int, op: int, words: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], members: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], span: int, taint_shift: int, edges: bool = False) -> object:
        """
        One node per element over its window's nodes (span 0: chained to the previous).
        """

    def __getstate__(self) -> tuple: ...

    def __setstate__(self, arg: tuple, /) -> None: ...

    def rows_state(self, lo: int, hi: int) -> tuple:
        """
        (ids, words, input_start, inputs, ops, types, flags) of rows lo .. hi - 1 in
        creation order (input offsets from 0), as __getstate__ gives for all rows.
        """

    @property
    def row_count(self) -> int:
        """Rows held, in or out of the table."""

    def __len__(self) -> int: ...

    def __contains__(self, arg: int, /) -> bool: ...

    def row(self, id: int, cells: bool = False) -> tuple[int, int, int, int, list[int]] | None:
        """
        (type, op, word, flags, inputs) of a node in the table, or None; inputs that
        are source cells are given as their column unless cells=True.
        """

    def in_summary(self, ids: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]:
        """
        Per id, 0 when its node is left out of the per-fingerprint summary (a source
        cell, a constant, a step that keeps an input's word), else 1; also for a node
        evicted since it was made.
        """

    def summary_as(self, id: int) -> int:
        """
        The id a reference to a node stands for in the per-fingerprint summary: a
        cell's column; for a step that keeps an input's word, what that input stands for.
        """

    def seen_as(self, id: int) -> int:
        """The id a reference to a node stands for in the table: a cell's column."""

    def table_ids(self) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]: ...

    def ids_for_word(self, word: int) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]: ...

    def index_items(self) -> tuple: ...

    def distinct_indexed_words(self) -> int: ...

    def lineage(self, root: int, cells: bool = False) -> tuple:
        """
        (ids, edges) reached from root; source cells seen through as their column
        unless cells=True.
        """

    def distinct_rows(self) -> tuple: ...

    def table_summary(self) -> tuple: ...

    def remove(self, id: int) -> bool: ...

    def clear(self) -> None: ...

    @property
    def next_id(self) -> int: ...

    @next_id.setter
    def next_id(self, arg: int, /) -> None: ...

    @property
    def max_nodes(self) -> int: ...

    @max_nodes.setter
    def max_nodes(self, arg: int, /) -> None: ...

    @property
    def evictions(self) -> int: ...

    @property
    def bytes(self) -> int:
        """Bytes the log's columns take."""

def run_start(ids: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> int:
    """
    The first of `ids` when they follow one another without a gap from a first >= 0,
    else -1.
    """

def replay_codes() -> dict[str, int]:
    """The replay code of each operation name the replay can evaluate."""

REPLAY_KEEP: int = 0

REPLAY_HELD: int = 1

REPLAY_HELD_GROUP: int = 2

REPLAY_UNKNOWN: int = 3

REPLAY_PASS: int = 4

def replay_check(code: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], input_start: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], inputs: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], value: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], group_start: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], group_values: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], family: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_rows: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_start: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_keys: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_values: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_param: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], text_from: float) -> Annotated[NDArray[numpy.uint8], dict(shape=(None,))]:
    """
    1 per node that, computed from its inputs' recorded values, gives its own recorded
    value (sources, constants and aggregates count as reproduced); 0 elsewhere.
    """

def replay_owners(code: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], input_start: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], inputs: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], rows: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]:
    """
    The applicant each node belongs to: its row's (rows, -1 for none), else the one
    applicant whose nodes read it (-2 when several do); an aggregate gives none.
    """

def replay_changed(code: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], input_start: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], inputs: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], value: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], group_start: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], group_values: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], family: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_rows: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_start: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_keys: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_values: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], table_param: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], text_from: float, owner: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], cells: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], new_value: float) -> tuple:
    """
    The log replayed with the rows `cells` set to new_value, in one forward pass:
    (values, state, held), state 0 same, 1 changed, 2 unknown per node; held counts the
    aggregates kept at their recorded value although an input changed. An applicant
    whose own changed value is a group's key sees the aggregate of the group it lands in.
    """
