"""TrackedSeries: a pandas Series that carries one ORRIN-32 word per element."""

from __future__ import annotations

from typing import Any, ClassVar

import numpy as np

from ...core import _lineage
from ...tracking._caller_warnings import report_warnings_at_caller
from ...tracking._series import WORDS, TrackingSeries, absent_entries

__all__ = ["WORDS", "TrackedSeries", "no_words"]


def no_words(n: int) -> np.ndarray:
    """``n`` words 0, as a read-only view that costs nothing."""
    return absent_entries(WORDS, n)


class TrackedSeries(TrackingSeries):
    """Pandas Series with ORRIN-32 provenance (taint + depth aware)."""

    _metadata: ClassVar[list[str]] = ["_name", "_prov", "_tracker"]

    def __setstate__(self, state: Any) -> None:
        super().__setstate__(state)
        # words made in another process are translated into this process' tracker
        _lineage.come_home(self, "_prov", per_column=False)


report_warnings_at_caller(TrackedSeries)
