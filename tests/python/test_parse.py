"""The parse stage of the seven gateway operations, end to end: the gateway's
answer goes in as the host received it, the exact call result comes out."""

import json

import pytest

from quorvex_bo.fx import _native

PIX_INPUT = {
    "reference": "100200",
    "glosa": "Pedido 1",
    "amount": "100.50",
    "payer_cpf": "12345678909",
    "payer_phone": "5511999999999",
}
CRYPTO_INPUT = {
    "reference": "100201",
    "glosa": "Pedido 2",
    "amount": 25,
    "asset": "usdt",
    "expires_in": 600,
}
BINANCE_INPUT = {"reference": "100202", "glosa": "Pedido 3", "amount": 7}
VERIFY_INPUT = {"reference": "100200"}

GENERATE = {
    "pix.generate": PIX_INPUT,
    "crypto.generate": CRYPTO_INPUT,
    "binance.generate": BINANCE_INPUT,
}
STATUS = {name: VERIFY_INPUT for name in
          ("pix.verify", "pix.cancel", "crypto.verify", "binance.verify")}
ALL = {**GENERATE, **STATUS}


def parse(op: str, status: int, body: str, input_record=None) -> str:
    """Runs `<op>.parse` on a response whose body is the exact text given."""
    payload = {
        "input": ALL[op] if input_record is None else input_record,
        "response": {"status": status, "body": body},
    }
    return _native.call(f"{op}.parse", json.dumps(payload, ensure_ascii=False))


def ok(value_text: str) -> str:
    return '{"ok":true,"value":' + value_text + "}"


def failure(**error) -> str:
    """The call result of an error, members sorted as the core writes them."""
    error.setdefault("retryable", False)
    return json.dumps({"error": error, "ok": False}, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False)


# ---- successful answers -------------------------------------------------------

GENERATED_FULL = (
    '{"codigoRespuesta":" success\\n","detalleRespuesta":"  QR generado  ",'
    '"numeroReferencia":987,"origenNumeroReferencia":"  100200 ","monto":100.50,'
    '"moneda":" BOB ","imagen":"  iVBORw0KGgoAAAANSUhEUgAA  ","montoConversion":"18.20",'
    '"monedaConversion":" usd ","tipoCambio":5.5000,"qrExpiracion":" 2025-01-31 23:59:59 ",'
    '"otroCampo":{"z":[1,2]}}'
)
GENERATED_FULL_RESULT = (
    '{"amount":"100.5","converted_amount":"18.2","converted_currency":"USD","currency":"BOB",'
    '"detail":"QR generado","exchange_rate":"5.5","expires_at":"2025-01-31 23:59:59",'
    '"image_base64":"iVBORw0KGgoAAAANSUhEUgAA","image_mime":"image/png",'
    '"merchant_reference":"100200","raw_status":" success\\n","reference":"987","status":"paid"}'
)


@pytest.mark.parametrize("op", GENERATE)
def test_generation_answer_becomes_the_whole_qr_record(op):
    assert parse(op, 200, GENERATED_FULL) == ok(GENERATED_FULL_RESULT)


@pytest.mark.parametrize("op", GENERATE)
def test_generation_answer_with_only_mandatory_members_writes_nulls_and_empty_currency(op):
    body = '{"codigoRespuesta":"PENDING","numeroReferencia":"R-1","monto":"7.00","imagen":"/9j/4AAQ"}'
    assert parse(op, 201, body) == ok(
        '{"amount":"7","converted_amount":null,"converted_currency":null,"currency":"",'
        '"detail":null,"exchange_rate":null,"expires_at":null,"image_base64":"/9j/4AAQ",'
        '"image_mime":"image/jpeg","merchant_reference":null,"raw_status":"PENDING",'
        '"reference":"R-1","status":"pending"}')


@pytest.mark.parametrize("image, mime", [
    ("iVBOR", "image/png"),
    ("iVBO", "application/octet-stream"),
    ("/9j/", "image/jpeg"),
    ("data:image/png;base64,iVBORw0KGgo=", "application/octet-stream"),
    ("R0lGODlhAQABAAAAACw=", "application/octet-stream"),
])
def test_image_type_is_detected_from_the_base64_start(image, mime):
    body = json.dumps({"codigoRespuesta": "SUCCESS", "numeroReferencia": "1", "monto": 1,
                       "imagen": image})
    result = json.loads(parse("pix.generate", 200, body))
    assert result["value"]["image_mime"] == mime
    assert result["value"]["image_base64"] == image


def test_multi_megabyte_image_passes_through_whole():
    image = "iVBORw0KGgo" + "A" * (8 << 20)
    body = json.dumps({"codigoRespuesta": "SUCCESS", "numeroReferencia": "1", "monto": 1,
                       "imagen": "\n" + image + "  "})
    result = json.loads(parse("binance.generate", 200, body))
    assert result["value"]["image_base64"] == image


