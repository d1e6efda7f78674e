"""Values handed to the client and the typed results it returns.

Results are frozen dataclasses filled from the native core's answer; amounts are
:class:`~decimal.Decimal` (never ``float``) and statuses are :class:`PaymentStatus`.
Secrets (access tokens, webhook header values) are left out of every ``repr``.
"""

from __future__ import annotations

import base64
import binascii
import os
from dataclasses import dataclass, field, fields
from decimal import Decimal
from enum import Enum
from typing import TYPE_CHECKING, Any, Callable, Literal, Mapping, TypeVar, Union

from quorvex_bo.fx.errors import DecodeError

if TYPE_CHECKING:
    from _typeshed import DataclassInstance

__all__ = [
    "AccessToken",
    "Amount",
    "BinanceNotification",
    "Currency",
    "FxNotification",
    "FxQr",
    "FxStatusInfo",
    "JsonValue",
    "PaymentStatus",
    "VirtualAsset",
    "WebhookTarget",
]

#: What an ``amount`` argument may be: exact values, or a ``float`` sent as its shortest repr.
Amount = Union[Decimal, int, str, float]
#: The currency of an amount.
Currency = Literal["BOB", "USD"]
#: The virtual asset of a crypto QR code.
VirtualAsset = Literal["usdt", "usdc", "bk"]
#: A JSON value as returned by the gateway (numbers with a fraction are ``Decimal``).
JsonValue = Union[None, bool, int, Decimal, str, list["JsonValue"], dict[str, "JsonValue"]]


class PaymentStatus(str, Enum):
    """The state of a payment, whatever word the gateway used for it."""

    PENDING = "pending"
    PROCESSING = "processing"
    PAID = "paid"
    CANCELLED = "cancelled"
    EXPIRED = "expired"
    REJECTED = "rejected"
    REVERSED = "reversed"
    ERROR = "error"
    UNKNOWN = "unknown"

    def __str__(self) -> str:
        return self.value


@dataclass(frozen=True)
class WebhookTarget:
    """Where the gateway posts notifications, and the header that proves it is the gateway.

    Attributes:
        url: an ``https://`` (or ``http://``) URL of your receiver.
        key: the header name the gateway must send (letters, digits, ``-`` and ``_``).
        value: the secret header value; keep it, you need it to check notifications.
    """

    url: str
    key: str
    value: str = field(repr=False)


@dataclass(frozen=True)
class AccessToken:
    """A bearer token obtained from the gateway's authorisation service.

    Attributes:
        access_token: the secret (never shown by ``repr``).
        expires_at: expiry as Unix seconds; ``None`` when unknown. The client asks
            its token provider again shortly before this moment.
        token_type: informative; requests always use the ``Bearer`` scheme.
        scope: informative.
    """

    access_token: str = field(repr=False)
    expires_at: float | None = None
    token_type: str = "Bearer"
    scope: str | None = None


def _decimal(value: Any) -> Decimal | None:
    return None if value is None else Decimal(value)


def _status(value: Any) -> PaymentStatus:
    return PaymentStatus(value)


# Members of result records that need more than the JSON value itself.
_CONVERTERS: dict[str, Callable[[Any], Any]] = {
    "amount": _decimal,
    "converted_amount": _decimal,
    "exchange_rate": _decimal,
    "status": _status,
}

_Record = TypeVar("_Record", bound="DataclassInstance")


def from_core(cls: type[_Record], value: Mapping[str, Any]) -> _Record:
    """Fills a result record from the JSON object the native core returned."""
    args = {f.name: _CONVERTERS.get(f.name, _same)(value[f.name]) for f in fields(cls)}
    return cls(**args)


def _same(value: Any) -> Any:
    return value


@dataclass(frozen=True)
class FxQr:
    """A freshly generated QR code (Pix, virtual asset or Binance).

    The record carries the gateway's word on the request; it is not a payment.
    Payment is confirmed by ``verify`` or by a webhook notification.

    Attributes:
        reference: your reference, as the gateway echoed it.
        amount: the amount of the QR code.
        currency: its currency (empty when the gateway did not say).
        merchant_reference: the gateway's own reference, if given.
        status: the status the gateway reported.
        raw_status: the gateway's status word as received.
        detail: the gateway's detail text, if any.
        converted_amount: the amount in the payer's currency, if converted.
        converted_currency: that currency, upper case.
        exchange_rate: the rate used for the conversion.
        expires_at: when the QR code expires, as the gateway wrote it.
        image_base64: the QR image, base64-encoded.
        image_mime: ``"image/png"``, ``"image/jpeg"`` or ``"application/octet-stream"``.
    """

    reference: str
    amount: Decimal
    currency: str
    merchant_reference: str | None
    status: PaymentStatus
    raw_status: str
    detail: str | None
    converted_amount: Decimal | None
    converted_currency: str | None
    exchange_rate: Decimal | None
    expires_at: str | None
    image_base64: str = field(repr=False)
    image_mime: str

    def image(self) -> bytes:
        """The QR image as bytes; :class:`DecodeError` if the gateway sent bad base64."""
        try:
            return base64.b64decode(self.image_base64, validate=True)
        except (binascii.Error, ValueError) as error:
            raise DecodeError("the QR image is not valid base64") from error

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the QR image to ``path`` (choose the extension from ``image_mime``)."""
        with open(path, "wb") as file:
            file.write(self.image())


@dataclass(frozen=True)
class FxStatusInfo:
    """The state of a QR payment, as answered by ``verify`` or ``cancel``.

    Attributes:
        reference: the reference the answer is about.
        status: the payment status.
        raw_status: the gateway's status word as received.
        detail: the gateway's detail text, if any.
        amount: the amount, if the gateway reported it.
        currency: its currency, if reported.
        converted_amount: the amount in the payer's currency, if converted.
        converted_currency: that currency, upper case.
        exchange_rate: the rate used for the conversion.
        reversal: the gateway's reversal record, as JSON, if any.
        requested_at: when the payment was requested, as the gateway wrote it.
    """

    reference: str
    status: PaymentStatus
    raw_status: str
    detail: str | None
    amount: Decimal | None
    currency: str | None
    converted_amount: Decimal | None
    converted_currency: str | None
    exchange_rate: Decimal | None
    reversal: JsonValue
    requested_at: str | None


@dataclass(frozen=True)
class FxNotification:
    """A payment notification of the Pix or virtual-asset rail, authenticated.

    Attributes:
        reference: the payment's reference, if the notification carried one.
        status: the payment status (``UNKNOWN`` when the word was missing or new).
        raw_status: the gateway's status word as received.
        amount: the amount, if readable.
        currency: its currency, if given.
        payload: the whole notification body as JSON.
    """

    reference: str | None
    status: PaymentStatus
    raw_status: str | None
    amount: Decimal | None
    currency: str | None
    payload: JsonValue


@dataclass(frozen=True)
class BinanceNotification:
    """A payment notification of the Binance rail, authenticated.

    Attributes:
        reference: the payment's reference.
        status: the payment status.
        raw_status: the gateway's status word as received.
        amount: the amount of the transaction, if any.
        currency: its currency.
        transaction_at: when the transaction happened, as the gateway wrote it.
        payer_name: the payer's name, if given.
        payer_document_id: the payer's identity document, if given.
        ack: the acknowledgement the gateway expects back (see ``binance_ack``).
    """

    reference: str
    status: PaymentStatus
    raw_status: str
    amount: Decimal | None
    currency: str | None
    transaction_at: str | None
    payer_name: str | None
    payer_document_id: str | None
    ack: JsonValue
