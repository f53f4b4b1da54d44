import logging
import pickle
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from quorvane.recording import VALUE_BUFFER_CAP
from quorvane.utilities.orrin32_dag import DAGTracker
from quorvane.utilities.persistence.storage import StoredRowValue

LOGGER = "quorvane.utilities.orrin32_dag"


class ListWriter:
    """Collects the batches handed to it, as the background writer would receive them."""

    def __init__(self, fail=False):
        self.batches = []
        self.fail = fail

    def write_row_values(self, records):
        if self.fail:
            raise RuntimeError("storage unavailable")
        self.batches.append(records)


@pytest.fixture
def tracker():
    return DAGTracker(tenant_id="acme")


@pytest.mark.parametrize(
    "value, number, text",
    [
        ("abc", None, "abc"),
        (3, 3.0, None),
        (np.int64(7), 7.0, None),
        (2.5, 2.5, None),
        (True, 1.0, None),
        ("3.5", 3.5, None),
        (None, None, None),
        (10**400, None, str(10**400)),  # too large for a float: kept as its digits
        (complex(1, 2), None, "(1+2j)"),
        (np.complex128(1 + 2j), None, "(1+2j)"),  # never silently cut to its real part
        (object, None, str(object)),
    ],
)
def test_value_conversion(tracker, value, number, text):
    tracker.record_row_value(4, 0x10100, "add", value, column_name="income")
    (record,) = tracker._value_buffer
    assert record == StoredRowValue(
        pipeline_id=0,
        row_index=4,
        fingerprint=0x10100,
        node_operation="add",
        value=number,
        column_name="income",
        tenant_id="acme",
        text_value=text,
    )


def test_pipeline_id_and_number_conversion(tracker):
    tracker._pipeline_id = 42
    tracker.record_row_value(np.int64(3), 9.0, "neg")
    (record,) = tracker._value_buffer
    assert (record.pipeline_id, record.row_index, record.fingerprint) == (42, 3, 9)
    assert type(record.row_index) is int and type(record.fingerprint) is int
    assert record.column_name is None


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("1", 0, "add"), {}),
        ((None, 0, "add"), {}),
        ((0, "0x1", "add"), {}),
        ((0, 0, 5), {}),
        ((0, 0, None), {}),
        ((0, 0, "add", 1.0), {"column_name": 5}),
    ],
)
def test_bad_arguments_are_refused(tracker, args, kwargs):
    with pytest.raises(TypeError):
        tracker.record_row_value(*args, **kwargs)
    assert tracker._value_buffer == []


def test_threshold_hands_a_full_batch_to_the_writer(tracker):
    tracker._writer = writer = ListWriter()
    for i in range(4999):
        tracker.record_row_value(i, i, "add", i)
    assert writer.batches == []
    tracker.record_row_value(4999, 4999, "add", 4999)
    assert [len(batch) for batch in writer.batches] == [5000]
    assert [r.row_index for r in writer.batches[0]] == list(range(5000))
    assert tracker._value_buffer == []


def test_without_writer_values_stay_buffered(tracker):
    for i in range(6000):
        tracker.record_row_value(i, i, "add", i)
    assert len(tracker._value_buffer) == 6000


def test_failing_writer_propagates_and_keeps_the_records(tracker):
    tracker._value_flush_threshold = 3
    tracker._writer = ListWriter(fail=True)
    tracker.record_row_value(0, 1, "add", 1.0)
    tracker.record_row_value(1, 1, "add", 1.0)
    with pytest.raises(RuntimeError):
        tracker.record_row_value(2, 1, "add", 1.0)
    assert [r.row_index for r in tracker._value_buffer] == [0, 1, 2]


def test_documented_buffer_bound():
    assert VALUE_BUFFER_CAP >= 1_000_000


def test_full_buffer_keeps_the_oldest_and_warns_once(tracker, caplog):
    tracker._value_buffer_cap = 10
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        for i in range(25):
            tracker.record_row_value(i, i, "add", float(i))
    assert [r.row_index for r in tracker._value_buffer] == list(range(10))
    assert tracker._values_dropped == 15
    drops = [r for r in caplog.records if "dropped" in r.getMessage()]
    assert len(drops) == 1 and drops[0].name == LOGGER


def test_capped_records_still_reach_a_later_writer(tracker):
    tracker._value_buffer_cap = 5
    tracker._value_flush_threshold = 5
    for i in range(8):
        tracker.record_row_value(i, i, "add", float(i))
    tracker._writer = writer = ListWriter()
    tracker.record_row_value(8, 8, "add", 8.0)  # dropped, but the full buffer goes over
    assert [[r.row_index for r in batch] for batch in writer.batches] == [[0, 1, 2, 3, 4]]
    assert tracker._value_buffer == []


def test_warning_rearms_once_the_buffer_has_room(tracker, caplog):
    tracker._value_buffer_cap = 2
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        for i in range(4):
            tracker.record_row_value(i, i, "add", 1.0)
        with tracker._value_buffer_lock:
            tracker._value_buffer.clear()
        for i in range(4):
            tracker.record_row_value(i, i, "add", 1.0)
    assert sum("dropped" in r.getMessage() for r in caplog.records) == 2


def _hammer(tracker, threads=8, per_thread=1500):
    barrier = threading.Barrier(threads)

    def work(t):
        barrier.wait()
        for i in range(per_thread):
            tracker.record_row_value(i, t, "add", float(i))

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return threads * per_thread


