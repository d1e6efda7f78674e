"""A walk through `quorvex_bo.fx`, one step per function.

Every step calls the native module with an operation name and a JSON payload and
prints the call result. Add a step by writing a `step_…` function and listing it
in STEPS.
"""

import json
from typing import Any, Callable

from quorvex_bo.fx import _native


def call(op: str, payload: Any = None) -> dict[str, Any]:
    """Runs one operation; `payload` is any JSON-serialisable value (None sends "")."""
    text = "" if payload is None else json.dumps(payload, ensure_ascii=False)
    return json.loads(_native.call(op, text))


def show(title: str, result: Any) -> None:
    print(f"== {title}")
    print(json.dumps(result, indent=2, ensure_ascii=False))
    print()


def step_version() -> None:
    """The core and protocol versions, and the module's constants."""
    show("version", call("version"))
    print(f"__version__ = {_native.__version__!r}, PROTOCOL_VERSION = {_native.PROTOCOL_VERSION}")
    print()


def step_describe() -> None:
    """The operation list: gateway operations (with stages) and webhook handlers."""
    show("describe", call("describe"))


STEPS: list[Callable[[], None]] = [
    step_version,
    step_describe,
]


def main() -> None:
    for step in STEPS:
        step()


if __name__ == "__main__":
    main()
