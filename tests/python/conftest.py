"""Makes the in-tree package importable (QBO_TEST_INSTALLED=1 tests an installed one)
and holds the helpers the tests share."""

import json
import os
import pathlib
import sys

from hypothesis import settings

ROOT = pathlib.Path(__file__).resolve().parents[2]
if not os.environ.get("QBO_TEST_INSTALLED") and str(ROOT / "python") not in sys.path:
    sys.path.insert(0, str(ROOT / "python"))

from quorvex_bo.fx import _native  # noqa: E402 - needs the path above

# Testing an installed package means never the checkout's own copy of it.
assert not (os.environ.get("QBO_TEST_INSTALLED")
            and pathlib.Path(_native.__file__).is_relative_to(ROOT / "python")), _native.__file__

settings.register_profile("qbo", deadline=None)
settings.load_profile("qbo")


def dumps(value) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def call(op: str, payload) -> str:
    """The exact result text; a payload that is not a str is sent as compact JSON."""
    return _native.call(op, payload if isinstance(payload, str) else dumps(payload))


def ok(value) -> str:
    return '{"ok":true,"value":' + (value if isinstance(value, str) else sorted_json(value)) + "}"


def sorted_json(value) -> str:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def failure(kind: str, message: str, **members) -> str:
    return sorted_json({"error": {"kind": kind, "message": message, "retryable": False,
                                  **members}, "ok": False})
