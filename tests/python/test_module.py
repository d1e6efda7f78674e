"""The surface of the extension module: members, argument handling, the answers
the protocol gives by itself, and the promise that `call` never raises for what
an operation does."""

import ast
import collections
import concurrent.futures
import inspect
import json
import pathlib
import subprocess
import sys
import textwrap

import pytest
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

GATEWAY_OPERATIONS = [
    "pix.generate",
    "pix.verify",
    "pix.cancel",
    "crypto.generate",
    "crypto.verify",
    "binance.generate",
    "binance.verify",
]
WEBHOOK_OPERATIONS = ["binance.webhook.parse", "fx.webhook.parse"]

CALL_DOC = (
    "Runs an FX operation; `payload` and the result are JSON strings\n"
    "(see `quorvex_bo_core::ffi`)."
)


def unknown_operation(op: str) -> str:
    """The whole call result for a name that denotes nothing."""
    error = {"kind": "ffi", "message": f"unknown operation `{op}`", "retryable": False}
    return json.dumps({"error": error, "ok": False}, separators=(",", ":"), ensure_ascii=False)


def sorted_members(pairs):
    """object_pairs_hook that insists on unique members in ascending byte order."""
    keys = [key for key, _ in pairs]
    assert keys == sorted(set(keys)), keys
    return dict(pairs)


def load_result(text: str) -> dict:
    """Parses a call result and checks the shape every result has."""
    assert type(text) is str
    result = json.loads(text, object_pairs_hook=sorted_members)
    assert isinstance(result["ok"], bool)
    if result["ok"]:
        assert set(result) == {"ok", "value"}
    else:
        assert set(result) == {"error", "ok"}
        error = result["error"]
        assert isinstance(error["kind"], str)
        assert isinstance(error["retryable"], bool)
        assert error["retryable"] is False or error["kind"] == "api"
    return result


def encodable(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


# --- module surface ---------------------------------------------------------


def test_public_members_are_listed_in_order():
    assert _native.__all__ == ["call", "__version__", "PROTOCOL_VERSION"]


def test_version_constants():
    assert type(_native.__version__) is str and _native.__version__ == "0.1.0"
    assert type(_native.PROTOCOL_VERSION) is int and _native.PROTOCOL_VERSION == 2


def test_version_constants_match_the_version_record():
    value = json.loads(_native.call("version", ""))["value"]
    assert value == {"core": _native.__version__, "protocol": _native.PROTOCOL_VERSION}


def test_module_docstring_is_empty():
    assert _native.__doc__ == ""


def test_module_has_no_other_public_names():
    public = sorted(name for name in dir(_native) if not name.startswith("_"))
    assert public == ["PROTOCOL_VERSION", "PanicException", "call"]


def test_call_is_a_builtin_with_text_signature_and_docstring():
    call = _native.call
    assert inspect.isbuiltin(call)
    assert call.__name__ == "call"
    assert call.__qualname__ == "call"
    assert call.__module__ == "quorvex_bo.fx._native"
    assert call.__text_signature__ == "(op, payload)"
    assert call.__doc__ == CALL_DOC


def test_call_signature_takes_op_and_payload_by_position_or_keyword():
    parameters = inspect.signature(_native.call).parameters
    assert list(parameters) == ["op", "payload"]
    for parameter in parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_package_reexports_the_module_members():
    import quorvex_bo.fx as fx

    assert fx.call is _native.call
    assert fx.__version__ == _native.__version__
    assert fx.PROTOCOL_VERSION == _native.PROTOCOL_VERSION
    assert fx.PanicException is _native.PanicException


def test_stub_lists_the_same_public_members():
    stub = pathlib.Path(_native.__file__).with_name("_native.pyi")
    if not stub.exists():  # an installed wheel may carry the module only
        pytest.skip("no stub next to the module")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    stub_all = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
    )
    assert stub_all == _native.__all__


# --- the internal-failure exception -----------------------------------------


def test_panic_exception_escapes_ordinary_handlers():
    panic = _native.PanicException
    assert issubclass(panic, BaseException)
    assert not issubclass(panic, Exception)
    assert panic.__module__ == "quorvex_bo.fx._native"
    assert panic.__name__ == "PanicException"
    assert "PanicException" not in _native.__all__
    with pytest.raises(panic):
        try:
            raise panic("core panicked while handling `x`")
        except Exception:  # noqa: BLE001 - the point: this must not catch it
            pytest.fail("caught by `except Exception`")


EXHAUSTED_MEMORY = textwrap.dedent(
    """
    import resource
    from quorvex_bo.fx import _native

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    op = "x" * (64 << 20)
    _native.call("version", "")
    # Too little room for both the 64 MiB message and the 64 MiB result text.
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (100 << 20), resource.RLIM_INFINITY))
    try:
        try:
            _native.call(op, "")
            print("returned")
        except Exception as error:
            print("exception", type(error).__name__)
    except _native.PanicException as panic:
        print("panic", panic)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(_native.call("version", ""))
    """
)


