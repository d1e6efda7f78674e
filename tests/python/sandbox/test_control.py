"""What a developer makes the sandbox do without clicking: the clock, the outcomes, the
notifications on demand, the call log and persistence; and its HTTP hygiene."""

import socket
from decimal import Decimal

import httpx
import pytest

from quorvex_bo.fx import ApiError, AuthenticationError, Client, PaymentStatus, webhooks
from quorvex_bo.fx.sandbox import (DEFAULT_CLIENT_ID, DEFAULT_TOKEN, SPECIAL_CENTS, Delivery,
                                   NotPending, Sandbox, State)

from .payments import generation

PAID, CANCELLED, EXPIRED = PaymentStatus.PAID, PaymentStatus.CANCELLED, PaymentStatus.EXPIRED


def statuses(inbox, count, rail="pix"):
    hook = inbox.target()
    parse = webhooks.parse_binance if rail == "binance" else webhooks.parse_fx
    return [parse(note.headers, note.body, key=hook.key, value=hook.value).status
            for note in inbox.wait(count)]


@pytest.mark.quorvex_sandbox(clock_start=1_000_000.0)
def test_the_clock_moves_on_request_and_expiry_follows_it(quorvex_sandbox, sandbox_client,
                                                          generate, webhook_inbox):
    qr, clock = generate("pix", expires_in=60), f"{quorvex_sandbox.base_url}/_sandbox/clock"
    assert qr.expires_at == "1970-01-12T13:47:40Z"
    moved = httpx.post(clock, json={"advance": 59}).json()
    assert moved["now"] == pytest.approx(1_000_059, abs=5) and moved["utc"] < qr.expires_at
    assert sandbox_client.pix.verify(qr.reference).status is PaymentStatus.PENDING
    assert quorvex_sandbox.advance(1) == pytest.approx(httpx.get(clock).json()["now"], abs=5)
    assert sandbox_client.pix.verify(qr.reference).status is PaymentStatus.EXPIRED
    assert statuses(webhook_inbox, 1) == [EXPIRED]
    with pytest.raises(NotPending):
        quorvex_sandbox.pay("pix", qr.reference)
    for wrong in ({"advance": -1}, {"advance": "1"}, {"advance": 1e12}, {"back": 1}, [1]):
        assert httpx.post(clock, json=wrong).status_code == 400
    elsewhere = {"Origin": "http://shop.example"}  # another site's page in the browser
    assert httpx.post(clock, json={"advance": 1}, headers=elsewhere).status_code == 403


# cents: final state, the notifications the merchant gets, where delivery ends
OUTCOMES = {11: (State.PAID, [PAID], Delivery.DELIVERED),
            12: (State.PAID, [PAID, PAID], Delivery.DELIVERED),
            13: (State.CANCELLED, [CANCELLED], Delivery.DELIVERED),
            14: (State.EXPIRED, [EXPIRED], Delivery.DELIVERED),
            15: (State.PAID, [], Delivery.WITHHELD)}


@pytest.mark.parametrize("auto", [pytest.param(auto, marks=pytest.mark.quorvex_sandbox(
    auto=auto, auto_delay=30)) for auto in (None, "reject")])
@pytest.mark.parametrize("cents", [*SPECIAL_CENTS, 50])
def test_the_amount_or_auto_chooses_the_outcome(quorvex_sandbox, generate, webhook_inbox,
                                                cents, auto):
    state, told, delivery = OUTCOMES[cents] if cents in SPECIAL_CENTS else \
        (State.CANCELLED, [CANCELLED], Delivery.DELIVERED) if auto else \
        (State.PENDING, [], Delivery.NONE)
    reference = generate("binance", amount=Decimal(f"7.{cents}")).reference
    quorvex_sandbox.advance(29)
    assert quorvex_sandbox.payment("binance", reference).state is State.PENDING
    quorvex_sandbox.advance(1)
    payment = quorvex_sandbox.wait_for_delivery("binance", reference, timeout=10 if told else 1)
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
    assert statuses(webhook_inbox, 5) == [PAID, PAID, PAID, PAID, PaymentStatus.PENDING]
    payment = quorvex_sandbox.wait_for_delivery("pix", reference)
    assert [a.kind for a in payment.attempts] == [
        "notification", "resend", "duplicate", "duplicate", "stale"]


def test_every_call_is_logged_refused_ones_too(quorvex_sandbox, sandbox_client, generate):
    reference = generate("pix").reference
    with pytest.raises(ApiError):
        generate("pix", reference=reference)
    with pytest.raises(AuthenticationError):
        Client(DEFAULT_CLIENT_ID, base_url=quorvex_sandbox.base_url, token="x").pix.verify("7")
    quorvex_sandbox.inject("pix.verify", "drop")
    sandbox_client.pix.verify(reference)  # dropped, then answered
    assert [(c.operation, c.reference, c.status) for c in quorvex_sandbox.calls()] == [
        ("pix.generate", reference, 200), ("pix.generate", reference, 409),
        ("pix.verify", "7", 401), ("pix.verify", reference, 0), ("pix.verify", reference, 200)]
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
    ("GET", "/nowhere", b"", 404), ("GET", "/qr/pix/v2/verifica", b"", 404),
    ("GET", "/qr/pix/v2/generar", b"", 405), ("POST", "/qr/binance/v2/verificar/1", b"", 405),
    ("PUT", "/", b"", 405), ("DELETE", "/_sandbox/clock", b"", 405),
    ("POST", "/_sandbox/faults", b" " * (1 << 20), 400),  # exactly 1 MiB is read
    ("POST", "/_sandbox/faults", b" " * ((1 << 20) + 1), 413),
    ("POST", "/_sandbox/faults", b'{"operation":"pix.verify","kind":"drop","times":1001}', 400)])
def test_http_hygiene(quorvex_sandbox, method, path, body, status):
    answer = httpx.request(method, quorvex_sandbox.base_url + path, content=body)
    assert (answer.status_code, answer.headers["Content-Type"], "message" in answer.json(),
            "Allow" in answer.headers) == (status, "application/json", True, status == 405)
    assert int(answer.headers["Content-Length"]) == len(answer.content)


def test_a_garbled_request_line_gets_json_with_a_length(quorvex_sandbox):
    port = int(quorvex_sandbox.base_url.rsplit(":", 1)[1])
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(b"NOT HTTP AT ALL\r\n\r\n")
        head, _, body = raw.makefile("rb").read().partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 400") and b"Content-Length: %d" % len(body) in head
