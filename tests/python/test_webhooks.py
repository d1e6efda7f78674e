"""The two webhook operations end to end: authentication first, FX notifications
read leniently, Binance notifications read strictly and acknowledged."""

import json

import pytest

from quorvex_bo.fx import _native

SECRET = "s3cr3t-\u00f1"
HEADERS = {"Content-Type": "application/json", "X-Webhook-Token": SECRET}


def notify(op: str, body: str, headers=None, key: str = "x-webhook-token",
           value: str = SECRET) -> str:
    payload = {"headers": HEADERS if headers is None else headers, "body": body,
               "key": key, "value": value}
    return _native.call(op, json.dumps(payload, ensure_ascii=False))


def fx(body: str, **kwargs) -> str:
    return notify("fx.webhook.parse", body, **kwargs)


def binance(body: str, **kwargs) -> str:
    return notify("binance.webhook.parse", body, **kwargs)


def ok(value_text: str) -> str:
    return '{"ok":true,"value":' + value_text + "}"


def failure(kind: str, message: str, **members) -> str:
    error = {"kind": kind, "message": message, "retryable": False, **members}
    return json.dumps({"error": error, "ok": False}, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False)


def nothing_but(payload_text: str) -> str:
    """The FX notification of a body that has nothing to read."""
    return ok('{"amount":null,"currency":null,"payload":' + payload_text +
              ',"raw_status":null,"reference":null,"status":"unknown"}')


# ---- authentication ---------------------------------------------------------------

BOTH = ["fx.webhook.parse", "binance.webhook.parse"]


@pytest.mark.parametrize("op", BOTH)
@pytest.mark.parametrize("body", ["{", "not json at all", '{"numeroReferencia":"1","estado":"00"}'])
@pytest.mark.parametrize("sent", [SECRET + " ", SECRET.upper(), "", SECRET[:-1]])
def test_wrong_header_is_refused_before_the_body_is_read(op, body, sent):
    headers = {"X-Webhook-Token": sent}
    assert notify(op, body, headers=headers) == failure(
        "webhook_auth", "`x-webhook-token` header does not match")


@pytest.mark.parametrize("op", BOTH)
def test_missing_header_is_refused_naming_the_wanted_header_as_given(op):
    assert notify(op, "{", headers={}, key="X-Token") == failure(
        "webhook_auth", "missing `X-Token` header")


@pytest.mark.parametrize("op", BOTH)
def test_empty_expected_value_is_a_validation_error_before_the_headers(op):
    assert notify(op, "{", headers={}, value="") == failure(
        "validation", "expected webhook header value must not be empty", field="value")


@pytest.mark.parametrize("op", BOTH)
def test_header_name_is_matched_without_regard_to_ascii_case(op):
    result = json.loads(notify(op, '{"numeroReferencia":"1","estado":"00"}',
                               headers={"X-WEBHOOK-TOKEN": SECRET}))
    assert result["ok"] is True


@pytest.mark.parametrize("op", BOTH)
def test_webhook_payload_that_is_not_a_webhook_call_is_an_invalid_payload(op):
    payload = json.dumps({"headers": HEADERS, "body": {"a": 1}, "key": "k", "value": "v"})
    result = json.loads(_native.call(op, payload))
    assert result["error"]["kind"] == "ffi"
    assert result["error"]["message"].startswith("invalid payload: ")


# ---- FX notifications -------------------------------------------------------------

