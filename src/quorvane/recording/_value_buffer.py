"""The row-value buffer of a DAGTracker, kept as columns.

A recording call adds one chunk: the row positions, fingerprints and numbers of its
elements as arrays, other cells as text, and the operation, column, pipeline and tenant
once. ``StoredRowValue`` records are built only when the buffer is read or handed to a
writer, so recording a numeric column costs a few array copies, not an object per element.

Single records (``record_row_value``, ``append``) grow one list-backed chunk while they
share its operation, column, pipeline and tenant.
"""

from __future__ import annotations

import sys
from bisect import bisect_right
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

#: One field of a chunk, element by element: an array, a range of row positions, or the
#: list of a chunk that grows.
Column = np.ndarray | range | list

_STORAGE_MODULE = __package__.rpartition(".")[0] + ".utilities.persistence.storage"


def stored_row_value_type():
    """``StoredRowValue``, imported when first needed; a failing import propagates.

    The import statement costs more than building a record, so a module that is already
    loaded is taken from ``sys.modules`` directly.
    """
    storage = sys.modules.get(_STORAGE_MODULE)
    if storage is None:
        from ..utilities.persistence.storage import StoredRowValue

        return StoredRowValue
    return storage.StoredRowValue


#: What every record of a chunk shares: (operation, column name, pipeline id, tenant id).
#: A plain tuple: one is made per recording call, single values included.
ChunkHeader = tuple[str, str | None, Any, str | None]


@dataclass(slots=True)
class ValueChunk:
    """The values of one recording call, element by element in recording order.

    ``numbers`` is a float64 array (an array chunk) or a list of floats and Nones (a list
    chunk, which may grow). ``texts`` is None when every element is a number, else one
    entry per element: the cell's text, or None where the element is a number. In an
    array chunk the number of a text cell is a placeholder.
    """

    header: ChunkHeader
    rows: Column
    words: Column
    numbers: Column
    texts: list | None = None
    growable: bool = False  # a list chunk, which ``extend`` may grow

    def __len__(self) -> int:
        return len(self.rows)

    def part(self, start: int, stop: int) -> ValueChunk:
        if start == 0 and stop >= len(self.rows):
            return self
        texts = None if self.texts is None else self.texts[start:stop]
        return ValueChunk(
            self.header,
            self.rows[start:stop],
            self.words[start:stop],
            self.numbers[start:stop],
            texts,
            self.growable,
        )

    def extend(self, other: ValueChunk) -> None:
        """Add a list chunk's elements; rows go last, so a reader that sizes the chunk
        by its rows never sees a half-added element."""
        if other.texts is not None and self.texts is None:
            self.texts = [None] * len(self.numbers)
        if self.texts is not None:
            self.texts.extend(other.texts or [None] * len(other))
        self.numbers.extend(other.numbers)  # type: ignore[union-attr]
        self.words.extend(other.words)  # type: ignore[union-attr]
        self.rows.extend(other.rows)  # type: ignore[union-attr]

    def copy(self) -> ValueChunk:
        """A chunk that later growth of this one leaves alone (arrays are never changed)."""
        if not self.growable:
            return self
        texts = None if self.texts is None else list(self.texts)
        rows, words, numbers = list(self.rows), list(self.words), list(self.numbers)
        return ValueChunk(self.header, rows, words, numbers, texts, growable=True)

    def records(self, build) -> list:
        header = self.header
        n = len(self.rows)
        rows = _as_list(self.rows, n)
        words = _as_list(self.words, n)
        numbers = _as_list(self.numbers, n)
        if self.texts is None:
            texts: list = [None] * n
        else:
            texts = self.texts[:n]
            if not self.growable:  # a text cell's number is a placeholder
                numbers = [
                    None if t is not None else v for v, t in zip(numbers, texts, strict=True)
                ]
        operation, column, pipeline, tenant = header
        return [
            build(pipeline, row, word, operation, number, column, tenant, text)
            for row, word, number, text in zip(rows, words, numbers, texts, strict=True)
        ]


def _as_list(values: Column, n: int) -> list:
    """The first ``n`` entries as Python objects (numpy's numbers become ints and floats)."""
    if isinstance(values, np.ndarray):
        return values[:n].tolist()
    return list(values[:n])


def single_chunk(header: ChunkHeader, row: int, word: int, number, text) -> ValueChunk:
    """A list chunk of one element."""
    return ValueChunk(header, [row], [word], [number], None if text is None else [text], True)