STATUS_FULL = (
    '{"codigoRespuesta":"PAID","detalleRespuesta":" Pagado ","data":{'
    '"fechaSolicitud":" 2025-01-01 10:00 ","numeroReferencia":" 100200 ","monto":"100.50",'
    '"moneda":" bob ","montoConversion":18.2,"monedaConversion":"usd","tipoCambio":"5.50",'
    '"reversa":{"motivo":"x","fecha":null,"monto":1.50}}}'
)


@pytest.mark.parametrize("op", STATUS)
def test_status_answer_becomes_the_whole_status_record(op):
    assert parse(op, 200, STATUS_FULL) == ok(
        '{"amount":"100.5","converted_amount":"18.2","converted_currency":"USD","currency":"bob",'
        '"detail":"Pagado","exchange_rate":"5.5","raw_status":"PAID","reference":"100200",'
        '"requested_at":"2025-01-01 10:00","reversal":{"fecha":null,"monto":1.50,"motivo":"x"},'
        '"status":"paid"}')


@pytest.mark.parametrize("op", STATUS)
@pytest.mark.parametrize("body", [
    '{"codigoRespuesta":"pending"}',
    '{"codigoRespuesta":"pending","data":null}',
    '{"codigoRespuesta":"pending","data":{"numeroReferencia":"   "}}',
    '{"codigoRespuesta":"pending","data":{"numeroReferencia":true,"reversa":null}}',
])
def test_status_answer_without_reference_falls_back_to_the_input_as_given(op, body):
    result = parse(op, 200, body, {"reference": "  ref\u00e9 9 "})
    assert result == ok(
        '{"amount":null,"converted_amount":null,"converted_currency":null,"currency":null,'
        '"detail":null,"exchange_rate":null,"raw_status":"pending","reference":"  ref\u00e9 9 ",'
        '"requested_at":null,"reversal":null,"status":"pending"}')


@pytest.mark.parametrize("reversa", ["false", "0", '"no"', "[]", '{"a":{"b":1E2}}'])
def test_status_reversal_is_kept_as_the_value_received(reversa):
    body = '{"codigoRespuesta":"REVERSED","data":{"numeroReferencia":5,"reversa":' + reversa + "}}"
    result = parse("pix.verify", 200, body)
    assert ('"reversal":' + reversa + ',"status":"unknown"}') in result
    assert '"reference":"5"' in result


def test_parse_input_is_decoded_but_not_validated():
    # A parse stage only needs the input to decode; its rules belong to build.
    pix = dict(PIX_INPUT, amount="-1.234", reference="", payer_cpf="x")
    result = parse("pix.generate", 200, GENERATED_FULL, pix)
    assert result == ok(GENERATED_FULL_RESULT)


# ---- failures the envelope reports ---------------------------------------------

ENVELOPE_FAILURES = [
    pytest.param(401, '{"error":"invalid_token","error_description":"  Token expirado  "}',
                 failure(kind="authentication", message="Token expirado", status=401),
                 id="401-json"),
    pytest.param(403, "", failure(kind="authentication", message="empty response body",
                                  status=403), id="403-empty"),
    pytest.param(401, "<html>" + "x" * 400 + "</html>",
                 failure(kind="authentication", message="<html>" + "x" * 194, status=401),
                 id="401-html-preview"),
    pytest.param(503, "  Service Unavailable\n",
                 failure(kind="api", message="Service Unavailable", errors=[], status=503,
                         retryable=True), id="503-text"),
    pytest.param(400, "bad request",
                 failure(kind="api", message="bad request", errors=[], status=400), id="400-text"),
    pytest.param(429, "slow down",
                 failure(kind="api", message="slow down", errors=[], status=429, retryable=True),
                 id="429-text"),
    pytest.param(500, '{"error":true,"message":"boom"}',
                 failure(kind="api", message="boom", status=500,
                         errors=[{"code": None, "field": None, "message": "boom"}]),
                 id="500-error-marker"),
    pytest.param(200, '{"error":true,"code":" E1 ","data":["a",1," b "]}',
                 failure(kind="api", message="request failed with HTTP 200", status=200,
                         errors=[{"code": "E1", "field": None, "message": "a"},
                                 {"code": "E1", "field": None, "message": " b "}]),
                 id="200-error-marker-data"),
    pytest.param(200, '{"success":false}',
                 failure(kind="api", message="request failed with HTTP 200", errors=[],
                         status=200), id="200-success-false"),
    pytest.param(200, '{"success":false,"message":"","errors":[{"field":"monto","message":"m"}]}',
                 failure(kind="api", message="", status=200,
                         errors=[{"code": None, "field": "monto", "message": "m"}]),
                 id="200-success-false-errors"),
    pytest.param(200, '{"codigoRespuesta":"ERROR","detalleRespuesta":" Monto invalido - GQ-12 "}',
                 failure(kind="api", message="Monto invalido - GQ-12", status=200,
                         errors=[{"code": "GQ-12", "field": None,
                                  "message": "Monto invalido - GQ-12"}]),
                 id="200-codigo-error"),
    pytest.param(503, '{"codigoRespuesta":"Error","detalleRespuesta":"GQ-1 sin separador"}',
                 failure(kind="api", message="GQ-1 sin separador", status=503,
                         errors=[{"code": "ERROR", "field": None,
                                  "message": "GQ-1 sin separador"}]),
                 id="503-codigo-error-not-retryable"),
    pytest.param(502, "{}",
                 failure(kind="api", message="request failed with HTTP 502", errors=[],
                         status=502, retryable=True), id="502-no-marker"),
    pytest.param(404, '{"detalleRespuesta":" no existe ","message":"m"}',
                 failure(kind="api", message="no existe", errors=[], status=404),
                 id="404-detail"),
]


