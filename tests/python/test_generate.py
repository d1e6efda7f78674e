"""The build stage of the three generate operations, end to end through `call`:
exact request JSON, every input rule with its field and message, the array form
of payloads and records, and decoding failures."""

import json
import re

import pytest

from quorvex_bo.fx import _native

BASE = "https://gw.test/api"
CONFIG = {"client_id": "cid", "base_url": BASE}
TOKEN = {"access_token": "tok", "token_type": "Bearer", "expires_at": 1700000000}
HOOK = {"url": "https://merchant.test/hook", "key": "X-Hook", "value": "s3cret"}
HOOK_JSON = '{"key":"X-Hook","url":"https://merchant.test/hook","value":"s3cret"}'
HEADERS_JSON = (
    '{"Accept":"application/json","Authorization":"Bearer tok",'
    '"Content-Type":"application/json","access_token":"tok","client_id":"cid"}'
)

PIX = {
    "reference": "123",
    "glosa": "1|2|3|4",
    "amount": "10",
    "payer_cpf": "12345678901",
    "payer_phone": "+5511999999999",
    "webhook": HOOK,
}
BINANCE = {"reference": "123", "glosa": "1|2|3|4", "amount": "10", "webhook": HOOK}
CRYPTO = {
    "reference": "123",
    "glosa": "1|2|3|4",
    "amount": "100",
    "asset": "usdt",
    "expires_in": 300,
    "webhook": HOOK,
}
BASE_INPUTS = {"pix.generate": PIX, "binance.generate": BINANCE, "crypto.generate": CRYPTO}
GENERATE_OPERATIONS = list(BASE_INPUTS)

ABSENT = object()

PHONE_MESSAGE = "must be `+` followed by 13 digits, e.g. +5511999999999"
GLOSA_MESSAGE = "must be `branch_code|branch_name|category|description`"
EMAIL_MESSAGE = "must be an email of at most 80 characters"
CRYPTO_EXPIRY = "must be between 180 and 600 seconds"
MISSING_TOKEN = "an access token is required for this operation"
POSITION = r" at line \d+ column \d+"


def dumps(value) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def changed(base: dict, changes: dict) -> dict:
    out = dict(base)
    for name, value in changes.items():
        if value is ABSENT:
            out.pop(name, None)
        else:
            out[name] = value
    return out


def call(op: str, payload) -> dict:
    """Runs `op` and parses the call result, checking the shape every result has."""
    text = _native.call(op, payload if isinstance(payload, str) else dumps(payload))
    assert type(text) is str
    result = json.loads(text)
    assert text == dumps(result) or text == json.dumps(result, separators=(",", ":"))
    if not result["ok"]:
        assert result["error"]["retryable"] is False
    return result


def build(op: str, input_record, token=TOKEN, config=CONFIG) -> dict:
    payload = {"config": config, "input": input_record}
    if token is not ABSENT:
        payload["token"] = token
    return call(op + ".build", payload)


def expect_validation(result: dict, field: str, message: str) -> None:
    assert result == {
        "ok": False,
        "error": {"kind": "validation", "field": field, "message": message, "retryable": False},
    }


def expect_invalid_payload(result: dict, pattern: str) -> None:
    assert result["ok"] is False
    error = result["error"]
    assert error["kind"] == "ffi"
    assert set(error) == {"kind", "message", "retryable"}
    assert re.fullmatch("invalid payload: " + pattern, error["message"]), error["message"]


# --- exact requests -----------------------------------------------------------------


