"""Time of check_lineage on the demo's scoring pipeline, against one plain run of it.

The check runs the pipeline once per perturbation of each source column, plus one tracked
run, so its time is about (source columns x perturbations) plain runs. Prints one row per
road: the best-of-N time of the check, of one plain run, their ratio, and the number of
perturbed runs. Run: ``.venv/bin/python benchmarks/bench_check_lineage.py`` (``--quick``
for fewer repeats).
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

from _data import PROTECTED, load_applications
from credit_pipeline import credit_score, peer_income

from quorvane import check_lineage

REPEATS = 2 if "--quick" in sys.argv else 5


def scores(frame):
    """The demo's formula and its peer-income column, as the demo computes them."""
    outputs = credit_score(frame)
    frame = frame.assign(**outputs)
    return {**outputs, "peer_income": peer_income(frame)}


def best(fn: Callable[[], object]) -> float:
    fn()
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    applications, _ = load_applications()
    plain = best(lambda: scores(applications.copy()))
    print(
        f"check_lineage on the demo's pipeline: {len(applications):,} rows, "
        f"{len(applications.columns)} source columns"
    )
    print(f"{'road':6} {'check s':>9} {'plain run s':>12} {'ratio':>7} {'runs':>5} {'recall':>7}")
    for road in ("words", "dag"):
        report = check_lineage(scores, applications, protected=PROTECTED, road=road)
        took = best(lambda road=road: check_lineage(scores, applications, PROTECTED, road=road))
        print(
            f"{road:6} {took:9.3f} {plain:12.4f} {took / plain:7.1f} {report.runs:5d} "
            f"{report.recall:7.1%}"
        )


if __name__ == "__main__":
    main()
