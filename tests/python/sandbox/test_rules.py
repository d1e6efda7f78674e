"""The sandbox accepts exactly the generation bodies the core builds from valid input,
and its routes are the core's."""

import json

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
    "glosa": field("a|b|c|d", " a | b | c | d ", "a|b|c|d|", "a||c|d", "a|b|c", "a|\x1cb|c|d",
                   "a|b\xa0|c|d"),
    "amount": st.one_of(st.decimals(-5, 10 ** 6, places=3, allow_nan=False).map(str),
                        st.sampled_from(["1e2", "100.50", "0", "-0", " 42 ", "1000.00",
                                         "49.99", "50", "abc", "79228162514264337593543950335",
                                         "7922816251426433759354395033.51"])),
    "currency": st.sampled_from(["BOB", "USD", "usd", ABSENT]),
    "channel": field("WEB", "app", " app_1 ", "mobile app", "", ABSENT),
    "extra": field("x", "", ABSENT),
    "webhook": st.one_of(st.just(ABSENT), st.fixed_dictionaries({
        "url": field("http://127.0.0.1:9/h", " https://x", "\x1chttps://x", "https://",
                     "HTTPS://x", "ftp://x"),
        "key": field("X-Hook", "k_1", "X Hook", " K"),
        "value": field("s3cret", " ", "a b", "\x1c")})),
    "payer_cpf": field("12345678901", "123.456.789-01"),
    "payer_phone": field("+5511999999999", "5511999999999"),
    "payer_email": field("a@b", "@", "x" * 79 + "@", "x" * 80 + "@", "é" * 40 + "@", ABSENT),
    "asset": st.sampled_from(["usdt", "usdc", "bk", "USDT"]),
}
EXPIRY = {"pix": st.one_of(st.just(ABSENT), st.integers(0, 90000)),
          "binance": st.one_of(st.just(ABSENT), st.integers(0, 400)),
          "crypto": st.integers(100, 700)}
VALID = {"reference": "123", "glosa": "a|b|c|d", "amount": "100.5",
         "webhook": {"url": "http://127.0.0.1:9/h", "key": "X-Hook", "value": "s"}}
VALID_OF = {"pix": {**VALID, "payer_cpf": "12345678901", "payer_phone": "+5511999999999"},
            "binance": VALID, "crypto": {**VALID, "asset": "usdt", "expires_in": 300}}
MEMBERS = {"pix": ["payer_cpf", "payer_phone", "payer_email"], "binance": [],
           "crypto": ["asset"]}


@st.composite
def inputs(draw, rail):
    given = dict(VALID_OF[rail])
    names = [*COMMON_MEMBERS, *MEMBERS[rail], "expires_in"]
    for name in draw(st.lists(st.sampled_from(names), min_size=1, max_size=2, unique=True)):
        value = draw(EXPIRY[rail] if name == "expires_in" else VARIANTS[name])
        given.pop(name, None)
        given |= {} if value is ABSENT else {name: value}
    return given


COMMON_MEMBERS = ["reference", "glosa", "amount", "currency", "channel", "extra", "webhook"]
ASSETS = {"usdt": "UT", "usdc": "UP", "bk": "BK"}


def hhmmss(seconds):
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def naive_body(rail, given):
    """The body a client that copies its input without the core's rules would send."""
    body = {"numeroReferencia": given["reference"], "glosa": given["glosa"],
            "moneda": given.get("currency", "BOB"), "canal": given.get("channel", "WEB")}
    body |= {"webhook": given["webhook"]} if "webhook" in given else {}
    if rail == "pix":
        body |= {"cpf": given["payer_cpf"], "telefono": given["payer_phone"]}
        body |= {"correoElectronico": given["payer_email"]} if "payer_email" in given else {}
        body |= {"campoExtra": given["extra"]} if "extra" in given else {}
    else:
        body["campoExtra"] = given.get("extra", "")
    if rail == "crypto":
        body |= {"activoVirtual": ASSETS.get(given["asset"], given["asset"]),
                 "tiempoVencimientoQR": given["expires_in"]}
    elif "expires_in" in given:
        body["tiempoQr"] = hhmmss(given["expires_in"])
    try:  # the amount as the number it is written as, or as the text it is
        json.loads(given["amount"])
        amount = given["amount"]
    except ValueError:
        amount = json.dumps(given["amount"])
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
        generation = {"url": f"{sandbox.base_url}/{BY_OPERATION[f'{rail}.generate'].path}",
                      "headers": headers}

        def accepts(request, body):
            answer = http.post(request["url"], headers=request["headers"], content=body)
            assert answer.status_code in (200, 400, 409), answer.text
            return answer.status_code != 400  # 409: a valid body, a reference used before

        @settings(max_examples=150)
        @given(inputs(rail))
        def check(given):
            built = build(sandbox, f"{rail}.generate", given)
            naive = naive_body(rail, given)
            request = built["value"] if built["ok"] else generation
            if built["ok"]:
                assert accepts(request, built["value"]["body"])
            producible = built["ok"] and literal(naive) == literal(built["value"]["body"])
            assert accepts(request, naive) == producible, (naive, built)

        check()


def test_routes_are_the_requests_the_core_builds():
    catalogue = json.loads(call("describe", ""))["value"]
    assert [route.operation for route in ROUTES] == [
        entry["name"] for entry in catalogue if entry["kind"] == "operation"]
    with Sandbox() as sandbox:
        for route in ROUTES:
            given = {"reference": "42"} if not route.generates else None
            if given is None:
                continue
            request = build(sandbox, route.operation, given)["value"]
            assert (request["method"], request["url"]) == (
                route.method, f"{sandbox.base_url}/{route.path}/42")
