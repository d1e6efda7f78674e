"""Outcomes on demand: what the payer does when nobody clicks.

A sandbox started with ``auto="pay"`` or ``auto="reject"`` settles every new payment
`auto_delay` seconds (on the sandbox clock) after it was generated. Whatever `auto`
says, the cents of the amount can choose the payer's answer:

=======  ===============================================================
Cents    What happens `auto_delay` seconds after generation
=======  ===============================================================
``.11``  paid
``.12``  paid, and the notification is delivered twice
``.13``  rejected by the payer (cancelled, the merchant is notified)
``.14``  the QR expires unpaid (the merchant is notified)
``.15``  paid, and the notification is never sent (only verify tells)
=======  ===============================================================

Any other amount follows `auto`; without it, the payment waits for a click, a call of
:meth:`Sandbox.pay` and the like, or its expiry.
"""

from __future__ import annotations

import enum
from decimal import Decimal

from quorvex_bo.fx.sandbox.ledger import Payment, State


class Outcome(str, enum.Enum):
    PAY = "pay"
    PAY_NOTIFY_TWICE = "pay, notify twice"
    REJECT = "reject"
    EXPIRE = "expire"
    PAY_SILENTLY = "pay, never notify"

    @property
    def state(self) -> State:
        return {Outcome.REJECT: State.CANCELLED, Outcome.EXPIRE: State.EXPIRED}.get(
            self, State.PAID)


SPECIAL_CENTS = {
    11: Outcome.PAY,
    12: Outcome.PAY_NOTIFY_TWICE,
    13: Outcome.REJECT,
    14: Outcome.EXPIRE,
    15: Outcome.PAY_SILENTLY,
}
AUTO = {"pay": Outcome.PAY, "reject": Outcome.REJECT}


def chosen(payment: Payment, auto: str | None) -> Outcome | None:
    """What the payer does with `payment`, or None to wait for a click."""
    cents = int(payment.amount * 100 % 100) if payment.amount == payment.amount.quantize(
        Decimal("0.01")) else -1
    return SPECIAL_CENTS.get(cents) or (AUTO[auto] if auto else None)
