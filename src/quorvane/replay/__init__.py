"""What-if replay: one applicant's result recomputed from its stored lineage with chosen
source values changed, and run-level counts of the decisions a protected attribute flips."""

from ._answer import WhatIf, answer
from ._call import run_flip_counts, whatif
from ._flips import FlipCount, FlipCounts, flip_counts
from ._groups import LogGroups, NoGroups
from ._replay import Replay, replay

__all__ = [
    "FlipCount",
    "FlipCounts",
    "LogGroups",
    "NoGroups",
    "Replay",
    "WhatIf",
    "answer",
    "flip_counts",
    "replay",
    "run_flip_counts",
    "whatif",
]
