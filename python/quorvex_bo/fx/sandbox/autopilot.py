"""The sandbox's own time-driven work: automatic outcomes, and the notification of
payments whose QR expired. One thread looks every tenth of a second (and at once
after the clock moves), so nothing waits for a request to notice time passing."""

from __future__ import annotations

import threading
from collections.abc import Callable

from quorvex_bo.fx.sandbox import outcomes
from quorvex_bo.fx.sandbox.errors import SandboxError
from quorvex_bo.fx.sandbox.ledger import Delivery, Ledger, LedgerError, Payment, State

_TICK = 0.1


class Autopilot:
    def __init__(self, ledger: Ledger, clock: Callable[[], float], stopping: threading.Event,
                 settle: Callable[[Payment, outcomes.Outcome], object],
                 notify_expired: Callable[[Payment], object], *, auto: str | None,
                 delay: float) -> None:
        if auto not in (None, *outcomes.AUTO):
            raise SandboxError(f"auto must be None or one of {', '.join(outcomes.AUTO)}")
        self._ledger = ledger
        self._clock = clock
        self._stopping = stopping
        self._settle = settle
        self._notify_expired = notify_expired
        self._auto = auto
        self._delay = delay
        self._wake = threading.Event()
        self._lock = threading.Lock()  # one sweep at a time: each payment handled once
        self._thread = threading.Thread(target=self._run, daemon=True,
                                        name="quorvex sandbox autopilot")

    def start(self) -> None:
        self._thread.start()

    def wake(self) -> None:
        self._wake.set()

    def join(self, timeout: float) -> None:
        self._wake.set()
        if self._thread.is_alive():
            self._thread.join(timeout)

    def sweep(self) -> None:
        """Settles the payments whose automatic outcome is due, and notifies the
        merchant of every payment that expired and was not yet told."""
        with self._lock:
            now = self._clock()
            for payment in self._ledger.all():
                outcome = outcomes.chosen(payment, self._auto)
                try:
                    if payment.state is State.PENDING and outcome is not None \
                            and now >= payment.created_at + self._delay:
                        self._settle(payment, outcome)
                    elif payment.state is State.EXPIRED and payment.delivery is Delivery.NONE:
                        self._notify_expired(payment)
                except LedgerError:
                    pass  # settled meanwhile by a click or a call: that one stands

    def _run(self) -> None:
        while not self._stopping.is_set():
            self.sweep()
            self._wake.wait(_TICK)
            self._wake.clear()
