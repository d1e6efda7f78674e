"""The sandbox's HTTP server and its Python handle, `Sandbox`.

The standard library's threading server is enough: one thread per connection, so a
slow answer never holds up another request, and no dependency to install.
"""

from __future__ import annotations

import http.server
import json
import logging
import re
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Any

from quorvex_bo.fx.sandbox import page, qr, wire
from quorvex_bo.fx.sandbox.delivery import Courier
from quorvex_bo.fx.sandbox.faults import Fault, FaultError, FaultKind, FaultPlan
from quorvex_bo.fx.sandbox.gateway import OPERATIONS, Gateway
from quorvex_bo.fx.sandbox.ledger import Delivery, Ledger, LedgerError, Payment, Rail

HOST = "127.0.0.1"
DEFAULT_CLIENT_ID = "sandbox-client"
DEFAULT_TOKEN = "sandbox-token"
FAULTS_PATH = "/_sandbox/faults"
_MAX_BODY = 64 * 1024

log = logging.getLogger("quorvex_bo.sandbox")

# Gateway paths, under any of the environment prefixes the core may put before them.
_GATEWAY_PATH = re.compile(r"/(?:desarrollo/|sandbox/)?(qr/[a-z]+/v2)/([a-z]+)(?:/([^/]+))?")
_ROUTES = {(rail.base_path, action): operation
           for operation, (rail, action) in OPERATIONS.items()}
_PAYER_PATH = re.compile(r"/pay/(pix|crypto|binance)/([^/]+)(?:/(qr\.png|pay|reject))?")

_SERVER_ERROR_PAGE = (b"<!doctype html><html><head><title>500 Internal Server Error</title>"
                      b"</head><body><h1>Internal Server Error</h1></body></html>")


