"""The sandbox's own clock: the time of the machine, moved forward on request.

Expiry, automatic outcomes and every time the sandbox shows are read from it, so a
test can make an hour pass in an instant without waiting or touching the system time.
"""

from __future__ import annotations

import math
import threading
from collections.abc import Callable

from quorvex_bo.fx.sandbox.errors import SandboxError


class ClockError(SandboxError, ValueError):
    """A move of the clock that is not a finite number of seconds forward."""


class Clock:
    """`source` (seconds, normally the system time) plus the travel so far."""

    def __init__(self, source: Callable[[], float], start: float | None = None,
                 travelled: float = 0.0) -> None:
        self._source = source
        self._lock = threading.Lock()
        self._travelled = travelled if start is None else start - source()

    def now(self) -> float:
        with self._lock:
            return self._source() + self._travelled

    __call__ = now

    @property
    def travelled(self) -> float:
        """Seconds this clock is ahead of its source (what a restart keeps)."""
        with self._lock:
            return self._travelled

    def advance(self, seconds: float) -> float:
        """Moves the clock `seconds` forward; returns the new reading."""
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) \
                or not math.isfinite(seconds) or seconds < 0:
            raise ClockError("advance takes a finite number of seconds, 0 or more")
        with self._lock:
            self._travelled += seconds
            return self._source() + self._travelled
