"""One end-to-end story per operation through `call`: the exact request built, then
the exact result parsed from what the gateway answers."""

import pytest
from conftest import call, dumps, failure, ok

CONFIG = {"client_id": "cid", "base_url": "https://gw.test/api"}
TOKEN = {"access_token": "tok", "token_type": "Bearer", "expires_at": 0}
HEADERS = {"Accept": "application/json", "Authorization": "Bearer tok",
           "Content-Type": "application/json", "access_token": "tok", "client_id": "cid"}
HOOK = {"url": "https://merchant.test/hook", "key": "X-Hook", "value": "s3cret"}
SENT_HOOK = dict(sorted(HOOK.items()))  # the body is written with sorted members
QR = {"converted_amount": None, "converted_currency": None, "detail": None,
      "exchange_rate": None, "expires_at": None, "merchant_reference": None}


def request(method, path, body=None):
    return ok({"body": body if body is None else dumps(body), "headers": HEADERS,
               "method": method, "url": "https://gw.test/api/qr/" + path})


def exchange(op, input_record, status, body):
    return call(op + ".parse", {"input": input_record, "response": {"status": status,
                                                                    "body": body}})


GENERATED = ('{"codigoRespuesta":" success\\n","detalleRespuesta":"  QR generado  ",'
             '"numeroReferencia":987,"origenNumeroReferencia":"  100200 ","monto":100.50,'
             '"moneda":" BOB ","imagen":"  iVBORw0KGgoAAAANSUhEUgAA  ","montoConversion":"18.20",'
             '"monedaConversion":" usd ","tipoCambio":5.5000,"qrExpiracion":" 2025-01-31 ",'
             '"otroCampo":{"z":[1,2]}}')
GENERATED_QR = {"amount": "100.5", "converted_amount": "18.2", "converted_currency": "USD",
                "currency": "BOB", "detail": "QR generado", "exchange_rate": "5.5",
                "expires_at": "2025-01-31", "image_base64": "iVBORw0KGgoAAAANSUhEUgAA",
                "image_mime": "image/png", "merchant_reference": "100200",
                "raw_status": " success\n", "reference": "987", "status": "paid"}


def test_pix_generate_story():
    pix = {"reference": "123", "glosa": " 001 | Centro | Ventas | Pago ", "amount": "100.50",
           "expires_in": 86399, "payer_cpf": "12345678901", "payer_phone": "+5511999999999",
           "payer_email": "a@b", "webhook": HOOK}
    assert call("pix.generate.build", [CONFIG, TOKEN, pix]) == request("POST", "pix/v2/generar", {
        "canal": "WEB", "correoElectronico": "a@b", "cpf": "12345678901",
        "glosa": "001|Centro|Ventas|Pago", "moneda": "BOB", "monto": 100.5,
        "numeroReferencia": "123", "telefono": "+5511999999999", "tiempoQr": "23:59:59",
        "webhook": SENT_HOOK})
    assert exchange("pix.generate", pix, 200, GENERATED) == ok(GENERATED_QR)
    assert exchange("pix.generate", pix, 503, "  Service Unavailable\n") == failure(
        "api", "Service Unavailable", errors=[], status=503, retryable=True)


def test_crypto_generate_story():
    crypto = {"reference": "1", "glosa": "1|2|3|4", "amount": "50.00", "asset": "usdc",
              "expires_in": 180, "channel": " app_1 ", "webhook": HOOK}
    assert call("crypto.generate.build", {"config": CONFIG, "token": TOKEN,
                                          "input": crypto}) == request(
        "POST", "koibanx/v2/generar", {
            "activoVirtual": "UP", "campoExtra": "", "canal": "APP_1", "glosa": "1|2|3|4",
            "moneda": "BOB", "monto": 50, "numeroReferencia": "1", "tiempoVencimientoQR": 180,
            "webhook": SENT_HOOK})
    body = '{"codigoRespuesta":"PENDING","numeroReferencia":"R-1","monto":"7.00","imagen":"/9j/"}'
    assert exchange("crypto.generate", crypto, 201, body) == ok(dict(
        QR, amount="7", currency="", image_base64="/9j/", image_mime="image/jpeg",
        raw_status="PENDING", reference="R-1", status="pending"))


