"""Each fault the sandbox plays, and what the client makes of it."""

import os
import pathlib
import re
import subprocess
import sys

import httpx
import pytest

import quorvex_bo

from quorvex_bo.fx import (AmbiguousError, ApiError, Client, DecodeError, PaymentStatus,
                           RequestTimeoutError)
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN
from quorvex_bo.fx.sandbox.routes import BY_OPERATION

IN_TREE = {**os.environ, "PYTHONPATH": str(pathlib.Path(quorvex_bo.__file__).resolve().parents[1])}

# operation, fault, times, client outcome (None: success), waits the client made,
# faults left unused (a call the client did not repeat)
CASES = [
    ("pix.verify", {"kind": "unavailable"}, 2, None, [1.0, 1.0], 0),  # Retry-After: 1
    ("crypto.verify", {"kind": "rate_limited", "retry_after": 0}, 1, None, [0.0], 0),
    ("binance.verify", {"kind": "server_error"}, 3, ApiError, None, 0),
    ("pix.verify", {"kind": "drop"}, 1, None, None, 0),
    ("pix.verify", {"kind": "malformed"}, 1, DecodeError, [], 0),
    ("binance.verify", {"kind": "slow", "delay": 5}, 1, RequestTimeoutError, [], 0),
    ("crypto.verify", {"kind": "slow", "delay": 0}, 1, None, [], 0),
    ("pix.generate", {"kind": "unavailable"}, 2, ApiError, [], 1),
    ("crypto.generate", {"kind": "drop"}, 2, AmbiguousError, [], 1),
    ("binance.generate", {"kind": "slow", "delay": 5}, 1, AmbiguousError, [], 0),
]


@pytest.mark.parametrize("operation, fault, times, outcome, waits, left", CASES)
def test_client_meets_the_fault(quorvex_sandbox, generate, operation, fault, times, outcome,
                                waits, left):
    rail, action = operation.split(".")
    retries = 0 if fault["kind"] == "slow" else 2
    with Client(DEFAULT_CLIENT_ID, base_url=quorvex_sandbox.base_url, token=DEFAULT_TOKEN,
                timeout=0.5, max_retries=retries) as client:
        slept: list[float] = []
        client._sleep = slept.append  # the waits are recorded instead of slept
        reference = generate(rail).reference if action == "verify" else None
        quorvex_sandbox.inject(operation, times=times, **fault)
        run = (lambda: getattr(client, rail).verify(reference)) if reference else \
            (lambda: generate(rail, client=client))
        if outcome is None:
            assert run().status is PaymentStatus.PENDING
        else:
            with pytest.raises(outcome):
                run()
            if outcome is AmbiguousError:  # the gateway did act, and verify tells
                [made] = quorvex_sandbox.ledger.all()
                assert getattr(client, rail).verify(made.reference).status is PaymentStatus.PENDING
        assert waits is None or slept == waits
        assert sum(map(len, quorvex_sandbox.faults.pending().values())) == left


@pytest.mark.parametrize("body, reason", [
    ([1], "the request must be a JSON object"),
    ({"operation": "pix.verify", "kind": "drop", "times": "2"},
     "times and retry_after must be integers, delay a number"),
    ({"operation": "pix.pay", "kind": "drop"}, "unknown operation 'pix.pay'; expected one of "
                                               f"{', '.join(BY_OPERATION)}, webhook")])
def test_a_fault_that_does_not_fit_is_refused_with_the_reason(quorvex_sandbox, body, reason):
    answer = httpx.post(f"{quorvex_sandbox.base_url}/_sandbox/faults", json=body)
    assert (answer.status_code, answer.json(), quorvex_sandbox.faults.pending()) == (
        400, {"message": reason}, {})


def test_a_refused_call_answers_json_with_retry_after(quorvex_sandbox):
    quorvex_sandbox.inject("pix.verify", "rate_limited", retry_after=7)
    answer = httpx.get(f"{quorvex_sandbox.base_url}/{BY_OPERATION['pix.verify'].path}/1")
    assert (answer.status_code, answer.headers["Content-Type"], answer.headers["Retry-After"],
            answer.json()) == (429, "application/json", "7", {"message": "try again later"})


def test_command_line_sandbox_takes_faults_over_http():
    with subprocess.Popen([sys.executable, "-m", "quorvex_bo.fx.sandbox", "--port", "0"], text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=IN_TREE) as child:
        try:
            base_url = child.stdout.readline().strip()  # type: ignore[union-attr]
            assert re.fullmatch(r"http://127\.0\.0\.1:[0-9]+", base_url)
            planned = httpx.post(f"{base_url}/_sandbox/faults",
                                 json={"operation": "pix.verify", "kind": "malformed"})
            assert planned.json() == {"pix.verify": ["malformed"]}
            with pytest.raises(DecodeError):
                Client(DEFAULT_CLIENT_ID, base_url=base_url, token=DEFAULT_TOKEN).pix.verify("1")
        finally:
            child.terminate()
        assert child.wait(10) == 0


def test_a_sandbox_never_closed_lets_its_process_end():
    code = "from quorvex_bo.fx.sandbox import Sandbox; Sandbox().start()"
    assert subprocess.run([sys.executable, "-c", code], env=IN_TREE, timeout=30).returncode == 0