FX_CASES = [
    pytest.param(
        '{"numeroReferencia":123,"estado":"PAGADO","importe":"10.50"}',
        '{"amount":"10.5","currency":null,"payload":{"estado":"PAGADO","importe":"10.50",'
        '"numeroReferencia":123},"raw_status":"PAGADO","reference":"123","status":"paid"}',
        id="spanish-status-number-reference-text-amount"),
    pytest.param(
        '{"codigoRespuesta":"00","monto":25.00,"moneda":" usd ","numeroReferencia":" A-1 "}',
        '{"amount":"25","currency":"usd","payload":{"codigoRespuesta":"00","moneda":" usd ",'
        '"monto":25.00,"numeroReferencia":" A-1 "},"raw_status":"00","reference":"A-1",'
        '"status":"paid"}',
        id="double-zero-paid"),
    pytest.param(
        '{"codigoRespuesta":0}',
        '{"amount":null,"currency":null,"payload":{"codigoRespuesta":0},"raw_status":"0",'
        '"reference":null,"status":"unknown"}',
        id="number-zero-unknown"),
    pytest.param(
        '{"codigoRespuesta":"  ","estado":"EXPIRADO"}',
        '{"amount":null,"currency":null,"payload":{"codigoRespuesta":"  ","estado":"EXPIRADO"},'
        '"raw_status":"EXPIRADO","reference":null,"status":"expired"}',
        id="blank-code-falls-to-estado"),
    pytest.param(
        '{"codigoRespuesta":"SUCCESS"}',
        '{"amount":null,"currency":null,"payload":{"codigoRespuesta":"SUCCESS"},'
        '"raw_status":"SUCCESS","reference":null,"status":"paid"}',
        id="english-word"),
    pytest.param(
        '{"estado":"CANCELADO"}',
        '{"amount":null,"currency":null,"payload":{"estado":"CANCELADO"},'
        '"raw_status":"CANCELADO","reference":null,"status":"cancelled"}',
        id="spanish-word"),
    pytest.param(
        '{"monto":"diez","importe":5}',
        '{"amount":"5","currency":null,"payload":{"importe":5,"monto":"diez"},'
        '"raw_status":null,"reference":null,"status":"unknown"}',
        id="unreadable-monto-then-importe"),
    pytest.param(
        '{"monto":" 5 "}',
        '{"amount":null,"currency":null,"payload":{"monto":" 5 "},'
        '"raw_status":null,"reference":null,"status":"unknown"}',
        id="padded-amount-text-not-read"),
    pytest.param(
        '{"monto":"1e2","importe":1}',
        '{"amount":"100","currency":null,"payload":{"importe":1,"monto":"1e2"},'
        '"raw_status":null,"reference":null,"status":"unknown"}',
        id="scientific-text"),
    pytest.param(
        '{"monto":-0.10}',
        '{"amount":"-0.1","currency":null,"payload":{"monto":-0.10},'
        '"raw_status":null,"reference":null,"status":"unknown"}',
        id="amount-not-checked-for-sign"),
    pytest.param(
        '{"numeroReferencia":"A","estado":"PAGADO","numeroReferencia":"B"}',
        '{"amount":null,"currency":null,"payload":{"estado":"PAGADO","numeroReferencia":"B"},'
        '"raw_status":"PAGADO","reference":"B","status":"paid"}',
        id="repeated-member-last-wins"),
    pytest.param(
        '{"z":{"b":1E2,"a":[true,null]},"codigoRespuesta":"\\u0001PENDING"}',
        '{"amount":null,"currency":null,"payload":{"codigoRespuesta":"\\u0001PENDING",'
        '"z":{"a":[true,null],"b":1E2}},"raw_status":"\\u0001PENDING","reference":null,'
        '"status":"unknown"}',
        id="nested-members-sorted-numbers-literal"),
]


@pytest.mark.parametrize("body, value", FX_CASES)
def test_fx_notification_is_read_leniently(body, value):
    assert fx(body) == ok(value)


@pytest.mark.parametrize("body, payload", [
    ("[]", "[]"),
    (' [{"codigoRespuesta":"00","monto":5}]\n', '[{"codigoRespuesta":"00","monto":5}]'),
    ("null", "null"),
    ("0", "0"),
    ("-12.50e3", "-12.50e3"),
    ('"PAGADO"', '"PAGADO"'),
    ("true", "true"),
    ("{}", "{}"),
])
def test_fx_body_other_than_an_object_is_accepted_with_nothing_read(body, payload):
    assert fx(body) == nothing_but(payload)


@pytest.mark.parametrize("body", ["", "   ", "{", "{} {}", '{"a":1}x', "PAGADO", "[1,]",
                                  "[" * 200 + "]" * 200])
def test_fx_body_that_is_not_one_json_value_is_a_decode_error(body):
    result = json.loads(fx(body))
    assert result["ok"] is False
    assert result["error"]["kind"] == "decode"
    assert result["error"]["message"].startswith("invalid webhook payload: ")
    assert " at line " in result["error"]["message"]
    assert result["error"]["retryable"] is False


# ---- Binance notifications ---------------------------------------------------------

