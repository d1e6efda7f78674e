"""Notifications as web frameworks hand them over: assorted header objects, bytes or text."""

import json
from decimal import Decimal

import pytest

from quorvex_bo.fx import DecodeError, PaymentStatus, ValidationError, WebhookAuthenticationError
from quorvex_bo.fx.webhooks import binance_ack, parse_binance, parse_fx

KEY, VALUE = "X-Hook", "hook-SECRET"
# Non-ASCII, so that bytes read as anything but UTF-8 would show.
FX_BODY = ('{"estado":"PAGADO","numeroReferencia":123,"importe":"10.50","glosa":"Pedido Nº 5 — José",'
           '"tasa":6.96}')  # a number the payload keeps exact


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
    assert note.payload == json.loads(FX_BODY, parse_float=Decimal)


@pytest.mark.parametrize("headers, body, error, shown", [
    ({KEY: "wrong"}, FX_BODY, WebhookAuthenticationError, "`X-Hook` header does not match"),
    # the header is checked before the body
    ({}, b"\xff\xfe", WebhookAuthenticationError, "missing `X-Hook` header"),
    ({KEY: VALUE}, b"\xff\xfe", DecodeError, "the notification body is not valid UTF-8"),
    ({KEY: VALUE}, "{", DecodeError,
     "invalid webhook payload: EOF while parsing a value at line 1 column 2"),
])
def test_a_forged_or_broken_notification_is_refused(headers, body, error, shown):
    with pytest.raises(error) as raised:
        parse_fx(headers, body, key=KEY, value=VALUE)
    assert str(raised.value) == shown  # and so never the secret nor the wrong value


@pytest.mark.parametrize("headers, body, given, message", [
    ({1: VALUE}, FX_BODY, {}, "a header name must be str or bytes, not int"),
    ({KEY: None}, FX_BODY, {}, "a header value must be str or bytes, not NoneType"),
    ({KEY: VALUE}, 7, {}, "body must be str or bytes, not int"),
    ({KEY: VALUE}, FX_BODY, {"key": b"X-Hook"}, "key must be str, not bytes"),
    ({KEY: VALUE}, FX_BODY, {"value": 5}, "value must be str, not int"),
])
def test_arguments_of_the_wrong_type_are_named(headers, body, given, message):
    with pytest.raises(TypeError) as raised:
        parse_fx(headers, body, **{"key": KEY, "value": VALUE, **given})
    assert str(raised.value) == message


def test_an_empty_expected_value_is_a_mistake_of_the_receiver():
    with pytest.raises(ValidationError, match="value"):
        parse_fx({KEY: ""}, FX_BODY, key=KEY, value="")


def test_a_binance_notification_is_answered_with_its_acknowledgement():
    body = {"numeroReferencia": 77, "estado": "PAGADO",
            "transacciones": {"monto": "5.10", "cliente": {"nombreCliente": "Ana"}}}
    note = parse_binance({KEY: VALUE}, json.dumps(body), key=KEY, value=VALUE)
    assert (note.reference, note.amount, note.payer_name) == ("77", Decimal("5.1"), "Ana")
    assert binance_ack(note) == '{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"77"}'
