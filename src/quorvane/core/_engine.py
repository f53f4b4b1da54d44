"""The native word engine, imported once; the library has no pure-Python fallback."""

_MISSING_ENGINE = (
    "ORRIN-32 Rust extension not found. Build it with: python tools/build_rust.py\n"
    "For the pure Python fallback, install from the python-orrin32-pure branch."
)

try:
    from quorvane._orrin32 import (
        REPLAY_HELD,
        REPLAY_HELD_GROUP,
        REPLAY_KEEP,
        REPLAY_PASS,
        REPLAY_UNKNOWN,
        NodeLog,
        RustProvenanceTracker,
        combine_batch,
        combine_member_segments_batch,
        combine_segments_batch,
        combine_windows_batch,
        encode_source_column,
        entity_chain_batch,
        explain_batch,
        is_tainted_batch,
        replay_changed,
        replay_check,
        replay_codes,
        replay_owners,
        risk_score_batch,
        run_start,
        update_chain_batch,
    )
except ImportError as exc:  # the module itself, or one of its names, is missing
    raise ImportError(_MISSING_ENGINE) from exc

__all__ = [
    "REPLAY_HELD",
    "REPLAY_HELD_GROUP",
    "REPLAY_KEEP",
    "REPLAY_PASS",
    "REPLAY_UNKNOWN",
    "NodeLog",
    "RustProvenanceTracker",
    "combine_batch",
    "combine_member_segments_batch",
    "combine_segments_batch",
    "combine_windows_batch",
    "encode_source_column",
    "entity_chain_batch",
    "explain_batch",
    "is_tainted_batch",
    "replay_changed",
    "replay_check",
    "replay_codes",
    "replay_owners",
    "risk_score_batch",
    "run_start",
    "update_chain_batch",
]
