"""The sandbox accepts exactly the generation bodies the core builds from valid input,
and its routes are the core's."""

import json
import re

import httpx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_bo.fx import call
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox
from quorvex_bo.fx.sandbox.routes import BY_OPERATION, ROUTES

NASTY = st.text(st.sampled_from(list("aZ09 |_-@.:/+é\t\xa0\x1c\u3000")), max_size=14)
ABSENT = object()


def field(*examples):
    return st.one_of(st.sampled_from(examples), NASTY)


# Each member's variants, good and bad; an input is a valid one with one or two changed.
VARIANTS = {
    "reference": field("123", "00123", "12345678901", " 1", "1234567890"),
    "glosa": field("a|b|c|d", " a | b | c | d ", "a|b|c|d|", "a||c|d", "a|b|c", "a|\x1cb|c|d"),
    "amount": st.one_of(st.decimals(-5, 10 ** 6, places=3).map(str), st.sampled_from(
        ["1e2", "100.50", "0", "-0", " 42 ", "1000.00", "49.99", "50", "abc",
         "79228162514264337593543950335", "7922816251426433759354395033.51"])),
    "currency": st.sampled_from(["BOB", "USD", "usd", ABSENT]), "extra": field("x", "", ABSENT),
    "channel": field("WEB", "app", " app_1 ", "mobile app", "", ABSENT),
    "webhook": st.one_of(st.just(ABSENT), st.fixed_dictionaries({
        "url": field("http://127.0.0.1:9/h", " https://x", "\x1chttps://x", "HTTPS://x", "ftp:/"),
        "key": field("X-Hook", "k_1", "X Hook", " K"), "value": field("s3", " ", "a b", "\x1c")})),
    "payer_cpf": field("12345678901", "123.456.789-01"),
    "payer_phone": field("+5511999999999", "5511999999999"),
    "payer_email": field("a@b", "@", "x" * 79 + "@", "x" * 80 + "@", "é" * 40 + "@", ABSENT),
    "asset": st.sampled_from(["usdt", "usdc", "bk", "USDT"]),
}
EXPIRY = {"pix": st.one_of(st.just(ABSENT), st.integers(0, 90000)), "crypto": st.integers(100, 700),
          "binance": st.one_of(st.just(ABSENT), st.integers(0, 400))}
VALID = {"reference": "123", "glosa": "a|b|c|d", "amount": "100.5",
         "webhook": {"url": "http://127.0.0.1:9/h", "key": "X-Hook", "value": "s"}}
VALID_OF = {"pix": {**VALID, "payer_cpf": "12345678901", "payer_phone": "+5511999999999"},
            "binance": VALID, "crypto": {**VALID, "asset": "usdt", "expires_in": 300}}
ONLY_ON = {"payer_cpf": "pix", "payer_phone": "pix", "payer_email": "pix", "asset": "crypto"}


@st.composite
def inputs(draw, rail):
    given = dict(VALID_OF[rail])
    names = [name for name in VARIANTS if ONLY_ON.get(name, rail) == rail] + ["expires_in"]
    for name in draw(st.lists(st.sampled_from(names), min_size=1, max_size=2, unique=True)):
        value = draw(EXPIRY[rail] if name == "expires_in" else VARIANTS[name])
        given.pop(name, None)
        given |= {} if value is ABSENT else {name: value}
    return given


ASSETS = {"usdt": "UT", "usdc": "UP", "bk": "BK"}
NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?")  # JSON's number syntax


def naive_body(rail, given):
    """The body a client that copies its input without the core's rules would send."""
    body = {"numeroReferencia": given["reference"], "glosa": given["glosa"],
            "moneda": given.get("currency", "BOB"), "canal": given.get("channel", "WEB")}
    body |= {"webhook": given["webhook"]} if "webhook" in given else {}
    if rail == "pix":
        body |= {"cpf": given["payer_cpf"], "telefono": given["payer_phone"]} | {
            member: given[name] for member, name in (("correoElectronico", "payer_email"),
                                                     ("campoExtra", "extra")) if name in given}
    else:
        body["campoExtra"] = given.get("extra", "")
    if rail == "crypto":
        body |= {"activoVirtual": ASSETS.get(given["asset"], given["asset"]),
                 "tiempoVencimientoQR": given["expires_in"]}
    elif (seconds := given.get("expires_in")) is not None:  # hh:mm:ss, hours past 23 too
        body["tiempoQr"] = "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)
    # The amount as the number it is written as, or as the text it is.
    amount = given["amount"] if NUMBER.fullmatch(given["amount"]) else json.dumps(given["amount"])
    return '{"monto":' + amount + "," + json.dumps(body)[1:]