def test_pix_generate_gives_the_exact_call_result():
    payload = (
        '{"config":{"client_id":"cid","base_url":"https://gw.test/api"},'
        '"token":{"access_token":"tok","token_type":"Bearer","expires_at":0},'
        '"input":{"reference":"123","glosa":" 001 | Centro | Ventas | Pago ","amount":100.50,'
        '"expires_in":900,"payer_cpf":"12345678901","payer_phone":"+5511999999999",'
        '"webhook":{"url":"https://merchant.test/hook","key":"X-Hook","value":"s3cret"}}}'
    )
    body = (
        '{"canal":"WEB","cpf":"12345678901","glosa":"001|Centro|Ventas|Pago","moneda":"BOB",'
        '"monto":100.5,"numeroReferencia":"123","telefono":"+5511999999999",'
        '"tiempoQr":"00:15:00","webhook":' + HOOK_JSON + "}"
    )
    expected = (
        '{"ok":true,"value":{"body":' + dumps(body) + ',"headers":' + HEADERS_JSON
        + ',"method":"POST","url":"https://gw.test/api/qr/pix/v2/generar"}}'
    )
    assert _native.call("pix.generate.build", payload) == expected


def test_pix_generate_sends_every_optional_member_when_given():
    result = build(
        "pix.generate",
        changed(
            PIX,
            {
                "currency": "USD",
                "channel": " app ",
                "payer_email": "ana@example.com",
                "extra": 'nota "é"\n',
                "amount": "1000.00",
                "expires_in": 86399,
            },
        ),
    )
    assert result["value"]["body"] == (
        '{"campoExtra":"nota \\"é\\"\\n","canal":"APP","correoElectronico":"ana@example.com",'
        '"cpf":"12345678901","glosa":"1|2|3|4","moneda":"USD","monto":1000,'
        '"numeroReferencia":"123","telefono":"+5511999999999","tiempoQr":"23:59:59",'
        '"webhook":' + HOOK_JSON + "}"
    )


def test_binance_generate_gives_the_exact_request():
    result = build(
        "binance.generate",
        changed(BINANCE, {"reference": "1234567890", "amount": 100.50, "expires_in": 300}),
    )
    assert result == {
        "ok": True,
        "value": {
            "body": '{"campoExtra":"","canal":"WEB","glosa":"1|2|3|4","moneda":"BOB",'
            '"monto":100.5,"numeroReferencia":"1234567890","tiempoQr":"00:05:00",'
            '"webhook":' + HOOK_JSON + "}",
            "headers": json.loads(HEADERS_JSON),
            "method": "POST",
            "url": "https://gw.test/api/qr/binance/v2/generar",
        },
    }


def test_binance_generate_without_expiry_leaves_tiempo_out_and_sends_extra():
    result = build("binance.generate", changed(BINANCE, {"extra": "ref-9", "channel": "pos"}))
    assert result["value"]["body"] == (
        '{"campoExtra":"ref-9","canal":"POS","glosa":"1|2|3|4","moneda":"BOB","monto":10,'
        '"numeroReferencia":"123","webhook":' + HOOK_JSON + "}"
    )


def test_crypto_generate_gives_the_exact_request():
    result = build("crypto.generate", changed(CRYPTO, {"asset": "usdc", "amount": "50.00"}))
    assert result == {
        "ok": True,
        "value": {
            "body": '{"activoVirtual":"UP","campoExtra":"","canal":"WEB","glosa":"1|2|3|4",'
            '"moneda":"BOB","monto":50,"numeroReferencia":"123","tiempoVencimientoQR":300,'
            '"webhook":' + HOOK_JSON + "}",
            "headers": json.loads(HEADERS_JSON),
            "method": "POST",
            "url": "https://gw.test/api/qr/koibanx/v2/generar",
        },
    }


@pytest.mark.parametrize("asset, code", [("usdt", "UT"), ("usdc", "UP"), ("bk", "BK")])
def test_crypto_asset_is_sent_as_its_gateway_code(asset, code):
    result = build("crypto.generate", changed(CRYPTO, {"asset": asset, "extra": "x"}))
    body = json.loads(result["value"]["body"])
    assert body["activoVirtual"] == code
    assert body["campoExtra"] == "x"


