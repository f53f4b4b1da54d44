"""Audits of tracked containers: one value, a series' diversity and entropy, column risk."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from ...core._algebra import engine_function as _engine_function
from ...core._tracker import _layout
from ...tracking._plain_holders import held_words, holder_tracker

_NO_DATA = "No tracker or empty series"


def tracked_only(series: Any) -> None:
    """Refuse a value that carries no provenance, saying why, rather than fail on it."""
    if not hasattr(series, "_tracker"):
        raise TypeError(
            f"an audit takes a tracked series, not {type(series).__name__}: a plain value "
            "carries no provenance (a reduction such as .mean() returns a plain number; a "
            "frame or group reduction, or transform, keeps it)"
        )


def _words(series: Any) -> np.ndarray:
    tracker = holder_tracker(series)
    if tracker is not None:
        return held_words(series, tracker)[0]
    return np.asarray(series._prov, dtype=np.uint32)


def _tracker(series: Any) -> Any:
    """The series' tracker; a plain series holding words (``pd.Series(t.x)``) is tracked
    data too, of the tracker of its words."""
    tracker = holder_tracker(series)
    if tracker is not None:
        return tracker
    tracked_only(series)
    return series._tracker


def audit(series: Any) -> dict[str, Any]:
    """Audit a series for provenance, taint, and risk information."""
    tracker = _tracker(series)
    if not tracker or len(series) == 0:
        return {"error": _NO_DATA}
    prov = int(_words(series)[0])
    info = tracker.decode_full(prov)
    return {
        "provenance": f"0x{prov:08X}",
        "mode": info.mode,
        "pair_count": len(info.pairs),
        "pair_ids": sorted(info.pairs),
        "columns": tracker.explain(prov),
        "tables": tracker.explain_tables(prov),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(prov),
        "has_protected": tracker.has_protected(prov),
        "unknown": _is_unknown(tracker, prov),
    }


def _is_unknown(tracker: Any, word: int) -> bool:
    check = getattr(tracker, "is_unknown", None)
    return bool(check(word)) if check is not None else False


def audit_series_diversity(series: Any) -> dict[str, Any]:
    """Analyze provenance diversity across a series."""
    tracker = _tracker(series)
    if not tracker or len(series) == 0:
        return {"error": _NO_DATA}
    distinct = pd.unique(_words(series))
    pair_ids: set[int] = set()
    entities: set[int] = set()
    chains: set[int] = set()
    taint_count = 0
    max_depth = 0
    # Each distinct word is decoded once, whatever the number of elements carrying it.
    for word in distinct.tolist():
        info = tracker.decode_full(word)
        pair_ids.update(info.pairs)
        entities.add(info.entity)
        chains.add(info.chain)
        if info.taint:
            taint_count += 1
        max_depth = max(max_depth, info.depth)
    total = len(series)
    n_words = len(distinct)
    return {
        "total_rows": total,
        "unique_provenances": n_words,
        "unique_pair_sets": len(pair_ids),
        "unique_entities": len(entities),
        "unique_chains": len(chains),
        "entity_diversity": len(entities) / total,
        "tainted_provenances": taint_count,
        "taint_ratio": taint_count / n_words if n_words else 0.0,
        "max_depth": max_depth,
    }


def _counts_in_first_seen_order(words: np.ndarray) -> np.ndarray:
    codes, uniques = pd.factorize(words, sort=False)
    return np.bincount(codes, minlength=len(uniques))


def provenance_entropy(series: Any) -> float:
    """Shannon entropy of provenance distribution across a series."""
    n = len(series)
    if n == 0:
        return 0.0
    counts = _counts_in_first_seen_order(_words(series))
    # Sum -p*log2(p) over the words in order of first appearance, one term after the other,
    # exactly as a running total would: log2 through math for each distinct count value
    # and a sequential (not pairwise) sum through cumsum.
    count_values, inverse = np.unique(counts, return_inverse=True)
    log2_p = np.array([math.log2(int(c) / n) for c in count_values], dtype=np.float64)
    p = counts / n
    terms = p * log2_p[inverse.reshape(-1)]
    return 0.0 - float(np.cumsum(terms)[-1])


def _risk_level(max_risk: float, unknown: bool = False) -> str:
    if max_risk == 0 and unknown:
        return "UNKNOWN"
    if max_risk > 0.5:
        return "HIGH"
    if max_risk > 0.2:
        return "MEDIUM"
    if max_risk > 0:
        return "LOW"
    return "CLEAN"


def _column_entry(col: Any, words: np.ndarray | None, tracker: Any) -> dict[str, Any]:
    if words is None:
        # A column whose provenance was never followed is unknown, not clean.
        return {
            "column": col,
            "tainted": False,
            "max_risk": 0.0,
            "min_depth": None,
            "risk_level": "UNKNOWN",
            "unknown": True,
        }
    taint_arr = np.asarray(_engine_function("is_tainted_batch")(words), dtype=bool)
    any_taint = bool(taint_arr.any())
    min_depth = None
    max_risk = 0.0
    if any_taint:
        risk_arr = np.asarray(_engine_function("risk_score_batch")(words), dtype=np.float64)
        max_risk = float(risk_arr.max())
        tainted = np.asarray(words, dtype=np.uint32)[taint_arr]
        # The header's depth field, read for the whole array at once (no engine call).
        depths = (tainted >> np.uint32(_layout.DEPTH_SHIFT)) & np.uint32(7)
        min_depth = int(depths.min())
    unknown = any(_is_unknown(tracker, word) for word in pd.unique(words).tolist())
    return {
        "column": col,
        "tainted": any_taint,
        "max_risk": round(max_risk, 4),
        "min_depth": min_depth,
        "risk_level": _risk_level(max_risk, unknown),
        "unknown": unknown,
    }


def _lookup(col_prov: dict, col: Any) -> np.ndarray | None:
    try:
        return col_prov.get(col)
    except TypeError:
        return None


def column_risk_report(df: Any, tracker: Any = None) -> list[dict[str, Any]]:
    """Per-column taint risk report. Returns list of dicts sorted by risk (highest first)."""
    held = holder_tracker(df)
    if held is not None:  # a plain frame holding words (``pd.crosstab``) is tracked data too
        words = held_words(df, held)
        report = [
            _column_entry(col, w, tracker or held) for col, w in zip(df.columns, words, strict=True)
        ]
        return sorted(report, key=lambda entry: entry["max_risk"], reverse=True)
    if tracker is None:
        tracker = df._tracker
    if tracker is None:
        return []
    col_prov = df._col_prov
    report = [_column_entry(col, _lookup(col_prov, col), tracker) for col in df.columns]
    # sorted() is stable, also with reverse=True: equal risks keep the column order.
    return sorted(report, key=lambda entry: entry["max_risk"], reverse=True)
