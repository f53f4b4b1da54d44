import pytest

from quorvane.utilities import orrin32
from quorvane.utilities.orrin32 import MAX_PAIRS, ProvenanceTracker


@pytest.fixture
def tracker():
    return ProvenanceTracker()


def fill(tracker, count):
    return [tracker.register("t", f"c{i}") for i in range(count)]


def test_ids_are_given_in_registration_order_and_reused_for_known_pairs(tracker):
    assert tracker.register("loans", "amount") == 0
    assert tracker.register("loans", "term") == 1
    assert tracker.register("loans", "amount") == 0
    assert tracker._next_id == 2
    assert tracker.get_name(1) == ("loans", "term")
    assert tracker.get_id("loans", "term") == 1
    assert tracker._id_to_name == {v: k for k, v in tracker._name_to_id.items()}


def test_registry_limit(tracker):
    ids = fill(tracker, MAX_PAIRS)
    assert ids[0] == 0 and ids[-1] == 511
    with pytest.raises(ValueError, match=r"^Maximum 512 pairs supported$"):
        tracker.register("t", "one-too-many")
    assert tracker._next_id == 512
    assert tracker.get_id("t", "one-too-many") is None
    # a known pair is looked up before the capacity test
    assert tracker.register("t", "c7", protected=True) == 7
    assert tracker.is_protected("t", "c7")


def test_register_table_stops_at_the_failing_column_and_keeps_earlier_ones(tracker):
    fill(tracker, MAX_PAIRS - 2)
    with pytest.raises(ValueError):
        tracker.register_table("wide", ["a", "b", "c"])
    assert tracker.get_id("wide", "a") == 510
    assert tracker.get_id("wide", "b") == 511


def test_protection_is_never_cleared(tracker):
    tracker.register("p", "age")
    assert not tracker.is_protected("p", "age")
    tracker.register("p", "age", protected=True)
    tracker.register("p", "age", protected=False)
    assert tracker.is_protected("p", "age")
    assert not tracker.is_protected("p")  # only one column of the table
    assert not tracker.is_protected("p", "")


def test_repeated_registration_calls_the_engine_each_time(tracker, monkeypatch):
    calls = []

    class Engine:
        def register(self, *args):
            calls.append(args)

    tracker._rust = Engine()
    tracker.register("t", "c")
    tracker.register("t", "c", protected=1)
    assert calls == [("t", "c", False), ("t", "c", True)]


def test_protected_tables_cover_every_column(tracker):
    tracker._protected_tables.add("people")
    assert tracker.is_protected("people")
    assert tracker.is_protected("people", "anything")


def test_empty_tracker_lookups(tracker):
    assert tracker.get_name(0) is None
    assert tracker.get_id("t", "c") is None
    assert tracker.register_table("t", []) == []


class Text(str):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.register(1, "c"),
        lambda t: t.register("t", None),
        lambda t: t.register(Text("t"), "c"),
        lambda t: t.register_table("t", ("a", "b")),
        lambda t: t.register_table("t", ["a", 2]),
        lambda t: t.get_id("t", b"c"),
        lambda t: t.is_protected(None),
        lambda t: t.is_protected("t", 3),
        lambda t: t.get_name("0"),
    ],
)
def test_argument_types_are_checked(tracker, call):
    with pytest.raises(TypeError, match="must be"):
        call(tracker)
    assert all(type(column) is str for _table, column in tracker._name_to_id)


def test_type_error_names_argument_and_types(tracker):
    with pytest.raises(TypeError, match=r"^columns must be list, not tuple$"):
        tracker.register_table("t", ("a",))


def test_keyword_arguments_and_numeric_pair_ids(tracker):
    assert tracker.register(table="t", column="c", protected=True) == 0
    assert tracker.get_name(pair_id=0.0) == ("t", "c")
    assert tracker.is_protected(table="t", column="c")


def test_stats_of_new_and_used_tracker(tracker):
    assert tracker.stats() == {
        "registered_pairs": 0,
        "dense_entries": 0,
        "protected_tables": [],
        "protected_columns": [],
        "encoding": "ORRIN-32",
    }
    tracker.register("p", "age", protected=True)
    tracker.encode({0, 1, 2, 3})
    stats = tracker.stats()
    assert list(stats) == [
        "registered_pairs",
        "dense_entries",
        "protected_tables",
        "protected_columns",
        "encoding",
    ]
    assert stats["registered_pairs"] == 1
    assert stats["dense_entries"] == 1
    assert stats["protected_columns"] == ["p.age"]


def test_dense_entries_count_what_the_engine_interned(tracker):
    words = [tracker.encode({tracker.register("t", f"c{i}")}) for i in range(5)]
    word = words[0]
    for other in words[1:4]:
        word = tracker.combine(word, other)  # the four-pair set comes from combine alone
    assert tracker.get_mode(word) == "DENSE" and tracker._dense == {}
    assert tracker.stats()["dense_entries"] == 1
    tracker.encode({0, 1, 2, 3})  # the same set: the same entry
    tracker.encode({0, 1, 2, 3, 4})
    assert tracker.stats()["dense_entries"] == 2


def test_engine_is_created_per_tracker_from_the_public_module(monkeypatch):
    made = []
    monkeypatch.setattr(orrin32, "RustProvenanceTracker", lambda: made.append(1) or object())
    ProvenanceTracker()
    assert made == [1]