@pytest.mark.parametrize(
    "amount, monto",
    [("100.50", "100.5"), (100.50, "100.5"), ("1000.00", "1000"), (0.01, "0.01"),
     ("  42 ", "42"), ("+42", "42"), ("1E2", "100"), ("1.5e2", "150"), ("10.010", "10.01")],
)
def test_amount_is_sent_as_a_normalized_json_number(amount, monto):
    result = build("pix.generate", changed(PIX, {"amount": amount}))
    assert '"monto":' + monto + "," in result["value"]["body"]


def test_amount_literal_is_read_without_floating_point():
    payload = dumps({"config": CONFIG, "token": TOKEN, "input": changed(PIX, {"amount": 0})})
    payload = payload.replace('"amount":0', '"amount":12345678901234567890.12')
    result = call("pix.generate.build", payload)
    assert '"monto":12345678901234567890.12,' in result["value"]["body"]


def test_environment_selects_the_base_url_and_base_url_wins():
    sandbox = build("pix.generate", PIX, config={"client_id": "cid"})["value"]["url"]
    assert sandbox.startswith("https://") and sandbox.endswith("/sandbox/qr/pix/v2/generar")
    development = build("pix.generate", PIX, config={"client_id": "c", "environment": "development"})
    assert development["value"]["url"].endswith("/desarrollo/qr/pix/v2/generar")
    production = build("pix.generate", PIX, config={"client_id": "c", "environment": "production"})
    assert production["value"]["url"].startswith("https://")
    assert production["value"]["url"].endswith("/qr/pix/v2/generar")
    assert "sandbox" not in production["value"]["url"]
    configured = build(
        "pix.generate", PIX,
        config={"client_id": "c", "environment": "production", "base_url": "http://x///"},
    )
    assert configured["value"]["url"] == "http://x/qr/pix/v2/generar"


# --- rule tables ---------------------------------------------------------------------

COMMON_RULES = [
    ({"amount": "0.01"}, None, None),
    ({"amount": 0}, "amount", "must be greater than zero"),
    ({"amount": "0.00"}, "amount", "must be greater than zero"),
    ({"amount": "-0"}, "amount", "must be greater than zero"),
    ({"amount": -1.234}, "amount", "must be greater than zero"),
    ({"amount": "10.001"}, "amount", "at most 2 decimal places are allowed"),
    ({"glosa": " a | b | c | d "}, None, None),
    ({"glosa": "a|b|c"}, "glosa", GLOSA_MESSAGE),
    ({"glosa": "a|b|c|d|e"}, "glosa", GLOSA_MESSAGE),
    ({"glosa": "a| |c|d"}, "glosa", GLOSA_MESSAGE),
    ({"glosa": "a||c|d"}, "glosa", GLOSA_MESSAGE),
    ({"channel": "web"}, None, None),
    ({"channel": ""}, "channel", "must not be empty"),
    ({"channel": "mobile app"}, "channel", "letters, digits and `_` only"),
    ({"channel": "café"}, "channel", "letters, digits and `_` only"),
    ({"webhook": ABSENT}, "webhook", "is required by Quorvex"),
    ({"webhook": None}, "webhook", "is required by Quorvex"),
    ({"webhook": {"url": " https://m", "key": "X_1-a", "value": "v v"}}, None, None),
    ({"webhook": {"url": "HTTPS://m", "key": "k", "value": "v"}}, "webhook.url",
     "must be an http(s) URL"),
    ({"webhook": {"url": "https://m", "key": "  ", "value": "v"}}, "webhook.key",
     "must not be empty"),
    ({"webhook": {"url": "https://m", "key": "X Hook", "value": "v"}}, "webhook.key",
     "must be a valid HTTP header name"),
    ({"webhook": {"url": "https://m", "key": "k", "value": " "}}, "webhook.value",
     "must not be empty"),
    ({"webhook": {"url": "m", "key": "k", "value": ""}}, "webhook.url", "must be an http(s) URL"),
    # amount, then webhook, then glosa, then channel
    ({"amount": 0, "webhook": ABSENT}, "amount", "must be greater than zero"),
    ({"glosa": "x", "webhook": ABSENT}, "webhook", "is required by Quorvex"),
    ({"glosa": "x", "channel": "a b"}, "glosa", GLOSA_MESSAGE),
]


