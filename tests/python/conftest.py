"""Makes the in-tree package importable, keeps property tests stable on busy machines,
and holds the helpers the end-to-end tests share.

Set QBO_TEST_INSTALLED=1 to test an installed package (a wheel) instead.
"""

import json
import os
import pathlib
import sys

from hypothesis import settings

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[2] / "python"
if not os.environ.get("QBO_TEST_INSTALLED") and str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

from quorvex_bo.fx import _native  # noqa: E402 - needs the path above

# Calls are fast, but a loaded CI machine must not turn timing into failures.
settings.register_profile("qbo", deadline=None)
settings.load_profile("qbo")

CONFIG = {"client_id": "cid", "base_url": "https://gw.test/api"}
TOKEN = {"access_token": "tok", "token_type": "Bearer", "expires_at": 0}
HEADERS = {"Accept": "application/json", "Authorization": "Bearer tok",
           "Content-Type": "application/json", "access_token": "tok", "client_id": "cid"}


def dumps(value) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def _sorted_members(pairs):
    keys = [key for key, _ in pairs]
    assert keys == sorted(set(keys)), keys  # unique, ascending byte order
    return dict(pairs)


def load(text: str) -> dict:
    """Parses a call result, checking the shape every result has."""
    assert type(text) is str
    result = json.loads(text, object_pairs_hook=_sorted_members)
    assert isinstance(result["ok"], bool)
    assert set(result) == ({"ok", "value"} if result["ok"] is True else {"error", "ok"})
    if not result["ok"]:
        error = result["error"]
        assert isinstance(error["kind"], str) and isinstance(error["retryable"], bool)
        assert error["retryable"] is False or error["kind"] == "api"
    return result


def call_text(op: str, payload) -> str:
    """The exact result text; a payload that is not a str is sent as compact JSON."""
    return _native.call(op, payload if isinstance(payload, str) else dumps(payload))


def call(op: str, payload) -> dict:
    return load(call_text(op, payload))


def ok(value_text: str) -> str:
    return '{"ok":true,"value":' + value_text + "}"


def failure(kind: str, message: str, **members) -> str:
    """The exact result text of one error, members sorted as the core writes them."""
    error = {"kind": kind, "message": message, "retryable": False, **members}
    return json.dumps({"error": error, "ok": False}, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False)
