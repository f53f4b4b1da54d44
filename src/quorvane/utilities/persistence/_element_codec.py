"""An ElementLog as Arrow tables and Arrow IPC bytes, and back.

Three tables make a log: its nodes (one row per node), its row identities (one row per
identity, numbered by position) and each result's (key, node) pairs. Operation names,
source columns and which optional columns the log has are small JSON (``log_meta``): the
store keeps it once per log and cuts the tables into blocks; the service takes and sends
the whole log as one body of concatenated IPC streams (nodes, identities, then one per
result), the JSON in the nodes stream's schema metadata.
pyarrow is imported here only, so the stores open without it until a log is written or read.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from typing import Any

import numpy as np

from ._element_log import ElementLog

#: the media type of a whole log's body on the service
ARROW_STREAM = "application/vnd.apache.arrow.stream"
_META = b"quorvane.element_log"


def arrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        raise ImportError(
            "per-element logs are stored as Arrow data: pip install 'quorvane[arrow]'"
        ) from None
    return pyarrow


def _optional_text(values: tuple[str | None, ...] | None, n: int) -> Any:
    """A text column, or one of Arrow's null type where the log has none: that holds no
    buffers, where a null text column of millions of rows costs its offsets."""
    pa = arrow()
    return pa.nulls(n) if values is None else pa.array(values, type=pa.string())


def _list(offsets: np.ndarray, values: np.ndarray) -> Any:
    pa = arrow()
    return pa.LargeListArray.from_arrays(
        pa.array(np.asarray(offsets, np.int64)), pa.array(np.asarray(values, np.int64))
    )


def log_meta(log: ElementLog) -> dict[str, Any]:
    """What a log holds besides its tables: small, kept as JSON."""
    return {
        "operations": list(log.operations),
        "sources": [[int(k), t, c, bool(p)] for k, (t, c, p) in log.sources.items()],
        "has_text": log.text is not None,
        "has_group": log.group is not None,
        "results": list(log.results),
    }


def node_table(log: ElementLog, arity: np.ndarray | None = None) -> Any:
    """The log's nodes as a table; ``arity``: each node's number of inputs, when the caller
    has them already."""
    pa = arrow()
    n = log.size
    if arity is None:
        arity = np.diff(np.asarray(log.input_start, np.int64))
    columns = {
        "node_id": pa.array(np.asarray(log.node_id, np.int64)),
        "node_type": pa.array(np.asarray(log.node_type, np.uint8)),
        "operation": pa.array(np.asarray(log.operation, np.int32)),
        "word": pa.array(np.asarray(log.word, np.int64)),
        "inputs": _list(log.input_start, log.inputs),
        "arity": pa.array(arity),
        "value": pa.array(np.asarray(log.value, np.float64)),
        "text": _optional_text(log.text, n),
        "row": pa.array(np.asarray(log.row, np.int64)),
        "protected": pa.array(np.asarray(log.protected, np.bool_)),
        "group": _optional_text(log.group, n),
    }
    return pa.table(columns)


def identity_table(log: ElementLog) -> Any:
    pa = arrow()
    return pa.table(
        {
            "kind": pa.array(np.asarray(log.identity_kind, np.uint8)),
            "table": pa.array(log.identity_table, type=pa.string()),
            "key": pa.array(log.identity_key, type=pa.string()),
            "members": _list(log.member_start, log.members),
            "member_count": pa.array(np.diff(np.asarray(log.member_start, np.int64))),
        }
    )


def result_table(
    keys: np.ndarray, nodes: np.ndarray, *, sort: bool, rows: np.ndarray | None = None
) -> Any:
    """A result's (key, node) pairs, with each key's source row when ``rows`` gives them;
    sorted by key (byte order, which is the code point order Python compares text in) when
    ``sort``."""
    pa = arrow()
    columns = {
        "key": pa.array(np.asarray(keys, object), type=pa.string()),
        "node": pa.array(np.asarray(nodes, np.int64)),
    }
    if rows is not None:
        columns["row"] = pa.array(np.asarray(rows, np.int64))
    table = pa.table(columns)
    if sort:
        table = table.take(pa.compute.sort_indices(table, [("key", "ascending")]))
    return table


def member_table(columns: dict[str, np.ndarray]) -> Any:
    """The inputs of a log's group aggregates by (aggregate, source row, position)."""
    pa = arrow()
    return pa.table({name: pa.array(np.asarray(v, np.int64)) for name, v in columns.items()})


