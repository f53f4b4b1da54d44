"""Whether a protected attribute reached a value: reached, not reached, or unknown, never
"not reached" for what could not be followed."""

from __future__ import annotations

import pytest

from quorvane.core import UNKNOWN_SOURCE
from quorvane.server.reach import ReachFinder
from quorvane.utilities.orrin32 import ProvenanceTracker

TRACKER = ProvenanceTracker()
PAIRS = {
    "age": TRACKER.register("t", "age", protected=True),
    "income": TRACKER.register("t", "income"),
    "unknown": TRACKER.register(*UNKNOWN_SOURCE),
    "unregistered": TRACKER.register("elsewhere", "x"),
}
SOURCES = [
    {"table": "t", "column": "age", "pair_id": PAIRS["age"], "is_protected": True},
    {"table": "t", "column": "income", "pair_id": PAIRS["income"], "is_protected": False},
    {
        "table": "<unknown>",
        "column": "<unknown>",
        "pair_id": PAIRS["unknown"],
        "is_protected": False,
    },
]


def word(*names: str, depth: int = 2) -> int:
    pairs = {PAIRS[n] for n in names}
    return TRACKER.encode(pairs, entity=1, chain=1, taint="age" in names, depth=depth)


@pytest.mark.parametrize(
    ("words", "text"),
    [
        ([word("age", "income")], "reached by: age"),
        ([word("income")], "not reached"),
        ([word("income", "unknown")], "unknown"),
        ([word("unregistered")], "unknown"),  # a source the run never named
        ([word("income"), word("unknown")], "unknown"),
        ([word("income"), word("unknown"), word("age", depth=7)], "reached by: age"),
        ([], "not reached"),
    ],
)
def test_the_reach_of_stored_words(words, text):
    finder = ReachFinder(store=None, pipeline_id=1, sources=SOURCES)  # type: ignore[arg-type]
    assert finder.of_words(words).text == text