@pytest.mark.skipif(not pathlib.Path("/proc/self/status").exists(), reason="needs /proc")
def test_memory_exhaustion_in_the_core_raises_panic_exception_and_the_host_goes_on():
    package_root = pathlib.Path(_native.__file__).resolve().parents[2]
    done = subprocess.run(
        [sys.executable, "-c", EXHAUSTED_MEMORY],
        capture_output=True, text=True, timeout=120,
        env={"PYTHONPATH": str(package_root), "PATH": "/usr/bin:/bin"},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["panic core panicked at ffi boundary", VERSION_RESULT]


# --- arguments --------------------------------------------------------------


class Named:
    pass


LongNamed = type("L" * 60, (), {})


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        # missing
        ((), {}, "call() missing required argument 'op' (pos 1)"),
        (("version",), {}, "call() missing required argument 'payload' (pos 2)"),
        ((), {"payload": ""}, "call() missing required argument 'op' (pos 1)"),
        ((), {"op": "version"}, "call() missing required argument 'payload' (pos 2)"),
        # too many
        (("version", "", ""), {}, "call() takes at most 2 arguments (3 given)"),
        (("version", "", "", ""), {"x": ""}, "call() takes at most 2 arguments (5 given)"),
        ((), {"op": "version", "payload": "", "x": ""},
         "call() takes at most 2 keyword arguments (3 given)"),
        # an unexpected keyword: the count or the missing parameter is reported first
        (("version", ""), {"x": ""}, "call() takes at most 2 arguments (3 given)"),
        (("version",), {"x": ""}, "call() missing required argument 'payload' (pos 2)"),
        ((), {"x": "", "y": ""}, "call() missing required argument 'op' (pos 1)"),
        ((), {"Op": "version", "payload": ""}, "call() missing required argument 'op' (pos 1)"),
        # given twice: likewise
        (("version",), {"op": "version"}, "call() missing required argument 'payload' (pos 2)"),
        (("version", ""), {"op": "version"}, "call() takes at most 2 arguments (3 given)"),
        (("version", ""), {"payload": ""}, "call() takes at most 2 arguments (3 given)"),
        # not a str
        ((1, ""), {}, "call() argument 'op' must be str, not int"),
        (("version", None), {}, "call() argument 'payload' must be str, not None"),
        ((), {"op": b"version", "payload": ""}, "call() argument 'op' must be str, not bytes"),
        ((), {"payload": 1.5, "op": "version"}, "call() argument 'payload' must be str, not float"),
        ((1, 2), {}, "call() argument 'op' must be str, not int"),
        ((["version"], ""), {}, "call() argument 'op' must be str, not list"),
        ((True, ""), {}, "call() argument 'op' must be str, not bool"),
        ((Named(), ""), {}, "call() argument 'op' must be str, not Named"),
        ((collections.OrderedDict(), ""), {},
         "call() argument 'op' must be str, not collections.OrderedDict"),
        ((LongNamed(), ""), {}, "call() argument 'op' must be str, not " + "L" * 50),
    ],
)
def test_wrong_arguments_raise_type_error_with_the_interpreters_wording(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        _native.call(*args, **kwargs)
    assert str(raised.value) == message
    assert type(raised.value) is TypeError


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        (("version", ""), {}),
        ((), {"op": "version", "payload": ""}),
        ((), {"payload": "", "op": "version"}),
        (("version",), {"payload": ""}),
    ],
)
def test_arguments_may_be_given_by_position_or_keyword(args, kwargs):
    assert _native.call(*args, **kwargs) == VERSION_RESULT


def test_str_subclasses_are_accepted():
    class Text(str):
        pass

    assert _native.call(Text("version"), Text("")) == VERSION_RESULT


@pytest.mark.parametrize(
    ("op", "payload"),
    [("\ud800", ""), ("version", "\udfff"), ("pix.generate.build", '{"x":"\ud83d"}')],
)
def test_lone_surrogate_raises_the_interpreters_unicode_encode_error(op, payload):
    bad = op if not encodable(op) else payload
    with pytest.raises(UnicodeEncodeError) as raised:
        _native.call(op, payload)
    assert raised.value.encoding == "utf-8"
    assert raised.value.object == bad
    assert raised.value.reason == "surrogates not allowed"


def test_op_is_checked_and_read_before_payload():
    with pytest.raises(UnicodeEncodeError):
        _native.call("\ud800", 1)
    with pytest.raises(TypeError, match="'op'"):
        _native.call(1, "\ud800")


def test_arguments_keep_their_reference_counts():
    op, payload = "pix.generate.build" + "x" * 3, "{" * 3
    before = sys.getrefcount(op), sys.getrefcount(payload)
    for _ in range(500):
        _native.call(op, payload)
        _native.call(op=op, payload=payload)
        with pytest.raises(TypeError):
            _native.call(op, payload, op)
    assert (sys.getrefcount(op), sys.getrefcount(payload)) == before


