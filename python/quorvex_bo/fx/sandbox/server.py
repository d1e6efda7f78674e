"""The sandbox's HTTP server and its Python handle, `Sandbox`.

The standard library's threading server is enough: one thread per connection, so a
slow answer never holds up another request, and no dependency to install. Sockets
time out, so an idle or stalled connection never keeps a thread for long.
"""

from __future__ import annotations

import dataclasses
import http.server
import json
import logging
import re
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterable
from pathlib import Path
from types import TracebackType
from typing import Any

from quorvex_bo.fx.sandbox import dashboard, page, qr, routes, wire
from quorvex_bo.fx.sandbox.autopilot import Autopilot
from quorvex_bo.fx.sandbox.clock import Clock
from quorvex_bo.fx.sandbox.delivery import Courier
from quorvex_bo.fx.sandbox.errors import SandboxError
from quorvex_bo.fx.sandbox.faults import Fault, FaultError, FaultKind, FaultPlan
from quorvex_bo.fx.sandbox.gateway import Gateway
from quorvex_bo.fx.sandbox.ledger import (Delivery, GatewayCall, Ledger, LedgerError, Payment,
                                          Rail)
from quorvex_bo.fx.sandbox.outcomes import Outcome
from quorvex_bo.fx.sandbox.store import Store

HOST = "127.0.0.1"
# The Host names it answers to. A page whose own name was pointed at 127.0.0.1 after it
# loaded (DNS rebinding) sends that name, and is refused before anything is read or done.
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")
DEFAULT_CLIENT_ID = "sandbox-client"
DEFAULT_TOKEN = "sandbox-token"
FAULTS_PATH = "/_sandbox/faults"
CLOCK_PATH = "/_sandbox/clock"
CALLS_PATH = "/_sandbox/calls"
MAX_BODY = 1 << 20  # 1 MiB: a gateway request is a few hundred bytes
_DRAINED = 16 << 20  # a larger body is not even read: the connection is closed on it
SOCKET_TIMEOUT = 30.0
_TRAVELLED = "clock.travelled"
_BEYOND = 10 ** 18  # any header number of 19 digits or more: past every limit, never int()ed
_MISDIRECTED = (b"Misdirected request: this sandbox answers only to the names it was started "
                b"with (127.0.0.1, localhost, [::1] and those given with --allowed-host).\n")

log = logging.getLogger("quorvex_bo.sandbox")

_PAYER_PATH = re.compile(r"/pay/(pix|crypto|binance)/([^/]+)(?:/(qr\.png|pay|reject))?")
_PAYMENT_PATH = re.compile(
    r"/payments/(pix|crypto|binance)/([^/]+)(?:/(pay|reject|expire|resend|twice|stale))?")
_HOST_NAME = re.compile(r"[a-z0-9_.-]+|\[[0-9a-f:.]+\]")
_SERVER_ERROR_PAGE = (b"<!doctype html><html><head><title>500 Internal Server Error</title>"
                      b"</head><body><h1>Internal Server Error</h1></body></html>")


