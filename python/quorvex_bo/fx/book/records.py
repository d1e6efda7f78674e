"""What the book hands back: payments, their history, events and webhook replies."""

from __future__ import annotations

import json
import time
import unicodedata
from dataclasses import asdict, dataclass, field, fields
from decimal import Decimal
from typing import Any

from quorvex_bo.fx.book.states import Cause, PaymentState, Resolution
from quorvex_bo.fx.errors import ValidationError
from quorvex_bo.fx.models import FxQr, PaymentStatus

__all__ = ["AuditEntry", "CheckFailure", "Deliveries", "Event", "Operator", "Payment",
           "Reconciled", "Transition", "WebhookReply", "qr_from_json", "qr_to_json", "stamp"]


@dataclass(frozen=True)
class Payment:
    """One attempt at paying an order, as the book holds it.

    Attributes:
        order_id: your order.
        reference: the gateway reference of this attempt (fresh for every attempt).
        rail: ``"pix"``, ``"crypto"`` or ``"binance"``.
        amount: the exact amount.
        currency: ``"BOB"`` or ``"USD"``.
        state: where the payment stands.
        qr: the generated QR code (``None`` until the gateway answered with it).
        created_at: when the intent was recorded (Unix seconds).
        updated_at: when the payment last changed.
        attempt: 1 for the order's first payment, then 2, …
        expires_at: when the QR code expires, once known.
    """

    order_id: str
    reference: str
    rail: str
    amount: Decimal
    currency: str
    state: PaymentState
    qr: FxQr | None = field(repr=False)
    created_at: float
    updated_at: float
    attempt: int = 1
    expires_at: float | None = None


@dataclass(frozen=True)
class Transition:
    """One change of a payment's state: ``previous`` is ``None`` for the intent."""

    at: float
    reference: str
    previous: PaymentState | None
    state: PaymentState
    cause: Cause
    detail: str


@dataclass(frozen=True)
class Event:
    """What a state change tells your code; ``id`` is stable across redeliveries.

    ``mismatch`` says how the notification that caused it differed from the payment in
    amount or currency (``None`` when it did not): a paid payment stays paid, and the
    merchant decides what to do about money that is not what was asked.

    A person's decision about a late payment is an event of its own: ``state`` is the
    :class:`Resolution` (``refunded_outside`` or ``kept``), ``previous`` is ``paid``
    and ``cause`` is ``operator``. The payment stays paid; no second "paid" event is
    ever written."""

    id: int
    order_id: str
    reference: str
    previous: PaymentState | None
    state: PaymentState | Resolution
    cause: Cause
    amount: Decimal
    currency: str
    at: float
    mismatch: str | None = None
    attempts: int = 0  # deliveries that failed so far
    last_error: str | None = None  # the last failure's type and message


@dataclass(frozen=True)
class Deliveries:
    """What one :meth:`~PaymentBook.process_events` run did: events delivered, events
    whose handler failed (tried again later), and events set aside as dead."""

    delivered: int = 0
    failed: int = 0
    dead: int = 0


@dataclass(frozen=True)
class CheckFailure:
    """A payment reconcile could not check: the client's error kind and message (which
    never hold a secret)."""

    order_id: str
    reference: str
    kind: str
    message: str


class Reconciled(list[Payment]):
    """What a reconcile pass did: the payments whose state changed (the list itself),
    how many due payments it checked, and the checks that failed."""

    def __init__(self) -> None:
        super().__init__()
        self.checked = 0
        self.failures: list[CheckFailure] = []


@dataclass(frozen=True)
class Operator:
    """Who uses the console, as the merchant's ``authorize`` hook says: a name (shown in
    the audit) and whether they may act, or only read."""

    name: str
    may_act: bool = False

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"Operator name must be str, not {type(self.name).__name__}")
        if not self.name.strip() or len(self.name) > 100 or any(
                unicodedata.category(c) in ("Cc", "Zl", "Zp") for c in self.name):
            raise ValidationError("must be 1 to 100 characters on one line", field="operator")


@dataclass(frozen=True)
class AuditEntry:
    """One action of a person, as the audit keeps it: who, when, what (the action and
    its target: an order, a reference or an event id), why, and what came of it.
    ``done`` tells whether the action changed or asked anything; ``outcome`` says
    what, or why not."""

    id: int
    at: float
    operator: str
    action: str
    target: str
    order_id: str | None
    reason: str
    outcome: str
    done: bool


@dataclass(frozen=True)
class WebhookReply:
    """The HTTP answer to give the gateway."""

    status: int
    headers: tuple[tuple[str, str], ...]
    body: bytes


def qr_to_json(qr: FxQr) -> str:
    return json.dumps(asdict(qr), default=str)


def qr_from_json(text: str) -> FxQr:
    value: dict[str, Any] = json.loads(text)
    for name in ("amount", "converted_amount", "exchange_rate"):
        if value.get(name) is not None:
            value[name] = Decimal(value[name])
    value["status"] = PaymentStatus(value["status"])
    return FxQr(**{f.name: value[f.name] for f in fields(FxQr)})


def stamp(moment: float) -> str:
    """A moment as people read it in the CLI and the console: UTC, to the second."""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(moment))