@pytest.mark.parametrize("op", GENERATE_OPERATIONS)
@pytest.mark.parametrize("changes, field, message", COMMON_RULES)
def test_common_body_rules(op, changes, field, message):
    # dollars, so that the crypto minimum stays out of the way
    result = build(op, changed(BASE_INPUTS[op], {"currency": "USD", **changes}))
    if field is None:
        assert result["ok"] is True, result
    else:
        expect_validation(result, field, message)


PIX_RULES = [
    ({"reference": "00123"}, None, None),
    ({"reference": "12a"}, "reference", "must contain only digits"),
    ({"reference": " 123"}, "reference", "must contain only digits"),
    ({"reference": "   "}, "reference", "must not be empty"),
    ({"payer_cpf": "123.456.789-01"}, "payer_cpf", "must be 11 digits"),
    ({"payer_cpf": "1234567890"}, "payer_cpf", "must be 11 digits"),
    ({"payer_cpf": "123456789012"}, "payer_cpf", "must be 11 digits"),
    ({"payer_phone": "5511999999999"}, "payer_phone", PHONE_MESSAGE),
    ({"payer_phone": "+55 11 99999999"}, "payer_phone", PHONE_MESSAGE),
    ({"payer_phone": "+551199999999"}, "payer_phone", PHONE_MESSAGE),
    ({"expires_in": 1}, None, None),
    ({"expires_in": 86399}, None, None),
    ({"expires_in": 0}, "expires_in", "must be between 1 and 86399 seconds"),
    ({"expires_in": 86400}, "expires_in", "must be between 1 and 86399 seconds"),
    ({"payer_email": "@"}, None, None),
    ({"payer_email": "a" * 79 + "@"}, None, None),
    ({"payer_email": "a" * 80 + "@"}, "payer_email", EMAIL_MESSAGE),
    ({"payer_email": "@" + "é" * 40}, "payer_email", EMAIL_MESSAGE),  # 41 characters, 81 bytes
    ({"payer_email": "@" + "é" * 39 + "a"}, None, None),  # 80 bytes
    ({"payer_email": "nobody"}, "payer_email", EMAIL_MESSAGE),
    ({"payer_email": ""}, "payer_email", EMAIL_MESSAGE),
    # reference, CPF, phone, common body, expiry, e-mail
    ({"reference": "x", "payer_cpf": "1"}, "reference", "must contain only digits"),
    ({"payer_cpf": "1", "payer_phone": "1"}, "payer_cpf", "must be 11 digits"),
    ({"payer_phone": "1", "amount": 0}, "payer_phone", PHONE_MESSAGE),
    ({"glosa": "x", "webhook": ABSENT}, "webhook", "is required by Quorvex"),
    ({"channel": "a b", "expires_in": 0}, "channel", "letters, digits and `_` only"),
    ({"expires_in": 0, "payer_email": "nobody"}, "expires_in",
     "must be between 1 and 86399 seconds"),
]


@pytest.mark.parametrize("changes, field, message", PIX_RULES)
def test_pix_generate_rules(changes, field, message):
    result = build("pix.generate", changed(PIX, changes))
    if field is None:
        assert result["ok"] is True, result
    else:
        expect_validation(result, field, message)


BINANCE_RULES = [
    ({"reference": "1234567890"}, None, None),
    ({"reference": "12345678901"}, "reference", "at most 10 digits"),
    ({"reference": "123456789 "}, "reference", "must contain only digits"),
    ({"reference": ""}, "reference", "must not be empty"),
    ({"expires_in": 1}, None, None),
    ({"expires_in": 300}, None, None),
    ({"expires_in": 301}, "expires_in", "must be between 1 and 300 seconds"),
    ({"expires_in": 0}, "expires_in", "must be between 1 and 300 seconds"),
    ({"reference": "12345678901", "amount": 0}, "reference", "at most 10 digits"),
    ({"expires_in": 0, "webhook": ABSENT}, "webhook", "is required by Quorvex"),
]


