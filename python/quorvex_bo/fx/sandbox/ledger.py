"""The payments the sandbox has issued, per rail and reference, and their life.

A payment is pending until the payer pays or rejects it, the merchant cancels it, or
its expiry passes; then it stays as it is. Requests arrive on many threads at once,
so every read and change goes through one lock, and readers get frozen snapshots.
"""

from __future__ import annotations

import dataclasses
import enum
import threading
from collections.abc import Callable
from dataclasses import dataclass
from decimal import ROUND_HALF_EVEN, Decimal

# The fixed sandbox exchange rate: bolivianos per US dollar.
BOB_PER_USD = Decimal("6.96")
_CENT = Decimal("0.01")


class Rail(str, enum.Enum):
    """A payment rail, with the path its gateway operations live under."""

    PIX = "pix"
    CRYPTO = "crypto"
    BINANCE = "binance"

    @property
    def base_path(self) -> str:
        return _BASE_PATHS[self]


_BASE_PATHS = {Rail.PIX: "qr/pix/v2", Rail.CRYPTO: "qr/koibanx/v2", Rail.BINANCE: "qr/binance/v2"}


class State(str, enum.Enum):
    """Where a payment stands; everything but PENDING is final."""

    PENDING = "pending"
    PAID = "paid"
    CANCELLED = "cancelled"
    EXPIRED = "expired"


class Delivery(str, enum.Enum):
    """Where the notification of a settled payment stands."""

    NONE = "none"
    IN_PROGRESS = "in progress"
    DELIVERED = "delivered"
    FAILED = "failed"


@dataclass(frozen=True)
class Webhook:
    """Where the merchant wants notifications, and the header that proves they are ours."""

    url: str
    key: str
    value: str = dataclasses.field(repr=False)


@dataclass(frozen=True)
class Attempt:
    """One try at delivering a notification: the receiver's HTTP status, or None with the
    reason no answer came, and the start of what it answered."""

    number: int
    at: float
    status: int | None
    detail: str

    @property
    def succeeded(self) -> bool:
        return self.status is not None and 200 <= self.status <= 299


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


class LedgerError(Exception):
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


class Ledger:
    """All payments of one sandbox; safe to use from any number of threads."""

    def __init__(self, clock: Callable[[], float]) -> None:
        self._clock = clock
        self._changed = threading.Condition()
        self._payments: dict[tuple[Rail, str], Payment] = {}

    def open(self, payment: Payment) -> Payment:
        """Records a new pending payment; a reference is used once per rail."""
        key = (payment.rail, payment.reference)
        with self._changed:
            if key in self._payments:
                raise DuplicatePayment(key, f"reference {payment.reference} already exists")
            self._payments[key] = payment
            self._changed.notify_all()
        return payment

    def get(self, rail: Rail, reference: str) -> Payment:
        with self._changed:
            return self._current((rail, reference))

    def all(self) -> list[Payment]:
        with self._changed:
            return [self._current(key) for key in self._payments]

    def settle(self, rail: Rail, reference: str, state: State, detail: str) -> Payment:
        """Moves a pending payment to a final state; exactly one caller succeeds."""
        with self._changed:
            payment = self._current((rail, reference))
            if payment.state is not State.PENDING:
                raise NotPending(payment)
            return self._store(payment, state=state, detail=detail, settled_at=self._clock())

    def set_delivery(self, rail: Rail, reference: str, delivery: Delivery) -> Payment:
        with self._changed:
            return self._store(self._current((rail, reference)), delivery=delivery)

    def record(self, rail: Rail, reference: str, attempt: Attempt) -> Payment:
        with self._changed:
            payment = self._current((rail, reference))
            return self._store(payment, attempts=(*payment.attempts, attempt))

    def next_attempt_number(self, rail: Rail, reference: str) -> int:
        with self._changed:
            return len(self._current((rail, reference)).attempts) + 1

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

    def _store(self, payment: Payment, **changes: object) -> Payment:
        updated = dataclasses.replace(payment, **changes)
        self._payments[(payment.rail, payment.reference)] = updated
        self._changed.notify_all()
        return updated
