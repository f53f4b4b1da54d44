"""The Arrow extension type of words columns: Parquet files and Arrow streams keep the words.

A words column is stored as a struct of its values, their words and (DAG road) node ids.
The type's metadata, part of the file's schema, names the value dtype and holds the
tracker's registry (see ``_registry``), so a reading process can interpret the words: reading
gives back words columns attached to the live tracker of the writer's lineage.
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa

from . import _registry, _trackers
from ._array import WordsArray
from ._dtype import WordsDtype

EXTENSION_NAME = "quorvane.words"


class WordsArrowType(pa.ExtensionType):
    def __init__(self, value_type: pa.DataType, metadata: str, node_ids: bool) -> None:
        self._metadata = metadata
        fields = [pa.field("value", value_type), pa.field("word", pa.uint32(), nullable=False)]
        if node_ids:
            fields.append(pa.field("node_id", pa.int64(), nullable=False))
        super().__init__(pa.struct(fields), EXTENSION_NAME)

    def __arrow_ext_serialize__(self) -> bytes:
        return self._metadata.encode()

    @classmethod
    def __arrow_ext_deserialize__(cls, storage_type: pa.DataType, serialized: bytes):
        value_type = storage_type.field("value").type
        return cls(value_type, serialized.decode(), storage_type.num_fields == 3)

    def __reduce__(self) -> tuple:
        return (WordsArrowType, (self.storage_type.field("value").type, self._metadata,
                                 self.storage_type.num_fields == 3))  # fmt: skip

    def reading(self) -> tuple[WordsDtype, Any]:
        """The pandas dtype of this column here, and the translation of its words."""
        metadata = json.loads(self._metadata)
        tracker, translation = None, None
        if metadata["registry"] is not None:
            tracker, translation = _registry.load(metadata["registry"])
        return WordsDtype(metadata["numpy_dtype"], tracker), translation

    def to_pandas_dtype(self) -> WordsDtype:
        return self.reading()[0]


def arrow_array(array: WordsArray) -> pa.ExtensionArray:
    tracker = array.dtype.tracker
    metadata = json.dumps({
        "numpy_dtype": _values_name(array.dtype),
        "registry": None if tracker is None else _registry.dump(tracker),
    })  # fmt: skip
    values = pa.array(array._plain, from_pandas=True)
    children = [values, pa.array(array.words, type=pa.uint32())]
    if array.node_ids is not None:
        children.append(pa.array(array.node_ids, type=pa.int64()))
    arrow_type = WordsArrowType(values.type, metadata, array.node_ids is not None)
    storage = pa.StructArray.from_arrays(children, fields=list(arrow_type.storage_type))
    return pa.ExtensionArray.from_storage(arrow_type, storage)


def _values_name(dtype: WordsDtype) -> str:
    """The values' dtype as the file names it: numpy's, or pandas' string dtype's name."""
    text = dtype.text_dtype
    return dtype.numpy_dtype.str if text is None else text.name


def array_from_arrow(data: pa.Array | pa.ChunkedArray, dtype: WordsDtype) -> WordsArray:
    chunks = data.chunks if isinstance(data, pa.ChunkedArray) else [data]
    parts = [_chunk(chunk, dtype) for chunk in chunks]
    if not parts:
        return WordsArray._from_sequence([], dtype=dtype)
    return WordsArray._concat_same_type(parts)


def _chunk(chunk: pa.Array, dtype: WordsDtype) -> WordsArray:
    if isinstance(chunk, pa.ExtensionArray):
        translation = chunk.type.reading()[1]
        chunk = chunk.storage
    else:
        translation = None
    values = chunk.field("value").to_numpy(zero_copy_only=False)
    values = values.astype(dtype.numpy_dtype, copy=False)
    if dtype.kind == "O":  # Arrow's nulls, as the plain column has its gaps
        values = np.where(pd.isna(values), dtype.na_value, values)
    words = _trackers.translate(chunk.field("word").to_numpy(), translation)
    ids = chunk.field("node_id").to_numpy() if chunk.type.num_fields == 3 else None
    return WordsArray(np.array(values), np.array(words, np.uint32), dtype, ids)


pa.register_extension_type(
    WordsArrowType(pa.float64(), '{"numpy_dtype": "<f8", "registry": null}', False)
)