class Sandbox:
    """A local stand-in for the gateway, on 127.0.0.1.

    Use it as a context manager (``with Sandbox() as gw: gw.base_url``) or call
    :meth:`start` and :meth:`close`. It accepts `client_id` and any of `tokens`.
    The sandbox clock reads `clock` (seconds; the system time unless a test gives
    another), starts at `clock_start` when given, and moves forward with
    :meth:`advance`. Notifications are tried `delivery_attempts` times,
    `delivery_backoff` seconds apart and doubling; they go only to loopback addresses
    unless `remote_webhooks` is true. `auto` ("pay" or "reject") settles every new
    payment `auto_delay` clock seconds after it was generated; some amounts choose
    their own outcome (see :mod:`quorvex_bo.fx.sandbox.outcomes`). With `db`, payments,
    deliveries, calls and the clock are kept in that SQLite file across restarts (a new
    file is created readable by its owner only). Requests must name it 127.0.0.1, localhost,
    [::1] or one of `allowed_hosts` (names without a port) in their Host; others are
    answered 421.
    """

    def __init__(self, *, port: int = 0, client_id: str = DEFAULT_CLIENT_ID,
                 tokens: Iterable[str] = (DEFAULT_TOKEN,),
                 clock: Callable[[], float] = time.time, clock_start: float | None = None,
                 delivery_attempts: int = 4, delivery_backoff: float = 0.25,
                 delivery_timeout: float = 5.0, remote_webhooks: bool = False,
                 auto: str | None = None, auto_delay: float = 0.0,
                 db: str | Path | None = None, allowed_hosts: Iterable[str] = ()) -> None:
        self._port = port
        self._names = (*LOOPBACK_NAMES, *_host_names(allowed_hosts))
        self._stopping = threading.Event()
        self.faults = FaultPlan()
        self._store = None if db is None else Store(db)
        travelled = None if self._store is None else self._store.setting(_TRAVELLED)
        self.clock = Clock(clock, start=clock_start) if travelled is None else \
            Clock(clock, travelled=float(travelled))
        self._save_clock()
        self.ledger = Ledger(self.clock, self._store)
        self._courier = Courier(self.ledger, self.faults, self._stopping, self.clock,
                                attempts=delivery_attempts, backoff=delivery_backoff,
                                timeout=delivery_timeout, remote=remote_webhooks)
        self.gateway = Gateway(self.ledger, self._courier, self.clock, client_id=client_id,
                               tokens=frozenset(tokens), payer_url=self.payer_url)
        self._autopilot = Autopilot(self.ledger, self.clock, self._stopping,
                                    lambda p, outcome: self.gateway.settle(
                                        p.rail, p.reference, outcome),
                                    self.gateway.notify_expired, auto=auto, delay=auto_delay)
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None

    @property
    def base_url(self) -> str:
        """The URL to give a client as its base URL (no trailing slash)."""
        if self._server is None:
            raise RuntimeError("the sandbox is not running")
        return f"http://{HOST}:{self._server.server_address[1]}"

    def start(self) -> Sandbox:
        self._server = _Server((HOST, self._port), _Handler)
        self._server.sandbox = self
        port = self._server.server_address[1]
        # A browser leaves out the default port, so on port 80 a bare name is this server too.
        self._server.hosts = frozenset(
            [f"{name}:{port}" for name in self._names] + (list(self._names) if port == 80 else []))
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True,
                                        name="quorvex sandbox")
        self._thread.start()
        self._autopilot.start()
        for payment in self.ledger.all():  # deliveries a restart cut short start again
            if payment.delivery is Delivery.IN_PROGRESS:
                self.gateway.resume_delivery(payment)
        log.info("sandbox listening on %s", self.base_url)
        return self

    def close(self) -> None:
        """Stops serving; slow answers and delivery retries in progress are cut short."""
        self._stopping.set()
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
        self._autopilot.join(timeout=5.0)
        self._courier.close(timeout=5.0)
        if self._store is not None:
            self._store.close()

    def __enter__(self) -> Sandbox:
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def payer_url(self, rail: Rail | str, reference: str) -> str:
        """The payer page of a payment: what its QR code holds."""
        return f"{self.base_url}/pay/{Rail(rail).value}/{urllib.parse.quote(reference)}"

    def payment_url(self, rail: Rail | str, reference: str) -> str:
        """The dashboard's page of a payment: its timeline and actions."""
        return f"{self.base_url}/payments/{Rail(rail).value}/{urllib.parse.quote(reference)}"

    # --- time ---------------------------------------------------------------------------

    def now(self) -> float:
        """The sandbox clock, in seconds since the epoch."""
        return self.clock.now()

    def advance(self, seconds: float) -> float:
        """Moves the sandbox clock `seconds` forward; returns the new reading. Payments
        whose expiry or automatic outcome fell due are settled before it returns."""
        reading = self.clock.advance(seconds)
        self._save_clock()
        self._autopilot.sweep()
        return reading

    def _save_clock(self) -> None:
        if self._store is not None:
            self._store.set_setting(_TRAVELLED, repr(self.clock.travelled))

    # --- what happened --------------------------------------------------------------------

    def calls(self) -> list[GatewayCall]:
        """Every gateway call received, refused ones included, in the order their answers
        started (a slow answer comes after those given meanwhile; `at` is its arrival)."""
        return self.ledger.calls()

    def payment(self, rail: Rail | str, reference: str) -> Payment:
        """The payment as it stands; raises `UnknownPayment` for an unknown reference."""
        return self.ledger.get(Rail(rail), reference)

    def payments(self) -> list[Payment]:
        """Every payment, newest first."""
        return self.ledger.all()[::-1]

    def wait_for_delivery(self, rail: Rail | str, reference: str,
                          timeout: float = 10.0) -> Payment:
        """Waits until the payment's notifications were delivered or given up on."""
        return self.ledger.wait(Rail(rail), reference, lambda payment: payment.delivery in (
            Delivery.DELIVERED, Delivery.FAILED, Delivery.WITHHELD), timeout)

    # --- making things happen -----------------------------------------------------------

    def inject(self, operation: str, kind: FaultKind | str, *, times: int = 1,
               retry_after: int = 1, delay: float = 2.0) -> None:
        """Makes the next `times` calls of `operation` ("pix.generate", …, or "webhook"
        for duplicate_webhook) fail as `kind` says."""
        self.faults.add(operation, Fault(FaultKind(kind), retry_after, delay), times)

    def pay(self, rail: Rail | str, reference: str) -> Payment:
        """What the payer page's Pay button does: the payment is paid, the merchant told."""
        return self.gateway.settle(Rail(rail), reference, Outcome.PAY)

    def reject(self, rail: Rail | str, reference: str) -> Payment:
        """What the Reject button does: the payment is cancelled, the merchant told."""
        return self.gateway.settle(Rail(rail), reference, Outcome.REJECT)

    def expire(self, rail: Rail | str, reference: str) -> Payment:
        """What Expire now does: the pending QR expires at once, the merchant told."""
        return self.gateway.settle(Rail(rail), reference, Outcome.EXPIRE)

    def resend(self, rail: Rail | str, reference: str) -> Payment:
        """Sends a settled payment's notification again."""
        return self.gateway.notify_again(Rail(rail), reference, "resend")

    def send_twice(self, rail: Rail | str, reference: str) -> Payment:
        """Sends a settled payment's notification twice in a row."""
        return self.gateway.notify_again(Rail(rail), reference, "duplicate")

    def send_stale(self, rail: Rail | str, reference: str) -> Payment:
        """Sends the notification of the payment's pending state after its final one."""
        return self.gateway.notify_again(Rail(rail), reference, "stale")


