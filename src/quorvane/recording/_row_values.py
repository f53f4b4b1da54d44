"""Row value recording: the values of the elements the containers produce, buffered as
columns (``_value_buffer``) until a writer takes them in batches.

``record_row_value`` is bound into the ``DAGTracker`` class body; ``self`` is the tracker.
``record_values`` is the containers' call for a whole operation.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ..core._checks import as_int, exact
from ._log import logger
from ._value_buffer import ChunkHeader, ValueChunk, single_chunk, stored_row_value_type

#: Most records the row-value buffer holds. A tracker without a writer (memory-only) would
#: otherwise keep every value of every operation; past the cap the newest values are
#: dropped and the oldest kept, so that a later ``flush`` still hands them over. A tracker
#: may carry its own bound in ``_value_buffer_cap``.
VALUE_BUFFER_CAP = 1_000_000


def _numeric_or_text(value) -> tuple[float | None, str | None]:
    """The (value, text_value) pair of a record: float when it converts, else its text."""
    if value is None:
        return None, None
    if type(value) is float:
        return value, None
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
    stored_row_value_type()  # without the storage component nothing is recorded
    number, text = _numeric_or_text(value)
    chunk = single_chunk(
        _header(self, operation, column_name), row_index, fingerprint, number, text
    )
    runs, failures = _buffer_chunk(self, chunk)
    _warn_full(self, runs)
    if failures:
        raise failures[0][1]


def _header(tracker, operation: str, column_name: str | None) -> ChunkHeader:
    return (operation, column_name, tracker._pipeline_id or 0, tracker._tenant_id)


def _buffer_chunk(tracker, chunk: ValueChunk) -> tuple[int, list]:
    """Buffer the chunk's elements as one call per element would, under one hold of
    ``_value_buffer_lock``: each element is kept while the buffer is below its cap and
    dropped (counted) at it, and after each one the buffer goes to the writer once it
    holds ``_value_flush_threshold`` records. A failed hand-over keeps the buffer, so the
    next element tries again.

    Returns (runs of drops started, [(element index in the chunk, error)] of failed
    hand-overs).
    """
    cap = getattr(tracker, "_value_buffer_cap", VALUE_BUFFER_CAP)
    runs = 0
    failures: list = []
    total = len(chunk)
    at = 0
    with tracker._value_buffer_lock:
        buffer = tracker._value_buffer
        while at < total:
            writer = tracker._writer
            threshold = tracker._value_flush_threshold
            held = len(buffer)
            if held < cap:
                step = min(total - at, cap - held)
                if writer:
                    step = min(step, max(threshold - held, 1))
                buffer.add(chunk.part(at, at + step))
                if getattr(tracker, "_value_drop_warned", False):
                    tracker._value_drop_warned = False  # room again: a later drop warns anew
            else:
                # dropping leaves the buffer as it is: only a due hand-over splits the run
                step = 1 if writer and held >= threshold else total - at
                runs += _count_drops(tracker, step)
            at += step
            if writer and len(buffer) >= threshold:
                try:
                    writer.write_row_values(buffer.records())
                    buffer.clear()
                except Exception as exc:  # noqa: BLE001 - the caller decides; buffer kept
                    failures.append((at - 1, exc))
    return runs, failures


def _warn_full(tracker, runs: int) -> None:
    for _ in range(runs):
        logger.warning(
            "row-value buffer is full (%d records): further row values are dropped until "
            "a writer takes the buffered ones (enable persistence and flush)",
            getattr(tracker, "_value_buffer_cap", VALUE_BUFFER_CAP),
        )


def _count_drops(tracker, count: int) -> int:
    """Count dropped records; 1 when they start a run of drops (warn once), else 0.

    Runs with ``_value_buffer_lock`` held. The count lives on the tracker
    (``_values_dropped``); a run ends, and the warning re-arms, once the buffer has
    room again.
    """
    tracker._values_dropped = getattr(tracker, "_values_dropped", 0) + count
    if getattr(tracker, "_value_drop_warned", False):
        return 0
    tracker._value_drop_warned = True
    return 1


# -- the containers' call: the values of a whole operation ---------------------------------


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
    if _is_numeric_array(values):
        cells = values.tolist()
        if values.dtype.kind == "f":
            return np.flatnonzero(~np.isnan(values)).tolist(), cells
        return range(len(cells)), cells
    cells = list(values)
    return [i for i, value in enumerate(cells) if not is_missing(value)], cells


def _is_numeric_array(values) -> bool:
    return isinstance(values, np.ndarray) and values.dtype.kind in "biuf"


def _numbers_in_numpy(values):
    """numpy's array of the values of an extension array that holds numpy numbers (a
    column that carries its words, pandas' own wrapper of a numpy column), so that they
    are recorded in one pass rather than cell by cell; any other values as they are."""
    kind = getattr(getattr(values, "dtype", None), "kind", None)
    if isinstance(values, np.ndarray) or kind is None or kind not in ("b", "i", "u", "f"):
        return values
    array = np.asarray(values)
    return array if _is_numeric_array(array) else values


def record_values(tracker, values, words, operation: str, column_name: str | None = None) -> None:
    """Record element i of ``values`` under ``words[i]`` for every element not missing.

    Recording is best effort: a failure skips that element's record, never its word or
    node. Failures are counted and logged once per call rather than per element.
    """
    values = _numbers_in_numpy(values)
    if _plain_recording(tracker, operation, column_name):
        failed, first_error = _record_chunk(tracker, values, words, operation, column_name)
    else:
        positions, cells = present_cells(values)
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


def _record_chunk(tracker, values, words, operation, column_name):
    """What one ``record_row_value`` call per element does, as one chunk: the same
    records in the same order, the cap, the drop count and warning, and the hand-overs.

    Returns (failures, first error) as the per-element calls would raise them, the first
    being the error of the lowest element.
    """
    try:
        stored_row_value_type()
    except Exception as exc:  # noqa: BLE001 - every element's call raises it after its checks
        present = present_cells(values)[0]
        return len(present), (exc if len(present) else None)
    if _dropped_whole(tracker, values, words):
        return 0, None
    header = _header(tracker, operation, column_name)
    if _is_numeric_array(values):
        chunk, build_failures = _numeric_chunk(header, values, words)
    else:
        chunk, build_failures = _cell_chunk(header, values, words)
    runs, write_failures = _buffer_chunk(tracker, chunk)
    _warn_full(tracker, runs)
    failures = build_failures + [(chunk.rows[at], exc) for at, exc in write_failures]
    if not failures:
        return 0, None
    return len(failures), min(failures, key=lambda failure: failure[0])[1]


def _dropped_whole(tracker, values, words) -> bool:
    """Whether a numeric array's records were all dropped, as a full buffer without a
    writer drops them (counted, the warning once a run): then no chunk is built, whose
    copy of the values would only be let go. False, having done nothing, otherwise."""
    if not _is_numeric_array(values) or _word_array(words, len(values)) is None:
        return False
    cap = getattr(tracker, "_value_buffer_cap", VALUE_BUFFER_CAP)
    with tracker._value_buffer_lock:
        if tracker._writer or len(tracker._value_buffer) < cap:
            return False
        missing = int(np.count_nonzero(np.isnan(values))) if values.dtype.kind == "f" else 0
        runs = _count_drops(tracker, len(values) - missing) if len(values) > missing else 0
    _warn_full(tracker, runs)
    return True


def _numeric_chunk(header: ChunkHeader, values: np.ndarray, words) -> tuple[ValueChunk, list]:
    """The chunk of a numeric array: NaN elements left out, numbers as float64 (numpy's
    cast rounds to the nearest double, as float() does), copied so that later writes to
    the array leave the records alone."""
    n = len(values)
    rows: np.ndarray | range = range(n)
    if values.dtype.kind == "f":
        present = ~np.isnan(values)
        if not present.all():
            rows = np.flatnonzero(present)
    fingerprints, failures = _fingerprints(words, rows)
    if failures:
        rows = np.setdiff1d(np.asarray(rows), [at for at, _ in failures], assume_unique=True)
    if isinstance(rows, np.ndarray):
        numbers = values[rows].astype(np.float64, copy=False)
    else:
        numbers = values.astype(np.float64, copy=True)
    return ValueChunk(header, rows, fingerprints, numbers), failures


def _cell_chunk(header: ChunkHeader, values, words) -> tuple[ValueChunk, list]:
    """The chunk of any other values, cell by cell: missing cells left out, each other
    cell a number when float() takes it, else its text. A string is converted once per
    call, however often it occurs (a failing float() is what a text cell costs)."""
    cells = list(values)
    word_array = _word_array(words, len(cells))
    rows: list[int] = []
    fingerprints: list = []
    numbers: list[float] = []
    texts: list[str | None] = []
    failures: list = []
    strings: dict[str, tuple] = {}
    for at, cell in enumerate(cells):
        if type(cell) is not str and is_missing(cell):
            continue
        try:
            fingerprint = as_int("fingerprint", words[at]) if word_array is None else 0
            if type(cell) is str:
                converted = strings.get(cell)
                if converted is None:
                    converted = strings[cell] = _numeric_or_text(cell)
                number, text = converted
            else:
                number, text = _numeric_or_text(cell)
        except Exception as exc:  # noqa: BLE001 - best effort by design; logged by caller
            failures.append((at, exc))
            continue
        rows.append(at)
        fingerprints.append(fingerprint)
        numbers.append(np.nan if number is None else number)
        texts.append(text)
    chunk = ValueChunk(
        header,
        np.array(rows, dtype=np.int64),
        word_array[rows] if word_array is not None else _int_array(fingerprints),
        np.array(numbers, dtype=np.float64),
        texts if any(text is not None for text in texts) else None,
    )
    return chunk, failures


def _fingerprints(words, rows) -> tuple[np.ndarray, list]:
    """The words of the rows, as integers; [(row, error)] of words that are not."""
    word_array = _word_array(words, len(rows) and rows[-1] + 1)
    if word_array is not None:
        return word_array[rows] if isinstance(rows, np.ndarray) else word_array[
            : len(rows)
        ].copy(), []
    kept: list = []
    failures: list = []
    for at in rows:
        try:
            kept.append(as_int("fingerprint", words[at]))
        except Exception as exc:  # noqa: BLE001 - best effort by design; logged by caller
            failures.append((int(at), exc))
    return _int_array(kept), failures


def _word_array(words, needed: int) -> np.ndarray | None:
    """The words as an integer array holding at least ``needed`` of them, or None when
    they must be taken one by one (not integers, or too few)."""
    try:
        array = words if isinstance(words, np.ndarray) else np.asarray(words)
    except (TypeError, ValueError, OverflowError):
        return None
    if array.ndim != 1 or array.dtype.kind not in "iu" or len(array) < needed:
        return None
    return array


def _int_array(numbers: list) -> np.ndarray:
    """Python ints as an integer array; ints beyond 64 bits keep an object array."""
    try:
        return np.array(numbers, dtype=np.int64)
    except OverflowError:
        return np.array(numbers, dtype=object)
