"""Trackers and tracked containers across pickling and process boundaries."""

import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pandas as pd
import pytest

from quorvane.utilities.orrin32 import ProvenanceTracker, TrackedSeries, wrap_dataframe
from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag

SOURCES = [f"c{i}" for i in range(8)]


def _loans():
    return pd.DataFrame({name: np.arange(4.0) + i for i, name in enumerate(SOURCES)})


@pytest.mark.parametrize("kind", [ProvenanceTracker, DAGTracker])
def test_tracker_round_trip_decodes_every_word(kind):
    tracker = kind()
    tracker.register_table("loans", SOURCES[:4])
    tracker.register_table("people", SOURCES[4:], protected=True)
    words = [
        tracker.encode({0}),
        tracker.encode({1, 2}, taint=True, depth=3),
        tracker.encode({5, 4, 3, 2, 1}),
        tracker.encode({0, 1, 2, 3, 7}),
        tracker.unknown_word(),
    ]
    copy = pickle.loads(pickle.dumps(tracker))
    assert [copy.explain_full(w) for w in words] == [tracker.explain_full(w) for w in words]
    assert copy.is_protected("people", "c5") and not copy.is_protected("loans", "c1")
    assert copy.stats()["dense_entries"] == tracker.stats()["dense_entries"]
    # The copy goes on interning after the sets it brought.
    assert copy.decode(copy.encode({1, 3, 5, 7})) == {1, 3, 5, 7}


def test_dag_tracker_keeps_its_log_and_drops_persistence():
    tracker = DAGTracker()
    frame = wrap_dataframe_dag(_loans(), tracker, "loans")
    total = (frame["c0"] + frame["c1"]) * frame["c2"]
    tracker._writer = object()  # a persisting tracker: its writer must not travel
    copy = pickle.loads(pickle.dumps(tracker))
    tracker._writer = None
    assert copy.dag_stats() == tracker.dag_stats()
    root = int(total._node_ids[0])
    assert copy.get_dag(root).to_dict() == tracker.get_dag(root).to_dict()
    assert copy._writer is None and copy._storage is None and copy._api_key is None
    assert copy.persistence_status().startswith("off: this tracker was unpickled")
    assert tracker.persistence_status() == "off"


def _words_of(container):
    if isinstance(container, pd.DataFrame):
        return {
            label: container._tracker.explain(w)
            for label in container
            for w in container._col_prov[label]
        }
    return [container._tracker.explain(w) for w in container._prov]


@pytest.mark.parametrize("road", ["words", "dag"])
@pytest.mark.parametrize("shape", ["frame", "series"])
def test_containers_round_trip(road, shape):
    tracker = ProvenanceTracker() if road == "words" else DAGTracker()
    wrap = wrap_dataframe if road == "words" else wrap_dataframe_dag
    frame = wrap(_loans(), tracker, "loans")
    frame["dense"] = frame["c0"] + frame["c1"] + frame["c2"] + frame["c3"] + frame["c4"]
    container = frame if shape == "frame" else frame["dense"]
    copy = pickle.loads(pickle.dumps(container))
    assert type(copy) is type(container) and copy.equals(container)
    assert _words_of(copy) == _words_of(container)


def _dense_words_in_a_worker(series, pair_sets):
    """Runs in another process: dense words for ``pair_sets``, in the order given."""
    tracker = series._tracker
    words = [tracker.encode(set(pairs), entity=0) for pairs in pair_sets]
    return TrackedSeries(np.arange(len(words)), _prov=np.array(words, np.uint32), _tracker=tracker)


def test_dense_words_made_in_other_processes_decode_on_the_client():
    tracker = ProvenanceTracker()
    frame = wrap_dataframe(_loans(), tracker, "loans")
    tracker.encode({0, 2, 4, 6})  # the client's table already differs from the workers'
    sets_a = [{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 1, 2, 3, 4, 5}]
    sets_b = [{4, 5, 6, 7}, {1, 3, 5, 7}, {0, 1, 2, 3}, {0, 2, 4, 6}]
    spawn = multiprocessing.get_context("spawn")
    results = []
    for pair_sets in (sets_a, sets_b):
        with ProcessPoolExecutor(max_workers=1, mp_context=spawn) as worker:
            future = worker.submit(_dense_words_in_a_worker, frame["c0"], pair_sets)
            results.append(future.result(timeout=120))
    for result, pair_sets in zip(results, (sets_a, sets_b), strict=True):
        assert result._tracker is tracker
        assert [tracker.decode(w) for w in result._prov] == pair_sets
    # Same set, same word, whichever process made it.
    assert results[0]._prov[1] == results[1]._prov[0]
    assert results[0]._prov[0] == results[1]._prov[2]


def test_a_registry_that_disagrees_is_refused():
    from quorvane.core import _lineage

    tracker = ProvenanceTracker()
    tracker.register_table("loans", SOURCES)
    elsewhere = pickle.loads(pickle.dumps(tracker))
    elsewhere.register("elsewhere", "y")
    tracker.register("late", "x")  # both now use pair 8, for different sources
    with pytest.raises(ValueError, match="disagree on source"):
        _lineage.merge_into(tracker, elsewhere)


@pytest.mark.parametrize(
    ("bitmaps", "message"),
    [
        (np.array([[0b111, 0, 0, 0, 0, 0, 0, 0]], np.uint64), "four or more pairs, got 3"),
        (np.zeros((2, 7), np.uint64), r"\(n, 8\) array"),
    ],
)
def test_engine_refuses_a_table_it_cannot_hold(bitmaps, message):
    with pytest.raises(ValueError, match=message):
        ProvenanceTracker()._rust.dense_import(bitmaps)
