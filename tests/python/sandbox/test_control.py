"""What a developer makes the sandbox do without clicking: the clock, the outcomes, the
notifications on demand, the call log and persistence; and its HTTP hygiene."""

import socket
from decimal import Decimal

import httpx
import pytest

from quorvex_bo.fx import Client, PaymentStatus, webhooks
from quorvex_bo.fx.sandbox import (DEFAULT_CLIENT_ID, DEFAULT_TOKEN, SPECIAL_CENTS, Delivery,
                                   Sandbox, State)

from .payments import generation


def statuses(inbox, count, rail="pix"):
    """The payment statuses of the first `count` notifications the inbox received."""
    hook = inbox.target()
    parse = webhooks.parse_binance if rail == "binance" else webhooks.parse_fx
    return [parse(note.headers, note.body, key=hook.key, value=hook.value).status
            for note in inbox.wait(count)]


def test_the_clock_moves_on_request_and_expiry_follows_it(webhook_inbox):
    with Sandbox(clock_start=1_000_000.0) as gw, \
            Client(DEFAULT_CLIENT_ID, base_url=gw.base_url, token=DEFAULT_TOKEN) as client:
        qr = client.pix.generate(**generation("pix", webhook_inbox.target(), expires_in=60))
        assert qr.expires_at == "1970-01-12T13:47:40Z"
        moved = httpx.post(f"{gw.base_url}/_sandbox/clock", json={"advance": 59}).json()
        assert moved["now"] == pytest.approx(1_000_059, abs=5) and moved["utc"] < qr.expires_at
        assert client.pix.verify(qr.reference).status is PaymentStatus.PENDING
        assert gw.advance(1) == pytest.approx(httpx.get(f"{gw.base_url}/_sandbox/clock")
                                              .json()["now"], abs=5)
        assert client.pix.verify(qr.reference).status is PaymentStatus.EXPIRED
        assert statuses(webhook_inbox, 1) == [PaymentStatus.EXPIRED]
        for wrong in ({"advance": -1}, {"advance": "1"}, {"back": 1}, [1]):
            assert httpx.post(f"{gw.base_url}/_sandbox/clock", json=wrong).status_code == 400


# cents: final state, the notifications the merchant gets, where delivery ends
OUTCOMES = {11: (State.PAID, [PaymentStatus.PAID], Delivery.DELIVERED),
            12: (State.PAID, [PaymentStatus.PAID] * 2, Delivery.DELIVERED),
            13: (State.CANCELLED, [PaymentStatus.CANCELLED], Delivery.DELIVERED),
            14: (State.EXPIRED, [PaymentStatus.EXPIRED], Delivery.DELIVERED),
            15: (State.PAID, [], Delivery.WITHHELD),
            50: (State.PENDING, [], Delivery.NONE)}


@pytest.mark.parametrize("auto", [None, "reject"])
@pytest.mark.parametrize("cents", OUTCOMES)
def test_the_amount_or_auto_chooses_the_outcome(webhook_inbox, cents, auto):
    assert set(SPECIAL_CENTS) == set(OUTCOMES) - {50}
    state, told, delivery = OUTCOMES[cents]
    if auto and cents == 50:
        state, told, delivery = State.CANCELLED, [PaymentStatus.CANCELLED], Delivery.DELIVERED
    with Sandbox(auto=auto, auto_delay=30) as gw, \
            Client(DEFAULT_CLIENT_ID, base_url=gw.base_url, token=DEFAULT_TOKEN) as client:
        qr = client.binance.generate(**generation("binance", webhook_inbox.target(),
                                                  amount=Decimal(f"7.{cents}")))
        assert gw.advance(29) and gw.payment("binance", qr.reference).state is State.PENDING
        gw.advance(1)
        payment = gw.wait_for_delivery("binance", qr.reference, timeout=1 if cents == 50 else 10)
        assert (payment.state, payment.delivery) == (state, delivery)
        assert statuses(webhook_inbox, len(told), "binance") == told
        assert len(webhook_inbox.received) == len(told)


