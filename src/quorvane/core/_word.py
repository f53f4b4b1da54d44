"""Word layout constants, the decoded-word record and the operation codes."""

from typing import NamedTuple

MAX_PAIRS = 512

MODE_01 = 0
MODE_2 = 1
MODE_3 = 2
MODE_DENSE = 3

HEADER_BITS = 6
PAYLOAD_BITS = 26
MODE_SHIFT = 30
TAINT_SHIFT = 29
DEPTH_SHIFT = 26

MODE_01_PAIR_BITS = 10
MODE_01_ENTITY_BITS = 8
MODE_01_CHAIN_BITS = 8
MODE_2_PAIR_BITS = 17
MODE_2_ENTITY_BITS = 5
MODE_2_CHAIN_BITS = 4
MODE_3_PAIR_BITS = 25
MODE_DENSE_SIG_BITS = 26
MAX_DEPTH = 7

PAYLOAD_MASK = (1 << PAYLOAD_BITS) - 1


class ProvenanceInfo(NamedTuple):
    """Full decoded provenance — includes taint and depth from header."""

    pairs: set
    entity: int
    chain: int
    taint: bool
    depth: int
    mode: str


class OpCode:
    """Operation codes for chain hash computation."""

    RAW = 0
    ADD = 1
    SUB = 2
    MUL = 3
    DIV = 4
    NEG = 5
    CLIP = 6
    FILL = 7
    MAP = 8
    CMP = 9
    MERGE = 10
    AGG = 11
    MOD = 12
    LOGIC = 14
    CUSTOM = 15
    ABS = 16
    ROUND = 17
    UFUNC = 18
    WHERE = 19
    GROUP = 20
    WINDOW = 21
    ROW = 22
    BINS = 23
    ORDER = 24
