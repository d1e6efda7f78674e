"""The build stage of the verify and cancel operations, end to end through `call`."""

import re

import pytest
from conftest import CONFIG, HEADERS, TOKEN, call_text, dumps, failure, load, ok

PATHS = {"pix.verify": "qr/pix/v2/verifica", "pix.cancel": "qr/pix/v2/cancela",
         "crypto.verify": "qr/koibanx/v2/estado", "binance.verify": "qr/binance/v2/verificar"}


def build(op: str, reference: str, **wrapper) -> str:
    payload = {"config": CONFIG, "token": TOKEN, "input": {"reference": reference}, **wrapper}
    return call_text(op + ".build", payload)


@pytest.mark.parametrize("op", PATHS)
def test_status_request_is_a_get_without_body_keeping_leading_zeros(op):
    assert build(op, "00123") == ok('{"body":null,"headers":' + dumps(HEADERS)
                                    + ',"method":"GET","url":"https://gw.test/api/'
                                    + PATHS[op] + '/00123"}')


@pytest.mark.parametrize("op", PATHS)
def test_payload_in_array_form_builds_like_the_object_form(op):
    array = [["cid", None, None, "production", "https://gw.test/api"], ["tok", "Bearer", 0, None],
             ["00123"]]
    assert call_text(op + ".build", array) == build(op, "00123")


@pytest.mark.parametrize("op", PATHS)
@pytest.mark.parametrize("reference, message", [
    ("\u3000", "must not be empty"),
    ("12/../34", "must contain only digits"),
    ("１２", "must contain only digits"),
])
def test_reference_must_be_digits_and_is_checked_before_the_token(op, reference, message):
    expected = failure("validation", message, field="reference")
    assert build(op, reference) == expected
    assert build(op, reference, token=None) == expected


@pytest.mark.parametrize("op", PATHS)
def test_valid_reference_without_token_reports_the_token(op):
    assert build(op, "12345678901", token=None) == failure(
        "validation", "an access token is required for this operation", field="token")


@pytest.mark.parametrize("op", PATHS)
def test_input_of_the_wrong_length_names_the_record(op):
    error = load(call_text(op + ".build", [CONFIG, TOKEN, ["1", "2"]]))["error"]
    assert error["kind"] == "ffi" and re.fullmatch(
        r"invalid payload: invalid length 2, expected struct VerifyFx with 1 element"
        r" at line \d+ column \d+", error["message"]), error["message"]
