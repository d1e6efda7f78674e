"""The parse stage of the seven gateway operations, end to end: the gateway's
answer goes in as the host received it, the exact call result comes out."""

import json

import pytest
from conftest import call_text, failure, load, ok

PIX_INPUT = {"reference": "100200", "glosa": "Pedido 1", "amount": "100.50",
             "payer_cpf": "12345678909", "payer_phone": "5511999999999"}
GENERATE = {
    "pix.generate": PIX_INPUT,
    "crypto.generate": {"reference": "100201", "glosa": "Pedido 2", "amount": 25,
                        "asset": "usdt", "expires_in": 600},
    "binance.generate": {"reference": "100202", "glosa": "Pedido 3", "amount": 7},
}
STATUS = {name: {"reference": "100200"}
          for name in ("pix.verify", "pix.cancel", "crypto.verify", "binance.verify")}
ALL = {**GENERATE, **STATUS}


def parse(op: str, status: int, body: str, input_record=None) -> str:
    """Runs `<op>.parse` on a response whose body is the exact text given."""
    return call_text(f"{op}.parse", {"input": ALL[op] if input_record is None else input_record,
                                     "response": {"status": status, "body": body}})


GENERATED_FULL = (
    '{"codigoRespuesta":" success\\n","detalleRespuesta":"  QR generado  ",'
    '"numeroReferencia":987,"origenNumeroReferencia":"  100200 ","monto":100.50,'
    '"moneda":" BOB ","imagen":"  iVBORw0KGgoAAAANSUhEUgAA  ","montoConversion":"18.20",'
    '"monedaConversion":" usd ","tipoCambio":5.5000,"qrExpiracion":" 2025-01-31 23:59:59 ",'
    '"otroCampo":{"z":[1,2]}}'
)
GENERATED_FULL_RESULT = ok(
    '{"amount":"100.5","converted_amount":"18.2","converted_currency":"USD","currency":"BOB",'
    '"detail":"QR generado","exchange_rate":"5.5","expires_at":"2025-01-31 23:59:59",'
    '"image_base64":"iVBORw0KGgoAAAANSUhEUgAA","image_mime":"image/png",'
    '"merchant_reference":"100200","raw_status":" success\\n","reference":"987","status":"paid"}'
)


@pytest.mark.parametrize("op", GENERATE)
def test_generation_answer_becomes_the_whole_qr_record(op):
    assert parse(op, 200, GENERATED_FULL) == GENERATED_FULL_RESULT
    body = '{"codigoRespuesta":"PENDING","numeroReferencia":"R-1","monto":"7.00","imagen":"/9j/"}'
    assert parse(op, 201, body) == ok(
        '{"amount":"7","converted_amount":null,"converted_currency":null,"currency":"",'
        '"detail":null,"exchange_rate":null,"expires_at":null,"image_base64":"/9j/",'
        '"image_mime":"image/jpeg","merchant_reference":null,"raw_status":"PENDING",'
        '"reference":"R-1","status":"pending"}')


def test_parse_input_is_decoded_but_not_validated_and_images_pass_whole():
    pix = dict(PIX_INPUT, amount="-1.234", reference="", payer_cpf="x")
    assert parse("pix.generate", 200, GENERATED_FULL, pix) == GENERATED_FULL_RESULT
    image = "iVBORw0KGgo" + "A" * (8 << 20)
    body = json.dumps({"codigoRespuesta": "SUCCESS", "numeroReferencia": "1", "monto": 1,
                       "imagen": "\n" + image + "  "})
    assert load(parse("binance.generate", 200, body))["value"]["image_base64"] == image


@pytest.mark.parametrize("op", STATUS)
def test_status_answer_becomes_the_whole_status_record(op):
    body = ('{"codigoRespuesta":"PAID","detalleRespuesta":" Pagado ","data":{'
            '"fechaSolicitud":" 2025-01-01 10:00 ","numeroReferencia":" 100200 ","monto":"100.50",'
            '"moneda":" bob ","montoConversion":18.2,"monedaConversion":"usd","tipoCambio":"5.50",'
            '"reversa":{"motivo":"x","fecha":null,"monto":1.50}}}')
    assert parse(op, 200, body) == ok(
        '{"amount":"100.5","converted_amount":"18.2","converted_currency":"USD","currency":"bob",'
        '"detail":"Pagado","exchange_rate":"5.5","raw_status":"PAID","reference":"100200",'
        '"requested_at":"2025-01-01 10:00","reversal":{"fecha":null,"monto":1.50,"motivo":"x"},'
        '"status":"paid"}')
    # without a reference in the answer, the input's is used exactly as given
    result = parse(op, 200, '{"codigoRespuesta":"pending","data":{"numeroReferencia":"   "}}',
                   {"reference": "  ref\u00e9 9 "})
    assert result == ok(
        '{"amount":null,"converted_amount":null,"converted_currency":null,"currency":null,'
        '"detail":null,"exchange_rate":null,"raw_status":"pending","reference":"  ref\u00e9 9 ",'
        '"requested_at":null,"reversal":null,"status":"pending"}')


@pytest.mark.parametrize("op", ALL)
@pytest.mark.parametrize("status, body, expected", [
    (401, '{"error":"invalid_token","error_description":"  Token expirado  "}',
     failure("authentication", "Token expirado", status=401)),
    (503, "  Service Unavailable\n",
     failure("api", "Service Unavailable", errors=[], status=503, retryable=True)),
    (200, '{"success":false,"message":"","errors":[{"field":"monto","message":"m"}]}',
     failure("api", "", status=200, errors=[{"code": None, "field": "monto", "message": "m"}])),
    # An answer is one JSON value: of a repeated member the last one counts, at any depth.
    (400, '{"success":false,"message":"m","errors":[{"message":"a","message":"b","field":"f","field":"g"}]}',
     failure("api", "m", status=400, errors=[{"code": None, "field": "g", "message": "b"}])),
    (503, '{"codigoRespuesta":"ERROR","detalleRespuesta":" Monto invalido - GQ-12 "}',
     failure("api", "Monto invalido - GQ-12", status=503,
             errors=[{"code": "GQ-12", "field": None, "message": "Monto invalido - GQ-12"}])),
])
def test_failed_exchange_is_one_error(op, status, body, expected):
    assert parse(op, status, body) == expected


@pytest.mark.parametrize("op", ALL)
@pytest.mark.parametrize("body, prefix", [
    ("", "invalid JSON body: "),
    ('{"numeroReferencia":"1"}', "unexpected payload shape: missing field `codigoRespuesta`"),
])
def test_answer_that_does_not_decode_is_a_decode_error(op, body, prefix):
    error = load(parse(op, 200, body))["error"]
    assert error["kind"] == "decode" and error["message"].startswith(prefix), error


@pytest.mark.parametrize("op", GENERATE)
@pytest.mark.parametrize("body, missing", [
    ('{"codigoRespuesta":"SUCCESS"}', "numeroReferencia"),
    ('{"codigoRespuesta":"SUCCESS","numeroReferencia":"1","imagen":"x","monto":null}', "monto"),
])
def test_generation_answer_missing_a_mandatory_value(op, body, missing):
    assert parse(op, 200, body) == failure("decode", f"generation response has no `{missing}`")