def build(sandbox, operation, given):
    return json.loads(call(f"{operation}.build", json.dumps({
        "config": {"client_id": DEFAULT_CLIENT_ID, "base_url": sandbox.base_url},
        "token": {"access_token": DEFAULT_TOKEN, "token_type": "Bearer", "expires_at": 0},
        "input": given})))


def literal(text):
    return json.loads(text, parse_float=str, parse_int=str)


@pytest.mark.parametrize("rail", VALID_OF)
def test_the_sandbox_accepts_what_the_core_builds_and_nothing_else(rail):
    with Sandbox() as sandbox, httpx.Client() as http:
        headers = build(sandbox, f"{rail}.verify", {"reference": "1"})["value"]["headers"]
        url = f"{sandbox.base_url}/{BY_OPERATION[f'{rail}.generate'].path}"

        def accepts(body):
            answer = http.post(url, headers=headers, content=body)
            assert answer.status_code in (200, 400, 409), answer.text
            assert answer.status_code != 400 or answer.json()["detalleRespuesta"].endswith(
                " - GQ-400")  # a refusal in the gateway's words, with the code closing it
            return answer.status_code != 400  # 409: a valid body, a reference used before

        @settings(max_examples=150)
        @given(inputs(rail))
        def check(given):
            built, naive = build(sandbox, f"{rail}.generate", given), naive_body(rail, given)
            assert not built["ok"] or accepts(built["value"]["body"])
            producible = built["ok"] and literal(naive) == literal(built["value"]["body"])
            assert accepts(naive) == producible, (naive, built)

        check()


# One member of a valid body as JSON text, or a whole body, and the reason of the refusal.
@pytest.mark.parametrize("rail, change, reason", [
    ("pix", {"glosa": '"a|b|c"'}, "glosa must have four trimmed, non-empty parts separated by |"),
    ("pix", {"canal": '"web"'}, "canal must be upper-case letters, digits and _"),
    ("pix", {"telefono": '"5511999999999"'}, "telefono must be + and 13 digits"),
    ("pix", {"correoElectronico": '"nobody"'},
     "correoElectronico must hold an @ and be at most 80 bytes"),
    ("crypto", {"activoVirtual": '"XX"'}, "activoVirtual must be one of BK, UP, UT"),
    ("crypto", {"tiempoVencimientoQR": '"300"'},
     "tiempoVencimientoQR must be whole seconds from 180 to 600"),
    ("binance", {"webhook": '{"url":"ftp://x","key":"k","value":"v"}'},
     "webhook must have an http(s) url, a header name and a value"),
    ("binance", {"monto": "0"}, "monto must be a positive number with at most 2 decimals, "
                                "written without trailing zeros or exponent"),
    ("binance", {"monto": "0.01"}, None),
    ("binance", {"monto": "NaN"}, "NaN is not a JSON number"),
    ("binance", b'{"monto":1,"monto":1}', "a member appears twice"),
    ("binance", b"[", "body is not JSON: Expecting value: line 1 column 2 (char 1)")])
def test_a_refused_generation_says_why(quorvex_sandbox, rail, change, reason):
    members = {k: json.dumps(v) for k, v in json.loads(naive_body(rail, VALID_OF[rail])).items()}
    body = change if isinstance(change, bytes) else \
        "{" + ",".join(f'"{name}":{text}' for name, text in (members | change).items()) + "}"
    request = build(quorvex_sandbox, f"{rail}.generate", VALID_OF[rail])["value"]
    answer = httpx.post(request["url"], headers=request["headers"], content=body)
    assert (answer.status_code, answer.json()["detalleRespuesta"]) == (
        (400, f"{reason} - GQ-400") if reason else (200, "QR generated"))


def test_routes_are_the_requests_the_core_builds():
    catalogue = json.loads(call("describe", ""))["value"]
    assert [route.operation for route in ROUTES] == [
        entry["name"] for entry in catalogue if entry["kind"] == "operation"]
    with Sandbox() as sandbox:
        for route in ROUTES:
            given = VALID_OF[route.rail.value] if route.generates else {"reference": "42"}
            request = build(sandbox, route.operation, given)["value"]
            url = f"{sandbox.base_url}/{route.path}" + ("" if route.generates else "/42")
            assert (request["method"], request["url"]) == (route.method, url)
