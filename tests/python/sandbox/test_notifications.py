"""Settling a payment notifies the merchant, the way the webhook helpers expect."""

import json
import time
from decimal import Decimal

import pytest

from quorvex_bo.fx import PaymentStatus, WebhookAuthenticationError, WebhookTarget, webhooks
from quorvex_bo.fx.sandbox import Delivery


@pytest.mark.parametrize("paid", [True, False])
@pytest.mark.parametrize("rail", ["pix", "crypto", "binance"])
def test_settling_notifies_the_merchant_with_its_header(quorvex_sandbox, generate,
                                                        webhook_inbox, rail, paid):
    qr = generate(rail)
    quorvex_sandbox.advance(60)  # the notification tells when it settled, not when it began
    (quorvex_sandbox.pay if paid else quorvex_sandbox.reject)(rail, qr.reference)
    [note] = webhook_inbox.wait(1)
    assert note.path == "/webhook" and ("X-Quorvex-Signature", "sandbox-secret") in note.headers
    parse = webhooks.parse_binance if rail == "binance" else webhooks.parse_fx
    hook = webhook_inbox.target()
    notification = parse(note.headers, note.body, key=hook.key, value=hook.value)
    assert (notification.reference, notification.status, notification.amount,
            notification.currency) == (qr.reference, PaymentStatus.PAID if paid else
                                       PaymentStatus.CANCELLED, qr.amount, qr.currency)
    settled = time.gmtime(quorvex_sandbox.payment(rail, qr.reference).settled_at)
    told = {"monto": qr.amount, "moneda": qr.currency,
            "fechaHoraTransaccion": time.strftime("%Y-%m-%dT%H:%M:%SZ", settled)}
    word = {"numeroReferencia": qr.reference, "estado": "PAGADO" if paid else "CANCELADO"}
    assert json.loads(note.body, parse_float=Decimal) == ({**word, "transacciones": {
        **told, "cliente": {"nombreCliente": "Sandbox Payer", "ciCliente": "1234567"}}}
        if rail == "binance" else {**word, **told, **({"codigoRespuesta": "00"} if paid else {})})
    with pytest.raises(WebhookAuthenticationError):
        parse(note.headers, note.body, key=hook.key, value=hook.value + "?")
    assert quorvex_sandbox.wait_for_delivery(rail, qr.reference).delivery is Delivery.DELIVERED


@pytest.mark.parametrize("failures, url, statuses, delivery, detail", [
    (2, None, [500, 500, 200], Delivery.DELIVERED, '{"received":true}'),
    (4, None, [500] * 4, Delivery.FAILED, '{"received":true}'),
    (0, "http://0.0.0.0:9/hook", [None] * 4, Delivery.FAILED,  # refused; local if it were sent
     "not sent: this sandbox delivers only to loopback addresses"),
    (0, "http://127.0.0.1:9/hook", [None] * 4, Delivery.FAILED, "no answer (ConnectError): "),
])
def test_failed_deliveries_are_retried_a_few_times(quorvex_sandbox, generate, webhook_inbox,
                                                   monkeypatch, failures, url, statuses,
                                                   delivery, detail):
    waits: list[float] = []  # the waits between tries, recorded instead of waited
    monkeypatch.setattr(quorvex_sandbox._stopping, "wait", waits.append)
    webhook_inbox.fail_next(failures)
    hook = WebhookTarget(url or webhook_inbox.url, "X-Hook", "secret")
    reference = generate("pix", webhook=hook).reference
    quorvex_sandbox.pay("pix", reference)
    payment = quorvex_sandbox.wait_for_delivery("pix", reference)
    tries = [(a.number, a.status, a.detail[:len(detail)]) for a in payment.attempts]
    assert (tries, payment.delivery, waits) == (
        [(number, status, detail) for number, status in enumerate(statuses, 1)], delivery,
        [0.05 * 2 ** number for number in range(len(statuses) - 1)])  # doubling from 0.05
