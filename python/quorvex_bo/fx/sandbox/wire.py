"""What the sandbox reads from and writes to the wire, in the gateway's own shapes.

Generation bodies are checked as strictly as a careful gateway would: every member
the rail needs, nothing it does not know, each of the right type and form. Answers
and notifications carry amounts as JSON numbers with their exact decimal text.
"""

from __future__ import annotations

import json
import re
import time
from dataclasses import dataclass
from decimal import Decimal
from typing import Any

from quorvex_bo.fx.sandbox.ledger import BOB_PER_USD, Payment, Rail, State, Webhook

_COMMON = {"numeroReferencia", "glosa", "monto", "moneda", "canal", "webhook"}
# Per rail: the members it requires beyond the common ones, and those it allows.
_REQUIRED = {
    Rail.PIX: _COMMON | {"cpf", "telefono"},
    Rail.CRYPTO: _COMMON | {"activoVirtual", "tiempoVencimientoQR", "campoExtra"},
    Rail.BINANCE: _COMMON | {"campoExtra"},
}
_OPTIONAL: dict[Rail, set[str]] = {
    Rail.PIX: {"tiempoQr", "correoElectronico", "campoExtra"},
    Rail.CRYPTO: set(),
    Rail.BINANCE: {"tiempoQr"},
}
# Without an expiry in the request a Pix QR lives an hour and a Binance QR five minutes.
_DEFAULT_LIFETIME = {Rail.PIX: 3600, Rail.BINANCE: 300}
_LONGEST_LIFETIME = {Rail.PIX: 86399, Rail.BINANCE: 300}
_ASSETS = {"UT", "UP", "BK"}

_DIGITS = re.compile(r"[0-9]+")
_CHANNEL = re.compile(r"[A-Z0-9_]+")
_HEADER_NAME = re.compile(r"[A-Za-z0-9_-]+")
_HHMMSS = re.compile(r"([0-9]{2,}):([0-5][0-9]):([0-5][0-9])")

STATUS_WORDS = {State.PENDING: "PENDING", State.PAID: "PAID", State.CANCELLED: "CANCELLED",
                State.EXPIRED: "EXPIRED"}
_NOTIFICATION_WORDS = {State.PENDING: "PENDIENTE", State.PAID: "PAGADO", State.CANCELLED: "CANCELADO",
                       State.EXPIRED: "EXPIRADO"}


class BadRequest(ValueError):
    """A generation body the gateway would refuse; the message names the member."""


@dataclass(frozen=True)
class Order:
    """What a generation request asks for."""

    reference: str
    amount: Decimal
    currency: str
    lifetime: int
    webhook: Webhook


def read_order(rail: Rail, body: bytes) -> Order:
    """Checks a generation body for `rail` and returns what it asks for."""
    try:
        request = json.loads(body, parse_float=Decimal, parse_int=Decimal)
    except (ValueError, UnicodeDecodeError) as error:
        raise BadRequest(f"body is not JSON: {error}") from None
    if not isinstance(request, dict):
        raise BadRequest("body must be a JSON object")
    missing = sorted(_REQUIRED[rail] - request.keys())
    unknown = sorted(request.keys() - _REQUIRED[rail] - _OPTIONAL[rail])
    if missing or unknown:
        raise BadRequest("; ".join([*(f"missing member {name}" for name in missing),
                                    *(f"unknown member {name}" for name in unknown)]))

    reference = _text(request, "numeroReferencia")
    if not _DIGITS.fullmatch(reference) or (rail is Rail.BINANCE and len(reference) > 10):
        raise BadRequest("numeroReferencia must be digits (at most 10 for Binance)")
    if len([part for part in _text(request, "glosa").split("|") if part.strip()]) != 4:
        raise BadRequest("glosa must have four parts separated by |")
    amount = request["monto"]
    if not isinstance(amount, Decimal) or amount <= 0 \
            or -int(amount.normalize().as_tuple().exponent) > 2:
        raise BadRequest("monto must be a positive number with at most 2 decimals")
    currency = _text(request, "moneda")
    if currency not in ("BOB", "USD"):
        raise BadRequest("moneda must be BOB or USD")
    if not _CHANNEL.fullmatch(_text(request, "canal")):
        raise BadRequest("canal must be upper-case letters, digits and _")
    for name in request.keys() & {"campoExtra", "correoElectronico"}:
        _text(request, name)
    _check_payer(rail, request)
    return Order(reference, amount, currency, _lifetime(rail, request), _webhook(request))


def _text(request: dict[str, Any], name: str) -> str:
    value = request[name]
    if not isinstance(value, str):
        raise BadRequest(f"{name} must be a string")
    return value


def _check_payer(rail: Rail, request: dict[str, Any]) -> None:
    if rail is Rail.PIX:
        if not re.fullmatch(r"[0-9]{11}", _text(request, "cpf")):
            raise BadRequest("cpf must be 11 digits")
        if not re.fullmatch(r"\+[0-9]{13}", _text(request, "telefono")):
            raise BadRequest("telefono must be + and 13 digits")
    if rail is Rail.CRYPTO and request["activoVirtual"] not in _ASSETS:
        raise BadRequest("activoVirtual must be one of BK, UP, UT")


