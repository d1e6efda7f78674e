"""The sandbox's HTTP server and its Python handle, `Sandbox`.

The standard library's threading server is enough: one thread per connection, so a
slow answer never holds up another request, and no dependency to install. Sockets
time out, so an idle or stalled connection never keeps a thread for long.
"""

from __future__ import annotations

import dataclasses
import functools
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

from quorvex_bo.fx import web
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
_MISDIRECTED = (b"Misdirected request: this sandbox answers only to the names it was started "
                b"with (127.0.0.1, localhost, [::1] and those given with --allowed-host).\n")

log = logging.getLogger("quorvex_bo.sandbox")

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
        self._server.site = _Site(self)
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
    site: _Site
    hosts: frozenset[str]  # the Host values it answers, lower-case

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (timed out) while its answer was on the way is normal here.
        log.debug("connection from %s ended abruptly", client_address, exc_info=True)


class _Handler(web.RequestHandler):
    """HTTP for the site: the Host is checked before anything is read; the layer reads
    the body within its limit and answers in one write."""

    timeout = SOCKET_TIMEOUT
    max_body = MAX_BODY
    drain_limit = _DRAINED
    server: _Server

    def dispatch(self, request: web.Request) -> web.Response:
        return self.server.site(request)

    def screen(self) -> web.Response | None:
        """A request that names another host, as a page whose name was rebound to
        127.0.0.1 does, is refused: the same-origin check alone would let it through. A
        client without a Host (HTTP/1.0, a bare socket) is no browser and may call."""
        hosts = self.headers.get_all("Host") or []
        if not hosts or (len(hosts) == 1 and hosts[0].strip().lower() in self.server.hosts):
            return None
        return web.Response.of(421, _MISDIRECTED, "text/plain; charset=utf-8")

    def error(self, status: int, message: str) -> web.Response:
        return _error(status, message)

    def log_message(self, format: str, *args: Any) -> None:
        log.debug("%s " + format, self.client_address[0], *args)


def _error(status: int, message: str) -> web.Response:
    return web.Response.json(wire.dumps({"message": message}), status=status)


def _json(status: int, answer: object) -> web.Response:
    return web.Response.json(wire.dumps(answer), status=status)


def _home(notice: str) -> web.Response:
    return web.Response.redirect(
        "/" + (f"?{urllib.parse.urlencode({'notice': notice})}" if notice else ""))


_RAIL = "{rail:pix|crypto|binance}"