def to_bytes(table: Any, compression: str | None = None) -> bytes:
    """One table as one Arrow IPC stream."""
    pa = arrow()
    sink = pa.BufferOutputStream()
    options = pa.ipc.IpcWriteOptions(compression=compression)
    with pa.ipc.new_stream(sink, table.schema, options=options) as writer:
        writer.write_table(table)
    return sink.getvalue().to_pybytes()


def from_bytes(data: bytes | memoryview) -> Any:
    """The table of one IPC stream; a node block the store keeps stepped (see
    ``stepped_blocks``) comes back as the log's node table has it."""
    return unstepped(arrow().ipc.open_stream(data).read_all())


#: The node table's columns a store keeps as differences, and their names when stepped.
#: One operation's nodes follow one another, over inputs that follow one another (the
#: nodes of the operation before, the cells of a column), of rows that follow one another:
#: their differences repeat, which lz4 all but removes, where the ids themselves take
#: most of a stored node's bytes.
STEPPED = {"node_id": "node_id_step", "row": "row_step", "inputs": "inputs_step"}


def blocks(table: Any, firsts: np.ndarray) -> Iterator[Any]:
    """The blocks of a table cut at the rows ``firsts`` (an empty table: one empty block)."""
    ends = [*firsts[1:].tolist(), table.num_rows]
    for start, end in zip(firsts.tolist(), ends, strict=True):
        yield table.slice(start, max(end - start, 0))


#: The node table's whole-number columns a store keeps in the narrowest of these types their
#: block's entries fit (read back as the table's int64): half the bytes to compress,
#: which is most of what storing a block costs.
NARROWED = ("word", "arity")
_NARROW_TYPES = (np.uint8, np.int32, np.uint32)


def stepped_blocks(table: Any, firsts: np.ndarray) -> Iterator[Any]:
    """The blocks of a node table (cut at the rows ``firsts``) as a store keeps them: the
    ids and rows of each as the difference from the row before (its first as it is), and
    its inputs too where every node of it has as many as its first (each operand from the
    same operand of the node before); those and the ``NARROWED`` columns in the narrowest
    type that holds them. The differences of ids and rows are made for the whole table at
    once (the caller's table is one part of a log: memory the allocator hands out again)."""
    pa = arrow()
    n = table.num_rows
    columns = {name: _whole(table.column(name)) for name in table.column_names}
    firsts = np.asarray(firsts, np.int64)
    numbers = {
        name: _block_steps(np.asarray(columns[name].to_numpy(), np.int64), firsts)
        for name in ("node_id", "row")
    }
    numbers |= {name: np.asarray(columns[name].to_numpy(), np.int64) for name in NARROWED}
    kinds = {name: _narrow_kinds(column, firsts) for name, column in numbers.items()}
    offsets, values = _offsets_and_values(columns["inputs"])
    ends = [*firsts[1:].tolist(), n]
    for number, (start, end) in enumerate(zip(firsts.tolist(), ends, strict=True)):
        length = max(end - start, 0)
        block = {name: columns[name].slice(start, length) for name in table.column_names}
        for name in ("node_id", "row", *NARROWED):
            del block[name]
            narrowed = numbers[name][start:end].astype(kinds[name][number], copy=False)
            block[STEPPED.get(name, name)] = pa.array(narrowed)
        low, high = int(offsets[start]), int(offsets[start + length])
        arity = int(offsets[start + 1]) - low if length else 0
        if arity and high - low == arity * length:
            # every node has ``arity`` inputs: a fixed-size list, whose offsets (a number
            # per node that no compression removes) are implied
            lanes = _narrowed(_steps(values[low:high].reshape(length, arity)).reshape(-1))
            del block["inputs"]
            block[STEPPED["inputs"]] = pa.FixedSizeListArray.from_arrays(pa.array(lanes), arity)
        names = [_stored_name(name, block) for name in table.column_names]
        yield pa.Table.from_arrays([block[name] for name in names], names)


