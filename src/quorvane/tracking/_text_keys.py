"""Text join keys of pandas' string dtype, paired as numbers in the order of the text.

pandas pairs the keys of its own Arrow-backed string arrays through Arrow's dictionary
encoding of both sides together. Keys in words arrays it would pair as Python objects, at
twice its time. So the join takes each such key as the rank of its value among the values
of both sides (a missing value last, as pandas puts it): equal text, equal numbers, in the
same order, so pandas pairs and orders the rows as it does the text; the words ride with
the numbers, and the result's key columns get their text back by the ranks.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd


def paired_by_arrow(dtype: Any) -> bool:
    """Whether pandas pairs keys of ``dtype`` through Arrow's dictionary encoding."""
    return isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow"


class TextKeys:
    """The ranks of the values of two key columns of one string dtype, and the values back."""

    def __init__(self, left: Any, right: Any, dtype: pd.StringDtype) -> None:
        import pyarrow as pa
        import pyarrow.compute as pc

        both = pa.chunked_array([*_chunks(left), *_chunks(right)]).combine_chunks()
        encoded = both.dictionary_encode()
        order = np.asarray(pc.array_sort_indices(encoded.dictionary))
        rank = np.empty(len(order), dtype=np.int64)
        rank[order] = np.arange(len(order), dtype=np.int64)
        indices = encoded.indices.to_numpy(zero_copy_only=False)  # float, NaN for a gap
        gaps = np.isnan(indices) if indices.dtype.kind == "f" else np.zeros(len(indices), bool)
        codes = np.full(len(indices), len(order), dtype=np.int64)  # a gap after every value
        codes[~gaps] = rank[indices[~gaps].astype(np.int64)]
        self.left, self.right = codes[: len(left)], codes[len(left) :]
        self._values = encoded.dictionary.take(pa.array(order))
        self._dtype = dtype

    def text(self, codes: np.ndarray) -> Any:
        """The text of ``codes`` (NaN, or the gap's rank: a gap) as pandas' string array."""
        import pyarrow as pa

        codes = np.asarray(codes, dtype=np.float64)
        gaps = np.isnan(codes) | (codes >= len(self._values))
        positions = pa.array(np.where(gaps, 0, codes).astype(np.int64), mask=gaps)
        return pd.array(self._values.take(positions), dtype=self._dtype)


def _chunks(values: Any) -> list:
    import pyarrow as pa

    arrow = pa.array(values)
    return arrow.chunks if isinstance(arrow, pa.ChunkedArray) else [arrow]
