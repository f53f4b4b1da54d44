"""The ``.str``, ``.dt`` and ``.cat`` accessors of a tracked series: their results are tracked.

pandas builds accessor results as plain series (``.dt.year``) or from bare values: each
result element derives from the element at the same row, so it takes that element's
provenance one MAP step further (the series' family says what a step is: on the DAG road
one node per element), combined with the same row's of any tracked series passed in
(``.str.cat(others)``). A result of another shape (``.str.split(expand=True)`` is a frame:
every column derives from the series) follows the same rule per column.
"""

from __future__ import annotations

from typing import Any

from pandas import DataFrame, Series

from ..core._word import OpCode
from . import _compat
from ._array import WordsArray
from ._caller_warnings import report_warnings_at_caller


class TrackedAccessor:
    def __init__(self, source: Any, accessor: Any, prefix: str) -> None:
        self._source = source
        self._accessor = accessor
        self._prefix = prefix

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._accessor, name)
        op_name = f"{self._prefix}.{name}"
        if not callable(attribute):
            return self._tracked(attribute, op_name, [])

        def method(*args: Any, **kwargs: Any) -> Any:
            from ._calls import _flatten

            family = self._source._fields
            others = [
                x
                for x in _flatten([*args, *kwargs.values()])
                if getattr(x, "_fields", None) == family and isinstance(x, Series)
            ]
            return self._tracked(attribute(*args, **kwargs), op_name, others)

        return method

    def __getitem__(self, key: Any) -> Any:
        # ``s.str[0]``, ``s.str[:3]``: each element's item or slice
        return self._tracked(self._accessor[key], f"{self._prefix}[]", [])

    def __dir__(self) -> list[str]:
        return dir(self._accessor)

    def _tracked(self, result: Any, op_name: str, others: list) -> Any:
        source = self._source
        same_rows = isinstance(result, (Series, DataFrame)) and result.index.equals(source.index)
        if not same_rows or not source._tracker:
            return result
        if isinstance(result, Series):
            return source._elementwise(result, op_name, OpCode.MAP, others)
        columns = {label: source._elementwise(result[label], op_name, OpCode.MAP, others)
                   for label in result.columns}  # fmt: skip
        mappings = {
            f.frame_attr: {label: getattr(c, f.series_attr) for label, c in columns.items()}
            for f in source._fields
        }
        # the frame of the columns made, whose arrays hold their words, as they are
        made = dict(columns.items())
        return source._constructor_expanddim(
            made, index=result.index, copy=False, _tracker=source._tracker, **mappings
        )


def _plain_column(series: Any) -> Any:
    """pandas' own series of ``series``' values, where a words array holds them: pandas'
    text methods work on its own arrays only."""
    array = series.array
    if not isinstance(array, WordsArray):
        return series
    values = array.plain()
    return Series(values, index=series.index, name=series.name, dtype=values.dtype, copy=False)


class SeriesAccessors:
    """``.str``, ``.dt`` and ``.cat`` of a tracked series (either road): pandas' accessors, their
    results stepped through the series' own ``_elementwise``."""

    # Named after pandas' accessors, these shadow the builtin str in a class body that
    # inherits them: annotations there say builtins.str.

    @property
    def str(self) -> Any:
        return TrackedAccessor(self, _compat.series_accessor(_plain_column(self), "str"), "str")

    @property
    def dt(self) -> Any:
        return TrackedAccessor(self, _compat.series_accessor(self, "dt"), "dt")

    @property
    def cat(self) -> Any:
        return TrackedAccessor(self, _compat.series_accessor(self, "cat"), "cat")


report_warnings_at_caller(TrackedAccessor)
