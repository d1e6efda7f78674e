"""The client against a scripted gateway: round trips, bad input, retries, tokens, secrets."""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import re
import ssl
import time
from decimal import Decimal

import httpx
import pytest
from client_harness import HOOK, STATUS_ANSWER, TOKEN, Pieces, answer, harness  # noqa: F401 - harness is the fixture

from quorvex_bo.fx import (AccessToken, AmbiguousError, ApiError, AsyncClient, AuthenticationError, Client,
                           DecodeError, FxQr, FxStatusInfo, NetworkError, PaymentStatus,
                           RequestTimeoutError, ValidationError, WebhookTarget)
from quorvex_bo.fx.client import MAX_RESPONSE_BYTES

PIX = dict(reference="1001", amount=Decimal("100.50"), glosa="1|Centro|Ventas|Pago", payer_cpf="12345678901",
           payer_phone="+5511999999999", webhook=HOOK, payer_email="ana@shop.test", extra="x")
# Every argument reaches the body; the defaults of currency and channel are kept by pix and binance.
CRYPTO = dict(reference="1001", amount=60, glosa="1|b|c|d", asset="usdc", expires_in=300, webhook=HOOK,
              currency="USD", extra="x")
BINANCE = dict(reference="1001", amount="5", glosa="1|b|c|d", expires_in=30, webhook=HOOK, extra="x")
OPERATIONS = {  # operation: (call, method, path)
    "pix.generate": (lambda c: c.pix.generate(**PIX), "POST", "qr/pix/v2/generar"),
    "crypto.generate": (lambda c: c.crypto.generate(**CRYPTO, channel="app"), "POST", "qr/koibanx/v2/generar"),
    "binance.generate": (lambda c: c.binance.generate(**BINANCE), "POST", "qr/binance/v2/generar"),
    "pix.verify": (lambda c: c.pix.verify("1001"), "GET", "qr/pix/v2/verifica/1001"),
    "pix.cancel": (lambda c: c.pix.cancel("1001"), "GET", "qr/pix/v2/cancela/1001"),
    "crypto.verify": (lambda c: c.crypto.verify("1001"), "GET", "qr/koibanx/v2/estado/1001"),
    "binance.verify": (lambda c: c.binance.verify("1001"), "GET", "qr/binance/v2/verificar/1001"),
}
PIX_GENERATE, PIX_VERIFY = OPERATIONS["pix.generate"][0], OPERATIONS["pix.verify"][0]


@pytest.mark.parametrize("op", OPERATIONS)
def test_every_operation_sends_the_core_request_and_returns_a_typed_result(harness, op):
    call, method, path = OPERATIONS[op]
    if method == "POST":
        harness.gateway.script = [answer()]
    result = harness.run(call(harness.client(timeout=7.5)))
    (sent,) = harness.gateway.requests
    assert sent.extensions["timeout"] == {"connect": 7.5, "read": 7.5, "write": 7.5, "pool": 7.5}
    assert (sent.method, str(sent.url)) == (method, f"https://gw.test/api/{path}")
    assert sent.headers["Authorization"] == f"Bearer {TOKEN}" and sent.headers["client_id"] == "cid"
    if method == "POST":
        assert isinstance(result, FxQr) and (result.amount, result.image()[:4]) == (Decimal("100.5"), b"\x89PNG")
        body = json.loads(sent.content)
        assert (body["webhook"]["key"], body["moneda"], body["canal"], body["campoExtra"],
                body.get("correoElectronico"), body.get("tiempoQr", body.get("tiempoVencimientoQR"))) == {
            "pix.generate": ("X-Hook", "BOB", "WEB", "x", "ana@shop.test", None),
            "crypto.generate": ("X-Hook", "USD", "APP", "x", None, 300),
            "binance.generate": ("X-Hook", "BOB", "WEB", "x", None, "00:00:30")}[op]
    else:
        assert isinstance(result, FxStatusInfo) and result.status is PaymentStatus.PAID
        assert result.amount == 10 and sent.content == b""


