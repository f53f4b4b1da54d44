"""Failed authentications, throttled per client address.

A client may fail ``allowance`` times within ``window`` seconds; each failure beyond that
shuts the address out for a delay that doubles with every further failure (``first_delay``,
twice that, ... at most ``window``). While shut out, its requests are refused unread, without
looking at their keys: an answer that depended on the key would still let the address try
keys at full speed.
"""

from __future__ import annotations

import time
from collections import deque
from dataclasses import dataclass, field


@dataclass
class _Record:
    failures: deque[float] = field(default_factory=deque)
    shut_until: float = 0.0


class FailureThrottle:
    #: addresses remembered at most; beyond this the one that failed longest ago is forgotten
    MAX_ADDRESSES = 100_000

    def __init__(self, allowance: int = 10, window: float = 60.0, first_delay: float = 1.0):
        self.allowance = allowance
        self.window = window
        self.first_delay = first_delay
        self._records: dict[str, _Record] = {}

    def wait_for(self, address: str, now: float | None = None) -> float:
        """Seconds until ``address`` may try again (0: it may now)."""
        record = self._records.get(address)
        if record is None:
            return 0.0
        return max(0.0, record.shut_until - (time.monotonic() if now is None else now))

    def failed(self, address: str, now: float | None = None) -> None:
        now = time.monotonic() if now is None else now
        record = self._records.pop(address, None) or _Record()
        self._records[address] = record  # most recently failing last
        while record.failures and now - record.failures[0] > self.window:
            record.failures.popleft()
        record.failures.append(now)
        excess = len(record.failures) - self.allowance
        if excess > 0:
            delay = min(self.first_delay * 2 ** min(excess - 1, 32), self.window)
            record.shut_until = now + delay
        if len(self._records) > self.MAX_ADDRESSES:
            del self._records[next(iter(self._records))]
