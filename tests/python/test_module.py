"""The surface of the extension module: members, argument handling, the answers
the protocol gives by itself, and the promise that `call` never raises for what
an operation does."""

import collections
import concurrent.futures
import inspect
import json
import pathlib
import subprocess
import sys
import textwrap

import pytest
from conftest import call, failure, load
from hypothesis import given, strategies as st

from quorvex_bo.fx import _native

VERSION_RESULT = '{"ok":true,"value":{"core":"0.1.0","protocol":2}}'
DESCRIBE_RESULT = (
    '{"ok":true,"value":['
    '{"idempotent":false,"kind":"operation","name":"pix.generate"},'
    '{"idempotent":true,"kind":"operation","name":"pix.verify"},'
    '{"idempotent":false,"kind":"operation","name":"pix.cancel"},'
    '{"idempotent":false,"kind":"operation","name":"crypto.generate"},'
    '{"idempotent":true,"kind":"operation","name":"crypto.verify"},'
    '{"idempotent":false,"kind":"operation","name":"binance.generate"},'
    '{"idempotent":true,"kind":"operation","name":"binance.verify"},'
    '{"kind":"handler","name":"binance.webhook.parse"},'
    '{"kind":"handler","name":"fx.webhook.parse"}]}'
)
GATEWAY_OPERATIONS = ["pix.generate", "pix.verify", "pix.cancel", "crypto.generate",
                      "crypto.verify", "binance.generate", "binance.verify"]
WEBHOOK_OPERATIONS = ["binance.webhook.parse", "fx.webhook.parse"]
EVERY_OP = ([f"{name}.{stage}" for name in GATEWAY_OPERATIONS for stage in ("build", "parse")]
            + WEBHOOK_OPERATIONS)


def encodable(text: str) -> bool:
    return not any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def test_module_members_constants_and_call_signature():
    assert _native.__all__ == ["call", "__version__", "PROTOCOL_VERSION"]
    assert _native.__doc__ == ""
    assert sorted(n for n in dir(_native) if not n.startswith("_")) == [
        "PROTOCOL_VERSION", "PanicException", "call"]
    assert type(_native.__version__) is str and _native.__version__ == "0.1.0"
    assert type(_native.PROTOCOL_VERSION) is int and _native.PROTOCOL_VERSION == 2
    assert inspect.isbuiltin(_native.call) and _native.call.__module__ == "quorvex_bo.fx._native"
    assert _native.call.__text_signature__ == "(op, payload)"
    assert _native.call.__doc__ == (
        "Runs an FX operation; `payload` and the result are JSON strings\n"
        "(see `quorvex_bo_core::ffi`).")


def test_panic_exception_escapes_ordinary_handlers():
    panic = _native.PanicException
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__module__ == "quorvex_bo.fx._native" and panic.__name__ == "PanicException"
    import quorvex_bo.fx as fx  # the package re-exports the module's members
    assert (fx.call, fx.PanicException, fx.__version__) == (_native.call, panic, "0.1.0")


EXHAUSTED_MEMORY = textwrap.dedent("""
    import resource
    from quorvex_bo.fx import _native
    op = "x" * (64 << 20)
    _native.call("version", "")
    size = next(int(line.split()[1]) * 1024
                for line in open("/proc/self/status") if line.startswith("VmSize:"))
    # Too little room for both the 64 MiB message and the 64 MiB result text.
    resource.setrlimit(resource.RLIMIT_AS, (size + (100 << 20), resource.RLIM_INFINITY))
    try:
        _native.call(op, "")
    except _native.PanicException as panic:
        print("panic", panic)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(_native.call("version", ""))
""")


