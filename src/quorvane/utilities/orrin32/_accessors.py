"""The ``.str`` and ``.dt`` accessors of a tracked series: their results are tracked.

pandas builds accessor results as plain series (``.dt.year``) or from bare values: each
result element derives from the element at the same row, so it gets that element's word,
one MAP step further. A result of another shape (``.str.split(expand=True)`` is a frame:
every column derives from the series) follows the same rule per column.
"""

from __future__ import annotations

from typing import Any

from pandas import DataFrame, Series

from ._word import OpCode


class TrackedAccessor:
    def __init__(self, source: Any, accessor: Any) -> None:
        self._source = source
        self._accessor = accessor

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._accessor, name)
        if not callable(attribute):
            return self._tracked(attribute)

        def method(*args: Any, **kwargs: Any) -> Any:
            return self._tracked(attribute(*args, **kwargs))

        return method

    def __dir__(self) -> list[str]:
        return dir(self._accessor)

    def _tracked(self, result: Any) -> Any:
        source = self._source
        same_rows = isinstance(result, (Series, DataFrame)) and result.index.equals(source.index)
        if not same_rows or not source._tracker:
            return result
        words = source._chain_words(OpCode.MAP)
        if isinstance(result, Series):
            from ._series import TrackedSeries

            return TrackedSeries(result, _prov=words, _tracker=source._tracker)
        from ._frame import TrackedDataFrame

        return TrackedDataFrame(
            result, _tracker=source._tracker, _col_prov={label: words for label in result.columns}
        )
