"""The gateway's behaviour, apart from HTTP: who may call, what each operation does to
the ledger, and what it answers."""

from __future__ import annotations

import hmac
from collections.abc import Callable
from email.message import Message
from typing import Any

from quorvex_bo.fx.sandbox import qr, wire
from quorvex_bo.fx.sandbox.delivery import Courier
from quorvex_bo.fx.sandbox.ledger import (Ledger, LedgerError, NotPending, Payment, Rail,
                                          State)

Answer = tuple[int, dict[str, Any]]  # HTTP status and JSON body

# The operations, by rail and the last word of their path; generation is the only POST.
OPERATIONS: dict[str, tuple[Rail, str]] = {
    "pix.generate": (Rail.PIX, "generar"),
    "pix.verify": (Rail.PIX, "verifica"),
    "pix.cancel": (Rail.PIX, "cancela"),
    "crypto.generate": (Rail.CRYPTO, "generar"),
    "crypto.verify": (Rail.CRYPTO, "estado"),
    "binance.generate": (Rail.BINANCE, "generar"),
    "binance.verify": (Rail.BINANCE, "verificar"),
}
_STATUS_OF_CODE = {"GQ-400": 400, "GQ-404": 404, "GQ-409": 409, "GQ-410": 409}


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

    def refuse_caller(self, headers: Message) -> dict[str, Any] | None:
        """The 401 body for a caller without valid credentials, or None to let it in."""
        token = headers.get("access_token") or ""
        known = any(hmac.compare_digest(token.encode(), allowed.encode())
                    for allowed in self._tokens)
        bearer = hmac.compare_digest((headers.get("Authorization") or "").encode(),
                                     f"Bearer {token}".encode())
        if not (token and known and bearer):
            return wire.unauthorized("invalid_token",
                                     "the access token is missing, unknown or inconsistent")
        if not hmac.compare_digest((headers.get("client_id") or "").encode(),
                                   self._client_id.encode()):
            return wire.unauthorized("invalid_client", "unknown client_id")
        return None

    def call(self, operation: str, reference: str | None, body: bytes) -> Answer:
        rail, action = OPERATIONS[operation]
        try:
            if action == "generar":
                return self._generate(rail, body)
            assert reference is not None
            if action == "cancela":
                return 200, wire.status(self._cancel(rail, reference))
            return 200, wire.status(self.ledger.get(rail, reference))
        except wire.BadRequest as error:
            return 400, wire.failure(str(error), "GQ-400")
        except LedgerError as error:
            return _STATUS_OF_CODE[error.code], wire.failure(str(error), error.code)

    def image(self, payment: Payment) -> str:
        """The payment's QR as base64 PNG: it holds the payer page's URL."""
        return qr.png_base64(self.payer_url(payment.rail, payment.reference))

    def settle_by_payer(self, rail: Rail, reference: str, paid: bool) -> Payment:
        """The payer pays or rejects; the merchant is notified either way. A rejected
        payment is cancelled: the gateway has no other final word for it."""
        state, detail = (State.PAID, "paid by the payer") if paid else \
            (State.CANCELLED, "rejected by the payer")
        payment = self.ledger.settle(rail, reference, state, detail)
        self._courier.send(payment)
        return payment

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
