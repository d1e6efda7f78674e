"""Settling a payment notifies the merchant, the way the webhook helpers expect."""

import pytest

from quorvex_bo.fx import PaymentStatus, WebhookAuthenticationError, WebhookTarget, webhooks
from quorvex_bo.fx.sandbox import Delivery


@pytest.mark.parametrize("paid", [True, False])
@pytest.mark.parametrize("rail", ["pix", "crypto", "binance"])
def test_settling_notifies_the_merchant_with_its_header(quorvex_sandbox, generate,
                                                        webhook_inbox, rail, paid):
    qr = generate(rail)
    (quorvex_sandbox.pay if paid else quorvex_sandbox.reject)(rail, qr.reference)
    [note] = webhook_inbox.wait(1)
    parse = webhooks.parse_binance if rail == "binance" else webhooks.parse_fx
    hook = webhook_inbox.target()
    notification = parse(note.headers, note.body, key=hook.key, value=hook.value)
    assert (notification.reference, notification.status, notification.amount,
            notification.currency) == (qr.reference, PaymentStatus.PAID if paid else
                                       PaymentStatus.CANCELLED, qr.amount, qr.currency)
    with pytest.raises(WebhookAuthenticationError):
        parse(note.headers, note.body, key=hook.key, value=hook.value + "?")
    assert quorvex_sandbox.wait_for_delivery(rail, qr.reference).delivery is Delivery.DELIVERED


@pytest.mark.parametrize("failures, url, statuses, delivery", [
    (2, None, [500, 500, 200], Delivery.DELIVERED),
    (4, None, [500] * 4, Delivery.FAILED),
    (0, "http://192.0.2.1/hook", [None] * 4, Delivery.FAILED),  # never sent off the machine
])
def test_failed_deliveries_are_retried_a_few_times(quorvex_sandbox, generate, webhook_inbox,
                                                   failures, url, statuses, delivery):
    webhook_inbox.fail_next(failures)
    hook = WebhookTarget(url or webhook_inbox.url, "X-Hook", "secret")
    reference = generate("pix", webhook=hook).reference
    quorvex_sandbox.pay("pix", reference)
    payment = quorvex_sandbox.wait_for_delivery("pix", reference)
    assert ([attempt.status for attempt in payment.attempts], payment.delivery) == (
        statuses, delivery)