class Sandbox:
    """A local stand-in for the gateway, on 127.0.0.1.

    Use it as a context manager (``with Sandbox() as gw: gw.base_url``) or call
    :meth:`start` and :meth:`close`. It accepts `client_id` and any of `tokens`.
    `clock` gives the time in seconds (tests may move it to expire payments).
    Notifications are tried `delivery_attempts` times, `delivery_backoff` seconds apart
    and doubling; they go only to loopback addresses unless `remote_webhooks` is true.
    """

    def __init__(self, *, port: int = 0, client_id: str = DEFAULT_CLIENT_ID,
                 tokens: Iterable[str] = (DEFAULT_TOKEN,),
                 clock: Callable[[], float] = time.time, delivery_attempts: int = 4,
                 delivery_backoff: float = 0.25, delivery_timeout: float = 5.0,
                 remote_webhooks: bool = False) -> None:
        self._port = port
        self._stopping = threading.Event()
        self.faults = FaultPlan()
        self.ledger = Ledger(clock)
        self._courier = Courier(self.ledger, self.faults, self._stopping,
                                attempts=delivery_attempts, backoff=delivery_backoff,
                                timeout=delivery_timeout, remote=remote_webhooks)
        self.gateway = Gateway(self.ledger, self._courier, clock, client_id=client_id,
                               tokens=frozenset(tokens), payer_url=self.payer_url)
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
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True,
                                        name="quorvex sandbox")
        self._thread.start()
        log.info("sandbox listening on %s", self.base_url)
        return self

    def close(self) -> None:
        """Stops serving; slow answers and delivery retries in progress are cut short."""
        self._stopping.set()
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
        self._courier.close(timeout=5.0)

    def __enter__(self) -> Sandbox:
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def payer_url(self, rail: Rail | str, reference: str) -> str:
        """The payer page of a payment: what its QR code holds."""
        return f"{self.base_url}/pay/{Rail(rail).value}/{urllib.parse.quote(reference)}"

    def inject(self, operation: str, kind: FaultKind | str, *, times: int = 1,
               retry_after: int = 1, delay: float = 2.0) -> None:
        """Makes the next `times` calls of `operation` ("pix.generate", …, or "webhook"
        for duplicate_webhook) fail as `kind` says."""
        self.faults.add(operation, Fault(FaultKind(kind), retry_after, delay), times)

    def payment(self, rail: Rail | str, reference: str) -> Payment:
        """The payment as it stands; raises `UnknownPayment` for an unknown reference."""
        return self.ledger.get(Rail(rail), reference)

    def pay(self, rail: Rail | str, reference: str) -> Payment:
        """What the payer page's Pay button does: the payment is paid, the merchant told."""
        return self.gateway.settle_by_payer(Rail(rail), reference, paid=True)

    def reject(self, rail: Rail | str, reference: str) -> Payment:
        """What the Reject button does: the payment is cancelled, the merchant told."""
        return self.gateway.settle_by_payer(Rail(rail), reference, paid=False)

    def wait_for_delivery(self, rail: Rail | str, reference: str,
                          timeout: float = 10.0) -> Payment:
        """Waits until the payment's notification was delivered or given up on."""
        return self.ledger.wait(Rail(rail), reference, lambda payment: payment.delivery in (
            Delivery.DELIVERED, Delivery.FAILED), timeout)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    sandbox: Sandbox

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (timed out) while its answer was on the way is normal here.
        log.debug("connection from %s ended abruptly", client_address, exc_info=True)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: _Server

    def do_GET(self) -> None:
        self._dispatch("GET")

    def do_POST(self) -> None:
        self._dispatch("POST")

    def do_DELETE(self) -> None:
        self._dispatch("DELETE")

    def log_message(self, format: str, *args: Any) -> None:
        log.debug("%s " + format, self.client_address[0], *args)

    def _dispatch(self, method: str) -> None:
        url = urllib.parse.urlsplit(self.path)
        body = self._read_body()
        if body is None:
            return
        if gateway := _GATEWAY_PATH.fullmatch(url.path):
            self._gateway(method, gateway, body)
        elif payer := _PAYER_PATH.fullmatch(url.path):
            self._payer(method, payer, url.query)
        elif url.path == FAULTS_PATH:
            self._faults(method, body)
        elif url.path == "/" and method == "GET":
            self._html(200, page.index(self.server.sandbox.ledger.all()))
        else:
            self._html(404, page.not_found(f"nothing at {url.path}"))

    def _gateway(self, method: str, match: re.Match[str], body: bytes) -> None:
        sandbox = self.server.sandbox
        operation = _ROUTES.get((match[1], match[2]))
        generation = operation is not None and operation.endswith(".generate")
        if operation is None or generation == (match[3] is not None):
            self._json(404, wire.failure(f"no operation at {match[0]}", "GQ-400"))
            return
        if method != ("POST" if generation else "GET"):
            self._json(405, wire.failure(f"{operation} does not take {method}", "GQ-400"))
            return
        fault = sandbox.faults.take(operation)
        if fault is not None and fault.kind.refuses:
            self._refuse(fault)
            return
        refusal = sandbox.gateway.refuse_caller(self.headers)
        if refusal is not None:
            self._json(401, refusal)
            return
        reference = None if match[3] is None else urllib.parse.unquote(match[3])
        status, answer = sandbox.gateway.call(operation, reference, body)
        log.info("%s %s -> %d", operation, reference or "", status)
        if fault is None:
            self._json(status, answer)
        elif fault.kind is FaultKind.SLOW:
            sandbox._stopping.wait(fault.delay)
            self._json(status, answer)
        elif fault.kind is FaultKind.DROP:
            self.close_connection = True  # the call was carried out; nobody hears of it
        else:  # MALFORMED: the answer cut in the middle
            text = wire.dumps(answer)
            self._send(200, text[: len(text) // 2], "application/json")

    def _refuse(self, fault: Fault) -> None:
        if fault.kind is FaultKind.SERVER_ERROR:
            self._send(500, _SERVER_ERROR_PAGE, "text/html; charset=utf-8")
            return
        status = 503 if fault.kind is FaultKind.UNAVAILABLE else 429
        self._send(status, wire.dumps({"message": "try again later"}), "application/json",
                   {"Retry-After": str(fault.retry_after)})

    def _payer(self, method: str, match: re.Match[str], query: str) -> None:
        sandbox = self.server.sandbox
        rail, reference, action = Rail(match[1]), urllib.parse.unquote(match[2]), match[3]
        try:
            payment = sandbox.payment(rail, reference)
        except LedgerError as error:
            self._html(404, page.not_found(str(error)))
            return
        if action in ("pay", "reject") and method == "POST":
            try:
                sandbox.gateway.settle_by_payer(rail, reference, paid=action == "pay")
            except LedgerError as refusal:
                notice = f"This payment can no longer be settled: {refusal}."
                self._html(409, page.payer_page(sandbox.payment(rail, reference),
                                                sandbox.gateway.image(payment), notice))
                return
            self._send(303, b"", "text/plain", {"Location": f"/pay/{rail.value}/{match[2]}"})
        elif action == "qr.png" and method == "GET":
            self._send(200, qr.png(sandbox.payer_url(rail, reference)), "image/png")
        elif action is None and method == "GET":
            if urllib.parse.parse_qs(query).get("part") == ["live"]:
                self._html(200, page.live_part(payment))
            else:
                self._html(200, page.payer_page(payment, sandbox.gateway.image(payment)))
        else:
            self._html(405, page.not_found(f"{method} is not allowed here"))

    def _faults(self, method: str, body: bytes) -> None:
        plan = self.server.sandbox.faults
        try:
            if method == "POST":
                plan.add_from_json(json.loads(body or b"null"))
            elif method == "DELETE":
                plan.clear()
        except (ValueError, FaultError) as error:
            self._send(400, wire.dumps({"message": str(error)}), "application/json")
            return
        self._send(200, wire.dumps(plan.pending()), "application/json")

    def _read_body(self) -> bytes | None:
        """The request body, or None after refusing one that cannot or should not be read."""
        length_text = self.headers.get("Content-Length") or "0"
        length = int(length_text) if length_text.isdigit() else -1
        if not 0 <= length <= _MAX_BODY:
            self.close_connection = True
            self._send(413 if length > 0 else 400, b"bad or too large request body",
                       "text/plain")
            return None
        return self.rfile.read(length) if length > 0 else b""

    def _json(self, status: int, answer: dict[str, Any]) -> None:
        self._send(status, wire.dumps(answer), "application/json")

    def _html(self, status: int, html: str) -> None:
        self._send(status, html.encode(), "text/html; charset=utf-8")

    def _send(self, status: int, body: bytes, content_type: str,
              headers: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)