# --- names the protocol answers itself --------------------------------------


@pytest.mark.parametrize("payload", ["", "{", "not json", '{"config":1}', "\x00", "ação"])
def test_version_ignores_the_payload(payload):
    assert _native.call("version", payload) == VERSION_RESULT


@pytest.mark.parametrize("payload", ["", "{", "[1,2", "null"])
def test_describe_lists_the_catalogue_whatever_the_payload(payload):
    assert _native.call("describe", payload) == DESCRIBE_RESULT


def test_describe_names_every_operation_the_registry_dispatches():
    entries = json.loads(_native.call("describe", ""))["value"]
    assert [e["name"] for e in entries] == GATEWAY_OPERATIONS + WEBHOOK_OPERATIONS
    assert all("timeout_secs" not in e for e in entries)


@pytest.mark.parametrize(
    "op",
    [
        "",
        "foo.build",
        "pix.generate",
        "pix",
        "pix.",
        "PIX.generate.build",
        "Version",
        " version",
        "version ",
        "describe.build",
        "fx.webhook.parse.parse",
        "fx.webhook.parse.",
        "binance.webhook.parse.build",
        "binance.webhook",
        "pix.generate\x00.build",
        "version\x00",
        'pix."quoted"\\back\tslash\x1f',
        "pix.geração.build",
        "💳.build",
    ],
)
def test_unknown_operation_names_the_whole_op(op):
    assert _native.call(op, "") == unknown_operation(op)


def test_unknown_operation_escapes_control_characters_in_lower_case_hex():
    assert _native.call("a\x00\x1f\x7f", "") == (
        '{"error":{"kind":"ffi","message":"unknown operation `a\\u0000\\u001f\x7f`",'
        '"retryable":false},"ok":false}'
    )


def test_very_long_op_is_echoed_whole():
    op = "x." * 50_000
    assert _native.call(op, "") == unknown_operation(op)


@pytest.mark.parametrize("op", [f"{name}.build" for name in GATEWAY_OPERATIONS]
                         + [f"{name}.parse" for name in GATEWAY_OPERATIONS] + WEBHOOK_OPERATIONS)
def test_unreadable_payload_is_a_failure_result_not_an_exception(op):
    result = load_result(_native.call(op, "{"))
    assert result["ok"] is False
    assert result["error"]["kind"] == "ffi"
    assert result["error"]["message"].startswith("invalid payload: ")
    assert result["error"]["retryable"] is False


@pytest.mark.parametrize("name", GATEWAY_OPERATIONS)
def test_unknown_stage_reaches_the_operation(name):
    result = load_result(_native.call(f"{name}.send", "{}"))
    assert result["error"]["kind"] == "ffi"
    assert result["error"]["message"] != f"unknown operation `{name}.send`"


def test_large_payload_is_handled():
    payload = '{"input":' + "[" * 100 + "]" * 100 + ',"x":"' + "a" * 1_000_000 + '"}'
    load_result(_native.call("pix.generate.build", payload))


def test_calls_from_many_threads_agree():
    def work(i: int) -> tuple[str, str]:
        return _native.call("describe", ""), _native.call(f"nope{i % 3}", "")

    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(work, range(400)))
    assert all(d == DESCRIBE_RESULT for d, _ in results)
    assert all(u == unknown_operation(f"nope{i % 3}") for i, (_, u) in enumerate(results))


# --- properties -------------------------------------------------------------

any_text = st.text(alphabet=st.characters(blacklist_categories=()))

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(
        st.sampled_from(["config", "token", "input", "response", "headers", "body", "status",
                         "header_name", "header_value", "environment", "amount", "currency"])
        | st.text(max_size=8),
        children,
        max_size=5,
    ),
    max_leaves=20,
)

every_op = st.sampled_from(
    ["describe", "version"]
    + [f"{name}.{stage}" for name in GATEWAY_OPERATIONS for stage in ("build", "parse", "")]
    + WEBHOOK_OPERATIONS
)


@given(op=any_text, payload=any_text)
def test_any_text_gives_a_json_result_and_never_raises(op, payload):
    if not (encodable(op) and encodable(payload)):
        with pytest.raises(UnicodeEncodeError):
            _native.call(op, payload)
        return
    first = _native.call(op, payload)
    load_result(first)
    assert _native.call(op, payload) == first


@given(op=every_op, payload=any_text.filter(encodable))
def test_any_payload_text_for_a_real_operation_gives_a_json_result(op, payload):
    load_result(_native.call(op, payload))


@given(op=every_op, value=json_values)
def test_any_json_payload_for_a_real_operation_gives_a_json_result(op, value):
    load_result(_native.call(op, json.dumps(value)))