@pytest.mark.parametrize("amount, sent", [
    (Decimal("100.50"), b'"monto":100.5,'), (100.1, b'"monto":100.1,'), (7, b'"monto":7,'),
    ("0.30", b'"monto":0.3,'), (Decimal("1E+2"), b'"monto":100,'),
])
def test_amounts_reach_the_gateway_exactly_and_a_channel_left_out_is_web(harness, amount, sent):
    harness.gateway.script = [answer()]
    harness.run(harness.client().crypto.generate(**{**CRYPTO, "amount": amount}))
    assert sent in harness.gateway.requests[0].content and b'"canal":"WEB"' in harness.gateway.requests[0].content


@pytest.mark.parametrize("change, error, shown", [  # a TypeError's whole text, or the field named
    ({"amount": True}, TypeError, "amount must be Decimal, int, str or float, not bool"),
    ({"amount": 1j}, TypeError, "amount must be Decimal, int, str or float, not complex"),
    ({"reference": 1001}, TypeError, "reference must be str, not int"),
    ({"expires_in": 1.5}, TypeError, "expires_in must be int (seconds), not float"),
    ({"webhook": {"url": "x"}}, TypeError, "webhook must be WebhookTarget, not dict"),
    *[({"webhook": WebhookTarget(**{**vars(HOOK), member: 5})}, TypeError, f"webhook.{member} must be str, not int")
      for member in ("url", "key", "value")],
    ({"reference": "12a"}, ValidationError, "reference"), ({"expires_in": -1}, ValidationError, "expires_in"),
    ({"amount": "abc"}, ValidationError, "amount"), ({"amount": Decimal("NaN")}, ValidationError, "amount"),
    ({"currency": "usd column 5"}, ValidationError, "currency"),  # quoted before the real column
    ({"glosa": "\ud800"}, ValidationError, "glosa"),  # the core stops at the member's last byte
    ({"webhook": None}, ValidationError, "webhook"),
    ({}, ValidationError, "token"),  # demanded last, after every input rule
])
def test_a_wrong_argument_raises_at_once_naming_it_and_nothing_is_sent(harness, change, error, shown):
    asked: list[int] = []  # the provider is asked only once every input rule has passed
    client = harness.client(token=None, token_provider=lambda: asked.append(1) or " ")
    with pytest.raises(error) as raised:
        harness.run(client.pix.generate(**{**PIX, **change}))
    assert harness.gateway.requests == [] and asked == ([1] if shown == "token" else [])
    if error is TypeError:
        assert str(raised.value) == shown
    else:  # shown as "field: message"
        assert raised.value.field == shown and isinstance(raised.value.message, str)
        assert str(raised.value) == f"{shown}: {raised.value.message}"


HTTPS_ONLY = "must be an https URL (plain http only for a loopback host, or with allow_insecure_http=True)"


@pytest.mark.parametrize("settings, error, shown", [  # "…": httpx's own words follow
    ({"base_url": "http://gw.test/api"}, ValidationError, f"base_url: {HTTPS_ONLY}"),
    ({"base_url": "ftp://127.0.0.1/", "allow_insecure_http": True}, ValidationError, f"base_url: {HTTPS_ONLY}"),
    ({"base_url": "https:///nohost"}, ValidationError, f"base_url: {HTTPS_ONLY}"),
    ({"base_url": "https://[zz]/api"}, ValidationError, "base_url: is not a usable URL: …"),
    ({"base_url": "https://gw.test/a\x00"}, ValidationError, "base_url: is not a usable URL: …"),
    ({"base_url": "https://xn--a.test/"}, ValidationError, "base_url: is not a usable URL: …"),
    ({"base_url": 5}, TypeError, "base_url must be str, not int"),
    ({"environment": "prod"}, ValidationError, "environment: invalid payload: unknown variant `prod`, "
     "expected one of `development`, `sandbox`, `production` at line 1 column 48"),
    ({"token": " "}, ValidationError, "token: the access token is empty"),
    ({"token": AccessToken("t", expires_at=1)}, ValidationError, "token: the access token has expired"),
    ({"token_provider": lambda: "t"}, ValidationError, "token: give token or token_provider, not both"),
    ({"max_retries": -1}, ValidationError, "max_retries: must be an int of 0 or more"),
    ({"max_retries": 1.0}, ValidationError, "max_retries: must be an int of 0 or more"),
    ({"client_id": " "}, ValidationError, "client_id: must not be empty"),
    ({"client_id": 5}, TypeError, "client_id must be str, not int"),
])
def test_unsafe_or_wrong_settings_are_refused(harness, settings, error, shown):
    with pytest.raises(error) as raised:
        harness.client(**settings)
    assert re.fullmatch(re.escape(shown).replace("…", ".+"), str(raised.value))
    if error is ValidationError:  # a mistake of the caller's: trying again cannot help
        assert (raised.value.field, raised.value.retryable) == (shown.split(":")[0], False)