def _block_steps(values: np.ndarray, firsts: np.ndarray) -> np.ndarray:
    """Differences from the entry before, each block's first entry (at ``firsts``) as it
    is (int64 arithmetic wraps, and the running sum undoes it exactly)."""
    out = _steps(values)
    kept = firsts[firsts < len(values)]
    out[kept] = values[kept]
    return out


def _narrowed(values: np.ndarray) -> np.ndarray:
    """``values`` (int64) in the narrowest of ``_NARROW_TYPES`` that holds them all."""
    if not len(values):
        return values
    return values.astype(_narrowest(int(values.min()), int(values.max())), copy=False)


def _narrow_kinds(values: np.ndarray, firsts: np.ndarray) -> list[Any]:
    """The narrowest type of each block of ``values`` (blocks from ``firsts``): their
    least and greatest entries are found for all blocks at once."""
    n = len(values)
    kinds: list[Any] = [np.int64] * len(firsts)
    filled = np.flatnonzero(firsts < n)
    if len(filled) and n:
        starts = firsts[filled]
        lows = np.minimum.reduceat(values, starts).tolist()
        highs = np.maximum.reduceat(values, starts).tolist()
        for at, low, high in zip(filled.tolist(), lows, highs, strict=True):
            kinds[at] = _narrowest(low, high)
    return kinds


_LIMITS = [(kind, int(np.iinfo(kind).min), int(np.iinfo(kind).max)) for kind in _NARROW_TYPES]


def _narrowest(low: int, high: int) -> Any:
    for kind, least, most in _LIMITS:
        if least <= low and high <= most:
            return kind
    return np.int64


def _stored_name(name: str, block: dict) -> str:
    """A node table's column's name in a stored block: its stepped name where it has one."""
    return name if name in block else STEPPED[name]


def _whole(column: Any) -> Any:
    """A table's column as one array (without a copy where it is one chunk)."""
    return column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()


def unstepped(table: Any) -> Any:
    """A block of ``stepped_blocks`` as the node table has it (its ``NARROWED`` columns
    as stored: they are read as int64); any other table as it is."""
    if STEPPED["node_id"] not in table.column_names:
        return table
    pa = arrow()
    for name in ("node_id", "row"):
        steps = _numbers(table, STEPPED[name], np.int64)
        table = _renamed(table, STEPPED[name], name, pa.array(np.cumsum(steps)))
    if STEPPED["inputs"] in table.column_names:
        offsets, steps = _offsets_and_values(table.column(STEPPED["inputs"]))
        lanes = np.cumsum(steps.reshape(table.num_rows, -1), axis=0).reshape(-1)
        table = _renamed(table, STEPPED["inputs"], "inputs", _list(offsets, lanes))
    return table


def _steps(values: np.ndarray) -> np.ndarray:
    """Differences along the first axis, the first entry as it is (int64 arithmetic
    wraps, and the running sum undoes it exactly)."""
    out = values.copy()
    out[1:] -= values[:-1]
    return out


def _renamed(table: Any, name: str, new_name: str, column: Any) -> Any:
    return table.set_column(table.schema.get_field_index(name), new_name, column)


