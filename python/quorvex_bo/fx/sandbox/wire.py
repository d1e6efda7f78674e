"""What the sandbox reads from and writes to the wire, in the gateway's own shapes.

A generation body is accepted exactly when it is one the client's core could have
built from valid input: every member the rail needs and no other, each in the form
the core writes it (the glosa's parts trimmed, the channel upper-cased, the amount a
normalized JSON number, the expiry in canonical form). Anything else is refused,
so a client that drifts from the core is caught here. Answers and notifications
carry amounts as JSON numbers with their exact decimal text.
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
_LARGEST_MANTISSA = 2 ** 96 - 1  # what the core's decimal amounts can hold
# Numbers are measured before int() reads them: it refuses a text of thousands of digits.
_AMOUNT_LENGTH = len(str(_LARGEST_MANTISSA)) + 1  # its digits and a decimal point

_DIGITS = re.compile(r"[0-9]+")
_CHANNEL = re.compile(r"[A-Z0-9_]+")
_HEADER_NAME = re.compile(r"[A-Za-z0-9_-]+")
_HHMMSS = re.compile(r"([0-9]{2,9}):([0-5][0-9]):([0-5][0-9])")
_AMOUNT = re.compile(r"(?:0|[1-9][0-9]*)(?:\.[0-9]{0,1}[1-9])?")  # normalized, 2 places
_WHOLE = re.compile(r"0|[1-9][0-9]*")
# Unicode White_Space: what the core trims (Python's str.strip trims a few more).
_WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006" \
               "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"

STATUS_WORDS = {State.PENDING: "PENDING", State.PAID: "PAID", State.CANCELLED: "CANCELLED",
                State.EXPIRED: "EXPIRED"}
_NOTIFICATION_WORDS = {State.PENDING: "PENDIENTE", State.PAID: "PAGADO",
                       State.CANCELLED: "CANCELADO", State.EXPIRED: "EXPIRADO"}


class BadRequest(ValueError):
    """A generation body the gateway would refuse; the message names the member."""


class _Number(str):
    """A JSON number, kept as the text it was written with."""


@dataclass(frozen=True)
class Order:
    """What a generation request asks for."""

    reference: str
    amount: Decimal
    currency: str
    lifetime: int
    webhook: Webhook


def trim(text: str) -> str:
    return text.strip(_WHITE_SPACE)


def read_order(rail: Rail, body: bytes) -> Order:
    """Checks a generation body for `rail` and returns what it asks for."""
    request = _parse(body)
    missing = sorted(_REQUIRED[rail] - request.keys())
    unknown = sorted(request.keys() - _REQUIRED[rail] - _OPTIONAL[rail])
    if missing or unknown:
        raise BadRequest("; ".join([*(f"missing member {name}" for name in missing),
                                    *(f"unknown member {name}" for name in unknown)]))

    reference = _text(request, "numeroReferencia")
    if not _DIGITS.fullmatch(reference) or (rail is Rail.BINANCE and len(reference) > 10):
        raise BadRequest("numeroReferencia must be digits (at most 10 for Binance)")
    parts = _text(request, "glosa").split("|")
    if len(parts) != 4 or not all(part and part == trim(part) for part in parts):
        raise BadRequest("glosa must have four trimmed, non-empty parts separated by |")
    amount = _amount(request["monto"])
    currency = _text(request, "moneda")
    if currency not in ("BOB", "USD"):
        raise BadRequest("moneda must be BOB or USD")
    if not _CHANNEL.fullmatch(_text(request, "canal")):
        raise BadRequest("canal must be upper-case letters, digits and _")
    for name in request.keys() & {"campoExtra", "correoElectronico"}:
        _text(request, name)
    _check_payer(rail, request)
    if rail is Rail.CRYPTO and currency == "BOB" and amount < 50:
        raise BadRequest("monto must be at least 50 BOB for a virtual-asset QR")
    return Order(reference, amount, currency, _lifetime(rail, request), _webhook(request))


def _parse(body: bytes) -> dict[str, Any]:
    def no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        names = [name for name, _ in pairs]
        if len(set(names)) != len(names):
            raise BadRequest("a member appears twice")
        return dict(pairs)

    def no_constant(name: str) -> None:
        raise BadRequest(f"{name} is not a JSON number")

    try:
        request = json.loads(body, object_pairs_hook=no_duplicates, parse_float=_Number,
                             parse_int=_Number, parse_constant=no_constant)
    except (ValueError, UnicodeDecodeError, RecursionError) as error:
        if isinstance(error, BadRequest):
            raise
        raise BadRequest(f"body is not JSON: {error}") from None
    if not isinstance(request, dict):
        raise BadRequest("body must be a JSON object")
    return request


def _text(request: dict[str, Any], name: str) -> str:
    value = request[name]
    if not isinstance(value, str) or isinstance(value, _Number):
        raise BadRequest(f"{name} must be a string")
    return value


def _amount(value: object) -> Decimal:
    """The amount, written as the core writes one: a JSON number, normalized, positive,
    with at most 2 decimals, small enough for the core's decimals."""
    if not isinstance(value, _Number) or not _AMOUNT.fullmatch(value) \
            or len(value) > _AMOUNT_LENGTH \
            or not 0 < int(value.replace(".", "")) <= _LARGEST_MANTISSA:
        raise BadRequest("monto must be a positive number with at most 2 decimals, written "
                         "without trailing zeros or exponent")
    return Decimal(value)