@pytest.mark.parametrize("base_url", ["http://127.0.0.1:8000", "http://localhost/x", "http://[::1]:1"])
def test_plain_http_is_allowed_to_a_loopback_sandbox(harness, base_url):
    harness.run(harness.client(base_url=base_url).pix.verify("1"))
    harness.client(base_url=base_url.replace("127.0.0.1", "gw.test"), allow_insecure_http=True)
    assert str(harness.gateway.requests[0].url).startswith(base_url)


R = answer
GZIP = R(200, b"not gzip", **{"Content-Encoding": "gzip"})
LOOP = R(302, b"", Location="https://gw.test/api/again")
FULL = json.dumps(STATUS_ANSWER).encode().ljust(MAX_RESPONSE_BYTES)
RETRY_MATRIX = [  # call, script, outcome, attempts, sleeps (random source fixed at 0.5)
    (PIX_VERIFY, [R(503, "down"), R(502, "x"), R(200, {"codigoRespuesta": "PAID"})], FxStatusInfo, 3, [0.25, 0.5]),
    (PIX_VERIFY, [R(503, "down")], ApiError, 3, [0.25, 0.5]),
    (PIX_VERIFY, [R(400, "bad")], ApiError, 1, []),
    (PIX_VERIFY, [R(500, {"error": True, "message": "no"})], ApiError, 1, []),  # the gateway's own verdict
    (PIX_VERIFY, [R(429, "slow", **{"Retry-After": "3"}), R()], FxStatusInfo, 2, [3.0]),
    (PIX_VERIFY, [R(503, "x", **{"Retry-After": "999"}), R()], FxStatusInfo, 2, [30.0]),
    (PIX_VERIFY, [R(503, "x", **{"Retry-After": "Wed, 21 Oct 2015 07:28:00 GMT"}), R()], FxStatusInfo, 2, [0.0]),
    (PIX_VERIFY, [httpx.ConnectError, R()], FxStatusInfo, 2, [0.25]),
    (PIX_VERIFY, [httpx.ReadTimeout], RequestTimeoutError, 3, [0.25, 0.5]),
    (PIX_VERIFY, [httpx.RemoteProtocolError], NetworkError, 3, [0.25, 0.5]),
    (PIX_GENERATE, [R(503, "down")], ApiError, 1, []),
    (PIX_GENERATE, [httpx.ReadTimeout], AmbiguousError, 1, []),
    (PIX_GENERATE, [httpx.RemoteProtocolError], AmbiguousError, 1, []),
    (OPERATIONS["pix.cancel"][0], [httpx.ReadError], AmbiguousError, 1, []),
    (PIX_GENERATE, [httpx.ConnectError], NetworkError, 1, []),
    (PIX_GENERATE, [httpx.ConnectTimeout], RequestTimeoutError, 1, []),
    # An answer that cannot be read: never a raw httpx exception, and ambiguous where the gateway may have acted.
    (PIX_VERIFY, [GZIP, R()], FxStatusInfo, 2, [0.25]),
    (PIX_VERIFY, [GZIP], NetworkError, 3, [0.25, 0.5]),
    (PIX_GENERATE, [GZIP], AmbiguousError, 1, []),
    (PIX_GENERATE, [R(200, Pieces(b'{"codigo', cut=True))], AmbiguousError, 1, []),
    (PIX_VERIFY, [R(200, Pieces(b"{", cut=True))], NetworkError, 3, [0.25, 0.5]),
    (PIX_VERIFY, [R(200, Pieces(FULL[:9], FULL[9:]))], FxStatusInfo, 1, []),  # the largest answer taken
    (OPERATIONS["pix.cancel"][0], [LOOP], ApiError, 1, []),  # never followed: the token stays with the gateway
]


