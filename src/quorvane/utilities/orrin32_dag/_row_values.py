"""Row value recording: the buffer of per-element values that goes to the writer in batches.

``record_row_value`` is bound into the ``DAGTracker`` class body; ``self`` is the tracker.
"""

from __future__ import annotations

import sys

import numpy as np
import pandas as pd

from .._checks import as_int, exact
from ._log import logger

#: Most records the row-value buffer holds. A tracker without a writer (memory-only) would
#: otherwise keep every value of every operation; past the cap the newest values are
#: dropped and the oldest kept, so that a later ``flush`` still hands them over. A tracker
#: may carry its own bound in ``_value_buffer_cap``.
VALUE_BUFFER_CAP = 1_000_000

_STORAGE_MODULE = __package__.rpartition(".")[0] + ".persistence.storage"


def _stored_row_value_type():
    """``StoredRowValue``, imported when first needed; a failing import propagates.

    The import statement costs more than the rest of a call, so a module that is already
    loaded is taken from ``sys.modules`` directly.
    """
    storage = sys.modules.get(_STORAGE_MODULE)
    if storage is None:
        from ..persistence.storage import StoredRowValue

        return StoredRowValue
    return storage.StoredRowValue


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
    # Exact types skip the general checks: this runs once per recorded element.
    if type(row_index) is not int:
        row_index = as_int("row_index", row_index)
    if type(fingerprint) is not int:
        fingerprint = as_int("fingerprint", fingerprint)
    if type(operation) is not str:
        exact("operation", operation, str)
    if column_name is not None and type(column_name) is not str:
        exact("column_name", column_name, str, optional=True)
    record_type = _stored_row_value_type()
    if type(value) is float:
        number, text = value, None
    else:
        number, text = _numeric_or_text(value)
    record = record_type(
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
    first_drop = False
    with self._value_buffer_lock:
        buffer = self._value_buffer
        if len(buffer) < cap:
            buffer.append(record)
            if getattr(self, "_value_drop_warned", False):
                self._value_drop_warned = False  # room again: a later drop warns anew
        else:
            first_drop = _count_drop(self)
        if self._writer and len(buffer) >= self._value_flush_threshold:
            self._writer.write_row_values(list(buffer))
            buffer.clear()
    if first_drop:
        logger.warning(
            "row-value buffer is full (%d records): further row values are dropped until "
            "a writer takes the buffered ones (enable persistence and flush)",
            cap,
        )


def _count_drop(self) -> bool:
    """Count one dropped record; True when it starts a run of drops (warn once).

    Runs with ``_value_buffer_lock`` held. The count lives on the tracker
    (``_values_dropped``); a run ends, and the warning re-arms, once the buffer has
    room again.
    """
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


def present_cells(values) -> tuple[list | range, list]:
    """The positions of the elements that are not missing, and every element by position
    (numeric ones as Python numbers). A numeric array is tested for NaN in one pass."""
    if isinstance(values, np.ndarray) and values.dtype.kind in "biuf":
        cells = values.tolist()
        if values.dtype.kind == "f":
            return np.flatnonzero(~np.isnan(values)).tolist(), cells
        return range(len(cells)), cells
    cells = list(values)
    return [i for i, value in enumerate(cells) if not is_missing(value)], cells


def record_values(
    tracker, values, words: list, operation: str, column_name: str | None = None
) -> None:
    """Record element i of ``values`` under ``words[i]`` for every element not missing.

    Recording is best effort: a failure skips that element's record, never its word or
    node. Failures are counted and logged once per call rather than per element.
    """
    record = tracker.record_row_value
    positions, cells = present_cells(values)
    failed = 0
    first_error: BaseException | None = None
    for i in positions:
        try:
            record(i, words[i], operation, cells[i], column_name=column_name)
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
