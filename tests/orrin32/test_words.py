import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from quorvane.utilities import orrin32
from quorvane.utilities.orrin32 import OpCode, ProvenanceInfo, ProvenanceTracker

TAINT = 1 << 29


def depth_bits(depth):
    return depth << 26


@pytest.fixture
def tracker():
    return ProvenanceTracker()


@pytest.mark.parametrize(
    "word, header, mode",
    [
        (0, (0, False, 0), "EXACT-0"),
        (0x10000, (0, False, 0), "EXACT-1"),
        (0xFFFF, (0, False, 0), "EXACT-0"),  # entity/chain bits but no pair
        (TAINT, (0, True, 0), "EXACT-0"),
        (TAINT | depth_bits(7), (0, True, 7), "EXACT-0"),
        (1 << 30, (1, False, 0), "EXACT-2"),
        (2 << 30, (2, False, 0), "EXACT-3"),
        (3 << 30 | 0x3FFFFFF, (3, False, 0), "DENSE"),
        (1 << 31, (2, False, 0), "EXACT-3"),
        ((1 << 40) | TAINT, (0, True, 0), "EXACT-0"),  # bits above 31 never matter
        (5.0, (0, False, 0), "EXACT-0"),
    ],
)
def test_header_reads(tracker, word, header, mode):
    assert ProvenanceTracker.read_header(word) == header
    assert ProvenanceTracker.is_tainted(word) is header[1]
    assert ProvenanceTracker.get_depth(word) == header[2]
    assert tracker.get_mode(word) == mode


@pytest.mark.parametrize(
    "word, risk",
    [
        (TAINT, 1.0),
        (TAINT | depth_bits(7), 0.125),
        (TAINT | depth_bits(1), 0.5),
        (depth_bits(7), 0.0),
    ],
)
def test_risk_score(word, risk):
    assert ProvenanceTracker.risk_score(word) == risk
    assert type(ProvenanceTracker.risk_score(word)) is float


@pytest.mark.parametrize("bad", ["5", None, [1], b"1"])
def test_header_reads_refuse_non_numbers(bad):
    with pytest.raises(TypeError):
        ProvenanceTracker.read_header(bad)


def registered(tracker, count):
    return [tracker.register("t", f"c{i}") for i in range(count)]


def test_encode_modes_and_dense_table(tracker):
    registered(tracker, 5)
    assert tracker.get_mode(tracker.encode(set())) == "EXACT-0"
    assert tracker.get_mode(tracker.encode({3})) == "EXACT-1"
    assert tracker.get_mode(tracker.encode({0, 4})) == "EXACT-2"
    assert tracker.get_mode(tracker.encode({0, 1, 4})) == "EXACT-3"
    assert tracker._dense == {}
    word = tracker.encode({0, 1, 2, 3}, entity=9, chain=300)
    again = tracker.encode({3, 2, 1, 0})
    assert tracker.get_mode(word) == "DENSE"
    assert word & 0x3FFFFFF == again & 0x3FFFFFF
    assert tracker._dense == {
        word & 0x3FFFFFF: {"pairs": frozenset({0, 1, 2, 3}), "entity": 0, "chain": 0}
    }


@pytest.mark.parametrize("pairs", [[0], (0,), frozenset({0}), None])
def test_encode_refuses_non_set_pairs_before_the_engine(tracker, pairs):
    with pytest.raises(TypeError):
        tracker.encode(pairs)


@pytest.mark.parametrize("field", ["entity", "chain", "depth"])
def test_encode_refuses_non_numeric_fields(tracker, field):
    with pytest.raises(TypeError):
        tracker.encode({0}, **{field: "1"})


def test_encode_engine_failure_leaves_dense_table_alone(tracker):
    with pytest.raises(ValueError, match="512"):
        tracker.encode({1, 2, 3, 512})
    assert tracker._dense == {}


def test_decode_full_returns_the_record(tracker):
    registered(tracker, 2)
    word = tracker.encode({0, 1}, entity=0b10110, chain=0b1001, taint=True, depth=3)
    info = tracker.decode_full(word)
    assert isinstance(info, ProvenanceInfo)
    assert info == ProvenanceInfo({0, 1}, 0b10110, 0b1001, True, 3, "EXACT-2")
    assert tracker.decode(word) == {0, 1}


pair_sets = st.sets(st.integers(0, 511), max_size=6)
fields = st.tuples(
    st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1), st.booleans(), st.integers(0, 12)
)
ENTITY_WIDTH = {"EXACT-0": 8, "EXACT-1": 8, "EXACT-2": 5}


@given(pair_sets, fields, pair_sets, fields, st.integers(0, 15))
def test_algebra_through_the_tracker(pairs_a, fields_a, pairs_b, fields_b, op):
    tracker = ProvenanceTracker()
    a = tracker.encode(pairs_a, *fields_a)
    b = tracker.encode(pairs_b, *fields_b)
    assert tracker.decode(a) == pairs_a
    assert tracker.get_depth(a) == min(7, fields_a[3])
    result = tracker.combine(a, b, op)
    info = tracker.decode_full(result)
    assert info.pairs == pairs_a | pairs_b
    assert info.taint == (fields_a[2] or fields_b[2])
    assert info.depth == min(7, max(min(7, fields_a[3]), min(7, fields_b[3])) + 1)
    width = ENTITY_WIDTH.get(info.mode)
    if width is not None:
        expected = tracker.decode_full(a).entity ^ tracker.decode_full(b).entity
        assert info.entity == expected & ((1 << width) - 1)
    stepped = tracker.decode_full(tracker.update_chain(a, op))
    assert stepped.pairs == pairs_a
    assert stepped.taint == fields_a[2]
    assert stepped.depth == min(7, min(7, fields_a[3]) + 1)


