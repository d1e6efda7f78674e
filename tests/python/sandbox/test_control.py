"""What a developer makes the sandbox do without clicking: the clock, the outcomes, the
notifications on demand, the call log and persistence; and its HTTP hygiene."""

import dataclasses
import json
import logging
import socket
import struct
import time
import urllib.parse
from decimal import Decimal

import httpx
import pytest

from quorvex_bo.fx import ApiError, AuthenticationError, Client, PaymentStatus, webhooks
from quorvex_bo.fx.sandbox import (DEFAULT_CLIENT_ID, DEFAULT_TOKEN, SPECIAL_CENTS, Delivery,
                                   Fault, FaultKind, NotPending, Sandbox, SandboxError, State)
from quorvex_bo.fx.sandbox.store import Store

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
    assert quorvex_sandbox.payment("pix", qr.reference).detail == "QR expired"
    assert statuses(webhook_inbox, 1) == [EXPIRED]
    with pytest.raises(NotPending):
        quorvex_sandbox.pay("pix", qr.reference)
    for wrong in ({"advance": -1}, {"advance": "1"}, {"advance": 1e12}, {"back": 1}, [1]):
        assert httpx.post(clock, json=wrong).status_code == 400
    assert httpx.post(clock, json={"back": 1}).json() == {
        "message": 'the request must be {"advance": seconds}'}
    elsewhere = {"Origin": "http://shop.example"}  # another site's page in the browser
    refused = httpx.post(clock, json={"advance": 1}, headers=elsewhere)
    assert (refused.status_code, refused.json()) == (
        403, {"message": "changes come only from the sandbox's own pages"})
    assert httpx.get(clock, headers=elsewhere).status_code == 200  # reading is harmless


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


def test_every_call_is_logged_and_notifications_come_on_demand(quorvex_sandbox, sandbox_client,
                                                                generate, webhook_inbox):
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
    assert [c.at for c in quorvex_sandbox.calls()] == sorted(c.at for c in quorvex_sandbox.calls())
    base = quorvex_sandbox.payment_url("pix", reference)
    assert httpx.post(f"{base}/resend").status_code == 409  # pending: nothing to tell yet
    unknown = httpx.post(quorvex_sandbox.payment_url("pix", "999") + "/pay")
    assert unknown.status_code == 404 and "reference 999 not found" in unknown.text
    quorvex_sandbox.inject("webhook", "duplicate_webhook")  # the first notification comes twice
    assert httpx.post(f"{base}/pay").status_code == 303
    for action in ("resend", "twice", "stale"):
        quorvex_sandbox.wait_for_delivery("pix", reference)
        assert httpx.post(f"{base}/{action}").headers["Location"].endswith(reference)
    assert statuses(webhook_inbox, 6) == [PAID] * 5 + [PaymentStatus.PENDING]
    assert [a.kind for a in quorvex_sandbox.wait_for_delivery("pix", reference).attempts] == [
        "notification", "notification", "resend", "duplicate", "duplicate", "stale"]


def test_a_database_keeps_payments_deliveries_calls_and_the_clock(tmp_path, webhook_inbox):
    with Sandbox(db=tmp_path / "sandbox.db", delivery_backoff=0.05) as gw, \
            Client(DEFAULT_CLIENT_ID, base_url=gw.base_url, token=DEFAULT_TOKEN) as client:
        qr = client.crypto.generate(**generation("crypto", webhook_inbox.target()))
        gw.pay("crypto", qr.reference)
        before, calls = gw.wait_for_delivery("crypto", qr.reference), gw.calls()
        ahead = gw.advance(86400) - gw.now() + gw.clock.travelled
    store = Store(tmp_path / "sandbox.db")  # as if the sandbox had died while delivering
    store.put_payment(dataclasses.replace(before, delivery=Delivery.IN_PROGRESS))
    store.close()
    with Sandbox(db=tmp_path / "sandbox.db") as gw, \
            Client(DEFAULT_CLIENT_ID, base_url=gw.base_url, token=DEFAULT_TOKEN) as client:
        resumed = gw.wait_for_delivery("crypto", qr.reference)
        assert dataclasses.replace(resumed, attempts=resumed.attempts[:1]) == before
        assert len(webhook_inbox.wait(2)) == len(resumed.attempts) == 2
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
            "Allow" in answer.headers, answer.headers["Cache-Control"]) == (
        status, "application/json", True, status == 405, "no-store")
    assert int(answer.headers["Content-Length"]) == len(answer.content)