@pytest.mark.skipif(not pathlib.Path("/proc/self/status").exists(), reason="needs /proc")
def test_memory_exhaustion_raises_panic_exception_and_the_host_goes_on():
    done = subprocess.run(
        [sys.executable, "-c", EXHAUSTED_MEMORY], capture_output=True, text=True, timeout=120,
        env={"PYTHONPATH": str(pathlib.Path(_native.__file__).resolve().parents[2]),
             "PATH": "/usr/bin:/bin"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["panic core panicked at ffi boundary", VERSION_RESULT]


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "call() missing required argument 'op' (pos 1)"),
    (("version",), {}, "call() missing required argument 'payload' (pos 2)"),
    (("version", "", ""), {}, "call() takes at most 2 arguments (3 given)"),
    ((), {"op": "version", "payload": "", "x": ""},
     "call() takes at most 2 keyword arguments (3 given)"),
    # an unexpected or repeated keyword: the count or the missing parameter is reported first
    (("version", ""), {"x": ""}, "call() takes at most 2 arguments (3 given)"),
    ((), {"Op": "version", "payload": ""}, "call() missing required argument 'op' (pos 1)"),
    (("version",), {"op": "version"}, "call() missing required argument 'payload' (pos 2)"),
    ((1, ""), {}, "call() argument 'op' must be str, not int"),
    (("version", None), {}, "call() argument 'payload' must be str, not None"),
    ((collections.OrderedDict(), ""), {},
     "call() argument 'op' must be str, not collections.OrderedDict"),
    ((type("L" * 60, (), {})(), ""), {}, "call() argument 'op' must be str, not " + "L" * 50),
])
def test_wrong_arguments_raise_type_error_with_the_interpreters_wording(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        _native.call(*args, **kwargs)
    assert type(raised.value) is TypeError and str(raised.value) == message


def test_arguments_by_position_or_keyword_and_str_subclasses():
    text = type("Text", (str,), {})
    assert _native.call(payload="", op="version") == VERSION_RESULT
    assert _native.call("version", payload="") == VERSION_RESULT
    assert _native.call(text("version"), text("")) == VERSION_RESULT


def test_lone_surrogate_raises_unicode_encode_error_and_op_is_checked_first():
    for op, payload, bad in [("\ud800", "", "\ud800"), ("version", "\udfff", "\udfff")]:
        with pytest.raises(UnicodeEncodeError) as raised:
            _native.call(op, payload)
        assert raised.value.encoding == "utf-8" and raised.value.reason == "surrogates not allowed"
        assert raised.value.object == bad
    with pytest.raises(UnicodeEncodeError):
        _native.call("\ud800", 1)
    with pytest.raises(TypeError, match="'op'"):
        _native.call(1, "\ud800")


def test_arguments_keep_their_reference_counts():
    op, payload = "pix.generate.build" + "x" * 3, "{" * 3
    before = sys.getrefcount(op), sys.getrefcount(payload)
    for _ in range(500):
        _native.call(op=op, payload=payload)
        with pytest.raises(TypeError):
            _native.call(op, payload, op)
    assert (sys.getrefcount(op), sys.getrefcount(payload)) == before


@pytest.mark.parametrize("payload", ["", "not json", "[1,2", "\x00"])
def test_version_and_describe_ignore_the_payload(payload):
    assert _native.call("version", payload) == VERSION_RESULT
    assert _native.call("describe", payload) == DESCRIBE_RESULT


@pytest.mark.parametrize("op", [
    "", "pix.generate", "PIX.generate.build", " version", "version\x00\x1f\x7f",
    "fx.webhook.parse.parse", "binance.webhook.parse.build", "pix.geração.build", "x." * 50_000,
], ids=lambda op: repr(op[:30]))
def test_unknown_operation_names_the_whole_op(op):
    assert _native.call(op, "") == failure("ffi", f"unknown operation `{op}`")


@pytest.mark.parametrize("name", GATEWAY_OPERATIONS)
def test_unknown_stage_is_reported_before_the_payload_is_read(name):
    assert _native.call(f"{name}.send", "not json") == failure(
        "ffi", f"unknown stage `send` for `{name}`")


@pytest.mark.parametrize("op", EVERY_OP)
def test_unreadable_payload_is_a_failure_result_not_an_exception(op):
    error = call(op, "{")["error"]
    assert error["kind"] == "ffi" and error["message"].startswith("invalid payload: ")


def test_calls_from_many_threads_agree():
    def work(i: int) -> str:
        return _native.call("describe", "") + _native.call(f"nope{i % 3}", "")

    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        results = set(pool.map(work, range(400)))
    assert results == {DESCRIBE_RESULT + failure("ffi", f"unknown operation `nope{i}`")
                       for i in range(3)}


any_text = st.text(alphabet=st.characters(blacklist_categories=()))
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(
        st.sampled_from(["config", "token", "input", "response", "headers", "body", "status"])
        | st.text(max_size=8),
        children, max_size=5),
    max_leaves=20)
every_op = st.sampled_from(
    ["describe", "version"] + EVERY_OP + [f"{name}." for name in GATEWAY_OPERATIONS])


@given(op=any_text, payload=any_text)
def test_any_text_gives_a_json_result_and_never_raises(op, payload):
    if not (encodable(op) and encodable(payload)):
        with pytest.raises(UnicodeEncodeError):
            _native.call(op, payload)
        return
    first = _native.call(op, payload)
    load(first)
    assert _native.call(op, payload) == first


@given(op=every_op, payload=any_text.filter(encodable) | json_values.map(json.dumps))
def test_any_payload_for_a_real_operation_gives_a_json_result(op, payload):
    load(_native.call(op, payload))
