"""A hostile or careless gateway: it cannot exhaust memory, learn or echo a secret, or crash the client."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
import traceback
from http.server import BaseHTTPRequestHandler, HTTPServer
from typing import Any, Callable

import httpx
import pytest
from client_harness import HOOK, STATUS_ANSWER, TOKEN, answer, harness  # noqa: F401 - harness is the fixture

from quorvex_bo.fx import AsyncClient, Client
from quorvex_bo.fx._attempt import Call

SECRETS = (TOKEN, HOOK.value)
# Doubly gzipped 256 MiB of zeros: under a kilobyte on the wire. Run in a child, so that its
# high-water mark of memory measures this call alone.
BOMB = """
import resource, sys, zlib
from client_harness import Harness, Pieces, answer
def gzip(chunks):
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    return b"".join([*map(z.compress, chunks), z.flush()])
bomb = gzip([gzip([bytes(1 << 20)] * 256)])
h = Harness(sys.argv[1])
h.gateway.script = [answer(200, Pieces(bomb), **{"Content-Encoding": "gzip, gzip"})]
client, peak = h.client(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    h.run(client.pix.verify("1"))
except Exception as error:
    print(type(error).__name__, len(bomb), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak)
"""


def outcome(h: Any, call: Callable[[], Any]) -> Any:
    """The name of what a call returned or raised, and what it raised."""
    try:
        return type(h.run(call())).__name__, None
    except Exception as error:
        return type(error).__name__, error


def echo(request: httpx.Request) -> httpx.Response:
    said = f"refused {request.headers['Authorization']} {request.content.decode()}"
    return httpx.Response(400, json={"success": False, "message": said, "errors": [
        {"field": "webhook", "message": said, "code": said}]})


def generate(h: Any) -> Any:
    h.gateway = echo
    return outcome(h, lambda: h.client().binance.generate(
        reference="1001", amount="5", glosa="1|b|c|d", webhook=HOOK))


def leaked(*shown: object) -> list[str]:
    return [secret for secret in SECRETS if secret in " ".join(map(str, shown))]


def bomb(h: Any) -> Any:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    name, wire, grown_kib = subprocess.run([sys.executable, "-c", BOMB, h.kind], env=env, timeout=120,
                                           capture_output=True, text=True, check=True).stdout.split()
    return name, int(wire) < 1024, int(grown_kib) < 8 << 10


def echoed(h: Any) -> Any:
    name, error = generate(h)
    return name, leaked(error, repr(error), error.message, *(repr(item) for item in error.errors))


def call_in_traceback(h: Any) -> Any:
    _, error = generate(h)
    calls = [repr(v) for frame, _ in traceback.walk_tb(error.__traceback__)
             for v in frame.f_locals.values() if isinstance(v, Call)]
    return len(calls) > 0, leaked(*calls)


def serve(status: int, location: str = "") -> tuple[HTTPServer, list[str]]:
    """A server on 127.0.0.1 answering every GET alike (a status answer), and the headers it got."""
    seen: list[str] = []

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            seen.append(str(self.headers))
            self.send_response(status)
            self.send_header("Location", location)
            self.end_headers()
            self.wfile.write(json.dumps(STATUS_ANSWER).encode())
    server = HTTPServer(("127.0.0.1", 0), Handler)
    server.RequestHandlerClass.log_message = lambda *args: None  # type: ignore[method-assign]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, seen


def redirected(h: Any) -> Any:
    other, seen = serve(200)  # another host: the token must never reach it
    first, _ = serve(302, f"http://127.0.0.1:{other.server_port}/api/x")
    kind, http = (Client, httpx.Client) if h.kind == "sync" else (AsyncClient, httpx.AsyncClient)
    client = kind("cid", base_url=f"http://127.0.0.1:{first.server_port}/api", token=TOKEN, max_retries=0,
                  http_client=http(follow_redirects=True, trust_env=False))
    try:
        return outcome(h, lambda: client.pix.verify("1"))[0], seen
    finally:
        for server in (first, other):
            server.shutdown()
            server.server_close()


def unreadable_retry_after(h: Any) -> Any:
    h.gateway.script = [answer(503, "x", **{"Retry-After": "²".encode()}), answer(200, STATUS_ANSWER)]
    return outcome(h, lambda: h.client().pix.verify("1"))[0], h.sleeps


@pytest.mark.parametrize("attack, expected", [
    pytest.param(bomb, ("DecodeError", True, True), id="a_compressed_answer_is_bounded_in_memory"),
    pytest.param(echoed, ("ApiError", []), id="an_echoed_token_or_webhook_value_is_hidden_in_errors"),
    pytest.param(redirected, ("ApiError", []), id="a_redirect_is_refused_not_followed_with_the_token"),
    pytest.param(unreadable_retry_after, ("FxStatusInfo", [0.25]), id="an_unreadable_retry_after_is_ignored"),
    pytest.param(call_in_traceback, (True, []), id="a_call_shown_in_a_traceback_hides_the_webhook_value"),
])
def test_a_hostile_gateway_gets_no_secret_and_causes_no_crash(harness, attack, expected):
    assert attack(harness) == expected
