"""The FX product: Pix, virtual-asset and Binance QR payments.

Most programs need only :class:`Client` (or :class:`AsyncClient`), the result and
error classes, and :mod:`quorvex_bo.fx.webhooks` for incoming notifications::

    from decimal import Decimal
    from quorvex_bo.fx import Client, WebhookTarget

    with Client("my-client-id", token="...") as client:
        qr = client.pix.generate(reference="1001", amount=Decimal("100.50"), ...)
        client.pix.verify(qr.reference)

The native core underneath is reachable as :func:`call`, which takes an operation
name and a JSON payload and returns a JSON call result.
"""

from quorvex_bo.fx._attempt import Backoff
from quorvex_bo.fx._native import PROTOCOL_VERSION, PanicException, __version__, call
from quorvex_bo.fx.client import AsyncClient, Client, Environment
from quorvex_bo.fx.errors import (
    AmbiguousError,
    ApiError,
    ApiFieldError,
    AuthenticationError,
    CoreError,
    DecodeError,
    NetworkError,
    QuorvexError,
    RequestTimeoutError,
    ValidationError,
    WebhookAuthenticationError,
)
from quorvex_bo.fx.models import (
    AccessToken,
    Amount,
    BinanceNotification,
    Currency,
    FxNotification,
    FxQr,
    FxStatusInfo,
    PaymentStatus,
    VirtualAsset,
    WebhookTarget,
)

__all__ = [
    "AccessToken", "AmbiguousError", "Amount", "ApiError", "ApiFieldError", "AsyncClient",
    "AuthenticationError", "Backoff", "BinanceNotification", "Client", "CoreError",
    "Currency", "DecodeError", "Environment", "FxNotification", "FxQr", "FxStatusInfo",
    "NetworkError", "PROTOCOL_VERSION", "PanicException", "PaymentStatus", "QuorvexError",
    "RequestTimeoutError", "ValidationError", "VirtualAsset", "WebhookAuthenticationError",
    "WebhookTarget", "__version__", "call",
]