def test_combine_default_op_is_add(tracker):
    registered(tracker, 2)
    a, b = tracker.encode({0}, chain=3), tracker.encode({1}, chain=5)
    assert tracker.combine(a, b) == tracker.combine(a, b, OpCode.ADD)
    assert tracker.combine(a, b) != tracker.combine(a, b, OpCode.MUL)


def test_explanations(tracker):
    t1a = tracker.register("t1", "a")
    t2b = tracker.register("t2", "b", protected=True)
    t1c = tracker.register("t1", "c")
    word = tracker.encode({t1a, t2b, t1c, 40}, taint=True, depth=1)
    assert tracker.explain(word) == [("t1", "a"), ("t2", "b"), ("t1", "c")]
    assert tracker.explain_tables(word) == ["t1", "t2"]
    assert tracker.has_protected(word)
    assert not tracker.has_protected(tracker.encode({t1a, t1c}))
    assert tracker.contains(word, 40) and not tracker.contains(word, 41)
    assert tracker.contains_table(word, "t2") and not tracker.contains_table(word, "t3")
    full = tracker.explain_full(word)
    assert list(full) == [
        "pairs",
        "pair_ids",
        "entity",
        "chain",
        "taint",
        "depth",
        "risk",
        "mode",
        "provenance_hex",
    ]
    assert full["pairs"] == [("t1", "a"), ("t2", "b"), ("t1", "c")]
    assert full["pair_ids"] == [0, 1, 2, 40]
    assert full["risk"] == 0.5
    assert full["mode"] == "DENSE"
    assert full["provenance_hex"] == f"0x{word:08X}"


@pytest.mark.parametrize("word, text", [(255, "0x000000FF"), (0x2C0100AB, "0x2C0100AB")])
def test_provenance_hex(tracker, word, text):
    assert tracker.explain_full(word)["provenance_hex"] == text


def test_provenance_hex_with_top_bit_set(tracker):
    tracker.register("t", "a")
    word = tracker.encode({0, 1, 2})
    assert word >> 31 == 1
    text = tracker.explain_full(word)["provenance_hex"]
    assert len(text) == 10 and text[2] in "89ABCDEF"


@pytest.mark.parametrize(
    "row_id, expected",
    [
        (None, 0),
        (0, 0),
        (5, 5),
        (-1, 0xFFFFFFFE),
        (2**32 + 7, 7),
        ((1, "a"), hash((1, "a")) & 0xFFFFFFFF),
    ],
)
def test_hash_entity(tracker, row_id, expected):
    assert orrin32._hash_entity(row_id) == expected
    assert tracker.entity_from_row(row_id) == expected


def test_hash_entity_refuses_unhashable():
    with pytest.raises(TypeError):
        orrin32._hash_entity([1])


def test_entity_from_row_looks_up_the_hash_when_called(tracker, monkeypatch):
    monkeypatch.setattr(orrin32, "_hash_entity", lambda row_id: 42)
    assert tracker.entity_from_row("x") == 42


def test_self_calls_go_through_the_instance():
    class Renamed(ProvenanceTracker):
        def get_name(self, pair_id):
            return ("renamed", str(pair_id))

    tracker = Renamed()
    word = tracker.encode({3})
    assert tracker.explain(word) == [("renamed", "3")]
    assert tracker.explain_full(word)["pairs"] == [("renamed", "3")]


@pytest.mark.parametrize("pairs", [{1.5}, {2.0}, {np.float64(1.0)}, {"1"}])
def test_encode_never_truncates_pair_ids(tracker, pairs):
    # A float pair ID must not silently become another pair's word.
    registered(tracker, 3)
    with pytest.raises(TypeError):
        tracker.encode(pairs)


def test_encode_accepts_numpy_integer_pair_ids(tracker):
    registered(tracker, 3)
    assert tracker.encode({np.int64(1)}) == tracker.encode({1})


@pytest.mark.parametrize(
    "call, culprit",
    [
        (lambda t: t.contains("w", "p"), "provenance"),
        (lambda t: t.contains_table("w", 5), "provenance"),
        (lambda t: t.contains(0, "p"), "pair_id"),
        (lambda t: t.contains_table(0, 5), "table"),
    ],
)
def test_arguments_are_checked_in_parameter_order(tracker, call, culprit):
    with pytest.raises(TypeError, match=f"^{culprit} must be"):
        call(tracker)


def test_layout_constants_are_read_from_the_module_when_called(tracker, monkeypatch):
    monkeypatch.setattr(orrin32, "MAX_PAIRS", 2)
    registered(tracker, 2)
    with pytest.raises(ValueError, match="^Maximum 2 pairs supported$"):
        tracker.register("t", "third")
    assert tracker._next_id == 2
    monkeypatch.setattr(orrin32, "DEPTH_SHIFT", 0)
    assert ProvenanceTracker.get_depth(5) == 5
    assert ProvenanceTracker.risk_score(TAINT | 3) == 0.25
