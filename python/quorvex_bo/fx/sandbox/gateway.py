"""The gateway's behaviour, apart from HTTP: who may call, what each operation does to
the ledger, what it answers, and what the payer and the developer can make happen."""

from __future__ import annotations

import hmac
from collections.abc import Callable, Mapping
from typing import Any

from quorvex_bo.fx.sandbox import qr, wire
from quorvex_bo.fx.sandbox.delivery import Courier
from quorvex_bo.fx.sandbox.ledger import (Delivery, Ledger, LedgerError, NotPending, Payment,
                                          Rail, State, StillPending)
from quorvex_bo.fx.sandbox.outcomes import Outcome
from quorvex_bo.fx.sandbox.routes import Route

Answer = tuple[int, dict[str, Any]]  # HTTP status and JSON body

_STATUS_OF_CODE = {"GQ-400": 400, "GQ-404": 404, "GQ-409": 409, "GQ-410": 409}
_DETAILS = {State.PAID: "paid by the payer", State.CANCELLED: "rejected by the payer",
            State.EXPIRED: "QR expired"}


class Gateway:
    """Answers gateway operations from the ledger for one client id and its tokens."""

    def __init__(self, ledger: Ledger, courier: Courier, clock: Callable[[], float], *,
                 client_id: str, tokens: frozenset[str], payer_url: Callable[[Rail, str], str]
                 ) -> None:
        self.ledger = ledger
        self._courier = courier
        self._clock = clock
        self._client_id = client_id
        self._tokens = tokens
        self.payer_url = payer_url

    def refuse_caller(self, headers: Mapping[str, str]) -> dict[str, Any] | None:
        """The 401 body for a caller without valid credentials, or None to let it in
        (`headers` with lower-case names)."""
        token = headers.get("access_token") or ""
        known = any(hmac.compare_digest(token.encode(), allowed.encode())
                    for allowed in self._tokens)
        bearer = hmac.compare_digest((headers.get("authorization") or "").encode(),
                                     f"Bearer {token}".encode())
        if not (token and known and bearer):
            return wire.unauthorized("invalid_token",
                                     "the access token is missing, unknown or inconsistent")
        if not hmac.compare_digest((headers.get("client_id") or "").encode(),
                                   self._client_id.encode()):
            return wire.unauthorized("invalid_client", "unknown client_id")
        return None

    def call(self, route: Route, reference: str | None, body: bytes) -> Answer:
        try:
            if route.generates:
                return self._generate(route.rail, body)
            assert reference is not None
            if route.operation.endswith(".cancel"):
                return 200, wire.status(self._cancel(route.rail, reference))
            return 200, wire.status(self.ledger.get(route.rail, reference))
        except wire.BadRequest as error:
            return 400, wire.failure(str(error), "GQ-400")
        except LedgerError as error:
            return _STATUS_OF_CODE[error.code], wire.failure(str(error), error.code)

    def image(self, payment: Payment) -> str:
        """The payment's QR as base64 PNG: it holds the payer page's URL."""
        return qr.png_base64(self.payer_url(payment.rail, payment.reference))

    def settle(self, rail: Rail, reference: str, outcome: Outcome) -> Payment:
        """The payer pays or rejects, or the QR expires; the merchant is notified (as the
        outcome says). A rejected payment is cancelled: the gateway has no other final
        word for it. An expired QR expires now, whatever its expiry said."""
        state = outcome.state
        silent = outcome is Outcome.PAY_SILENTLY
        now = self._clock()
        expiry = {"expires_at": now} if state is State.EXPIRED else {}
        payment = self.ledger.settle(
            rail, reference, state, _DETAILS[state],
            delivery=Delivery.WITHHELD if silent else Delivery.IN_PROGRESS, **expiry)
        if not silent:
            self._courier.send(payment, copies=2 if outcome is Outcome.PAY_NOTIFY_TWICE else 1,
                               claimed=True)
        return payment

    def notify_expired(self, payment: Payment) -> None:
        """Tells the merchant of a QR whose expiry passed, once."""
        claimed = self.ledger.set_delivery(
            payment.rail, payment.reference, Delivery.IN_PROGRESS,
            unless=tuple(d for d in Delivery if d is not Delivery.NONE))
        if claimed is not None:
            self._courier.send(claimed, claimed=True)

    def resume_delivery(self, payment: Payment) -> None:
        """Delivers the final state's notification of a payment whose delivery was in
        progress when the sandbox stopped."""
        self._courier.send(payment, claimed=True)

    def notify_again(self, rail: Rail, reference: str, kind: str) -> Payment:
        """Sends a settled payment's notification once more ("resend"), twice in a row
        ("duplicate"), or the notification of its pending state after the final one
        ("stale"), as a gateway that retries or reorders does."""
        payment = self.ledger.get(rail, reference)
        if payment.state is State.PENDING:
            raise StillPending(payment)
        self._courier.send(payment, kind=kind, copies=2 if kind == "duplicate" else 1,
                           state=State.PENDING if kind == "stale" else None)
        return self.ledger.get(rail, reference)

    def _cancel(self, rail: Rail, reference: str) -> Payment:
        """Cancels a pending payment; cancelling again answers as the first time did."""
        try:
            return self.ledger.settle(rail, reference, State.CANCELLED,
                                      "QR cancelled by the merchant")
        except NotPending as refusal:
            if refusal.payment.state is State.CANCELLED:
                return refusal.payment
            raise

    def _generate(self, rail: Rail, body: bytes) -> Answer:
        order = wire.read_order(rail, body)
        now = self._clock()
        payment = self.ledger.open(Payment(
            rail=rail, reference=order.reference, amount=order.amount,
            currency=order.currency, created_at=now, expires_at=now + order.lifetime,
            webhook=order.webhook))
        return 200, wire.generated(payment, self.image(payment))
