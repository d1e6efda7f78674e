"""A local sandbox gateway: every payment flow end to end, without credentials.

Start it with ``python -m quorvex_bo.fx.sandbox`` or in-process::

    with Sandbox() as gw:
        client = Client("sandbox-client", base_url=gw.base_url, token="sandbox-token")

It listens on 127.0.0.1 only, answers only requests whose Host names it 127.0.0.1,
localhost, [::1] or one of its ``allowed_hosts`` (421 otherwise: a page whose name was
rebound to this machine is refused), and answers the gateway's seven operations under the
paths the client builds for every environment (none, "/desarrollo", "/sandbox"):
POST ``qr/pix/v2/generar``, ``qr/koibanx/v2/generar``, ``qr/binance/v2/generar`` and
GET ``qr/pix/v2/verifica/<ref>``, ``qr/pix/v2/cancela/<ref>``,
``qr/koibanx/v2/estado/<ref>``, ``qr/binance/v2/verificar/<ref>``.

Callers need the client id and one of the tokens the sandbox was started with, in
"client_id", "access_token" and "Authorization: Bearer …"; otherwise the answer is
401 with an "error_description".

Every new QR is "PENDING". Its "imagen" is a PNG of a real QR code holding the URL of
the payment's payer page, ``/pay/<rail>/<ref>``, where Pay and Reject settle it and
the notification is posted to the payment's webhook (Binance body on the Binance
rail, FX body on the others) with the header it named, retried with backoff. A
rejected payment is cancelled. A payment not settled by the expiry its request gave
(a Pix QR without one lives an hour, a Binance QR five minutes) is expired.

Amounts are converted between BOB and USD at the fixed sandbox rate of 6.96 BOB per
USD, rounded to the cent.

Refusals are "codigoRespuesta" "ERROR" with a detail that ends in " - " and a code:

======== ====== =====================================================================
Code     Status Meaning
======== ====== =====================================================================
GQ-400   400    the request body lacks a member, has an unknown one, or one is wrong
GQ-404   404    no payment with this reference on this rail
GQ-409   409    a payment with this reference already exists on this rail
GQ-410   409    the payment is no longer pending (cancelling a paid QR, paying an
                expired one)
======== ====== =====================================================================

Faults on demand (:meth:`Sandbox.inject`, or POST ``/_sandbox/faults`` with
{"operation", "kind", "times", "retry_after", "delay"}; GET lists, DELETE clears)
make the next calls of an operation answer 503 with Retry-After, 429 with
Retry-After, a 500 HTML page, late, not at all (connection dropped after the call
was carried out), or with a cut-off body; "webhook" with "duplicate_webhook"
delivers the next notification twice.
"""

from quorvex_bo.fx.sandbox.clock import ClockError
from quorvex_bo.fx.sandbox.errors import SandboxError
from quorvex_bo.fx.sandbox.faults import Fault, FaultError, FaultKind
from quorvex_bo.fx.sandbox.ledger import (BOB_PER_USD, Attempt, Delivery, DuplicatePayment,
                                          GatewayCall, LedgerError, NotPending, Payment, Rail,
                                          State, StillPending, UnknownPayment, Webhook)
from quorvex_bo.fx.sandbox.outcomes import SPECIAL_CENTS, Outcome
from quorvex_bo.fx.sandbox.server import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox

__all__ = [
    "Sandbox", "DEFAULT_CLIENT_ID", "DEFAULT_TOKEN", "BOB_PER_USD",
    "Fault", "FaultKind", "FaultError", "GatewayCall", "Outcome", "SPECIAL_CENTS",
    "Payment", "Rail", "State", "Delivery", "Attempt", "Webhook",
    "SandboxError", "ClockError", "LedgerError", "UnknownPayment", "DuplicatePayment",
    "NotPending", "StillPending",
]