@pytest.mark.parametrize("changes, field, message", BINANCE_RULES)
def test_binance_generate_rules(changes, field, message):
    result = build("binance.generate", changed(BINANCE, changes))
    if field is None:
        assert result["ok"] is True, result
    else:
        expect_validation(result, field, message)


CRYPTO_RULES = [
    ({"amount": 50}, None, None),
    ({"amount": "50.00"}, None, None),
    ({"amount": "49.99"}, "amount", "minimum is Bs 50"),
    ({"amount": "-5"}, "amount", "minimum is Bs 50"),
    ({"amount": 10, "currency": "USD"}, None, None),
    ({"expires_in": 179}, "expires_in", CRYPTO_EXPIRY),
    ({"expires_in": 180}, None, None),
    ({"expires_in": 600}, None, None),
    ({"expires_in": 601}, "expires_in", CRYPTO_EXPIRY),
    ({"reference": "1a"}, "reference", "must contain only digits"),
    # the minimum before the expiry, the expiry before the common body
    ({"amount": 20, "expires_in": 100}, "amount", "minimum is Bs 50"),
    ({"amount": 20, "currency": "USD", "expires_in": 100}, "expires_in", CRYPTO_EXPIRY),
    ({"amount": 20, "currency": "USD", "webhook": ABSENT}, "webhook", "is required by Quorvex"),
]


@pytest.mark.parametrize("changes, field, message", CRYPTO_RULES)
def test_crypto_generate_rules(changes, field, message):
    result = build("crypto.generate", changed(CRYPTO, changes))
    if field is None:
        assert result["ok"] is True, result
    else:
        expect_validation(result, field, message)


# --- the access token is demanded last ----------------------------------------------


@pytest.mark.parametrize("op", GENERATE_OPERATIONS)
@pytest.mark.parametrize("token", [ABSENT, None])
def test_valid_input_without_token_reports_the_token(op, token):
    expect_validation(build(op, BASE_INPUTS[op], token=token), "token", MISSING_TOKEN)


@pytest.mark.parametrize("op", GENERATE_OPERATIONS)
def test_invalid_input_without_token_reports_the_input(op):
    result = build(op, changed(BASE_INPUTS[op], {"channel": "a b"}), token=ABSENT)
    expect_validation(result, "channel", "letters, digits and `_` only")


# --- array forms -------------------------------------------------------------------------


def test_pix_payload_and_records_in_array_form_build_like_the_object_form():
    config = ["cid", None, None, "sandbox", BASE]
    token = ["tok", "Bearer", 0, None]
    pix = ["123", "1|2|3|4", "10", None, None, None, "12345678901", "+5511999999999", None,
           None, ["https://merchant.test/hook", "X-Hook", "s3cret"]]
    assert call("pix.generate.build", [config, token, pix]) == build("pix.generate", PIX)


def test_binance_and_crypto_inputs_in_array_form():
    binance = ["123", "1|2|3|4", "10", "BOB", "WEB", None, None, HOOK]
    assert call("binance.generate.build", [CONFIG, TOKEN, binance]) == build(
        "binance.generate", BINANCE
    )
    crypto = ["123", "1|2|3|4", "100", None, "usdt", None, 300, None, HOOK]
    assert call("crypto.generate.build", [CONFIG, TOKEN, crypto]) == build(
        "crypto.generate", CRYPTO
    )


@pytest.mark.parametrize(
    "op, length, record, expected",
    [("pix.generate", 10, "PixQr", 11), ("crypto.generate", 8, "VirtualAssetQr", 9),
     ("binance.generate", 9, "BinanceQr", 8)],
)
def test_input_array_of_the_wrong_length_fails(op, length, record, expected):
    result = call(op + ".build", [CONFIG, TOKEN, [None] * length])
    expect_invalid_payload(
        result, f"invalid length {length}, expected struct {record} with {expected} elements"
        + POSITION
    )


