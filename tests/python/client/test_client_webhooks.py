"""Notifications as web frameworks hand them over: assorted header objects, bytes or text."""

import json
from decimal import Decimal

import pytest

from quorvex_bo.fx import DecodeError, PaymentStatus, ValidationError, WebhookAuthenticationError
from quorvex_bo.fx.webhooks import binance_ack, parse_binance, parse_fx

KEY, VALUE = "X-Hook", "hook-SECRET"
FX_BODY = '{"estado":"PAGADO","numeroReferencia":123,"importe":"10.50"}'


class MultiDict:
    """Header object in the style of the common frameworks: items() lists every pair."""

    def __init__(self, pairs):
        self._pairs = pairs

    def items(self):
        return list(self._pairs)


@pytest.mark.parametrize("headers", [
    {"x-hook": VALUE, "Content-Type": "application/json"},
    [("X-HOOK", VALUE)],
    [(b"x-hook", VALUE.encode())],  # raw ASGI headers
    MultiDict([("Accept", "*/*"), ("X-Hook", VALUE)]),
])
@pytest.mark.parametrize("body", [FX_BODY, FX_BODY.encode()])
def test_an_authentic_notification_is_read_from_any_header_object(headers, body):
    note = parse_fx(headers, body, key=KEY, value=VALUE)
    assert (note.status, note.reference, note.amount) == (PaymentStatus.PAID, "123", 10.5)
    assert note.payload == json.loads(FX_BODY)


@pytest.mark.parametrize("headers, body, error", [
    ({KEY: "wrong"}, FX_BODY, WebhookAuthenticationError),
    ({}, b"\xff\xfe", WebhookAuthenticationError),  # the header is checked before the body
    ({KEY: VALUE}, b"\xff\xfe", DecodeError),
    ({KEY: VALUE}, "{", DecodeError),
])
def test_a_forged_or_broken_notification_is_refused(headers, body, error):
    with pytest.raises(error) as raised:
        parse_fx(headers, body, key=KEY, value=VALUE)
    assert VALUE not in str(raised.value) and "wrong" not in str(raised.value)


def test_an_empty_expected_value_is_a_mistake_of_the_receiver():
    with pytest.raises(ValidationError, match="value"):
        parse_fx({KEY: ""}, FX_BODY, key=KEY, value="")


def test_a_binance_notification_is_answered_with_its_acknowledgement():
    body = {"numeroReferencia": 77, "estado": "PAGADO",
            "transacciones": {"monto": "5.10", "cliente": {"nombreCliente": "Ana"}}}
    note = parse_binance({KEY: VALUE}, json.dumps(body), key=KEY, value=VALUE)
    assert (note.reference, note.amount, note.payer_name) == ("77", Decimal("5.1"), "Ana")
    assert binance_ack(note) == '{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"77"}'
