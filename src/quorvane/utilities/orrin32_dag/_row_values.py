"""Row value recording: the buffer of per-element values that goes to the writer in batches.

``record_row_value`` is bound into the ``DAGTracker`` class body; ``self`` is the tracker.
"""

from __future__ import annotations

import logging

import numpy as np
import pandas as pd

from ..orrin32._checks import as_int, require_type

logger = logging.getLogger("quorvane.utilities.orrin32_dag")

#: Most records the row-value buffer holds. A tracker without a writer (memory-only) would
#: otherwise keep every value of every operation; past the cap the newest values are
#: dropped and the oldest kept, so that a later ``flush`` still hands them over. A tracker
#: may carry its own bound in ``_value_buffer_cap``.
VALUE_BUFFER_CAP = 1_000_000


def _numeric_or_text(value) -> tuple[float | None, str | None]:
    """The (value, text_value) pair of a record: float when it converts, else its text."""
    if value is None:
        return None, None
    if isinstance(value, (complex, np.complexfloating)):
        # float() of a numpy complex silently drops the imaginary part; keep the text,
        # as float() of a Python complex already does.
        return None, str(value)
    try:
        return float(value), None
    except (ValueError, TypeError, OverflowError):
        return None, str(value)


def record_row_value(
    self,
    row_index: int,
    fingerprint: int,
    operation: str,
    value=None,
    column_name: str | None = None,
) -> None:
    """Buffer a per-row value for later persistence."""
    row_index = as_int(row_index, "row_index")
    fingerprint = as_int(fingerprint, "fingerprint")
    require_type(operation, "operation", str)
    require_type(column_name, "column_name", str, optional=True)
    from ..persistence.storage import StoredRowValue

    number, text = _numeric_or_text(value)
    record = StoredRowValue(
        pipeline_id=self._pipeline_id or 0,
        row_index=row_index,
        fingerprint=fingerprint,
        node_operation=operation,
        value=number,
        column_name=column_name,
        tenant_id=self._tenant_id,
        text_value=text,
    )
    cap = getattr(self, "_value_buffer_cap", VALUE_BUFFER_CAP)
    with self._value_buffer_lock:
        buffer = self._value_buffer
        first_drop = _buffer(self, buffer, record, cap)
        if self._writer and len(buffer) >= self._value_flush_threshold:
            self._writer.write_row_values(list(buffer))
            buffer.clear()
    if first_drop:
        logger.warning(
            "row-value buffer is full (%d records): further row values are dropped until "
            "a writer takes the buffered ones (enable persistence and flush)",
            cap,
        )


def _buffer(self, buffer: list, record, cap: int) -> bool:
    """Append ``record`` unless the buffer is full; True when this starts a run of drops.

    Runs with ``_value_buffer_lock`` held. The drop count lives on the tracker
    (``_values_dropped``); the warning flag re-arms once the buffer has room again.
    """
    if len(buffer) < cap:
        buffer.append(record)
        self._value_drop_warned = False
        return False
    self._values_dropped = getattr(self, "_values_dropped", 0) + 1
    if getattr(self, "_value_drop_warned", False):
        return False
    self._value_drop_warned = True
    return True


# -- helpers of the containers, which record the values of the elements they produce ------


def is_missing(value) -> bool:
    """None, a NaN float, or a pandas missing marker (NA, NaT): nothing to record."""
    if value is None or value is pd.NA or value is pd.NaT:
        return True
    if isinstance(value, (float, np.floating)):
        return bool(np.isnan(value))
    if isinstance(value, (np.datetime64, np.timedelta64)):
        return bool(np.isnat(value))
    return False


def python_cells(values) -> list:
    """The elements of a value array by position, numeric ones as Python numbers."""
    if isinstance(values, np.ndarray) and values.dtype.kind in "biuf":
        return values.tolist()
    return list(values)


def record_values(
    tracker, cells: list, words: list, operation: str, column_name: str | None = None
) -> None:
    """Record ``cells[i]`` under word ``words[i]`` for every element that is not missing.

    Recording is best effort: a failure skips that element's record, never its word or
    node. Failures are counted and logged once per call rather than per element.
    """
    record = tracker.record_row_value
    failed = 0
    first_error: BaseException | None = None
    for i, (value, word) in enumerate(zip(cells, words)):
        if is_missing(value):
            continue
        try:
            record(i, word, operation, value, column_name=column_name)
        except Exception as exc:  # noqa: BLE001 - best effort by design; logged below
            failed += 1
            first_error = first_error or exc
    if failed:
        logger.warning(
            "row values of %d element(s) of %r were not recorded: %r",
            failed,
            operation,
            first_error,
        )