def test_concurrent_callers_with_a_writer_lose_nothing(tracker):
    tracker._value_flush_threshold = 1000
    tracker._writer = writer = ListWriter()
    total = _hammer(tracker)
    assert all(len(batch) == 1000 for batch in writer.batches)
    seen = [(r.fingerprint, r.row_index) for b in writer.batches for r in b]
    seen += [(r.fingerprint, r.row_index) for r in tracker._value_buffer]
    assert len(seen) == total == len(set(seen))


def test_concurrent_callers_against_the_cap(tracker, caplog):
    tracker._value_buffer_cap = 5000
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        total = _hammer(tracker)
    assert len(tracker._value_buffer) == 5000
    assert tracker._values_dropped == total - 5000
    assert sum("dropped" in r.getMessage() for r in caplog.records) == 1


def test_missing_persistence_component_propagates(tracker, monkeypatch):
    monkeypatch.setitem(sys.modules, "quorvane.utilities.persistence.storage", None)
    with pytest.raises(ImportError):
        tracker.record_row_value(0, 1, "add", 1.0)
    assert tracker._value_buffer == []


class OneCallPerValue(DAGTracker):
    """Records through the public call, one element at a time: the reference."""

    def record_row_value(self, *args, **kwargs):
        return super().record_row_value(*args, **kwargs)


class CountingWriter(ListWriter):
    def __init__(self, fail_at=()):
        super().__init__()
        self.calls = 0
        self.fail_at = set(fail_at)

    def write_row_values(self, records):
        self.calls += 1
        if self.calls in self.fail_at:
            raise RuntimeError(f"write {self.calls} failed")
        self.batches.append(records)


CELLS = {
    "float": np.array([1.5, np.nan, -2.0, np.inf, np.nan, 0.0, 7.25, 3.0]),
    "float32": np.array([0.1, np.nan, 2.5], dtype=np.float32),
    "int": np.arange(-3, 9, dtype=np.int64) * (2**52 + 1),
    "object": np.array(
        ["a", None, "3.5", pd.NA, 4, pd.NaT, float("nan"), 2**70, "a", 1 + 2j, True], object
    ),
    "datetime": np.array(["2024-01-02", "NaT", "2024-03-04"], dtype="datetime64[ns]"),
    "nullable": pd.array([1, None, 3, 4], dtype="Int64"),
    "text": pd.array(["x", None, "y", "x"], dtype="string"),
}

SETTINGS = {
    "plain": {},
    "cap mid-chunk": {"_value_buffer_cap": 5},
    "full before": {"_value_buffer_cap": 1},
    "writer mid-chunk": {"_value_flush_threshold": 3, "_writer": CountingWriter},
    "cap below threshold": {"_value_buffer_cap": 2, "_value_flush_threshold": 4, "_writer": 1},
    "failing writer": {"_value_flush_threshold": 2, "_writer": lambda: CountingWriter({1, 3})},
    "full and failing": {
        "_value_buffer_cap": 3,
        "_value_flush_threshold": 3,
        "_writer": lambda: CountingWriter({1, 2}),
    },
    "pipeline": {"_pipeline_id": 17},
}


@pytest.mark.parametrize("setting", list(SETTINGS))
@pytest.mark.parametrize("cells", list(CELLS))
def test_a_whole_operation_records_what_one_call_per_value_records(cells, setting, caplog):
    from quorvane.recording import record_values

    values = CELLS[cells]
    words = np.arange(100, 100 + len(values), dtype=np.uint32)
    outcomes = []
    for kind in (DAGTracker, OneCallPerValue):
        tracker = kind(tenant_id="acme")
        for name, value in SETTINGS[setting].items():
            setattr(tracker, name, value() if callable(value) else value)
        if tracker._writer == 1:
            tracker._writer = CountingWriter()
        tracker.record_row_value(0, 1, "earlier", 2.0)  # the buffer is not empty
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger=LOGGER):
            record_values(tracker, values, words, "op", column_name="c")
            record_values(tracker, values[::-1], words, "op2")
        writer = tracker._writer
        outcomes.append(
            (
                list(tracker._value_buffer),
                writer and writer.batches,
                getattr(tracker, "_values_dropped", 0),
                [r.getMessage() for r in caplog.records],
            )
        )
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] or outcomes[0][1]


def test_buffer_reads_like_the_list_of_its_records(tracker):
    from quorvane.recording import record_values

    tracker.record_row_value(7, 70, "one", "x")
    record_values(tracker, np.array([1.0, np.nan, 3.0]), np.array([5, 6, 7]), "add")
    tracker._value_buffer.append(
        StoredRowValue(pipeline_id=0, row_index=9, fingerprint=1, node_operation="one", value=2.0)
    )
    records = list(tracker._value_buffer)
    assert [(r.row_index, r.fingerprint, r.value, r.text_value) for r in records] == [
        (7, 70, None, "x"),
        (0, 5, 1.0, None),
        (2, 7, 3.0, None),
        (9, 1, 2.0, None),
    ]
    buffer = tracker._value_buffer
    assert [buffer[i] for i in range(-4, 4)] == records + records
    assert buffer[1:3] == records[1:3] and buffer == records and len(buffer) == 4
    with pytest.raises(IndexError):
        buffer[4]
    copy = pickle.loads(pickle.dumps(tracker))
    tracker.record_row_value(1, 1, "add", 1.0)  # a later record leaves the copy alone
    assert list(copy._value_buffer) == records
