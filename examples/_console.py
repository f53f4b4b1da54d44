"""Console output of the demo: numbered steps with a progress ticker, and plain tables."""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager


class Steps:
    """Numbered steps; a step that runs longer than a second shows that it is still going."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.number = 0

    @contextmanager
    def step(self, title: str) -> Iterator[list[str]]:
        """Print the title, tick while the body runs, then the time and any notes it added."""
        self.number += 1
        print(f"\n[{self.number}/{self.total}] {title} ", end="", flush=True)
        notes: list[str] = []
        stop = threading.Event()
        ticker = threading.Thread(target=_tick, args=(stop,), daemon=True)
        start = time.perf_counter()
        ticker.start()
        try:
            yield notes
        finally:
            stop.set()
            ticker.join()
        elapsed = time.perf_counter() - start
        suffix = f" ({'; '.join(notes)})" if notes else ""
        print(f" done in {elapsed:.1f} s{suffix}", flush=True)


def _tick(stop: threading.Event) -> None:
    """A dot a second, and the seconds so far every tenth time."""
    seconds = 0
    while not stop.wait(1.0):
        seconds += 1
        sys.stdout.write(f"{seconds}s" if seconds % 10 == 0 else ".")
        sys.stdout.flush()


def table(headers: Sequence[str], rows: Sequence[Sequence[object]], indent: str = "  ") -> str:
    """A left-aligned text table with a rule under the headers."""
    cells = [[str(h) for h in headers]] + [[_cell(v) for v in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip() for r in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(indent + line for line in lines)


def _cell(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return f"{value:.4f}"
    return str(value)


def say(text: str = "") -> None:
    """An indented line of output under the current step."""
    print(f"  {text}" if text else "", flush=True)