class _Site:
    """The sandbox's routes: the gateway's operations under every environment's prefix,
    the payer's pages, the dashboard and the control endpoints."""

    def __init__(self, sandbox: Sandbox) -> None:
        self.sandbox = sandbox
        self.routes = web.Routes(error=_error)
        add = self.routes.add
        for route in routes.ROUTES:
            for prefix in routes.ENVIRONMENT_PREFIXES:
                add(route.method, f"{prefix}/{route.path}" + (
                    "" if route.generates else "/{reference}"),
                    functools.partial(self._gateway, route))
        add("GET", f"/pay/{_RAIL}/{{reference}}", self._payer)
        add("GET", f"/pay/{_RAIL}/{{reference}}/qr.png", self._qr)
        add("POST", f"/pay/{_RAIL}/{{reference}}/{{action:pay|reject}}", self._payer)
        add("GET", f"/payments/{_RAIL}/{{reference}}", self._payment)
        add("POST", f"/payments/{_RAIL}/{{reference}}/{{action:{'|'.join(_ACTIONS)}}}",
            self._payment)
        add("GET", "/", self._index)
        add("POST", "/dashboard/faults", self._form_faults)
        add("POST", "/dashboard/clock", self._form_clock)
        add(("GET", "POST", "DELETE"), FAULTS_PATH, self._faults)
        add(("GET", "POST"), CLOCK_PATH, self._clock)
        add("GET", CALLS_PATH, self._calls)

    def __call__(self, request: web.Request) -> web.Response:
        if request.method not in ("GET", "HEAD") and not _same_origin(request):
            return _error(403, "changes come only from the sandbox's own pages")
        found = self.routes.match(request.method, request.path)
        gateway = routes.find(request.path) if found.status == 405 else None
        if gateway is not None:  # a refused call is a call the gateway saw all the same
            route, quoted = gateway
            reference = None if quoted is None else urllib.parse.unquote(quoted)
            self._log_call(GatewayCall(route.operation, route.rail, reference, 0,
                                       self.sandbox.now()), 405)
        answer = self.routes.answer(request, found)
        assert isinstance(answer, web.Response)  # every handler here is a blocking one
        return answer

    # --- the gateway ----------------------------------------------------------------------

    def _gateway(self, route: routes.Route, request: web.Request) -> web.Response:
        sandbox = self.sandbox
        reference = wire.reference_of(request.body) if route.generates else \
            request.params["reference"]
        call = GatewayCall(route.operation, route.rail, reference, 0, sandbox.now())
        answer = self._carry_out(route, request, reference)
        # Logged as the answer starts, so a caller that has it finds the call.
        self._log_call(call, answer.status)
        if route.generates:
            sandbox._autopilot.wake()
        return answer

    def _carry_out(self, route: routes.Route, request: web.Request,
                   reference: str | None) -> web.Response:
        sandbox = self.sandbox
        fault = sandbox.faults.take(route.operation)
        if fault is not None and fault.kind.refuses:
            return _refuse(fault)
        refusal = sandbox.gateway.refuse_caller(request.headers)
        if refusal is not None:
            return _json(401, refusal)
        status, answer = sandbox.gateway.call(route, reference, request.body)
        if fault is None:
            return _json(status, answer)
        if fault.kind is FaultKind.SLOW:
            sandbox._stopping.wait(fault.delay)
            return _json(status, answer)
        if fault.kind is FaultKind.DROP:
            return web.Response.hang_up()  # the call was carried out; nobody hears of it
        text = wire.dumps(answer)  # MALFORMED: the answer cut in the middle
        return web.Response.json(text[: len(text) // 2])

    def _log_call(self, call: GatewayCall, status: int) -> None:
        self.sandbox.ledger.log_call(dataclasses.replace(call, status=status))
        log.info("%s %s -> %d", call.operation, call.reference or "", status)

    # --- the payer's page ---------------------------------------------------------------

    def _payer(self, request: web.Request) -> web.Response:
        sandbox, rail, reference = self.sandbox, Rail(request.params["rail"]), \
            request.params["reference"]
        try:
            payment = sandbox.payment(rail, reference)
        except LedgerError as error:
            return web.Response.html(page.not_found(str(error)), status=404)
        action = request.params.get("action")
        if action is None:
            return web.Response.html(page.payer_page(payment, sandbox.gateway.image(payment)))
        try:
            _ACTIONS[action](sandbox, rail, reference)
        except LedgerError as refusal:
            notice = f"This payment can no longer be settled: {refusal}."
            return web.Response.html(page.payer_page(sandbox.payment(rail, reference),
                                                     sandbox.gateway.image(payment), notice),
                                     status=409)
        return web.Response.redirect(f"/pay/{rail.value}/{urllib.parse.quote(reference)}")

    def _qr(self, request: web.Request) -> web.Response:
        rail, reference = Rail(request.params["rail"]), request.params["reference"]
        try:
            self.sandbox.payment(rail, reference)
        except LedgerError as error:
            return web.Response.html(page.not_found(str(error)), status=404)
        return web.Response.of(200, qr.png(self.sandbox.payer_url(rail, reference)),
                               "image/png")

    # --- the dashboard ------------------------------------------------------------------

    def _payment(self, request: web.Request) -> web.Response:
        sandbox, rail, reference = self.sandbox, Rail(request.params["rail"]), \
            request.params["reference"]
        action = request.params.get("action")
        notice = ""
        try:
            if action is not None:
                _ACTIONS[action](sandbox, rail, reference)
                return web.Response.redirect(
                    f"/payments/{rail.value}/{urllib.parse.quote(reference)}")
            payment = sandbox.payment(rail, reference)
        except LedgerError as refusal:
            try:
                payment = sandbox.payment(rail, reference)
            except LedgerError as unknown:
                return web.Response.html(page.not_found(str(unknown)), status=404)
            notice = f"Not done: {refusal}."
        calls = [call for call in sandbox.calls()
                 if call.rail is rail and call.reference == reference]
        return web.Response.html(dashboard.payment_page(payment, calls, sandbox.now(), notice),
                                 status=409 if notice else 200)

    def _index(self, request: web.Request) -> web.Response:
        sandbox, query = self.sandbox, request.query
        view = dashboard.View(rail=web.first(query, "rail"), state=web.first(query, "state"))
        return web.Response.html(dashboard.index(sandbox.payments(), view, sandbox.now(),
                                                 sandbox.faults.pending(),
                                                 web.first(query, "notice")))

    def _form_faults(self, request: web.Request) -> web.Response:
        form, plan = request.form(), self.sandbox.faults
        try:
            if "clear" in form:
                plan.clear()
            else:
                plan.add_from_json({"operation": web.first(form, "operation"),
                                    "kind": web.first(form, "kind"),
                                    "times": _number(form, "times", int, 1),
                                    "retry_after": _number(form, "retry_after", int, 1),
                                    "delay": _number(form, "delay", float, 2.0)})
        except (ValueError, FaultError) as error:
            return _home(str(error))
        return _home("")

    def _form_clock(self, request: web.Request) -> web.Response:
        try:
            self.sandbox.advance(_number(request.form(), "advance", float, 0.0))
        except ValueError as error:
            return _home(str(error))
        return _home("")

    # --- control endpoints --------------------------------------------------------------

    def _faults(self, request: web.Request) -> web.Response:
        plan = self.sandbox.faults
        try:
            if request.method == "POST":
                plan.add_from_json(json.loads(request.body or b"null"))
            elif request.method == "DELETE":
                plan.clear()
        except (ValueError, FaultError) as error:
            return _error(400, str(error))
        return _json(200, plan.pending())

    def _clock(self, request: web.Request) -> web.Response:
        sandbox = self.sandbox
        if request.method == "POST":
            try:
                wanted = json.loads(request.body or b"null")
                if not isinstance(wanted, dict) or set(wanted) != {"advance"}:
                    raise ValueError('the request must be {"advance": seconds}')
                sandbox.advance(wanted["advance"])
            except ValueError as error:
                return _error(400, str(error))
        now = sandbox.now()
        return _json(200, {"now": now, "utc": wire.stamp(now),
                           "travelled": sandbox.clock.travelled})

    def _calls(self, request: web.Request) -> web.Response:
        return _json(200, [{"operation": c.operation, "rail": c.rail.value,
                            "reference": c.reference, "status": c.status, "at": c.at}
                           for c in self.sandbox.calls()])


def _same_origin(request: web.Request) -> bool:
    """False for a browser's request sent by another site's page (which could pay,
    expire or plan faults behind the developer's back); clients send no Origin."""
    origin = request.header("origin")
    return origin is None or urllib.parse.urlsplit(origin).netloc == request.header("host")


def _refuse(fault: Fault) -> web.Response:
    if fault.kind is FaultKind.SERVER_ERROR:
        return web.Response.of(500, _SERVER_ERROR_PAGE, "text/html; charset=utf-8")
    status = 503 if fault.kind is FaultKind.UNAVAILABLE else 429
    return web.Response.json(wire.dumps({"message": "try again later"}), status=status,
                             headers=(("Retry-After", str(fault.retry_after)),))


def _host_names(names: Iterable[str]) -> tuple[str, ...]:
    """The extra host names, lower-case; a port or a URL is refused, not half-matched."""
    wanted = tuple(name.strip().lower() for name in names)
    for name in wanted:
        if not _HOST_NAME.fullmatch(name):
            raise SandboxError(f"allowed host {name!r} must be a host name or a bracketed IPv6 "
                               "address, without scheme or port")
    return wanted


def _number(form: dict[str, list[str]], name: str, kind: Callable[[str], Any],
            default: Any) -> Any:
    text = web.first(form, name)
    try:
        return default if text is None else kind(text.strip())
    except ValueError:
        raise ValueError(f"{name} must be a number") from None