def _check_payer(rail: Rail, request: dict[str, Any]) -> None:
    if rail is Rail.PIX:
        if not re.fullmatch(r"[0-9]{11}", _text(request, "cpf")):
            raise BadRequest("cpf must be 11 digits")
        if not re.fullmatch(r"\+[0-9]{13}", _text(request, "telefono")):
            raise BadRequest("telefono must be + and 13 digits")
        email = request.get("correoElectronico")
        if email is not None and ("@" not in email or len(email.encode()) > 80):
            raise BadRequest("correoElectronico must hold an @ and be at most 80 bytes")
    if rail is Rail.CRYPTO and request["activoVirtual"] not in _ASSETS:
        raise BadRequest("activoVirtual must be one of BK, UP, UT")


def _lifetime(rail: Rail, request: dict[str, Any]) -> int:
    """The QR's life in seconds, from "tiempoVencimientoQR" or "tiempoQr"."""
    if rail is Rail.CRYPTO:
        seconds = request["tiempoVencimientoQR"]
        if not isinstance(seconds, _Number) or not _WHOLE.fullmatch(seconds) \
                or len(seconds) > 3 or not 180 <= int(seconds) <= 600:
            raise BadRequest("tiempoVencimientoQR must be whole seconds from 180 to 600")
        return int(seconds)
    if "tiempoQr" not in request:
        return _DEFAULT_LIFETIME[rail]
    text = _text(request, "tiempoQr")
    match = _HHMMSS.fullmatch(text)
    hours, minutes, rest = (int(part) for part in match.groups()) if match else (0, 0, 0)
    total = hours * 3600 + minutes * 60 + rest
    if not 1 <= total <= _LONGEST_LIFETIME[rail] or text != hhmmss(total):
        raise BadRequest(f"tiempoQr must be HH:MM:SS from 00:00:01 up to "
                         f"{_LONGEST_LIFETIME[rail]} seconds")
    return total


def hhmmss(seconds: int) -> str:
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def _webhook(request: dict[str, Any]) -> Webhook:
    target = request["webhook"]
    if not isinstance(target, dict) or set(target) != {"url", "key", "value"} or not all(
            isinstance(target[name], str) and not isinstance(target[name], _Number)
            for name in target):
        raise BadRequest("webhook must hold the texts url, key and value, and nothing else")
    url, key, value = target["url"], target["key"], target["value"]
    if not trim(url).startswith(("http://", "https://")) or not _HEADER_NAME.fullmatch(key) \
            or not trim(value):
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
