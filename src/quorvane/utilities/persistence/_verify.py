"""The tamper check: source rows hashed again and compared with the hashes stored with a run."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from ._rowhash import source_row_hash


@dataclass
class SourceCheck:
    """What ``check_source_rows`` found; ``ok`` when every stored row matched."""

    checked: int = 0
    changed: list[str] = field(default_factory=list)
    missing: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return self.checked > 0 and not self.changed and not self.missing


def check_source_rows(storage: Any, pipeline_id: int, frame: Any) -> SourceCheck:
    """Compare each row of ``frame`` (keyed by its index label, as the run keyed its results)
    with the input hash stored for that row key in pipeline ``pipeline_id``.

    Rows of the frame without stored results are ignored; row keys with a stored hash but no
    row in the frame are reported missing.
    """
    stored = {
        r["row_key"]: r["input_hash"]
        for r in storage.get_results(pipeline_id=pipeline_id)
        if r["input_hash"] is not None
    }
    report = SourceCheck()
    seen = set()
    for position, label in enumerate(frame.index):
        key = str(label)
        if key not in stored:
            continue
        seen.add(key)
        report.checked += 1
        if source_row_hash(frame.iloc[position]) != stored[key]:
            report.changed.append(key)
    report.missing = sorted(set(stored) - seen)
    return report
