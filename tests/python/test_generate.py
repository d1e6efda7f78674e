"""The build stage of the three generate operations, end to end through `call`:
the exact request, a few characteristic rules, the token demanded last, the array
form and decoding failures. The full rule tables live with the request builders."""

import re

import pytest
from conftest import CONFIG, HEADERS, TOKEN, call_text, dumps, failure, load, ok

HOOK = {"url": "https://merchant.test/hook", "key": "X-Hook", "value": "s3cret"}
HOOK_JSON = '{"key":"X-Hook","url":"https://merchant.test/hook","value":"s3cret"}'
PIX = {"reference": "123", "glosa": "1|2|3|4", "amount": "10", "payer_cpf": "12345678901",
       "payer_phone": "+5511999999999", "webhook": HOOK}
BINANCE = {"reference": "123", "glosa": "1|2|3|4", "amount": "10", "webhook": HOOK}
CRYPTO = {"reference": "123", "glosa": "1|2|3|4", "amount": "100", "asset": "usdt",
          "expires_in": 300, "webhook": HOOK}
INPUTS = {"pix.generate": PIX, "binance.generate": BINANCE, "crypto.generate": CRYPTO}
ABSENT = object()


def build(op: str, input_record, token=TOKEN) -> str:
    payload = {"config": CONFIG, "input": input_record}
    if token is not ABSENT:
        payload["token"] = token
    return call_text(op + ".build", payload)


def request(body: str, path: str) -> str:
    return ok('{"body":' + dumps(body) + ',"headers":' + dumps(HEADERS)
              + ',"method":"POST","url":"https://gw.test/api/qr/' + path + '"}')


def test_pix_generate_gives_the_exact_request():
    payload = (
        '{"config":{"client_id":"cid","base_url":"https://gw.test/api"},'
        '"token":{"access_token":"tok","token_type":"Bearer","expires_at":0},'
        '"input":{"reference":"123","glosa":" 001 | Centro | Ventas | Pago ","amount":100.50,'
        '"expires_in":900,"payer_cpf":"12345678901","payer_phone":"+5511999999999",'
        '"webhook":{"url":"https://merchant.test/hook","key":"X-Hook","value":"s3cret"}}}')
    assert call_text("pix.generate.build", payload) == request(
        '{"canal":"WEB","cpf":"12345678901","glosa":"001|Centro|Ventas|Pago","moneda":"BOB",'
        '"monto":100.5,"numeroReferencia":"123","telefono":"+5511999999999",'
        '"tiempoQr":"00:15:00","webhook":' + HOOK_JSON + "}", "pix/v2/generar")


@pytest.mark.parametrize("op, changes, body, path", [
    ("binance.generate", {"reference": "1234567890", "amount": 100.50, "expires_in": 300},
     '{"campoExtra":"","canal":"WEB","glosa":"1|2|3|4","moneda":"BOB","monto":100.5,'
     '"numeroReferencia":"1234567890","tiempoQr":"00:05:00","webhook":' + HOOK_JSON + "}",
     "binance/v2/generar"),
    ("crypto.generate", {"asset": "usdc", "amount": "50.00"},
     '{"activoVirtual":"UP","campoExtra":"","canal":"WEB","glosa":"1|2|3|4","moneda":"BOB",'
     '"monto":50,"numeroReferencia":"123","tiempoVencimientoQR":300,"webhook":' + HOOK_JSON
     + "}", "koibanx/v2/generar"),
])
def test_binance_and_crypto_generate_give_the_exact_request(op, changes, body, path):
    assert build(op, {**INPUTS[op], **changes}) == request(body, path)


def test_amount_literal_is_read_without_floating_point():
    payload = dumps({"config": CONFIG, "token": TOKEN, "input": {**PIX, "amount": 0}})
    payload = payload.replace('"amount":0', '"amount":12345678901234567890.12')
    body = load(call_text("pix.generate.build", payload))["value"]["body"]
    assert '"monto":12345678901234567890.12,' in body


@pytest.mark.parametrize("op, changes, field, message", [
    ("pix.generate", {"payer_phone": "+551199999999"}, "payer_phone",
     "must be `+` followed by 13 digits, e.g. +5511999999999"),
    ("pix.generate", {"expires_in": 86400}, "expires_in", "must be between 1 and 86399 seconds"),
    ("pix.generate", {"payer_cpf": "1", "payer_phone": "1"}, "payer_cpf", "must be 11 digits"),
    ("pix.generate", {"webhook": None}, "webhook", "is required by Quorvex"),
    ("binance.generate", {"reference": "12345678901"}, "reference", "at most 10 digits"),
    ("binance.generate", {"expires_in": 301}, "expires_in", "must be between 1 and 300 seconds"),
    ("binance.generate", {"amount": "10.001"}, "amount", "at most 2 decimal places are allowed"),
    ("crypto.generate", {"amount": "49.99"}, "amount", "minimum is Bs 50"),
    ("crypto.generate", {"amount": 20, "expires_in": 100}, "amount", "minimum is Bs 50"),
    ("crypto.generate", {"expires_in": 601}, "expires_in", "must be between 180 and 600 seconds"),
    ("crypto.generate", {"glosa": "a|b|c"}, "glosa",
     "must be `branch_code|branch_name|category|description`"),
])
def test_characteristic_rules_report_field_and_message(op, changes, field, message):
    assert build(op, {**INPUTS[op], **changes}) == failure("validation", message, field=field)


@pytest.mark.parametrize("op", INPUTS)
def test_token_is_demanded_only_after_every_input_rule(op):
    assert build(op, INPUTS[op], token=None) == failure(
        "validation", "an access token is required for this operation", field="token")
    assert build(op, {**INPUTS[op], "channel": "a b"}, token=ABSENT) == failure(
        "validation", "letters, digits and `_` only", field="channel")


def test_payload_and_records_in_array_form_build_like_the_object_form():
    pix = ["123", "1|2|3|4", "10", None, None, None, "12345678901", "+5511999999999", None,
           None, ["https://merchant.test/hook", "X-Hook", "s3cret"]]
    array = [["cid", None, None, "sandbox", "https://gw.test/api"], ["tok", "Bearer", 0, None], pix]
    assert call_text("pix.generate.build", array) == build("pix.generate", PIX)


@pytest.mark.parametrize("op, input_record, pattern", [
    ("pix.generate", {k: v for k, v in PIX.items() if k != "payer_phone"},
     "missing field `payer_phone`"),
    ("pix.generate", {**PIX, "currency": "usd"}, "unknown variant `usd`, expected `BOB` or `USD`"),
    ("crypto.generate", {**CRYPTO, "asset": "USDT"},
     "unknown variant `USDT`, expected one of `usdt`, `usdc`, `bk`"),
    ("binance.generate", {**BINANCE, "amount": "abc"}, "invalid amount `abc`: Failed to parse"),
    ("pix.generate", [None] * 10, "invalid length 10, expected struct PixQr with 11 elements"),
    ("binance.generate", "text", "invalid type: .*, expected struct BinanceQr"),
])
def test_input_that_does_not_decode_fails_before_any_rule(op, input_record, pattern):
    error = load(build(op, input_record, token=ABSENT))["error"]
    assert error["kind"] == "ffi" and set(error) == {"kind", "message", "retryable"}
    assert re.fullmatch(f"invalid payload: {pattern} at line \\d+ column \\d+", error["message"])


def test_missing_input_names_the_member_and_the_position():
    assert call_text("pix.generate.build", '{"config":{"client_id":"c"}}') == failure(
        "ffi", "invalid payload: missing field `input` at line 1 column 28")
