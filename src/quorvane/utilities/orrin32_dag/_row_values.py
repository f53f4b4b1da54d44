"""Row value recording: the buffer of per-element values that goes to the writer in batches.

``record_row_value`` is bound into the ``DAGTracker`` class body; ``self`` is the tracker.
"""

from __future__ import annotations

import sys
from typing import Any

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
    row_index = as_int("row_index", row_index)
    fingerprint = as_int("fingerprint", fingerprint)
    exact("operation", operation, str)
    exact("column_name", column_name, str, optional=True)
    build = _record_builder(_stored_row_value_type())
    number: float | None
    if type(value) is float:
        number, text = value, None
    else:
        number, text = _numeric_or_text(value)
    record = build(
        self._pipeline_id or 0,
        row_index,
        fingerprint,
        operation,
        number,
        column_name,
        self._tenant_id,
        text,
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
        _warn_full(self, cap)


def _warn_full(self, cap: int | None = None) -> None:
    logger.warning(
        "row-value buffer is full (%d records): further row values are dropped until "
        "a writer takes the buffered ones (enable persistence and flush)",
        getattr(self, "_value_buffer_cap", VALUE_BUFFER_CAP) if cap is None else cap,
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


def _numbers(values, cells: list) -> list | None:
    """The float of every element of an integer or boolean array, converted by numpy in
    one pass; None for other values.

    numpy's cast and float() both round to the nearest double, so the numbers are those
    that float() gives element by element. uint64 is left to float().
    """
    if not isinstance(values, np.ndarray) or values.dtype.kind not in "biu":
        return None
    if values.dtype.kind == "u" and values.dtype.itemsize >= 8:
        return None
    return values.astype(np.float64).tolist()


def record_values(
    tracker, values, words: Any, operation: str, column_name: str | None = None
) -> None:
    """Record element i of ``values`` under ``words[i]`` for every element not missing.

    Recording is best effort: a failure skips that element's record, never its word or
    node. Failures are counted and logged once per call rather than per element.
    """
    positions, cells = present_cells(values)
    if _plain_recording(tracker, operation, column_name):
        failed, first_error = _record_batch(
            tracker, positions, cells, _numbers(values, cells), words, operation, column_name
        )
    else:
        failed, first_error = _record_each(tracker, positions, cells, words, operation, column_name)
    if failed:
        logger.warning(
            "row values of %d element(s) of %r were not recorded: %r",
            failed,
            operation,
            first_error,
        )


def _record_each(tracker, positions, cells, words, operation, column_name):
    """One ``record_row_value`` call per element; (failures, first error)."""
    record = tracker.record_row_value
    failed = 0
    first_error: BaseException | None = None
    for i in positions:
        try:
            record(i, words[i], operation, cells[i], column_name=column_name)
        except Exception as exc:  # noqa: BLE001 - best effort by design; logged by caller
            failed += 1
            first_error = first_error or exc
    return failed, first_error


def _plain_recording(tracker, operation, column_name) -> bool:
    """Whether the tracker records with this module's own ``record_row_value`` (not one
    replaced on its class or on the tracker) and the call-wide arguments need no check."""
    if getattr(type(tracker), "record_row_value", None) is not record_row_value:
        return False
    if "record_row_value" in getattr(tracker, "__dict__", {}):
        return False
    return type(operation) is str and (column_name is None or type(column_name) is str)


def _record_batch(tracker, positions, cells, numbers, words, operation, column_name):
    """What one ``record_row_value`` call per element does, with the buffer lock taken
    once: the same records, appended in the same order, with the cap, the drop count and
    warning, and the hand-over at ``_value_flush_threshold`` tested after every append.

    Records are built before the lock is taken (a value's own float conversion may run
    any code). Returns (failures, first error) as the per-element calls would raise them.
    """
    if not positions:
        return 0, None
    try:
        build = _record_builder(_stored_row_value_type())
        import_error = None
    except Exception as exc:  # noqa: BLE001 - every element's call raises it after its checks
        build, import_error = None, exc
    pipeline_id = tracker._pipeline_id or 0
    tenant_id = tracker._tenant_id
    failed = 0
    first_error: BaseException | None = None
    records: list = []  # one entry per position: a record, or None where building failed
    add = records.append
    for i in positions:
        try:
            fingerprint = as_int("fingerprint", words[i])
            if import_error is not None:
                raise import_error
            if numbers is not None:
                number, text = numbers[i], None
            else:
                value = cells[i]
                if type(value) is float:
                    number, text = value, None
                else:
                    number, text = _numeric_or_text(value)
            add(build(pipeline_id, i, fingerprint, operation, number, column_name, tenant_id, text))
        except Exception as exc:  # noqa: BLE001 - best effort by design; logged by caller
            add(None)
            failed += 1
            first_error = first_error or exc
    if failed == len(records):
        return failed, first_error
    drops, write_failed, write_error = _buffer_records(tracker, records)
    for _ in range(drops):
        _warn_full(tracker)
    if write_error is not None and (first_error is None or write_error[0] < records.index(None)):
        first_error = write_error[1]
    return failed + write_failed, first_error


def _buffer_records(tracker, records: list) -> tuple[int, int, tuple | None]:
    """Append the records (None entries skipped) under one hold of ``_value_buffer_lock``,
    each exactly as ``record_row_value`` appends one. Returns (runs of drops started,
    failed hand-overs, (position in ``records``, error) of the first failed hand-over)."""
    cap = getattr(tracker, "_value_buffer_cap", VALUE_BUFFER_CAP)
    drops = failed = 0
    first_error: tuple | None = None
    with tracker._value_buffer_lock:
        buffer = tracker._value_buffer
        append = buffer.append
        for at, record in enumerate(records):
            if record is None:
                continue
            if len(buffer) < cap:
                append(record)
                if getattr(tracker, "_value_drop_warned", False):
                    tracker._value_drop_warned = False  # room again: a later drop warns anew
            elif _count_drop(tracker):
                drops += 1
            writer = tracker._writer
            if writer and len(buffer) >= tracker._value_flush_threshold:
                try:
                    writer.write_row_values(list(buffer))
                    buffer.clear()
                except Exception as exc:  # noqa: BLE001 - that element's call raises it
                    failed += 1
                    first_error = first_error or (at, exc)
    return drops, failed, first_error


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


def _record_builder(record_type):
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