def test_build_array_of_the_wrong_length_fails():
    result = call("pix.generate.build", [CONFIG, PIX])
    expect_invalid_payload(result, "invalid length 2, expected struct Build with 3 elements"
                           + POSITION)


# --- decoding failures ---------------------------------------------------------------


def test_missing_input_names_the_member_and_the_position():
    result = call("pix.generate.build", '{"config":{"client_id":"c"}}')
    assert result["error"]["message"] == "invalid payload: missing field `input` at line 1 column 28"


@pytest.mark.parametrize(
    "op, changes, pattern",
    [
        ("pix.generate", {"payer_phone": ABSENT}, "missing field `payer_phone`"),
        ("pix.generate", {"webhook": {"url": "u", "key": "k"}}, "missing field `value`"),
        ("crypto.generate", {"expires_in": ABSENT}, "missing field `expires_in`"),
        ("crypto.generate", {"asset": ABSENT}, "missing field `asset`"),
        ("pix.generate", {"currency": "usd"}, "unknown variant `usd`, expected `BOB` or `USD`"),
        ("binance.generate", {"currency": "Bob"}, "unknown variant `Bob`, expected `BOB` or `USD`"),
        ("crypto.generate", {"asset": "USDT"},
         "unknown variant `USDT`, expected one of `usdt`, `usdc`, `bk`"),
        ("pix.generate", {"amount": "abc"}, "invalid amount `abc`: Failed to parse"),
        ("pix.generate", {"amount": " "}, "invalid amount ``: Failed to parse"),
        ("binance.generate", {"amount": None}, "expected a number, got null"),
        ("crypto.generate", {"amount": [1, 2]}, r"expected a number, got \[1,2\]"),
        ("pix.generate", {"reference": 123}, "invalid type: .*"),
        ("pix.generate", {"expires_in": -1}, "invalid .*"),
        ("pix.generate", {"expires_in": 1.5}, "invalid .*"),
        ("binance.generate", {"extra": 5}, "invalid type: .*"),
    ],
)
def test_input_that_does_not_decode_fails_before_any_rule(op, changes, pattern):
    result = build(op, changed(BASE_INPUTS[op], {"reference": "x", **changes}), token=ABSENT)
    expect_invalid_payload(result, pattern + POSITION)


@pytest.mark.parametrize("op", GENERATE_OPERATIONS)
def test_input_of_another_json_type_names_the_record(op):
    record = {"pix.generate": "PixQr", "binance.generate": "BinanceQr",
              "crypto.generate": "VirtualAssetQr"}[op]
    result = build(op, "text")
    expect_invalid_payload(result, f"invalid type: .*, expected struct {record}" + POSITION)


def test_binance_input_without_expiry_decodes():
    assert build("binance.generate", BINANCE)["ok"] is True


def test_repeated_member_fails_with_duplicate_field():
    payload = dumps({"config": CONFIG, "token": TOKEN, "input": PIX})
    payload = payload.replace('"reference":"123"', '"reference":"123","reference":"124"')
    expect_invalid_payload(call("pix.generate.build", payload),
                           "duplicate field `reference`" + POSITION)


def test_unknown_members_are_ignored_at_every_level():
    payload = {"config": {**CONFIG, "x": 1}, "token": {**TOKEN, "y": [1]},
               "input": {**PIX, "foo": 1, "webhook": {**HOOK, "z": None}}, "debug": True}
    assert call("pix.generate.build", payload) == build("pix.generate", PIX)


def test_trailing_newline_is_accepted_and_other_trailing_text_is_not():
    payload = dumps({"config": CONFIG, "token": TOKEN, "input": PIX})
    assert call("pix.generate.build", payload + "\n")["ok"] is True
    expect_invalid_payload(call("pix.generate.build", payload + " {}"), "trailing characters.*")


def test_malformed_payload_is_an_ffi_error():
    expect_invalid_payload(call("crypto.generate.build", "{"), ".+")
