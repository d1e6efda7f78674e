"""The states of a payment and the one rule that moves it: a pure function of the
current state and what was just learned, whoever learned it."""

from __future__ import annotations

import enum

from quorvex_bo.fx.models import PaymentStatus

__all__ = ["Cause", "PaymentState", "Resolution", "FINAL", "LIVE", "next_state", "from_status"]


class PaymentState(str, enum.Enum):
    """Where a payment of the book stands.

    The book's own states are ``creating`` (the intent is recorded, the QR not yet
    generated), ``unconfirmed`` (a generation whose answer was lost: the gateway may or
    may not know the reference) and ``failed`` (the gateway never took the payment).
    The others are the gateway's.
    """

    CREATING = "creating"
    UNCONFIRMED = "unconfirmed"
    PENDING = "pending"
    PROCESSING = "processing"
    PAID = "paid"
    CANCELLED = "cancelled"
    EXPIRED = "expired"
    REJECTED = "rejected"
    REVERSED = "reversed"
    ERROR = "error"
    FAILED = "failed"

    def __str__(self) -> str:
        return self.value


class Cause(str, enum.Enum):
    """Who learned of a transition."""

    CREATE = "create"
    WEBHOOK = "webhook"
    VERIFY = "verify"
    RECONCILE = "reconcile"
    OPERATOR = "operator"  # a person, through the console or the CLI

    def __str__(self) -> str:
        return self.value


class Resolution(str, enum.Enum):
    """What a person decided about a late payment (money reported after the book gave
    the payment up): the payment stays paid either way; the decision reaches your
    handler as an event whose ``state`` is the resolution."""

    REFUNDED_OUTSIDE = "refunded_outside"  # the money was given back outside the gateway
    KEPT = "kept"  # the money is kept: fulfil the order

    def __str__(self) -> str:
        return self.value


#: States in which the outcome is still open: reconcile checks them.
LIVE = frozenset({PaymentState.CREATING, PaymentState.UNCONFIRMED, PaymentState.PENDING,
                  PaymentState.PROCESSING})
#: States that end a payment (``paid`` may still become ``reversed``).
FINAL = frozenset(PaymentState) - LIVE
#: Final states without money: the order may be tried again with a new payment.
UNPAID = FINAL - {PaymentState.PAID, PaymentState.REVERSED}
# Only the book itself concludes these, and only before the gateway has spoken.
_BOOK_ONLY = {PaymentState.CREATING, PaymentState.UNCONFIRMED, PaymentState.FAILED}


def from_status(status: PaymentStatus) -> PaymentState | None:
    """The state a gateway status word stands for; ``None`` for a word it did not know."""
    return None if status is PaymentStatus.UNKNOWN else PaymentState(status.value)


def next_state(current: PaymentState, learned: PaymentState) -> PaymentState | None:
    """The state a payment moves to when ``learned`` is reported while it is ``current``;
    ``None`` when nothing changes (a duplicate, or a stale word).

    - Live payments move forward: ``processing`` never goes back to ``pending``, and a
      payment the gateway has spoken of is never declared unconfirmed or failed.
    - ``paid`` only becomes ``reversed``; other final states stay, except that money
      reported after the book gave up (a late payment of an expired QR) is never ignored.
    """
    if learned is current:
        return None
    if current in LIVE:
        if learned is PaymentState.CREATING:
            return None
        if current not in _BOOK_ONLY and learned in _BOOK_ONLY:
            return None
        if current is PaymentState.PROCESSING and learned is PaymentState.PENDING:
            return None
        return learned
    if current is PaymentState.PAID:
        return learned if learned is PaymentState.REVERSED else None
    if current in UNPAID and learned is PaymentState.PAID:
        return learned
    return None
