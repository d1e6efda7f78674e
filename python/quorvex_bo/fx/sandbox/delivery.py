"""Delivering notifications to the merchant's webhook, retrying with backoff.

Each settled payment gets its own delivery thread, so a slow receiver holds up only
its own notifications. Every try is recorded on the payment, and the payer page shows
them. Notifications go only to loopback addresses unless the sandbox was told
otherwise, so a sandbox never sends anything off the machine by surprise.
"""

from __future__ import annotations

import ipaddress
import threading
import time
import urllib.parse

import httpx

from quorvex_bo.fx.sandbox import wire
from quorvex_bo.fx.sandbox.faults import WEBHOOK, FaultPlan
from quorvex_bo.fx.sandbox.ledger import Attempt, Delivery, Ledger, Payment

_DETAIL_LENGTH = 200


def is_loopback(url: str) -> bool:
    host = urllib.parse.urlsplit(url.strip()).hostname or ""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Courier:
    """Posts notifications: `attempts` tries per notification, waiting `backoff`,
    then twice as long, and so on between them."""

    def __init__(self, ledger: Ledger, faults: FaultPlan, stopping: threading.Event, *,
                 attempts: int, backoff: float, timeout: float, remote: bool) -> None:
        self._ledger = ledger
        self._faults = faults
        self._stopping = stopping
        self._attempts = attempts
        self._backoff = backoff
        self._remote = remote
        # The environment's proxy settings must not reroute loopback traffic.
        self._http = httpx.Client(timeout=timeout, trust_env=False)
        self._threads: list[threading.Thread] = []
        self._threads_lock = threading.Lock()  # payments settle on many request threads

    def send(self, payment: Payment) -> None:
        """Starts delivering the notification of a payment that just settled."""
        copies = 2 if self._faults.take(WEBHOOK) is not None else 1
        self._ledger.set_delivery(payment.rail, payment.reference, Delivery.IN_PROGRESS)
        thread = threading.Thread(target=self._deliver, args=(payment, copies), daemon=True,
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

    def _deliver(self, payment: Payment, copies: int) -> None:
        body = wire.dumps(wire.notification(payment))
        delivered = all(self._deliver_once(payment, body) for _ in range(copies))
        self._ledger.set_delivery(payment.rail, payment.reference,
                                  Delivery.DELIVERED if delivered else Delivery.FAILED)

    def _deliver_once(self, payment: Payment, body: bytes) -> bool:
        for number in range(self._attempts):
            attempt = self._post(payment, body)
            self._ledger.record(payment.rail, payment.reference, attempt)
            if attempt.succeeded:
                return True
            if number + 1 == self._attempts or self._stopping.wait(self._backoff * 2 ** number):
                return False
        return False

    def _post(self, payment: Payment, body: bytes) -> Attempt:
        number = self._ledger.next_attempt_number(payment.rail, payment.reference)
        started = time.time()
        url = payment.webhook.url.strip()
        if not self._remote and not is_loopback(url):
            return Attempt(number, started, None,
                           "not sent: this sandbox delivers only to loopback addresses")
        headers = {"Content-Type": "application/json", "User-Agent": "quorvex-sandbox",
                   payment.webhook.key: payment.webhook.value}
        try:
            answer = self._http.post(url, content=body, headers=headers)
        except httpx.HTTPError as error:
            return Attempt(number, started, None, f"no answer ({type(error).__name__}): {error}")
        return Attempt(number, started, answer.status_code,
                       answer.text.strip()[:_DETAIL_LENGTH])
