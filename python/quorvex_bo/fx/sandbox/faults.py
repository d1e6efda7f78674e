"""Faults on demand: the next calls of an operation misbehave the way real networks and
gateways do, so clients can be tested against them."""

from __future__ import annotations

import collections
import enum
import math
import threading
from dataclasses import dataclass
from typing import Any

from quorvex_bo.fx.sandbox.errors import SandboxError
from quorvex_bo.fx.sandbox.routes import BY_OPERATION

GATEWAY_OPERATIONS = tuple(BY_OPERATION)
# The notification a settled payment sends is the one operation that is not a request.
WEBHOOK = "webhook"


class FaultKind(str, enum.Enum):
    """How a call goes wrong. The first three refuse the call before it is carried out;
    SLOW, DROP and MALFORMED carry it out and then spoil the answer, as happens when
    the gateway worked but the answer was lost on the way."""

    UNAVAILABLE = "unavailable"  # 503 with Retry-After
    RATE_LIMITED = "rate_limited"  # 429 with Retry-After
    SERVER_ERROR = "server_error"  # 500 with an HTML page
    SLOW = "slow"  # the real answer, `delay` seconds late
    DROP = "drop"  # the connection closed without an answer
    MALFORMED = "malformed"  # 200 with a cut-off JSON body
    DUPLICATE_WEBHOOK = "duplicate_webhook"  # the notification delivered twice

    @property
    def refuses(self) -> bool:
        return self in (FaultKind.UNAVAILABLE, FaultKind.RATE_LIMITED, FaultKind.SERVER_ERROR)


@dataclass(frozen=True)
class Fault:
    """One planned fault; `retry_after` (seconds) goes with 503 and 429, `delay` with SLOW."""

    kind: FaultKind
    retry_after: int = 1
    delay: float = 2.0


class FaultError(SandboxError, ValueError):
    """A fault request that names an unknown operation or kind, or does not fit."""


class FaultPlan:
    """The faults still to come, per operation, first planned first served."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queues: dict[str, collections.deque[Fault]] = collections.defaultdict(
            collections.deque)

    def add(self, operation: str, fault: Fault, times: int = 1) -> None:
        """Makes the next `times` calls of `operation` fail with `fault`."""
        if operation not in (*GATEWAY_OPERATIONS, WEBHOOK):
            raise FaultError(f"unknown operation {operation!r}; expected one of "
                             f"{', '.join((*GATEWAY_OPERATIONS, WEBHOOK))}")
        if (operation == WEBHOOK) != (fault.kind is FaultKind.DUPLICATE_WEBHOOK):
            raise FaultError(f"{fault.kind.value} does not apply to {operation}")
        if times < 1 or fault.retry_after < 0 or not 0 <= fault.delay <= 600:
            raise FaultError("times must be at least 1, retry_after at least 0 and delay "
                             "from 0 to 600 seconds")
        with self._lock:
            self._queues[operation].extend([fault] * times)

    def take(self, operation: str) -> Fault | None:
        """The fault for this call of `operation`, if one is planned."""
        with self._lock:
            queue = self._queues.get(operation)
            return queue.popleft() if queue else None

    def pending(self) -> dict[str, list[str]]:
        with self._lock:
            return {operation: [fault.kind.value for fault in queue]
                    for operation, queue in self._queues.items() if queue}

    def clear(self) -> None:
        with self._lock:
            self._queues.clear()

    def add_from_json(self, request: Any) -> None:
        """Plans faults from a control request: {"operation", "kind", and optionally
        "times", "retry_after", "delay"}."""
        if not isinstance(request, dict):
            raise FaultError("the request must be a JSON object")
        try:
            kind = FaultKind(request.get("kind"))
        except ValueError:
            raise FaultError(f"kind must be one of {', '.join(k.value for k in FaultKind)}") \
                from None
        times, retry_after, delay = (request.get(name, default) for name, default in
                                     (("times", 1), ("retry_after", 1), ("delay", 2.0)))
        if not (_whole(times) and _whole(retry_after) and isinstance(delay, (int, float))
                and not isinstance(delay, bool) and math.isfinite(delay)):
            raise FaultError("times and retry_after must be integers, delay a number")
        self.add(str(request.get("operation")), Fault(kind, retry_after, float(delay)), times)


def _whole(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)
