"""The tamper check: source rows hashed again and compared with the hashes stored with a run."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Literal

from ._rowhash import source_row_exact_hash, source_row_hash

#: below this share of the run's row keys found in a file, the file (or the column its row
#: keys were read from) is taken to be the wrong one, not evidence of tampering
MIN_FOUND_SHARE = 0.5

HashKind = Literal["exact", "input_hash"]
Outcome = Literal["match", "changed", "wrong-source"]


@dataclass
class SourceCheck:
    """What ``check_source_rows`` found; ``ok`` when every stored row matched.

    ``expected`` counts the row keys the run stored a hash for, ``hash_kind`` names the
    hash compared: "exact" (floats at full precision) when the run stored it, else
    "input_hash" (the row's ``to_json()``, floats rounded to 10 decimals).
    """

    checked: int = 0
    changed: list[str] = field(default_factory=list)
    missing: list[str] = field(default_factory=list)
    expected: int = 0
    hash_kind: HashKind = "input_hash"

    @property
    def ok(self) -> bool:
        return self.checked > 0 and not self.changed and not self.missing

    @property
    def outcome(self) -> Outcome:
        """ "match", "changed", or "wrong-source" when the file holds too few of the run's
        row keys for its differences to say anything about tampering."""
        if self.ok:
            return "match"
        if self.checked < MIN_FOUND_SHARE * self.expected or not self.checked:
            return "wrong-source"
        return "changed"


def stored_row_hashes(storage: Any, pipeline_id: int) -> tuple[dict[str, str], HashKind]:
    """The hash stored per row key of a run, and which hash it is: the exact one when the
    run stored it for every row, else the input hash."""
    rows = [r for r in storage.get_results(pipeline_id=pipeline_id) if r["input_hash"] is not None]
    if rows and all(r.get("exact_hash") for r in rows):
        return {r["row_key"]: r["exact_hash"] for r in rows}, "exact"
    return {r["row_key"]: r["input_hash"] for r in rows}, "input_hash"


def check_source_rows(storage: Any, pipeline_id: int, frame: Any) -> SourceCheck:
    """Compare each row of ``frame`` (keyed by its index label, as the run keyed its results)
    with the hash stored for that row key in pipeline ``pipeline_id``.

    Rows of the frame without stored results are ignored; row keys with a stored hash but no
    row in the frame are reported missing.
    """
    stored, kind = stored_row_hashes(storage, pipeline_id)
    row_hash = source_row_exact_hash if kind == "exact" else source_row_hash
    report = SourceCheck(expected=len(stored), hash_kind=kind)
    seen = set()
    for position, label in enumerate(frame.index):
        key = str(label)
        if key not in stored:
            continue
        seen.add(key)
        report.checked += 1
        if row_hash(frame.iloc[position]) != stored[key]:
            report.changed.append(key)
    report.missing = sorted(set(stored) - seen)
    return report


def likely_key_column(frame: Any, row_keys: Any) -> str | None:
    """The column of ``frame`` whose values hold the most of ``row_keys`` (at least half of
    them), for a check that found few keys in the frame's index; None when none does."""
    wanted = {str(k) for k in row_keys}
    best, best_found = None, MIN_FOUND_SHARE * len(wanted)
    for column in frame.columns:
        found = len(wanted.intersection(frame[column].astype(str)))
        if found > 0 and found >= best_found:
            best, best_found = str(column), found
    return best