@pytest.mark.parametrize("call, script, outcome, attempts, sleeps", RETRY_MATRIX)
def test_only_operations_safe_to_repeat_are_retried(harness, call, script, outcome, attempts, sleeps):
    harness.gateway.script = script
    client = harness.client()
    if issubclass(outcome, Exception):
        with pytest.raises(outcome) as raised:
            harness.run(call(client))
        error, cause = raised.value, raised.value.__cause__
        assert type(error) is outcome
        assert isinstance(cause, httpx.RequestError) == isinstance(error, (AmbiguousError, NetworkError))
        if isinstance(error, AmbiguousError):
            assert error.message.endswith("unknown - call verify with the same reference to learn it")
        elif cause:
            what = ("did not answer in time" if isinstance(cause, httpx.TimeoutException)
                    else "sent an answer that could not be read" if script[0] is GZIP
                    else "could not be reached" if isinstance(cause, httpx.ConnectError)
                    else "dropped the connection")
            assert error.message.endswith(f": the gateway {what} ({type(cause).__name__})")
    else:
        assert isinstance(harness.run(call(client)), outcome)
    assert (len(harness.gateway.requests), harness.sleeps) == (attempts, sleeps)


@pytest.mark.parametrize("statuses, refreshed_ok", [([401, 200], True), ([403, 401], False)])
def test_a_refused_token_is_replaced_once(harness, statuses, refreshed_ok, caplog):
    tokens = iter(["tok-SECRET-1", "tok-SECRET-2", "tok-SECRET-3"])
    harness.gateway.script = [R(s, {"codigoRespuesta": "PAID"}) for s in statuses]
    client = harness.client(token=None, token_provider=lambda: next(tokens))
    with contextlib.nullcontext() if refreshed_ok else pytest.raises(AuthenticationError):
        assert harness.run(client.pix.cancel("1")).status is PaymentStatus.PAID
    assert [r.headers["access_token"] for r in harness.gateway.requests] == ["tok-SECRET-1", "tok-SECRET-2"]
    assert caplog.messages == ["pix.cancel: credentials refused, asking for a new token"]


@pytest.mark.parametrize("expires_in, asked", [(None, 1), (3600, 1), (10, 3)])
def test_a_provided_token_is_asked_again_shortly_before_it_expires(harness, expires_in, asked):
    calls = []

    def provider():
        calls.append(1)
        return AccessToken("tok", expires_at=expires_in and int(time.time()) + expires_in)

    async def coroutine():  # the async client also takes a coroutine function
        return provider()
    client = harness.client(token=None, token_provider=coroutine if harness.loop else provider)
    for _ in range(3):
        harness.run(client.pix.verify("1"))
    assert len(calls) == asked


def test_a_provider_answer_that_is_not_a_token_is_named(harness):
    with pytest.raises(TypeError, match=r"^token_provider must return str or AccessToken, not int$"):
        harness.run(harness.client(token=None, token_provider=lambda: 42).pix.verify("1"))


def test_a_fixed_token_is_used_to_its_last_moment_and_never_asked_again(harness, monkeypatch):
    now = [1000.0]
    monkeypatch.setattr(time, "time", lambda: now[0])  # the clock the client reads
    # half a second left, and a float, as `time.time() + n` gives
    client = harness.client(token=AccessToken(TOKEN, expires_at=1000.5))
    harness.gateway.script = [R(401, "no")]
    with pytest.raises(AuthenticationError):
        harness.run(client.pix.verify("1"))
    now[0] = 1000.5  # run out: what it holds is refused, not sent
    with pytest.raises(ValidationError, match="has expired"):
        harness.run(client.pix.verify("1"))
    assert len(harness.gateway.requests) == 1


