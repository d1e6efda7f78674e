"""The payments the sandbox has issued, per rail and reference, their life, and every
gateway call received.

A payment is pending until the payer pays or rejects it, the merchant cancels it, or
its expiry passes on the sandbox clock; then it stays as it is. Requests arrive on
many threads at once, so every read and change goes through one lock, and readers get
frozen snapshots. With a store, every change is written through before it is shown.
"""

from __future__ import annotations

import dataclasses
import enum
import threading
from collections.abc import Callable
from dataclasses import dataclass
from decimal import ROUND_HALF_EVEN, Decimal
from typing import Any, Protocol

from quorvex_bo.fx.sandbox.errors import SandboxError

class Store(Protocol):
    """Where a ledger writes through (the SQLite store, or nothing)."""

    def payments(self) -> list[Payment]: ...

    def calls(self) -> list[GatewayCall]: ...

    def put_payment(self, payment: Payment) -> None: ...

    def add_call(self, call: GatewayCall) -> None: ...

# The fixed sandbox exchange rate: bolivianos per US dollar.
BOB_PER_USD = Decimal("6.96")
_CENT = Decimal("0.01")


class Rail(str, enum.Enum):
    """A payment rail."""

    PIX = "pix"
    CRYPTO = "crypto"
    BINANCE = "binance"


class State(str, enum.Enum):
    """Where a payment stands; everything but PENDING is final."""

    PENDING = "pending"
    PAID = "paid"
    CANCELLED = "cancelled"
    EXPIRED = "expired"


class Delivery(str, enum.Enum):
    """Where the notification of a settled payment stands. WITHHELD: the sandbox was
    told never to send it (a notification lost for good)."""

    NONE = "none"
    IN_PROGRESS = "in progress"
    DELIVERED = "delivered"
    FAILED = "failed"
    WITHHELD = "withheld"


@dataclass(frozen=True)
class Webhook:
    """Where the merchant wants notifications, and the header that proves they are ours."""

    url: str
    key: str
    value: str = dataclasses.field(repr=False)


@dataclass(frozen=True)
class Attempt:
    """One try at delivering a notification: the receiver's HTTP status, or None with the
    reason no answer came, and the start of what it answered. `kind` says why it was
    sent: "notification", "resend", "duplicate" or "stale"."""

    number: int
    at: float
    status: int | None
    detail: str
    kind: str = "notification"

    @property
    def succeeded(self) -> bool:
        return self.status is not None and 200 <= self.status <= 299


@dataclass(frozen=True)
class GatewayCall:
    """One gateway request as the sandbox received it. `status` is the HTTP status
    answered, 0 when the connection was dropped without an answer; `at` is the
    sandbox clock."""

    operation: str
    rail: Rail
    reference: str | None
    status: int
    at: float


@dataclass(frozen=True)
class Payment:
    """One QR payment as the sandbox holds it."""

    rail: Rail
    reference: str
    amount: Decimal
    currency: str
    created_at: float
    expires_at: float
    webhook: Webhook
    state: State = State.PENDING
    detail: str = "QR generated"
    settled_at: float | None = None
    delivery: Delivery = Delivery.NONE
    attempts: tuple[Attempt, ...] = ()

    @property
    def converted_currency(self) -> str:
        return "BOB" if self.currency == "USD" else "USD"

    @property
    def converted_amount(self) -> Decimal:
        if self.currency == "USD":
            return (self.amount * BOB_PER_USD).quantize(_CENT, ROUND_HALF_EVEN)
        return (self.amount / BOB_PER_USD).quantize(_CENT, ROUND_HALF_EVEN)


class LedgerError(SandboxError):
    """A change the ledger refuses; `code` is the gateway code the sandbox answers with."""

    code = "GQ-400"

    def __init__(self, payment_key: tuple[Rail, str], message: str) -> None:
        super().__init__(message)
        self.payment_key = payment_key


class UnknownPayment(LedgerError):
    code = "GQ-404"


class DuplicatePayment(LedgerError):
    code = "GQ-409"


