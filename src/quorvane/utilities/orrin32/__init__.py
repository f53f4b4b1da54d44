"""ORRIN-32: 32-bit Provenance Encoding with Gradient Taint Model.

Every tracked value carries one 32-bit word. The six header bits mean the same in every
mode, so taint, depth and risk are read with shifts and masks, without decoding::

    bits 31-30  mode   payload layout (by the number of source pairs)
    bit  29     T      1 = derives from a protected attribute
    bits 28-26  depth  derivation distance from the source, 0-7, saturating at 7
    bits 25-0   payload

    mode 00 (0 or 1 pair):  pair_data(10) entity(8) chain(8)   "EXACT-0" / "EXACT-1"
    mode 01 (2 pairs):      pair_index(17) entity(5) chain(4)  "EXACT-2"
    mode 10 (3 pairs):      pair_combo(25) reserved(1)         "EXACT-3"
    mode 11 (4+ pairs):     signature(26)                      "DENSE"

Algebra of derived words: pairs by union, entity by XOR, chain by hash combine, taint by
OR, depth by max+1 saturating at 7; so taint(f(a, b)) = taint(a) or taint(b). The risk of
a word is 1 / (1 + depth) when it is tainted and 0 otherwise.
"""

# The engine's names and _hash_entity are module attributes that the containers and the
# tracker look up when called, so that they can be patched here.
from ...core import (
    DEPTH_SHIFT,
    HEADER_BITS,
    MAX_DEPTH,
    MAX_PAIRS,
    MODE_01,
    MODE_01_CHAIN_BITS,
    MODE_01_ENTITY_BITS,
    MODE_01_PAIR_BITS,
    MODE_2,
    MODE_2_CHAIN_BITS,
    MODE_2_ENTITY_BITS,
    MODE_2_PAIR_BITS,
    MODE_3,
    MODE_3_PAIR_BITS,
    MODE_DENSE,
    MODE_DENSE_SIG_BITS,
    MODE_SHIFT,
    PAYLOAD_BITS,
    PAYLOAD_MASK,
    TAINT_SHIFT,
    OpCode,
    ProvenanceInfo,
    ProvenanceLostError,
    ProvenanceTracker,
)
from ...core import (
    RustProvenanceTracker as RustProvenanceTracker,
)
from ...core import (
    _hash_entity as _hash_entity,
)
from ...core import (
    combine_batch as combine_batch,
)
from ...core import (
    encode_source_column as encode_source_column,
)
from ...core import (
    explain_batch as explain_batch,
)
from ...core import (
    is_tainted_batch as is_tainted_batch,
)
from ...core import (
    risk_score_batch as risk_score_batch,
)
from ...core import (
    update_chain_batch as update_chain_batch,
)
from ._audit import audit, audit_series_diversity, column_risk_report, provenance_entropy
from ._frame import TrackedDataFrame, wrap_dataframe
from ._series import TrackedSeries

__all__ = [
    "ProvenanceLostError",
    "DEPTH_SHIFT",
    "HEADER_BITS",
    "MAX_DEPTH",
    "MAX_PAIRS",
    "MODE_01",
    "MODE_01_CHAIN_BITS",
    "MODE_01_ENTITY_BITS",
    "MODE_01_PAIR_BITS",
    "MODE_2",
    "MODE_2_CHAIN_BITS",
    "MODE_2_ENTITY_BITS",
    "MODE_2_PAIR_BITS",
    "MODE_3",
    "MODE_3_PAIR_BITS",
    "MODE_DENSE",
    "MODE_DENSE_SIG_BITS",
    "MODE_SHIFT",
    "PAYLOAD_BITS",
    "PAYLOAD_MASK",
    "TAINT_SHIFT",
    "OpCode",
    "ProvenanceInfo",
    "ProvenanceTracker",
    "TrackedDataFrame",
    "TrackedSeries",
    "audit",
    "audit_series_diversity",
    "column_risk_report",
    "provenance_entropy",
    "wrap_dataframe",
]