def test_notifications_on_demand(quorvex_sandbox, generate, webhook_inbox):
    reference = generate("pix").reference
    base = quorvex_sandbox.payment_url("pix", reference)
    assert httpx.post(f"{base}/resend").status_code == 409  # pending: nothing to tell yet
    assert httpx.post(f"{base}/pay").status_code == 303
    for action in ("resend", "twice", "stale"):
        quorvex_sandbox.wait_for_delivery("pix", reference)
        assert httpx.post(f"{base}/{action}").headers["Location"].endswith(reference)
    paid = PaymentStatus.PAID
    assert statuses(webhook_inbox, 5) == [paid, paid, paid, paid, PaymentStatus.PENDING]
    payment = quorvex_sandbox.wait_for_delivery("pix", reference)
    assert [a.kind for a in payment.attempts] == [
        "notification", "resend", "duplicate", "duplicate", "stale"]


def test_every_call_is_logged_refused_ones_too(quorvex_sandbox, sandbox_client, generate):
    reference = generate("pix").reference
    with pytest.raises(Exception):
        generate("pix", reference=reference)
    with pytest.raises(Exception):
        Client(DEFAULT_CLIENT_ID, base_url=quorvex_sandbox.base_url, token="x").pix.verify("7")
    quorvex_sandbox.inject("pix.verify", "drop")
    sandbox_client.pix.verify(reference)  # dropped, then answered
    quorvex_sandbox.inject("crypto.verify", "server_error", times=3)
    with pytest.raises(Exception):
        sandbox_client.crypto.verify("8")
    assert [(c.operation, c.reference, c.status) for c in quorvex_sandbox.calls()] == [
        ("pix.generate", reference, 200), ("pix.generate", reference, 409),
        ("pix.verify", "7", 401), ("pix.verify", reference, 0),
        ("pix.verify", reference, 200), *[("crypto.verify", "8", 500)] * 3]
    times = [call.at for call in quorvex_sandbox.calls()]
    assert times == sorted(times)


def test_a_database_keeps_payments_deliveries_calls_and_the_clock(tmp_path, webhook_inbox):
    with Sandbox(db=tmp_path / "sandbox.db", delivery_backoff=0.05) as gw, \
            Client(DEFAULT_CLIENT_ID, base_url=gw.base_url, token=DEFAULT_TOKEN) as client:
        qr = client.crypto.generate(**generation("crypto", webhook_inbox.target()))
        gw.pay("crypto", qr.reference)
        before, calls = gw.wait_for_delivery("crypto", qr.reference), gw.calls()
        ahead = gw.advance(86400) - gw.now() + gw.clock.travelled
    with Sandbox(db=tmp_path / "sandbox.db") as gw, \
            Client(DEFAULT_CLIENT_ID, base_url=gw.base_url, token=DEFAULT_TOKEN) as client:
        assert gw.payment("crypto", qr.reference) == before
        assert client.crypto.verify(qr.reference).status is PaymentStatus.PAID
        assert gw.calls()[:-1] == calls and gw.calls()[-1].operation == "crypto.verify"
        assert gw.clock.travelled == pytest.approx(ahead, abs=1)


@pytest.mark.parametrize("method, path, body, status", [
    ("GET", "/nowhere", b"", 404),
    ("GET", "/qr/pix/v2/verifica", b"", 404),
    ("GET", "/qr/pix/v2/generar", b"", 405),
    ("POST", "/qr/binance/v2/verificar/1", b"", 405),
    ("PUT", "/", b"", 405),
    ("DELETE", "/_sandbox/clock", b"", 405),
    ("POST", "/_sandbox/faults", b" " * (1 << 20), 400),  # exactly 1 MiB is read
    ("POST", "/_sandbox/faults", b" " * ((1 << 20) + 1), 413),
])
def test_http_hygiene(quorvex_sandbox, method, path, body, status):
    answer = httpx.request(method, quorvex_sandbox.base_url + path, content=body)
    assert (answer.status_code, answer.headers["Content-Type"]) == (status, "application/json")
    assert int(answer.headers["Content-Length"]) == len(answer.content) > 0
    assert "message" in answer.json()
    assert (status == 405) == ("Allow" in answer.headers)


def test_a_garbled_request_line_gets_json_with_a_length(quorvex_sandbox):
    port = int(quorvex_sandbox.base_url.rsplit(":", 1)[1])
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(b"NOT HTTP AT ALL\r\n\r\n")
        head, _, body = raw.makefile("rb").read().partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 400") and b"Content-Length: %d" % len(body) in head
