"""Delivering notifications to the merchant's webhook, retrying with backoff.

Each notification gets its own delivery thread, so a slow receiver holds up only its
own notifications. Every try is recorded on the payment (at the sandbox clock), and
the payment pages show them. Notifications go only to loopback addresses unless the
sandbox was told otherwise, so a sandbox never sends anything off the machine by
surprise.
"""

from __future__ import annotations

import ipaddress
import threading
import time
import urllib.parse
from collections.abc import Callable

import httpx

from quorvex_bo.fx.sandbox import wire
from quorvex_bo.fx.sandbox.faults import WEBHOOK, FaultPlan
from quorvex_bo.fx.sandbox.ledger import Attempt, Delivery, Ledger, Payment, State

_DETAIL_LENGTH = 200


def is_loopback(url: str) -> bool:
    host = urllib.parse.urlsplit(wire.trim(url)).hostname or ""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Courier:
    """Posts notifications: `attempts` tries per notification, waiting `backoff`,
    then twice as long, and so on between them."""

    def __init__(self, ledger: Ledger, faults: FaultPlan, stopping: threading.Event,
                 clock: Callable[[], float], *, attempts: int, backoff: float,
                 timeout: float, remote: bool) -> None:
        self._ledger = ledger
        self._faults = faults
        self._stopping = stopping
        self._clock = clock
        self._attempts = attempts
        self._backoff = backoff
        self._remote = remote
        # The environment's proxy settings must not reroute loopback traffic.
        self._http = httpx.Client(timeout=timeout, trust_env=False)
        self._threads: list[threading.Thread] = []
        self._threads_lock = threading.Lock()  # payments settle on many request threads

    def send(self, payment: Payment, *, kind: str = "notification", copies: int = 1,
             state: State | None = None, claimed: bool = False) -> None:
        """Starts delivering the notification of `payment`'s final state (or, for a
        stale one, of `state`), `copies` times one after the other. A planned
        duplicate_webhook fault doubles the first notification of a payment. `claimed`:
        the caller already marked the delivery in progress, with the change itself."""
        if kind == "notification" and self._faults.take(WEBHOOK) is not None:
            copies = 2
        if not claimed:
            self._ledger.set_delivery(payment.rail, payment.reference, Delivery.IN_PROGRESS)
        thread = threading.Thread(target=self._deliver, daemon=True,
                                  args=(payment, kind, copies, state or payment.state),
                                  name=f"webhook {payment.rail.value} {payment.reference}")
        with self._threads_lock:
            self._threads = [t for t in self._threads if t.is_alive()] + [thread]
            thread.start()

    def close(self, timeout: float) -> None:
        """Waits for deliveries to end (the caller has set `stopping`), then closes."""
        deadline = time.monotonic() + timeout
        with self._threads_lock:
            threads = list(self._threads)
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        self._http.close()

    def _deliver(self, payment: Payment, kind: str, copies: int, state: State) -> None:
        body = wire.dumps(wire.notification(payment, state))
        delivered = all([self._deliver_once(payment, body, kind) for _ in range(copies)])
        self._ledger.set_delivery(payment.rail, payment.reference,
                                  Delivery.DELIVERED if delivered else Delivery.FAILED)

    def _deliver_once(self, payment: Payment, body: bytes, kind: str) -> bool:
        for number in range(self._attempts):
            attempt = self._post(payment, body, kind)
            if attempt.succeeded:
                return True
            if number + 1 == self._attempts or self._stopping.wait(self._backoff * 2 ** number):
                return False
        return False

    def _post(self, payment: Payment, body: bytes, kind: str) -> Attempt:
        started = self._clock()
        url = wire.trim(payment.webhook.url)

        def recorded(status: int | None, detail: str) -> Attempt:
            return self._ledger.record(payment.rail, payment.reference,
                                       lambda number: Attempt(number, started, status, detail,
                                                              kind))

        if not self._remote and not is_loopback(url):
            return recorded(None, "not sent: this sandbox delivers only to loopback addresses")
        headers = {"Content-Type": "application/json", "User-Agent": "quorvex-sandbox",
                   payment.webhook.key: payment.webhook.value}
        try:
            answer = self._http.post(url, content=body, headers=headers)
        except httpx.HTTPError as error:
            return recorded(None, f"no answer ({type(error).__name__}): {error}")
        return recorded(answer.status_code, answer.text.strip()[:_DETAIL_LENGTH])
