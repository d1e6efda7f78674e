"""What a web page, a stray byte or another user of the machine cannot get from the
sandbox: a rebound host name is misdirected, a number in odd or too many digits refused
with an answer, and its database file readable by its owner alone."""

import os
import socket
import stat

import pytest

from quorvex_bo.fx.sandbox import Sandbox

from .test_rules import VALID_OF, build

ELSEWHERE = "evil.example"  # a name the attacker's DNS points at 127.0.0.1 once the page loaded


def send(sandbox, method, path, host, body=b"", headers=()):
    """The status (None: no answer) and body of one request on a raw socket, whose Host
    and Origin are exactly `host` with the sandbox's port."""
    port = sandbox.base_url.rsplit(":", 1)[1]
    length = [f"Content-Length: {len(body)}"] if body else []
    head = [f"{method} {path} HTTP/1.1", f"Host: {host}:{port}",
            f"Origin: http://{host}:{port}", "Connection: close", *length, *headers]
    with socket.create_connection(("127.0.0.1", int(port)), timeout=10) as raw:
        raw.sendall("\r\n".join(head).encode("latin-1") + b"\r\n\r\n" + body)
        answer, _, text = raw.makefile("rb").read().partition(b"\r\n\r\n")  # up to the close
    return (int(answer[9:12]) if answer else None), text


def generate(sandbox, host, edit=("", "")):
    """A valid Pix generation, its body text edited by `edit` (a replace's arguments)."""
    built = build(sandbox, "pix.generate", VALID_OF["pix"])["value"]
    return send(sandbox, "POST", "/qr/pix/v2/generar", host,
                built["body"].replace(*edit).encode(),
                [f"{name}: {value}" for name, value in built["headers"].items()])


REQUESTS = {
    "clock": lambda gw, host: send(gw, "POST", "/_sandbox/clock", host, b'{"advance":60}'),
    "faults": lambda gw, host: send(gw, "POST", "/_sandbox/faults", host,
                                    b'{"operation":"pix.verify","kind":"drop"}'),
    "page": lambda gw, host: send(gw, "GET", "/", host),
    "generate": generate,
}


def state(sandbox):
    return sandbox.clock.travelled, sandbox.faults.pending(), sandbox.calls(), sandbox.payments()


def sent(request, host=ELSEWHERE):
    """Observes `request` sent with Host `host`: its status and whether anything changed."""
    def run(sandbox, tmp_path):
        before = state(sandbox)
        return REQUESTS[request](sandbox, host)[0], state(sandbox) != before
    return run


def allowed(request, host, expected):
    return pytest.param(sent(request, host), expected, id=f"{request} at {host}",
                        marks=pytest.mark.quorvex_sandbox(allowed_hosts=["Dev.Example"]))


def database_modes(sandbox, tmp_path):
    umask = os.umask(0o022)  # the usual one: new files readable by everybody unless asked
    try:
        with Sandbox(db=tmp_path / "sandbox.db") as gw:
            status = generate(gw, "127.0.0.1")[0]
            gw.pay("pix", VALID_OF["pix"]["reference"])
            return status, {stat.S_IMODE(path.stat().st_mode)
                            for path in tmp_path.glob("sandbox.db*")}  # -wal, -shm, -journal
    finally:
        os.umask(umask)


@pytest.mark.parametrize("scenario, expected", [
    *[pytest.param(sent(request), (421, False), id=f"{request} rebound")
      for request in REQUESTS],
    allowed("clock", "dev.example", (200, True)), allowed("faults", "localhost", (200, True)),
    allowed("generate", "[::1]", (200, True)), allowed("page", "127.0.0.1", (200, False)),
    pytest.param(lambda gw, tmp_path: send(gw, "POST", "/_sandbox/faults", "127.0.0.1",
                                           headers=["Content-Length: \xb2"]),
                 (400, b'{"message":"bad Content-Length"}'), id="superscript length"),
    pytest.param(lambda gw, tmp_path: [generate(gw, "127.0.0.1", edit)[0] for edit in [
        ('"monto":100.5', '"monto":' + "9" * 5000),
        ('"canal"', '"tiempoQr":"' + "9" * 5000 + ':00:00","canal"')]], [400, 400],
                 id="numbers too long for int()"),
    pytest.param(database_modes, (200, {0o600}), id="database modes"),
])
def test_the_sandbox_keeps_pages_bytes_and_users_where_they_belong(quorvex_sandbox, tmp_path,
                                                                   scenario, expected):
    assert scenario(quorvex_sandbox, tmp_path) == expected
