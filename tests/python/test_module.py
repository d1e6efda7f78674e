"""The surface of the extension module: members, arguments, and the promise that
`call` never raises for what an operation does."""

import collections
import json
import tomllib

import pytest
from conftest import ROOT, failure, ok
from hypothesis import given, strategies as st

from quorvex_bo.fx import _native

VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
VERSION_RESULT = '{"ok":true,"value":{"core":"' + VERSION + '","protocol":2}}'
CATALOGUE = [{"idempotent": op.endswith("verify"), "kind": "operation", "name": op} for op in (
    "pix.generate", "pix.verify", "pix.cancel", "crypto.generate", "crypto.verify",
    "binance.generate", "binance.verify")] + [{"kind": "handler", "name": op} for op in (
    "binance.webhook.parse", "fx.webhook.parse")]


def test_module_members():
    assert _native.__all__ == ["call", "__version__", "PROTOCOL_VERSION"]
    assert (_native.__doc__, _native.__version__, _native.PROTOCOL_VERSION) == ("", VERSION, 2)
    assert _native.call.__text_signature__ == "(op, payload)"
    assert _native.call.__doc__ == ("Runs an FX operation; `payload` and the result are JSON "
                                    "strings\n(see `quorvex_bo_core::ffi`).")
    panic = _native.PanicException
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert _native.call("version", "{") == _native.call(payload="", op="version") == VERSION_RESULT
    assert _native.call("describe", "{") == ok(CATALOGUE)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "call() missing required argument 'op' (pos 1)"),
    (("version",), {}, "call() missing required argument 'payload' (pos 2)"),
    (("version", "", ""), {}, "call() takes at most 2 arguments (3 given)"),
    (("version", ""), {"bogus": 1}, "call() got an unexpected keyword argument 'bogus'"),
    ((), {"op": "version", "payload": "", "bogus": "x"},
     "call() got an unexpected keyword argument 'bogus'"),
    (("version", ""), {"op": "version"}, "call() got multiple values for argument 'op'"),
    (("version", ""), {"payload": ""}, "call() got multiple values for argument 'payload'"),
    (("version",), {"op": "version"}, "call() got multiple values for argument 'op'"),
    ((1, ""), {}, "call() argument 'op' must be str, not int"),
    (("version", None), {}, "call() argument 'payload' must be str, not None"),
    ((collections.OrderedDict(), ""), {},
     "call() argument 'op' must be str, not collections.OrderedDict"),
    ((type("L" * 60, (), {})(), ""), {}, "call() argument 'op' must be str, not " + "L" * 50),
])
def test_wrong_arguments_raise_type_error_naming_the_argument(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        _native.call(*args, **kwargs)
    assert str(raised.value) == message


def test_failures_are_results_but_bad_text_raises():
    with pytest.raises(UnicodeEncodeError):
        _native.call("version", "\udfff")
    for op in ["pix.geração.build", "pix.generatebuild", "pix.generate-build", "pix.generate",
               "fx.webhook.parse.x"]:
        assert _native.call(op, "") == failure("ffi", f"unknown operation `{op}`")
    error = json.loads(_native.call("pix.generate.build", "{"))["error"]
    assert error["kind"] == "ffi" and error["message"].startswith("invalid payload: ")


@given(op=st.sampled_from(["pix.generate.build", "fx.webhook.parse", "describe", "x"])
       | st.text(), payload=st.text())
def test_any_text_gives_a_json_result(op, payload):
    try:
        result = json.loads(_native.call(op, payload))
    except UnicodeEncodeError:
        return
    assert result["ok"] in (True, False) and set(result) in ({"ok", "value"}, {"ok", "error"})