def _lifetime(rail: Rail, request: dict[str, Any]) -> int:
    """The QR's life in seconds, from "tiempoVencimientoQR" or "tiempoQr"."""
    if rail is Rail.CRYPTO:
        seconds = request["tiempoVencimientoQR"]
        if not isinstance(seconds, Decimal) or seconds != seconds.to_integral_value() \
                or not 180 <= seconds <= 600:
            raise BadRequest("tiempoVencimientoQR must be whole seconds from 180 to 600")
        return int(seconds)
    if "tiempoQr" not in request:
        return _DEFAULT_LIFETIME[rail]
    match = _HHMMSS.fullmatch(_text(request, "tiempoQr"))
    hours, minutes, rest = (int(part) for part in match.groups()) if match else (0, 0, 0)
    total = hours * 3600 + minutes * 60 + rest
    if not 1 <= total <= _LONGEST_LIFETIME[rail]:
        raise BadRequest(f"tiempoQr must be HH:MM:SS from 00:00:01 up to "
                         f"{_LONGEST_LIFETIME[rail]} seconds")
    return total


def _webhook(request: dict[str, Any]) -> Webhook:
    target = request["webhook"]
    if not isinstance(target, dict) or not all(
            isinstance(target.get(name), str) for name in ("url", "key", "value")):
        raise BadRequest("webhook must hold the texts url, key and value")
    url, key, value = target["url"].strip(), target["key"], target["value"]
    if not url.startswith(("http://", "https://")) or not _HEADER_NAME.fullmatch(key) \
            or not value.strip():
        raise BadRequest("webhook must have an http(s) url, a header name and a value")
    return Webhook(url, key, value)


def reference_of(body: bytes) -> str | None:
    """The reference a generation body names, if it names one."""
    try:
        request = json.loads(body)
    except (ValueError, UnicodeDecodeError):
        return None
    reference = request.get("numeroReferencia") if isinstance(request, dict) else None
    return reference if isinstance(reference, str) else None


def stamp(seconds: float) -> str:
    """A moment as the gateway writes it: UTC, ISO 8601, whole seconds."""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def _amounts(payment: Payment) -> dict[str, Any]:
    """What both answers say of a payment: its reference, amount and conversion."""
    return {
        "numeroReferencia": payment.reference,
        "monto": payment.amount,
        "moneda": payment.currency,
        "montoConversion": payment.converted_amount,
        "monedaConversion": payment.converted_currency,
        "tipoCambio": BOB_PER_USD,
    }


def generated(payment: Payment, image_base64: str) -> dict[str, Any]:
    """The answer to a generation: nobody has paid yet, so the word is PENDING."""
    return {
        "codigoRespuesta": STATUS_WORDS[State.PENDING],
        "detalleRespuesta": "QR generated",
        **_amounts(payment),
        "qrExpiracion": stamp(payment.expires_at),
        "imagen": image_base64,
    }


def status(payment: Payment) -> dict[str, Any]:
    """The answer to a verification or a cancellation."""
    return {
        "codigoRespuesta": STATUS_WORDS[payment.state],
        "detalleRespuesta": payment.detail,
        "data": {
            **_amounts(payment),
            "reversa": False,
            "fechaSolicitud": stamp(payment.created_at),
        },
    }


def failure(detail: str, code: str) -> dict[str, Any]:
    """A refusal the way the gateway words it: the code closes the detail."""
    return {"codigoRespuesta": "ERROR", "detalleRespuesta": f"{detail} - {code}"}


def unauthorized(error: str, description: str) -> dict[str, Any]:
    return {"error": error, "error_description": description}


def notification(payment: Payment, state: State | None = None) -> dict[str, Any]:
    """The body posted to the merchant when a payment settles: the Binance shape on the
    Binance rail, the FX shape on the others. With `state` PENDING, the notification
    of the payment's pending state (a stale one, when sent after the final one)."""
    state = state or payment.state
    word = _NOTIFICATION_WORDS[state]
    moment = stamp(payment.created_at if state is State.PENDING else
                   payment.settled_at or payment.created_at)
    if payment.rail is Rail.BINANCE:
        return {
            "numeroReferencia": payment.reference,
            "estado": word,
            "transacciones": {
                "monto": payment.amount,
                "moneda": payment.currency,
                "fechaHoraTransaccion": moment,
                "cliente": {"nombreCliente": "Sandbox Payer", "ciCliente": "1234567"},
            },
        }
    body: dict[str, Any] = {
        "numeroReferencia": payment.reference,
        "estado": word,
        "monto": payment.amount,
        "moneda": payment.currency,
        "fechaHoraTransaccion": moment,
    }
    if state is State.PAID:
        body["codigoRespuesta"] = "00"  # the gateway's word for a completed payment
    return body


def dumps(value: object) -> bytes:
    """Compact JSON in which a Decimal is a number written with its exact plain text."""
    return _write(value).encode()


def _write(value: object) -> str:
    if isinstance(value, Decimal):
        return format(value.normalize(), "f")
    if isinstance(value, dict):
        return "{" + ",".join(f"{json.dumps(key, ensure_ascii=False)}:{_write(item)}"
                              for key, item in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(_write(item) for item in value) + "]"
    return json.dumps(value, ensure_ascii=False)