@pytest.mark.parametrize("script, error, text, shown, items", [
    ([R(200, b"<html>oops</html>")], DecodeError, "invalid JSON body", "column 1", []),
    ([R(502, b"<html>bad gateway</html>")], ApiError, "bad gateway", "gateway</html> (HTTP 502)", []),
    ([R(200, b"")], DecodeError, "invalid JSON body", "column 1", []),
    ([R(200, b'{"codigoRespuesta":"\xff"}')], DecodeError, "has no `numeroReferencia`", "Referencia`", []),
    ([R(200, b"x" * 10_000_000)], DecodeError, "larger than", "1048576 bytes (HTTP 200)", []),
    ([R(400, {"success": False, "message": "refused", "errors": [  # the gateway's field errors
        {"field": "monto", "message": "too small", "code": "E12"}, {"message": "again"}]})], ApiError, "refused",
     "refused (HTTP 400)", [("monto", "too small", "E12"), (None, "again", None)]),
])
def test_a_broken_or_refused_answer_gives_one_precise_error(harness, script, error, text, shown, items):
    harness.gateway.script = script
    with pytest.raises(error, match=text) as raised:
        harness.run(harness.client().pix.generate(**PIX))
    assert str(raised.value).endswith(shown)
    assert [(e.field, e.message, e.code) for e in raised.value.errors] == items


def test_no_secret_or_body_in_logs_reprs_or_errors(harness, caplog):
    caplog.set_level(logging.DEBUG, logger="quorvex_bo")
    harness.gateway.script = [httpx.ConnectError, R(503, "down"), R(401, {"message": "bad tok-SECRET-1"})]
    client = harness.client()
    with pytest.raises(AuthenticationError) as raised:
        harness.run(client.pix.verify("1001"))
    shown = [repr(raised.value), caplog.text, repr(client), repr(HOOK), repr(AccessToken(TOKEN)), repr(harness.gateway.requests)]
    assert repr(client) == f"{type(client).__name__}(client_id='cid', at='https://gw.test/api')"
    assert repr(Client("cid", token="t")) == "Client(client_id='cid', at='sandbox')"
    assert "SECRET" not in " ".join(shown) and "down" not in caplog.text
    assert (raised.value.message, repr(raised.value)) == ("bad [hidden]", f"AuthenticationError({str(raised.value)!r})")
    sent = r"pix\.verify GET /api/qr/pix/v2/verifica/1001 "
    transcript = [sent + r"failed: ConnectError \(attempt 1, 0\.\d{3} s\)",
                  r"pix\.verify: retry 1 of 2 in 0\.25 s", sent + r"-> 503 \(attempt 2, 0\.\d{3} s\)",
                  r"pix\.verify: retry 2 of 2 in 0\.50 s", sent + r"-> 401 \(attempt 3, 0\.\d{3} s\)"]
    assert all(re.fullmatch(line, logged) for line, logged in zip(transcript, caplog.messages, strict=True))


@pytest.mark.parametrize("kind", [Client, AsyncClient])
def test_the_pool_is_owned_verified_not_redirected_and_closed_only_when_owned(kind):
    owned, lent = kind("cid", token="t", timeout=7.5), kind("cid", token="t", http_client=(
        httpx.Client() if kind is Client else httpx.AsyncClient()))
    for client in (owned, lent):
        asyncio.run(client.aclose()) if kind is AsyncClient else client.close()
    assert owned._http.is_closed and not lent._http.is_closed
    assert (owned._http.timeout, owned._http.follow_redirects) == (httpx.Timeout(7.5), False)
    context = owned._http._transport._pool._ssl_context
    assert context.verify_mode == ssl.CERT_REQUIRED and context.check_hostname