BINANCE_FULL = (
    '{"numeroReferencia":"  88001 ","estado":" 00 ","extra":{"x":1},"transacciones":{'
    '"monto":"150.500","moneda":" usdt ","fechaHoraTransaccion":" 2025-04-01T12:00:00 ",'
    '"cliente":{"nombreCliente":" Ana P\u00e9rez ","ciCliente":" 1234567 LP "}}}'
)


def test_binance_notification_is_cleaned_and_acknowledged():
    assert binance(BINANCE_FULL) == ok(
        '{"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"88001"},'
        '"amount":"150.5","currency":"usdt","payer_document_id":"1234567 LP",'
        '"payer_name":"Ana P\u00e9rez","raw_status":" 00 ","reference":"88001","status":"paid",'
        '"transaction_at":"2025-04-01T12:00:00"}')


@pytest.mark.parametrize("body", [
    '{"numeroReferencia":77,"estado":"PAGADO"}',
    '{"estado":"PAGADO","numeroReferencia":77,"transacciones":null}',
    '[77,"PAGADO",null]',
    '{"numeroReferencia":77,"estado":"PAGADO","otro":1,"otro":2}',
])
def test_binance_without_transaction_still_acknowledges_the_reference(body):
    assert binance(body) == ok(
        '{"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"77"},'
        '"amount":null,"currency":null,"payer_document_id":null,"payer_name":null,'
        '"raw_status":"PAGADO","reference":"77","status":"paid","transaction_at":null}')


@pytest.mark.parametrize("estado, status", [
    ("00", "paid"), ("SUCCESS", "paid"), ("pendiente", "pending"), ("Expired", "expired"),
    ("CANCELADO", "cancelled"), ("error", "error"), ("0", "unknown"), ("", "unknown"),
])
def test_binance_status_word_english_then_spanish(estado, status):
    result = json.loads(binance(json.dumps({"numeroReferencia": "R", "estado": estado})))
    assert result["value"]["status"] == status
    assert result["value"]["raw_status"] == estado


@pytest.mark.parametrize("reference", ["null", '""', '" \\t\\u3000 "', "true", "[]", '{"a":"1"}'])
def test_binance_without_usable_reference_is_refused(reference):
    body = '{"estado":"PAGADO","numeroReferencia":' + reference + "}"
    assert binance(body) == failure("decode", "Binance webhook has no `numeroReferencia`")


BINANCE_UNDECODABLE = [
    ('{"estado":"PAGADO"}', "missing field `numeroReferencia` at line 1 column"),
    ('{"numeroReferencia":"1"}', "missing field `estado`"),
    ('{"numeroReferencia":"1","estado":0}', ""),
    ('{"numeroReferencia":"1","estado":null}', ""),
    ('{"numeroReferencia":"1","estado":"A","estado":"A"}', "duplicate field `estado`"),
    ('{"numeroReferencia":"1","estado":"A","transacciones":{"moneda":"BOB","moneda":"BOB"}}',
     "duplicate field `moneda`"),
    ('{"numeroReferencia":"1","estado":"A","transacciones":[{"monto":1}]}', ""),
    ('{"numeroReferencia":"1","estado":"A","transacciones":{"monto":"abc"}}',
     "invalid amount `abc`"),
    ('{"numeroReferencia":"1","estado":"A","transacciones":{"monto":true}}',
     "expected a number, got true"),
    ('{"numeroReferencia":"1","estado":"A","transacciones":{"fechaHoraTransaccion":1}}', ""),
    ('{"numeroReferencia":"1","estado":"A","transacciones":{"cliente":{"ciCliente":5}}}', ""),
    ("[]", "invalid length 0"),
    ("null", ""),
    ("12", ""),
    ('"x"', ""),
    ("", ""),
    ('{"numeroReferencia":"1","estado":"A"} {}', "trailing"),
]


@pytest.mark.parametrize("body, detail", BINANCE_UNDECODABLE)
def test_binance_body_that_does_not_decode_is_a_decode_error(body, detail):
    result = json.loads(binance(body))
    assert result["ok"] is False
    assert result["error"]["kind"] == "decode"
    message = result["error"]["message"]
    assert message.startswith("invalid Binance webhook payload: " + detail), message


def test_binance_amounts_are_not_checked_for_sign_or_places():
    body = '{"numeroReferencia":"1","estado":"A","transacciones":{"monto":-0.125}}'
    assert json.loads(binance(body))["value"]["amount"] == "-0.125"