def _offsets_and_values(column: Any) -> tuple[np.ndarray, np.ndarray]:
    """A list column's offsets (from 0) and flat values as numpy arrays (copied only
    where the column is in several chunks, or a slice): a large list's, or a fixed-size
    list's (a stepped block's inputs, stored so since version 2 of the blocks)."""
    array = column.combine_chunks() if hasattr(column, "combine_chunks") else column
    if arrow().types.is_fixed_size_list(array.type):
        size = array.type.list_size
        values = np.asarray(array.flatten().to_numpy(zero_copy_only=False), np.int64)
        return np.arange(len(array) + 1, dtype=np.int64) * size, values
    offsets = np.asarray(array.offsets.to_numpy(), np.int64)
    values = np.asarray(array.values.to_numpy(zero_copy_only=False), np.int64)
    start, end = (int(offsets[0]), int(offsets[-1])) if len(offsets) else (0, 0)
    return (offsets - start if start else offsets), values[start:end]


def _numbers(table: Any, name: str, dtype: Any) -> np.ndarray:
    return table.column(name).to_numpy().astype(dtype, copy=False)


def log_from_tables(
    meta: dict[str, Any], nodes: Any, identities: Any, results: dict[str, Any]
) -> ElementLog:
    """The ElementLog of the three tables (checked by the log itself)."""
    input_start, inputs = _offsets_and_values(nodes.column("inputs"))
    member_start, members = _offsets_and_values(identities.column("members"))
    return ElementLog(
        node_id=_numbers(nodes, "node_id", np.int64),
        node_type=_numbers(nodes, "node_type", np.uint8),
        operation=_numbers(nodes, "operation", np.int32),
        operations=tuple(meta["operations"]),
        word=_numbers(nodes, "word", np.int64),
        input_start=input_start,
        inputs=inputs,
        value=_numbers(nodes, "value", np.float64),
        text=tuple(nodes.column("text").to_pylist()) if meta["has_text"] else None,
        row=_numbers(nodes, "row", np.int64),
        protected=_numbers(nodes, "protected", np.bool_),
        identity_kind=_numbers(identities, "kind", np.uint8),
        identity_table=tuple(identities.column("table").to_pylist()),
        identity_key=tuple(identities.column("key").to_pylist()),
        member_start=member_start,
        members=members,
        sources={int(k): (t, c, bool(p)) for k, t, c, p in meta["sources"]},
        group=tuple(nodes.column("group").to_pylist()) if meta["has_group"] else None,
        results={
            name: (
                np.asarray(table.column("key").to_pylist(), dtype=object),
                _numbers(table, "node", np.int64),
            )
            for name, table in results.items()
        },
    )


def meta_of(nodes: Any) -> dict[str, Any]:
    metadata = nodes.schema.metadata or {}
    if _META not in metadata:
        raise ValueError("the first stream of an element log must carry the log's metadata")
    meta = json.loads(metadata[_META])
    if not isinstance(meta, dict):
        raise ValueError("the element log's metadata must be a JSON object")
    return meta


# -- the whole log as one body: concatenated IPC streams ---------------------------------------
def element_log_to_stream(log: ElementLog, compression: str | None = "lz4") -> Iterator[bytes]:
    """The log as IPC streams one after the other: nodes, identities, then each result in
    the order the metadata names them."""
    meta = {_META: json.dumps(log_meta(log))}
    yield to_bytes(node_table(log).replace_schema_metadata(meta), compression)
    yield to_bytes(identity_table(log), compression)
    for keys, nodes in log.results.values():
        yield to_bytes(result_table(keys, nodes, sort=False), compression)


def element_log_from_stream(data: bytes | memoryview) -> ElementLog:
    pa = arrow()
    source = pa.BufferReader(data)

    def next_table() -> Any:
        return pa.ipc.open_stream(source).read_all()

    try:
        nodes = next_table()
        meta = meta_of(nodes)
        identities = next_table()
        results = {str(name): next_table() for name in meta["results"]}
        if source.tell() != source.size():
            raise ValueError("the body goes on after the element log's last stream")
        return log_from_tables(meta, nodes, identities, results)
    except (pa.ArrowException, KeyError, TypeError) as exc:
        raise ValueError(f"not an element log: {exc}") from None