class RowValueBuffer:
    """Row values not yet handed to a writer: a sequence of ``StoredRowValue`` records.

    Reading it (``len``, iteration, indexing, ``list(...)``, comparison with a list)
    gives the records that recording one value per call would have buffered. Callers
    hold the tracker's ``_value_buffer_lock`` around changes, as around a list.
    """

    __slots__ = ("_chunks", "_ends")

    def __init__(self, records: Sequence = ()) -> None:
        self._chunks: list[ValueChunk] = []
        self._ends: list[int] = []  # running element count at the end of each chunk
        for record in records:
            self.append(record)

    def add(self, chunk: ValueChunk) -> None:
        """Append a chunk's elements."""
        size = len(chunk.rows)
        if not size:
            return
        if chunk.growable:
            last = self._chunks[-1] if self._chunks else None
            if last is not None and last.growable and last.header == chunk.header:
                last.extend(chunk)
                self._ends[-1] += size
                return
            chunk = chunk.copy()  # the buffer may grow it; the caller's stays as it was
        self._ends.append(len(self) + size)
        self._chunks.append(chunk)

    def append(self, record: Any) -> None:
        """Append one record (anything with the fields of ``StoredRowValue``)."""
        header = (record.node_operation, record.column_name, record.pipeline_id, record.tenant_id)
        self.add(
            single_chunk(
                header, record.row_index, record.fingerprint, record.value, record.text_value
            )
        )

    def clear(self) -> None:
        self._chunks = []
        self._ends = []

    def copy(self) -> RowValueBuffer:
        twin = RowValueBuffer()
        twin._chunks = [chunk.copy() for chunk in self._chunks]
        twin._ends = list(self._ends)
        return twin

    def records(self) -> list:
        """Every record, built now, in recording order."""
        out: list = []
        for records in self._records_by_chunk():
            out.extend(records)
        return out

    def __len__(self) -> int:
        return self._ends[-1] if self._ends else 0

    def __iter__(self) -> Iterator:
        for records in self._records_by_chunk():
            yield from records

    def _records_by_chunk(self) -> Iterator[list]:
        chunks = list(self._chunks)
        if chunks:  # an empty buffer reads without the storage component
            build = record_builder(stored_row_value_type())
            for chunk in chunks:
                yield chunk.records(build)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return self.records()[index]
        position = index.__index__()
        size = len(self)
        if position < 0:
            position += size
        if not 0 <= position < size:
            raise IndexError("row-value buffer index out of range")
        at = bisect_right(self._ends, position)
        start = self._ends[at - 1] if at else 0
        chunk = self._chunks[at].part(position - start, position - start + 1)
        return chunk.records(record_builder(stored_row_value_type()))[0]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (list, RowValueBuffer)):
            return self.records() == list(other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"RowValueBuffer({len(self)} records in {len(self._chunks)} chunks)"

    def __getstate__(self) -> tuple:
        return ([chunk.copy() for chunk in self._chunks], list(self._ends))

    def __setstate__(self, state: tuple) -> None:
        self._chunks, self._ends = state


_FIELDS = (
    "pipeline_id",
    "row_index",
    "fingerprint",
    "node_operation",
    "value",
    "column_name",
    "tenant_id",
    "text_value",
)


_BUILDERS: dict = {}


def record_builder(record_type):
    """A function of the eight fields, in field order, that builds one record."""
    build = _BUILDERS.get(record_type)
    if build is None:
        build = _BUILDERS[record_type] = _new_record_builder(record_type)
    return build


def _new_record_builder(record_type):
    """A function of the eight fields, in field order, that builds one record.

    A plain dataclass with exactly these fields is filled in by assigning each field in
    order, which is all its generated ``__init__`` does, and much cheaper than passing
    eight keywords; any other record type gets its keyword constructor.
    """
    params = getattr(record_type, "__dataclass_params__", None)
    plain = (
        params is not None
        and params.init
        and not params.frozen
        and not hasattr(record_type, "__post_init__")
        and tuple(getattr(record_type, "__dataclass_fields__", {})) == _FIELDS
    )
    if not plain:

        def build_by_keywords(
            pipeline_id, row_index, fingerprint, operation, number, column, tenant, text
        ):
            return record_type(
                pipeline_id=pipeline_id,
                row_index=row_index,
                fingerprint=fingerprint,
                node_operation=operation,
                value=number,
                column_name=column,
                tenant_id=tenant,
                text_value=text,
            )

        return build_by_keywords
    new = object.__new__

    def build(pipeline_id, row_index, fingerprint, operation, number, column, tenant, text):
        record = new(record_type)
        record.pipeline_id = pipeline_id
        record.row_index = row_index
        record.fingerprint = fingerprint
        record.node_operation = operation
        record.value = number
        record.column_name = column
        record.tenant_id = tenant
        record.text_value = text
        return record

    return build