class NotPending(LedgerError):
    code = "GQ-410"

    def __init__(self, payment: Payment) -> None:
        super().__init__((payment.rail, payment.reference),
                         f"payment {payment.reference} is {payment.state.value}")
        self.payment = payment


class StillPending(LedgerError):
    """A notification asked for before the payment has anything to tell."""

    def __init__(self, payment: Payment) -> None:
        super().__init__((payment.rail, payment.reference),
                         f"payment {payment.reference} is still pending: nothing to notify")


class Ledger:
    """All payments and calls of one sandbox; safe to use from any number of threads."""

    def __init__(self, clock: Callable[[], float], store: Store | None = None) -> None:
        self._clock = clock
        self._store_to = store
        self._changed = threading.Condition()
        self._payments: dict[tuple[Rail, str], Payment] = {}
        self._calls: list[GatewayCall] = []
        if store is not None:
            self._payments = {(p.rail, p.reference): p for p in store.payments()}
            self._calls = store.calls()

    def open(self, payment: Payment) -> Payment:
        """Records a new pending payment; a reference is used once per rail."""
        key = (payment.rail, payment.reference)
        with self._changed:
            if key in self._payments:
                raise DuplicatePayment(key, f"reference {payment.reference} already exists")
            return self._store(payment)

    def get(self, rail: Rail, reference: str) -> Payment:
        with self._changed:
            return self._current((rail, reference))

    def all(self) -> list[Payment]:
        """Every payment, oldest first."""
        with self._changed:
            return [self._current(key) for key in list(self._payments)]

    def settle(self, rail: Rail, reference: str, state: State, detail: str,
               **changes: Any) -> Payment:
        """Moves a pending payment to a final state; exactly one caller succeeds."""
        with self._changed:
            payment = self._current((rail, reference))
            if payment.state is not State.PENDING:
                raise NotPending(payment)
            return self._store(payment, state=state, detail=detail, settled_at=self._clock(),
                               **changes)

    def set_delivery(self, rail: Rail, reference: str, delivery: Delivery,
                     unless: tuple[Delivery, ...] = ()) -> Payment | None:
        """Sets where the notification stands; None (and no change) when it stands at
        one of `unless`, so that two threads cannot both start the same delivery."""
        with self._changed:
            payment = self._current((rail, reference))
            if payment.delivery in unless:
                return None
            return self._store(payment, delivery=delivery)

    def record(self, rail: Rail, reference: str, make: Callable[[int], Attempt]) -> Attempt:
        """Adds the attempt `make` builds from its number (1 for the first)."""
        with self._changed:
            payment = self._current((rail, reference))
            attempt = make(len(payment.attempts) + 1)
            self._store(payment, attempts=(*payment.attempts, attempt))
            return attempt

    def log_call(self, call: GatewayCall) -> None:
        with self._changed:
            self._calls.append(call)
            if self._store_to is not None:
                self._store_to.add_call(call)

    def calls(self) -> list[GatewayCall]:
        with self._changed:
            return list(self._calls)

    def wait(self, rail: Rail, reference: str, done: Callable[[Payment], bool],
             timeout: float) -> Payment:
        """Blocks until `done` holds for the payment or `timeout` seconds pass; returns the
        payment as it then is."""
        with self._changed:
            self._changed.wait_for(lambda: done(self._current((rail, reference))), timeout)
            return self._current((rail, reference))

    def _current(self, key: tuple[Rail, str]) -> Payment:
        """The payment with its expiry applied (called with the lock held)."""
        payment = self._payments.get(key)
        if payment is None:
            raise UnknownPayment(key, f"reference {key[1]} not found")
        if payment.state is State.PENDING and self._clock() >= payment.expires_at:
            payment = self._store(payment, state=State.EXPIRED, detail="QR expired",
                                  settled_at=payment.expires_at)
        return payment

    def _store(self, payment: Payment, **changes: Any) -> Payment:
        updated = dataclasses.replace(payment, **changes)
        if self._store_to is not None:
            self._store_to.put_payment(updated)
        self._payments[(payment.rail, payment.reference)] = updated
        self._changed.notify_all()
        return updated