@pytest.mark.parametrize("op", ALL)
@pytest.mark.parametrize("status, body, expected", ENVELOPE_FAILURES)
def test_failed_exchange_is_one_error(op, status, body, expected):
    assert parse(op, status, body) == expected


@pytest.mark.parametrize("op", ALL)
def test_successful_status_with_unreadable_body_is_a_decode_error(op):
    result = json.loads(parse(op, 200, ""))
    assert result["ok"] is False
    assert result["error"]["kind"] == "decode"
    assert result["error"]["message"].startswith("invalid JSON body: ")
    assert result["error"]["retryable"] is False


# ---- answers that do not fit ------------------------------------------------------

SHAPE_FAILURES = [
    ('{"numeroReferencia":"1"}', "unexpected payload shape: missing field `codigoRespuesta`"),
    ('{"codigoRespuesta":5}', "unexpected payload shape: "),
    ('{"codigoRespuesta":null}', "unexpected payload shape: "),
    ('{"codigoRespuesta":"ok","detalleRespuesta":[]}', "unexpected payload shape: "),
    ("[]", "unexpected payload shape: invalid length 0"),
    ('"SUCCESS"', "unexpected payload shape: "),
    ('{"codigoRespuesta":"ok","codigoRespuesta":"ok"}',
     "unexpected payload shape: duplicate field `codigoRespuesta`"),
]


@pytest.mark.parametrize("op", ALL)
@pytest.mark.parametrize("body, prefix", SHAPE_FAILURES)
def test_answer_that_does_not_decode_is_a_decode_error(op, body, prefix):
    result = json.loads(parse(op, 200, body))
    assert result["ok"] is False
    assert result["error"]["kind"] == "decode"
    assert result["error"]["message"].startswith(prefix), result["error"]["message"]


@pytest.mark.parametrize("op", GENERATE)
@pytest.mark.parametrize("body", [
    '{"codigoRespuesta":"ok","monto":"abc"}',
    '{"codigoRespuesta":"ok","montoConversion":true}',
    '{"codigoRespuesta":"ok","imagen":5}',
])
def test_generation_member_of_the_wrong_type_is_a_decode_error(op, body):
    result = json.loads(parse(op, 200, body))
    assert result["error"]["kind"] == "decode"
    assert result["error"]["message"].startswith("unexpected payload shape: ")


@pytest.mark.parametrize("op", STATUS)
@pytest.mark.parametrize("data", ['{"monto":"abc"}', '{"moneda":1}', '"x"', "[1]"])
def test_status_data_of_the_wrong_shape_is_a_decode_error(op, data):
    result = json.loads(parse(op, 200, '{"codigoRespuesta":"ok","data":' + data + "}"))
    assert result["error"]["kind"] == "decode"
    assert result["error"]["message"].startswith("unexpected payload shape: ")


@pytest.mark.parametrize("op", GENERATE)
@pytest.mark.parametrize("body, missing", [
    ('{"codigoRespuesta":"SUCCESS"}', "numeroReferencia"),
    ('{"codigoRespuesta":"SUCCESS","numeroReferencia":{"a":1},"imagen":"x","monto":1}',
     "numeroReferencia"),
    ('{"codigoRespuesta":"SUCCESS","numeroReferencia":" \\u00a0 ","imagen":"x","monto":1}',
     "numeroReferencia"),
    ('{"codigoRespuesta":"SUCCESS","numeroReferencia":"1"}', "imagen"),
    ('{"codigoRespuesta":"SUCCESS","numeroReferencia":"1","imagen":"  ","monto":1}', "imagen"),
    ('{"codigoRespuesta":"SUCCESS","numeroReferencia":"1","imagen":"x"}', "monto"),
    ('{"codigoRespuesta":"SUCCESS","numeroReferencia":"1","imagen":"x","monto":null}', "monto"),
])
def test_generation_answer_missing_a_mandatory_value(op, body, missing):
    assert parse(op, 200, body) == failure(
        kind="decode", message=f"generation response has no `{missing}`")


@pytest.mark.parametrize("op", ALL)
def test_parse_payload_without_response_is_an_invalid_payload(op):
    result = json.loads(_native.call(f"{op}.parse", json.dumps({"input": ALL[op]})))
    assert result["error"]["kind"] == "ffi"
    assert result["error"]["message"].startswith("invalid payload: missing field `response`")
