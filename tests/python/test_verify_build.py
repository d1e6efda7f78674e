"""The build stage of the verify and cancel operations, end to end through `call`:
method, URL and headers, the reference rule, the token demanded last, and the
array form of the payload."""

import json
import re

import pytest

from quorvex_bo.fx import _native

CONFIG = {"client_id": "cid", "base_url": "https://gw.test/api/"}
TOKEN = {"access_token": "tok", "token_type": "Bearer", "expires_at": 0, "scope": None}
HEADERS = {
    "Accept": "application/json",
    "Authorization": "Bearer tok",
    "Content-Type": "application/json",
    "access_token": "tok",
    "client_id": "cid",
}
HEADERS_JSON = json.dumps(HEADERS, separators=(",", ":"))
MISSING_TOKEN = "an access token is required for this operation"

PATHS = {
    "pix.verify": "qr/pix/v2/verifica",
    "pix.cancel": "qr/pix/v2/cancela",
    "crypto.verify": "qr/koibanx/v2/estado",
    "binance.verify": "qr/binance/v2/verificar",
}
STATUS_OPERATIONS = list(PATHS)

ABSENT = object()


def dumps(value) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def build(op: str, reference, token=TOKEN, config=CONFIG) -> dict:
    payload = {"config": config, "input": {"reference": reference}}
    if token is not ABSENT:
        payload["token"] = token
    return json.loads(_native.call(op + ".build", dumps(payload)))


def expect_validation(result: dict, field: str, message: str) -> None:
    assert result == {
        "ok": False,
        "error": {"kind": "validation", "field": field, "message": message, "retryable": False},
    }


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
def test_status_request_is_a_get_without_body_keeping_leading_zeros(op):
    text = _native.call(
        op + ".build", dumps({"config": CONFIG, "token": TOKEN, "input": {"reference": "00123"}})
    )
    assert text == (
        '{"ok":true,"value":{"body":null,"headers":' + HEADERS_JSON
        + ',"method":"GET","url":"https://gw.test/api/' + PATHS[op] + '/00123"}}'
    )


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
def test_reference_has_no_length_limit(op):
    result = build(op, "1" * 40)
    assert result["value"]["url"] == "https://gw.test/api/" + PATHS[op] + "/" + "1" * 40


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
@pytest.mark.parametrize(
    "reference, message",
    [
        ("", "must not be empty"),
        ("   ", "must not be empty"),
        ("\u3000", "must not be empty"),
        (" 123", "must contain only digits"),
        ("123 ", "must contain only digits"),
        ("12a", "must contain only digits"),
        ("12/../34", "must contain only digits"),
        ("1?x=2", "must contain only digits"),
        ("１２", "must contain only digits"),
        ("-1", "must contain only digits"),
    ],
)
def test_reference_must_contain_only_digits(op, reference, message):
    expect_validation(build(op, reference), "reference", message)
    # the input's error is reported even without a token
    expect_validation(build(op, reference, token=ABSENT), "reference", message)


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
@pytest.mark.parametrize("token", [ABSENT, None])
def test_valid_reference_without_token_reports_the_token(op, token):
    expect_validation(build(op, "1", token=token), "token", MISSING_TOKEN)


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
def test_headers_copy_the_token_whatever_its_type_and_expiry(op):
    token = {"access_token": "", "token_type": "MAC", "expires_at": -5}
    result = build(op, "7", token=token)
    assert result["value"]["headers"] == {**HEADERS, "Authorization": "Bearer ", "access_token": ""}


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
def test_payload_in_array_form_builds_like_the_object_form(op):
    payload = [["cid", None, None, "production", "https://gw.test/api/"],
               ["tok", "Bearer", 0, None], ["00123"]]
    text = _native.call(op + ".build", dumps(payload))
    assert json.loads(text) == build(op, "00123")


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
def test_verify_input_of_the_wrong_length_names_the_record(op):
    result = json.loads(_native.call(op + ".build", dumps([CONFIG, TOKEN, ["1", "2"]])))
    assert result["ok"] is False and result["error"]["kind"] == "ffi"
    assert re.fullmatch(
        r"invalid payload: invalid length 2, expected struct VerifyFx with 1 element"
        r" at line \d+ column \d+",
        result["error"]["message"],
    ), result["error"]["message"]


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
@pytest.mark.parametrize(
    "input_record, pattern",
    [
        ({}, "missing field `reference`"),
        ({"reference": 123}, "invalid type: .*"),
        ({"reference": None}, "invalid type: .*"),
        ("00123", r"invalid type: .*, expected struct VerifyFx"),
    ],
)
def test_input_that_does_not_decode_fails_before_the_rules(op, input_record, pattern):
    payload = {"config": CONFIG, "input": input_record}
    result = json.loads(_native.call(op + ".build", dumps(payload)))
    assert result["ok"] is False and result["error"]["kind"] == "ffi"
    assert re.fullmatch(
        "invalid payload: " + pattern + r" at line \d+ column \d+", result["error"]["message"]
    ), result["error"]["message"]


@pytest.mark.parametrize("op", STATUS_OPERATIONS)
def test_config_without_client_id_fails_to_decode(op):
    result = json.loads(_native.call(op + ".build", dumps({"config": {}, "input": {"reference": "1"}})))
    assert result["error"]["message"].startswith("invalid payload: missing field `client_id`")


@pytest.mark.parametrize(
    "environment, suffix",
    [("development", "/desarrollo/"), ("sandbox", "/sandbox/"), (ABSENT, "/sandbox/")],
)
def test_environment_selects_the_default_base_url(environment, suffix):
    config = {"client_id": "cid"}
    if environment is not ABSENT:
        config["environment"] = environment
    url = build("crypto.verify", "5", config=config)["value"]["url"]
    assert url.startswith("https://")
    assert url.endswith(suffix + "qr/koibanx/v2/estado/5")


def test_binance_verify_accepts_references_longer_than_binance_generate_allows():
    assert build("binance.verify", "12345678901")["ok"] is True


def test_unknown_stage_is_reported_before_the_payload_is_read():
    result = json.loads(_native.call("pix.verify.foo", "not json"))
    assert result["error"] == {
        "kind": "ffi",
        "message": "unknown stage `foo` for `pix.verify`",
        "retryable": False,
    }