def test_binance_generate_story():
    binance = {"reference": "1234567890", "glosa": "1|2|3|4", "amount": 100.50,
               "expires_in": 300, "extra": "nota \"1\"\n", "webhook": HOOK}
    assert call("binance.generate.build", {"config": CONFIG, "token": TOKEN,
                                           "input": binance}) == request(
        "POST", "binance/v2/generar", {
            "campoExtra": "nota \"1\"\n", "canal": "WEB", "glosa": "1|2|3|4", "moneda": "BOB",
            "monto": 100.5, "numeroReferencia": "1234567890", "tiempoQr": "00:05:00",
            "webhook": SENT_HOOK})
    body = '{"codigoRespuesta":"ERROR","detalleRespuesta":" Monto invalido - GQ-12 "}'
    assert exchange("binance.generate", binance, 200, body) == failure(
        "api", "Monto invalido - GQ-12", status=200,
        errors=[{"code": "GQ-12", "field": None, "message": "Monto invalido - GQ-12"}])


@pytest.mark.parametrize("op, path", [
    ("pix.verify", "pix/v2/verifica"), ("pix.cancel", "pix/v2/cancela"),
    ("crypto.verify", "koibanx/v2/estado"), ("binance.verify", "binance/v2/verificar")])
def test_status_story(op, path):
    assert call(op + ".build", {"config": CONFIG, "input": {"reference": "12/3"}}) == failure(
        "validation", "must contain only digits", field="reference")
    assert call(op + ".build", {"config": CONFIG, "token": TOKEN,
                                "input": {"reference": "00123"}}) == request(
        "GET", path + "/00123")
    body = ('{"codigoRespuesta":"PAID","detalleRespuesta":" Pagado ","data":{'
            '"fechaSolicitud":" 2025-01-01 ","numeroReferencia":" 100200 ","monto":"100.50",'
            '"moneda":" bob ","montoConversion":18.2,"monedaConversion":"usd","tipoCambio":"5.50",'
            '"reversa":{"motivo":"x","monto":1.50}}}')
    assert exchange(op, {"reference": "00123"}, 200, body) == ok(
        '{"amount":"100.5","converted_amount":"18.2","converted_currency":"USD","currency":"bob",'
        '"detail":"Pagado","exchange_rate":"5.5","raw_status":"PAID","reference":"100200",'
        '"requested_at":"2025-01-01","reversal":{"monto":1.50,"motivo":"x"},"status":"paid"}')
    assert exchange(op, {"reference": "1"}, 401, '{"error_description":" Expirado "}') == failure(
        "authentication", "Expirado", status=401)
    # An answer is one JSON value: of a repeated member the last one counts.
    none = dict.fromkeys(["amount", "converted_amount", "converted_currency", "currency",
                          "detail", "exchange_rate", "requested_at", "reversal"])
    assert exchange(op, {"reference": "7"}, 200,
                    '{"codigoRespuesta":"ERROR","codigoRespuesta":"PENDING"}') == ok(
        {**none, "raw_status": "PENDING", "reference": "7", "status": "pending"})


def notify(op, body, sent="s3cr3t-\u00f1"):
    return call(op, {"headers": {"X-Webhook-Token": sent}, "body": body,
                     "key": "x-webhook-token", "value": "s3cr3t-\u00f1"})


def test_fx_webhook_story():
    assert notify("fx.webhook.parse", "{", sent="s3cr3t-\u00d1") == failure(
        "webhook_auth", "`x-webhook-token` header does not match")
    body = ('{"codigoRespuesta":"00","monto":"abc","importe":25.00,"moneda":" usd ",'
            '"numeroReferencia":"A","numeroReferencia":" A-1 "}')
    assert notify("fx.webhook.parse", body) == ok(
        '{"amount":"25","currency":"usd","payload":{"codigoRespuesta":"00","importe":25.00,'
        '"moneda":" usd ","monto":"abc","numeroReferencia":" A-1 "},"raw_status":"00",'
        '"reference":"A-1","status":"paid"}')


def test_binance_webhook_story():
    body = ('{"numeroReferencia":"  88001 ","estado":" Pagado ","transacciones":{'
            '"monto":"150.500","moneda":" usdt ","fechaHoraTransaccion":" 2025-04-01 ",'
            '"cliente":{"nombreCliente":" Ana P\u00e9rez ","ciCliente":"  "}}}')
    assert notify("binance.webhook.parse", body) == ok(
        '{"ack":{"codigoRespuesta":"00","detalleRespuesta":null,"numeroReferencia":"88001"},'
        '"amount":"150.5","currency":"usdt","payer_document_id":null,"payer_name":"Ana P\u00e9rez",'
        '"raw_status":" Pagado ","reference":"88001","status":"paid",'
        '"transaction_at":"2025-04-01"}')
