"""The two webhook operations end to end: authentication first, FX notifications
read leniently, Binance notifications read strictly and acknowledged."""

import pytest
from conftest import call_text, failure, load, ok

SECRET = "s3cr3t-\u00f1"
HEADERS = {"Content-Type": "application/json", "X-Webhook-Token": SECRET}
BOTH = ["fx.webhook.parse", "binance.webhook.parse"]
PAID = '{"numeroReferencia":"1","estado":"00"}'


def notify(op: str, body, headers=HEADERS, key="x-webhook-token", value=SECRET) -> str:
    return call_text(op, {"headers": headers, "body": body, "key": key, "value": value})


@pytest.mark.parametrize("op", BOTH)
@pytest.mark.parametrize("sent", [SECRET + " ", SECRET.upper(), SECRET[:-1]])
def test_wrong_header_is_refused_before_the_body_is_read(op, sent):
    assert notify(op, "{", headers={"X-Webhook-Token": sent}) == failure(
        "webhook_auth", "`x-webhook-token` header does not match")


@pytest.mark.parametrize("op", BOTH)
def test_authentication_checks_in_order_and_ignores_header_name_case(op):
    assert notify(op, "{", headers={}, value="") == failure(
        "validation", "expected webhook header value must not be empty", field="value")
    assert notify(op, "{", headers={}, key="X-Token") == failure(
        "webhook_auth", "missing `X-Token` header")
    assert load(notify(op, PAID, headers={"X-WEBHOOK-TOKEN": SECRET}))["ok"] is True
    error = load(notify(op, {"a": 1}))["error"]  # the body must be text
    assert error["kind"] == "ffi" and error["message"].startswith("invalid payload: ")


@pytest.mark.parametrize("body, value", [
    ('{"numeroReferencia":123,"estado":"PAGADO","importe":"10.50"}',
     '{"amount":"10.5","currency":null,"payload":{"estado":"PAGADO","importe":"10.50",'
     '"numeroReferencia":123},"raw_status":"PAGADO","reference":"123","status":"paid"}'),
    ('{"codigoRespuesta":"00","monto":25.00,"moneda":" usd ","numeroReferencia":" A-1 "}',
     '{"amount":"25","currency":"usd","payload":{"codigoRespuesta":"00","moneda":" usd ",'
     '"monto":25.00,"numeroReferencia":" A-1 "},"raw_status":"00","reference":"A-1",'
     '"status":"paid"}'),
    ('{"z":{"b":1E2,"a":[true,null]},"codigoRespuesta":"\\u0001PENDING"}',
     '{"amount":null,"currency":null,"payload":{"codigoRespuesta":"\\u0001PENDING",'
     '"z":{"a":[true,null],"b":1E2}},"raw_status":"\\u0001PENDING","reference":null,'
     '"status":"unknown"}'),
    (' [{"codigoRespuesta":"00"}]\n', '{"amount":null,"currency":null,"payload":'
     '[{"codigoRespuesta":"00"}],"raw_status":null,"reference":null,"status":"unknown"}'),
])
def test_fx_notification_is_read_leniently(body, value):
    assert notify("fx.webhook.parse", body) == ok(value)


@pytest.mark.parametrize("body", ["", "{} {}", "[" * 200 + "]" * 200])
def test_fx_body_that_is_not_one_json_value_is_a_decode_error(body):
    error = load(notify("fx.webhook.parse", body))["error"]
    assert error["kind"] == "decode" and " at line " in error["message"]
    assert error["message"].startswith("invalid webhook payload: ")


@pytest.mark.parametrize("body, value", [
    ('{"numeroReferencia":"  88001 ","estado":" 00 ","extra":{"x":1},"transacciones":{'
     '"monto":"150.500","moneda":" usdt ","fechaHoraTransaccion":" 2025-04-01T12:00:00 ",'
     '"cliente":{"nombreCliente":" Ana P\u00e9rez ","ciCliente":" 1234567 LP "}}}',
     '{"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"88001"},'
     '"amount":"150.5","currency":"usdt","payer_document_id":"1234567 LP",'
     '"payer_name":"Ana P\u00e9rez","raw_status":" 00 ","reference":"88001","status":"paid",'
     '"transaction_at":"2025-04-01T12:00:00"}'),
    ('[77,"PAGADO",null]',
     '{"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"77"},'
     '"amount":null,"currency":null,"payer_document_id":null,"payer_name":null,'
     '"raw_status":"PAGADO","reference":"77","status":"paid","transaction_at":null}'),
])
def test_binance_notification_is_cleaned_and_acknowledged(body, value):
    assert notify("binance.webhook.parse", body) == ok(value)


@pytest.mark.parametrize("reference", ["null", '" \\t\\u3000 "', "[]"])
def test_binance_without_usable_reference_is_refused(reference):
    body = '{"estado":"PAGADO","numeroReferencia":' + reference + "}"
    assert notify("binance.webhook.parse", body) == failure(
        "decode", "Binance webhook has no `numeroReferencia`")


@pytest.mark.parametrize("body, detail", [
    ('{"estado":"PAGADO"}', "missing field `numeroReferencia` at line 1 column"),
    ('{"numeroReferencia":"1","estado":"A","estado":"A"}', "duplicate field `estado`"),
    ('{"numeroReferencia":"1","estado":"A","transacciones":{"monto":"abc"}}',
     "invalid amount `abc`"),
    ('{"numeroReferencia":"1","estado":"A"} {}', "trailing"),
])
def test_binance_body_that_does_not_decode_is_a_decode_error(body, detail):
    error = load(notify("binance.webhook.parse", body))["error"]
    assert error["kind"] == "decode"
    assert error["message"].startswith("invalid Binance webhook payload: " + detail), error