_ACTIONS: dict[str, Callable[[Sandbox, Rail, str], Payment]] = {
    "pay": Sandbox.pay, "reject": Sandbox.reject, "expire": Sandbox.expire,
    "resend": Sandbox.resend, "twice": Sandbox.send_twice, "stale": Sandbox.send_stale,
}


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    sandbox: Sandbox
    hosts: frozenset[str]  # the Host values it answers, lower-case

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (timed out) while its answer was on the way is normal here.
        log.debug("connection from %s ended abruptly", client_address, exc_info=True)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = SOCKET_TIMEOUT
    server: _Server
    _unlogged: GatewayCall | None = None  # the gateway call being answered

    def _any_method(self) -> None:
        self._dispatch(self.command)

    # Every method is routed, so that one a path does not take is answered 405.
    do_GET = do_HEAD = do_POST = do_DELETE = do_PUT = do_PATCH = do_OPTIONS = _any_method

    def log_message(self, format: str, *args: Any) -> None:
        log.debug("%s " + format, self.client_address[0], *args)

    def send_error(self, code: int, message: str | None = None,
                   explain: str | None = None) -> None:
        """What the standard library answers itself (a bad request line, headers too
        long) goes out as JSON with a length, like every other answer."""
        self.close_connection = True
        self.request_version = "HTTP/1.1"  # a garbled request line gets a full answer too
        self._send(code, wire.dumps({"message": message or explain or "bad request"}),
                   "application/json")

    # --- routing --------------------------------------------------------------------------

    def _dispatch(self, method: str) -> None:
        if not self._named_right():
            self._misdirected()
            return
        url = urllib.parse.urlsplit(self.path)
        body = self._read_body()
        if body is None:
            return
        path = url.path
        if method not in ("GET", "HEAD") and not self._same_origin():
            self._json(403, {"message": "changes come only from the sandbox's own pages"})
            return
        if found := routes.find(path):
            self._gateway(method, *found, body)
        elif payer := _PAYER_PATH.fullmatch(path):
            self._payer(method, payer)
        elif payment := _PAYMENT_PATH.fullmatch(path):
            self._payment(method, payment)
        elif path in _CONTROLS:
            allowed, handle = _CONTROLS[path]
            if self._allow(method, allowed):
                handle(self, method, body)
        else:
            self._json(404, {"message": f"nothing at {path}"})

    def _named_right(self) -> bool:
        """False for a request that names another host, as a page whose name was rebound
        to 127.0.0.1 does: the same-origin check alone would let it through. A client
        without a Host (HTTP/1.0, a bare socket) is no browser and may call."""
        hosts = self.headers.get_all("Host") or []
        return not hosts or (len(hosts) == 1 and hosts[0].strip().lower() in self.server.hosts)

    def _misdirected(self) -> None:
        self.close_connection = True
        length = _header_number(self.headers.get("Content-Length") or "0")
        if length is not None and not self.headers.get("Transfer-Encoding"):
            self._drain(length)
        self._send(421, _MISDIRECTED, "text/plain; charset=utf-8")

    def _same_origin(self) -> bool:
        """False for a browser's request sent by another site's page (which could pay,
        expire or plan faults behind the developer's back); clients send no Origin."""
        origin = self.headers.get("Origin")
        return origin is None or urllib.parse.urlsplit(origin).netloc == self.headers.get(
            "Host")

    def _allow(self, method: str, allowed: tuple[str, ...]) -> bool:
        """False after answering 405 to a method this path does not take."""
        if method in allowed or (method == "HEAD" and "GET" in allowed):
            return True
        self._send(405, wire.dumps({"message": f"{method} is not allowed here"}),
                   "application/json", {"Allow": ", ".join(allowed)})
        return False

    # --- the gateway ----------------------------------------------------------------------

    def _gateway(self, method: str, route: routes.Route, quoted: str | None,
                 body: bytes) -> None:
        sandbox = self.server.sandbox
        reference = wire.reference_of(body) if quoted is None else urllib.parse.unquote(quoted)
        # Logged as the answer starts (see _send), so a caller that has it finds the call.
        self._unlogged = GatewayCall(route.operation, route.rail, reference, 0, sandbox.now())
        status = self._carry_out(method, route, reference, body)
        self._log_call(status)
        if route.generates:
            sandbox._autopilot.wake()

    def _carry_out(self, method: str, route: routes.Route, reference: str | None,
                   body: bytes) -> int:
        """Answers one gateway call; returns the status answered (0: none)."""
        sandbox = self.server.sandbox
        if not self._allow(method, (route.method,)):
            return 405
        fault = sandbox.faults.take(route.operation)
        if fault is not None and fault.kind.refuses:
            return self._refuse(fault)
        refusal = sandbox.gateway.refuse_caller(self.headers)
        if refusal is not None:
            return self._json(401, refusal)
        status, answer = sandbox.gateway.call(route, reference, body)
        if fault is None:
            return self._json(status, answer)
        if fault.kind is FaultKind.SLOW:
            sandbox._stopping.wait(fault.delay)
            return self._json(status, answer)
        if fault.kind is FaultKind.DROP:
            self.close_connection = True  # the call was carried out; nobody hears of it
            return 0
        text = wire.dumps(answer)  # MALFORMED: the answer cut in the middle
        return self._send(200, text[: len(text) // 2], "application/json")

    def _refuse(self, fault: Fault) -> int:
        if fault.kind is FaultKind.SERVER_ERROR:
            return self._send(500, _SERVER_ERROR_PAGE, "text/html; charset=utf-8")
        status = 503 if fault.kind is FaultKind.UNAVAILABLE else 429
        return self._send(status, wire.dumps({"message": "try again later"}),
                          "application/json", {"Retry-After": str(fault.retry_after)})

    # --- the payer's page ---------------------------------------------------------------

    def _payer(self, method: str, match: re.Match[str]) -> None:
        sandbox = self.server.sandbox
        rail, reference, action = Rail(match[1]), urllib.parse.unquote(match[2]), match[3]
        if not self._allow(method, ("POST",) if action in ("pay", "reject") else ("GET",)):
            return
        try:
            payment = sandbox.payment(rail, reference)
        except LedgerError as error:
            self._html(404, page.not_found(str(error)))
            return
        if action in ("pay", "reject"):
            try:
                _ACTIONS[action](sandbox, rail, reference)
            except LedgerError as refusal:
                notice = f"This payment can no longer be settled: {refusal}."
                self._html(409, page.payer_page(sandbox.payment(rail, reference),
                                                sandbox.gateway.image(payment), notice))
                return
            self._redirect(f"/pay/{rail.value}/{match[2]}")
        elif action == "qr.png":
            self._send(200, qr.png(sandbox.payer_url(rail, reference)), "image/png")
        else:
            self._html(200, page.payer_page(payment, sandbox.gateway.image(payment)))

    # --- the dashboard ------------------------------------------------------------------

    def _payment(self, method: str, match: re.Match[str]) -> None:
        sandbox = self.server.sandbox
        rail, reference, action = Rail(match[1]), urllib.parse.unquote(match[2]), match[3]
        if not self._allow(method, ("GET",) if action is None else ("POST",)):
            return
        notice = ""
        try:
            if action is not None:
                _ACTIONS[action](sandbox, rail, reference)
                self._redirect(f"/payments/{rail.value}/{match[2]}")
                return
            payment = sandbox.payment(rail, reference)
        except LedgerError as refusal:
            try:
                payment = sandbox.payment(rail, reference)
            except LedgerError as unknown:
                self._html(404, page.not_found(str(unknown)))
                return
            notice = f"Not done: {refusal}."
        calls = [call for call in sandbox.calls()
                 if call.rail is rail and call.reference == reference]
        self._html(409 if notice else 200,
                   dashboard.payment_page(payment, calls, sandbox.now(), notice))

    def _index(self, method: str, body: bytes) -> None:
        sandbox = self.server.sandbox
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
        view = dashboard.View(rail=_first(query, "rail"), state=_first(query, "state"))
        self._html(200, dashboard.index(sandbox.payments(), view, sandbox.now(),
                                        sandbox.faults.pending(), _first(query, "notice")))

    def _form_faults(self, method: str, body: bytes) -> None:
        form = urllib.parse.parse_qs(body.decode("utf-8", "replace"))
        plan = self.server.sandbox.faults
        notice = ""
        try:
            if "clear" in form:
                plan.clear()
            else:
                plan.add_from_json({"operation": _first(form, "operation"),
                                    "kind": _first(form, "kind"),
                                    "times": _number(form, "times", int, 1),
                                    "retry_after": _number(form, "retry_after", int, 1),
                                    "delay": _number(form, "delay", float, 2.0)})
        except (ValueError, FaultError) as error:
            notice = str(error)
        self._redirect("/" + (f"?{urllib.parse.urlencode({'notice': notice})}" if notice else ""))

    def _form_clock(self, method: str, body: bytes) -> None:
        form = urllib.parse.parse_qs(body.decode("utf-8", "replace"))
        notice = ""
        try:
            self.server.sandbox.advance(_number(form, "advance", float, 0.0))
        except ValueError as error:
            notice = str(error)
        self._redirect("/" + (f"?{urllib.parse.urlencode({'notice': notice})}" if notice else ""))

    # --- control endpoints --------------------------------------------------------------

    def _faults(self, method: str, body: bytes) -> None:
        plan = self.server.sandbox.faults
        try:
            if method == "POST":
                plan.add_from_json(json.loads(body or b"null"))
            elif method == "DELETE":
                plan.clear()
        except (ValueError, FaultError) as error:
            self._json(400, {"message": str(error)})
            return
        self._json(200, plan.pending())

    def _clock(self, method: str, body: bytes) -> None:
        sandbox = self.server.sandbox
        if method == "POST":
            try:
                request = json.loads(body or b"null")
                if not isinstance(request, dict) or set(request) != {"advance"}:
                    raise ValueError('the request must be {"advance": seconds}')
                sandbox.advance(request["advance"])
            except ValueError as error:
                self._json(400, {"message": str(error)})
                return
        now = sandbox.now()
        self._json(200, {"now": now, "utc": wire.stamp(now),
                         "travelled": sandbox.clock.travelled})

    def _calls(self, method: str, body: bytes) -> None:
        self._send(200, wire.dumps([{"operation": c.operation, "rail": c.rail.value,
                                     "reference": c.reference, "status": c.status,
                                     "at": c.at} for c in self.server.sandbox.calls()]),
                   "application/json")

    # --- reading and answering ----------------------------------------------------------

    def _read_body(self) -> bytes | None:
        """The request body, or None after refusing one that cannot or should not be read."""
        if self.headers.get("Transfer-Encoding"):
            self.close_connection = True
            self._json(411, {"message": "send the body with a Content-Length"})
            return None
        length = _header_number(self.headers.get("Content-Length") or "0")
        if length is None:
            self.close_connection = True
            self._json(400, {"message": "bad Content-Length"})
            return None
        if length > MAX_BODY:
            self.close_connection = True
            self._drain(length)
            self._json(413, {"message": f"the body must be at most {MAX_BODY} bytes"})
            return None
        return self.rfile.read(length) if length > 0 else b""

    def _drain(self, length: int) -> None:
        """Reads and drops a body that will not be used, so that the client hears the
        answer (closing on unread bytes resets the connection); a huge one is not read."""
        if length <= _DRAINED:
            for start in range(0, length, 1 << 16):
                self.rfile.read(min(1 << 16, length - start))

    def _redirect(self, location: str) -> None:
        self._send(303, b"", "text/plain", {"Location": location})

    def _json(self, status: int, answer: object) -> int:
        return self._send(status, wire.dumps(answer), "application/json")

    def _html(self, status: int, html: str) -> None:
        self._send(status, html.encode(), "text/html; charset=utf-8")

    def _log_call(self, status: int) -> None:
        call, self._unlogged = self._unlogged, None
        if call is not None:
            self.server.sandbox.ledger.log_call(dataclasses.replace(call, status=status))
            log.info("%s %s -> %d", call.operation, call.reference or "", status)

    def _send(self, status: int, body: bytes, content_type: str,
              headers: dict[str, str] | None = None) -> int:
        self._log_call(status)
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        return status


_CONTROLS: dict[str, tuple[tuple[str, ...], Callable[[_Handler, str, bytes], None]]] = {
    "/": (("GET",), _Handler._index),
    "/dashboard/faults": (("POST",), _Handler._form_faults),
    "/dashboard/clock": (("POST",), _Handler._form_clock),
    FAULTS_PATH: (("GET", "POST", "DELETE"), _Handler._faults),
    CLOCK_PATH: (("GET", "POST"), _Handler._clock),
    CALLS_PATH: (("GET",), _Handler._calls),
}


def _host_names(names: Iterable[str]) -> tuple[str, ...]:
    """The extra host names, lower-case; a port or a URL is refused, not half-matched."""
    wanted = tuple(name.strip().lower() for name in names)
    for name in wanted:
        if not _HOST_NAME.fullmatch(name):
            raise SandboxError(f"allowed host {name!r} must be a host name or a bracketed IPv6 "
                               "address, without scheme or port")
    return wanted


def _header_number(text: str) -> int | None:
    """A header's count, or None unless it is ASCII digits: isdigit() alone takes "²",
    which int() refuses."""
    text = text.strip()
    if not (text.isascii() and text.isdigit()):
        return None
    digits = text.lstrip("0")
    return int(digits or "0") if len(digits) < 19 else _BEYOND


def _first(form: dict[str, list[str]], name: str) -> str | None:
    values = form.get(name)
    return values[0] if values and values[0] else None


def _number(form: dict[str, list[str]], name: str, kind: Callable[[str], Any],
            default: Any) -> Any:
    text = _first(form, name)
    try:
        return default if text is None else kind(text.strip())
    except ValueError:
        raise ValueError(f"{name} must be a number") from None