@pytest.mark.parametrize("sent, status, reason", [
    (b"NOT HTTP AT ALL\r\n\r\n", 400, "Bad request version ('ALL')"),
    (b"GET /" + b"a" * 65532, 414, "bad request"),  # a line too long, read to its last byte
    (b"POST /_sandbox/faults HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400, "bad Content-Length"),
    (b"POST /_sandbox/faults HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 411,
     "send the body with a Content-Length")])
def test_an_unreadable_request_gets_json_with_a_length_then_the_end(quorvex_sandbox, sent,
                                                                    status, reason):
    port = int(quorvex_sandbox.base_url.rsplit(":", 1)[1])
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(sent)
        head, _, body = raw.makefile("rb").read().partition(b"\r\n\r\n")  # up to the close
    lines = set(head.split(b"\r\n"))
    assert {b"Content-Type: application/json", b"Content-Length: %d" % len(body)} <= lines
    assert (head[:12], json.loads(body)) == (b"HTTP/1.1 %d" % status, {"message": reason})


@pytest.mark.parametrize("form, body, planned, notice", [
    ("faults", "operation=pix.verify&kind=drop", [Fault(FaultKind.DROP, 1, 2.0)], None),
    ("faults", "operation=pix.verify&kind=slow&times=2&retry_after=3&delay=0.5",
     [Fault(FaultKind.SLOW, 3, 0.5)] * 2, None),
    ("faults", b"\xff", [], "kind must be one of unavailable, rate_limited, server_error, "
                            "slow, drop, malformed, duplicate_webhook"),
    ("clock", "advance=60", [], None), ("clock", "advance=soon", [], "advance must be a number")])
def test_the_dashboard_forms_act_then_go_back_with_a_notice(quorvex_sandbox, form, body,
                                                            planned, notice):
    answer = httpx.post(f"{quorvex_sandbox.base_url}/dashboard/{form}", content=body)
    taken = [quorvex_sandbox.faults.take("pix.verify") for _ in range(len(planned) + 1)]
    assert (answer.status_code, answer.headers["Location"], taken) == (
        303, "/" + (f"?{urllib.parse.urlencode({'notice': notice})}" if notice else ""),
        [*planned, None])


def test_the_log_tells_where_it_listens_what_it_answered_and_who_left(caplog):
    caplog.set_level(logging.DEBUG, logger="quorvex_bo.sandbox")

    def logged():  # picked here: a filter on caplog's handler would outlive this test
        return [line for name, _, line in caplog.record_tuples if name == "quorvex_bo.sandbox"]
    with Sandbox() as gw:
        base = gw.base_url
        httpx.get(f"{base}/qr/pix/v2/verifica/7")
        with socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1]))) as gone:
            gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            left = f"connection from {gone.getsockname()} ended abruptly"  # closed by a reset
        deadline = time.monotonic() + 10
        while left not in logged() and time.monotonic() < deadline:
            time.sleep(0.01)
    assert logged() == [f"sandbox listening on {base}", "pix.verify 7 -> 401",
                        '127.0.0.1 "GET /qr/pix/v2/verifica/7 HTTP/1.1" 401 -', left]
    with pytest.raises(httpx.ConnectError):  # closed means closed
        httpx.get(base)


def test_a_negative_auto_delay_is_refused():
    with pytest.raises(SandboxError, match="^auto_delay must be a finite number of seconds, "
                                           "0 or more$"):
        Sandbox(auto_delay=-1)
