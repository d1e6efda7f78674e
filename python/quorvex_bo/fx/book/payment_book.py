"""The payment book: every order learns exactly once whether it was paid.

Each step records what it is about to do before doing it, and learns an outcome it
did not see rather than repeating the step: a generation is never sent twice for a
reference; an answer that was lost leaves the payment "unconfirmed" until a verify
tells. Every change of state goes through :func:`~quorvex_bo.fx.book.states.next_state`
under the payment's row lock, together with its history line and its event.
"""

from __future__ import annotations

import datetime
import logging
import threading
import time
import unicodedata
from collections.abc import Callable
from decimal import Decimal
from typing import Any

from quorvex_bo.fx.book import hook_secret
from quorvex_bo.fx.book.backends import open_database
from quorvex_bo.fx.book.database import safe_url
from quorvex_bo.fx.book.errors import StorageError
from quorvex_bo.fx.book.records import (CheckFailure, Deliveries, Event, Payment, Reconciled,
                                        Transition, WebhookReply)
from quorvex_bo.fx.book.schema import migrate
from quorvex_bo.fx.book.states import LIVE, Cause, PaymentState, from_status
from quorvex_bo.fx.book.store import Intent, Learned, Store, Stored
from quorvex_bo.fx.book.web import MAX_NOTIFICATION_BYTES, asgi_app, wsgi_app
from quorvex_bo.fx.client import Client
from quorvex_bo.fx.errors import (ApiError, AuthenticationError, DecodeError,
                                  NetworkError, QuorvexError, ValidationError,
                                  WebhookAuthenticationError)
from quorvex_bo.fx.models import BinanceNotification, FxNotification, FxQr, PaymentStatus, \
    WebhookTarget
from quorvex_bo.fx.webhooks import Headers, binance_ack, parse_binance, parse_fx

__all__ = ["MAX_ORDER_ID", "PaymentBook"]

log = logging.getLogger("quorvex_bo.book")
log.addHandler(logging.NullHandler())

# A failed event is tried again after these waits, doubling.
_FIRST_RETRY = 5.0
_LONGEST_RETRY = 3600.0
#: The longest order id, in characters.
MAX_ORDER_ID = 200
RAILS = ("pix", "crypto", "binance")
# A QR's life when the request gave none (the crypto rail always gives one).
_DEFAULT_LIFETIME = {"pix": 3600, "binance": 300, "crypto": 600}
# Still open at the gateway: past the expiry, the book closes them.
_OPEN = {PaymentStatus.PENDING, PaymentStatus.PROCESSING}


def _refused(error: QuorvexError) -> bool:
    """Whether a failed generation surely created nothing at the gateway: the request
    never left (``NetworkError``), or the gateway refused it outright (4xx). A 5xx may
    come from a gateway that went through with it."""
    if isinstance(error, (AuthenticationError, NetworkError)):
        return True
    status = error.status
    return isinstance(error, ApiError) and status is not None and 400 <= status < 500 \
        and status != 408


def _check_order_id(order_id: object) -> str:
    """An order id the book can store and show: a line of at most :data:`MAX_ORDER_ID`
    characters, none of them a control character (a CR, LF or ESC in an id would
    forge log lines and terminal output; a NUL is refused by PostgreSQL)."""
    if not isinstance(order_id, str):
        raise TypeError(f"order_id must be str, not {type(order_id).__name__}")
    if not order_id.strip():
        raise ValidationError("must not be empty", field="order_id")
    if len(order_id) > MAX_ORDER_ID:
        raise ValidationError(f"must be at most {MAX_ORDER_ID} characters", field="order_id")
    if any(unicodedata.category(c) in ("Cc", "Zl", "Zp") for c in order_id):
        raise ValidationError("must not contain control characters", field="order_id")
    return order_id


def _mismatch(payment: Payment, note: FxNotification | BinanceNotification) -> str | None:
    """How a notification's amount or currency differs from the payment's, if it does."""
    differences = []
    if note.amount is not None and note.amount != payment.amount:
        differences.append(f"amount {note.amount} instead of {payment.amount}")
    if note.currency and note.currency.strip().upper() != payment.currency:
        differences.append(f"currency {note.currency.strip()[:8]!r} instead of "
                           f"{payment.currency}")
    return "; ".join(differences) or None


def _failed(payment: Payment, error: QuorvexError) -> QuorvexError:
    log.warning("order %r: payment %s not checked: %s: %s", payment.order_id,
                payment.reference, error.kind, error.message)
    return error


def _unknown_reference(error: QuorvexError) -> bool:
    return isinstance(error, ApiError) and (
        error.status == 404 or any(item.code == "GQ-404" for item in error.errors))


def _moment(text: str | None) -> float | None:
    """The gateway's expiry text as Unix seconds (None when it cannot be read)."""
    if not text:
        return None
    try:
        when = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    except ValueError:
        return None
    if when.tzinfo is None:
        when = when.replace(tzinfo=datetime.timezone.utc)
    return when.timestamp()


def _header_pairs(headers: Headers) -> list[tuple[str, str]]:
    pairs: Any = headers.items() if hasattr(headers, "items") else headers
    return [(name.decode("latin-1") if isinstance(name, bytes) else str(name),
             value.decode("latin-1") if isinstance(value, bytes) else str(value))
            for name, value in pairs]


class PaymentBook:
    """Durable payment state for orders, on SQLite or PostgreSQL.

    Args:
        url: ``sqlite:///path`` (WAL mode; many processes on one host) or
            ``postgresql://…`` (many hosts; needs the ``postgres`` extra).
        client: the :class:`Client` that talks to the gateway.
        webhook_url: the public base URL of the book's webhook endpoint; each payment
            is notified at ``<webhook_url>/<reference>``.
        clock: the time in Unix seconds (default ``time.time``).
        timeout: seconds to wait for a locked or unreachable database.
        grace: seconds after which a reference the gateway still does not know is failed.
        first_check: seconds before the first check of a pending payment; the wait
            doubles with each check, up to ``longest_wait``, and never passes the expiry.
        lease: seconds a reconcile worker holds the payments it took.
        max_attempts: failed deliveries after which an event is set aside as dead.
        creating_wait: how long ``create`` waits for the QR of a payment another
            process is creating for the same order (a double click) before it returns
            the payment without one; ``get`` fetches it later.
    """

    def __init__(self, url: str, client: Client, *, webhook_url: str,
                 clock: Callable[[], float] | None = None, timeout: float = 5.0,
                 grace: float = 120.0, first_check: float = 10.0, longest_wait: float = 300.0,
                 lease: float = 300.0, creating_wait: float = 3.0,
                 max_attempts: int = 10) -> None:
        if not isinstance(client, Client):
            raise TypeError(f"client must be a Client, not {type(client).__name__}")
        if not isinstance(webhook_url, str):
            raise TypeError(f"webhook_url must be str, not {type(webhook_url).__name__}")
        if not webhook_url.startswith(("https://", "http://")):
            raise ValidationError("must be an http(s) URL", field="webhook_url")
        self._url = url
        self._client = client
        self._webhook_url = webhook_url.rstrip("/")
        self._clock = clock or time.time
        self._grace, self._first, self._longest, self._lease = grace, first_check, longest_wait, lease
        self._creating_wait = creating_wait
        self._max_attempts = max(1, max_attempts)
        self._stale = max(timeout, 60.0)  # a "creating" older than this lost its process
        self._db = open_database(url, timeout=timeout)
        self._store = Store(self._db)
        migrate(self._db)

    def __repr__(self) -> str:
        return f"PaymentBook({safe_url(self._url)!r}, webhook_url={self._webhook_url!r})"

    def __enter__(self) -> PaymentBook:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes the database connections (not the client)."""
        self._db.close()

    # --- payments -----------------------------------------------------------------

    def create(self, order_id: str, *, rail: str, amount: Decimal | int | str | float,
               glosa: str, currency: str = "BOB", expires_in: int | None = None,
               **rail_arguments: Any) -> Payment:
        """The order's payment: its live (or paid) payment if it has one, else a new one.

        The intent (state "creating", a fresh reference and webhook secret) is committed
        before the QR is generated. A lost answer leaves the payment "unconfirmed"
        (:meth:`verify` or :meth:`reconcile` settle it), never a second generation.

        Raises:
            ValidationError, TypeError: a bad argument; nothing sent, nothing recorded.
            ApiError, AuthenticationError, NetworkError: the gateway refused the QR or
                was not reached; the payment is recorded "failed" and the order may be
                tried again.
            StorageError: the database is unavailable.
        """
        _check_order_id(order_id)
        if rail not in RAILS:
            raise ValidationError(f"must be one of {', '.join(RAILS)}", field="rail")
        for name in ("reference", "webhook"):
            if name in rail_arguments:
                raise TypeError(f"{name} is chosen by the book, not given")
        arguments = dict(rail_arguments, amount=amount, glosa=glosa, currency=currency)
        if expires_in is not None:
            arguments["expires_in"] = expires_in
        self._check_input(rail, arguments)
        exact = Decimal(repr(amount) if isinstance(amount, float) else str(amount))
        now = self._clock()
        lifetime = expires_in if isinstance(expires_in, int) else _DEFAULT_LIFETIME[rail]

        def intent() -> Intent:
            reference, secret = hook_secret.new_reference(), hook_secret.new_secret()
            return Intent(reference, rail, exact, currency, secret,
                          hook_secret.digest(reference, secret), now + lifetime,
                          now + self._stale)

        stored, made = self._store.open(order_id, intent, now)
        if made is None:
            return self._generated(stored)
        log.info("order %r: payment %s created", order_id, made.reference)
        target = WebhookTarget(f"{self._webhook_url}/{made.reference}", hook_secret.HEADER,
                               made.secret)
        try:
            qr: FxQr = getattr(self._client, rail).generate(
                reference=made.reference, webhook=target, **arguments)
        except (ValidationError, TypeError):
            self._store.discard(stored)  # refused before sending (an expired token)
            raise
        except QuorvexError as error:
            refused = _refused(error)
            state = PaymentState.FAILED if refused else PaymentState.UNCONFIRMED
            payment, _ = self._store.learn(made.reference, Learned(
                state, Cause.CREATE, f"generation: {error.kind}"), self._clock(), self._schedule)
            if refused:
                raise
            return payment
        payment, _ = self._store.learn(made.reference, Learned(
            PaymentState.PENDING, Cause.CREATE, "QR generated", qr=qr,
            expires_at=_moment(qr.expires_at)), self._clock(), self._schedule)
        return payment

    def _generated(self, stored: Stored) -> Payment:
        """The order's payment, once another process that is creating it has its QR
        (a double click), waiting at most ``creating_wait`` seconds."""
        deadline = time.monotonic() + self._creating_wait
        while stored.payment.state is PaymentState.CREATING and time.monotonic() < deadline:
            time.sleep(0.05)
            stored = self._store.latest(stored.payment.order_id) or stored
        return stored.payment

    def _check_input(self, rail: str, arguments: dict[str, Any]) -> None:
        """Runs the client's own checks of the input; nothing is sent."""
        probe = WebhookTarget(f"{self._webhook_url}/1000000000", hook_secret.HEADER, "probe")
        self._client.check(f"{rail}.generate", reference="1000000000", webhook=probe,
                           **arguments)

    def get(self, order_id: str) -> Payment | None:
        """The order's latest payment, or ``None``."""
        latest = self._store.latest(_check_order_id(order_id))
        return None if latest is None else latest.payment

    def payments(self, order_id: str) -> list[Payment]:
        """Every payment of the order, first attempt first."""
        return self._store.payments(_check_order_id(order_id))

    def history(self, order_id: str) -> list[Transition]:
        """Every transition of the order's payments, in order."""
        return self._store.history(_check_order_id(order_id))

    def verify(self, order_id: str) -> Payment | None:
        """Asks the gateway about the order's latest payment now, if it is still open.

        Raises:
            QuorvexError: the client's error when the check failed (the token refused,
                the gateway not reached or failing): the payment is never returned as
                fresh when it is not.
        """
        stored = self._store.latest(_check_order_id(order_id))
        if stored is None or stored.payment.state not in LIVE:
            return None if stored is None else stored.payment
        learned, error = self._check(stored, Cause.VERIFY)
        if error is not None:
            raise error
        payment, _ = self._store.learn(stored.payment.reference, learned, self._clock(),
                                       self._schedule)
        return payment

    # --- webhooks -----------------------------------------------------------------

    def handle_webhook(self, path: str, headers: Headers, body: bytes) -> WebhookReply:
        """Answers one notification posted to ``<webhook_url>/<reference>``.

        200 once it is stored and applied (a duplicate or stale one changes nothing),
        401 for a wrong or missing secret (stored as rejected) and, alike, for a path
        that names no payment (nothing stored: a guess learns nothing of which
        references exist), 413 for a body over :data:`MAX_NOTIFICATION_BYTES`, 503
        while the database is unavailable (the gateway tries again).
        """
        if len(body) > MAX_NOTIFICATION_BYTES:
            return _reply(413, b"notification too large")
        reference = path.rstrip("/").rsplit("/", 1)[-1]
        if not (reference.isascii() and reference.isdigit()):
            return _reply(401, b"not authenticated")
        try:
            stored = self._store.by_reference(reference)
            if stored is None:
                return _reply(401, b"not authenticated")
            return self._notified(stored, headers, body)
        except StorageError as error:
            log.warning("notification for %s not taken: %s", reference, error)
            return _reply(503, b"try again later", (("Retry-After", "5"),))

    def _notified(self, stored: Stored, headers: Headers, body: bytes) -> WebhookReply:
        reference = stored.payment.reference
        # The header's digest against the stored digest, compared by the core.
        pairs = [(name, hook_secret.digest(reference, value)
                  if name.lower() == hook_secret.HEADER.lower() else value)
                 for name, value in _header_pairs(headers)]
        try:
            note = self._parse(stored, pairs, body)
        except WebhookAuthenticationError:
            self._store.refuse(stored.id, body, "rejected", self._clock())
            log.warning("forged notification for %s rejected", reference)
            return _reply(401, b"not authenticated")
        except DecodeError:
            self._store.refuse(stored.id, body, "malformed", self._clock())
            return _reply(400, b"unreadable notification")
        if note.reference != reference:
            self._store.refuse(stored.id, body, "malformed", self._clock())
            return _reply(400, b"the notification names another payment")
        notification = self._store.receive(stored.id, body.decode("utf-8", "replace"),
                                           self._clock())
        self._apply(stored, note, notification)
        if isinstance(note, BinanceNotification):
            return _reply(200, binance_ack(note).encode(), (("Content-Type", "application/json"),))
        return _reply(200, b'{"received":true}', (("Content-Type", "application/json"),))

    def _parse(self, stored: Stored, headers: list[tuple[str, str]], body: bytes | str
               ) -> FxNotification | BinanceNotification:
        if stored.payment.rail == "binance":
            return parse_binance(headers, body, key=hook_secret.HEADER, value=stored.secret_digest)
        return parse_fx(headers, body, key=hook_secret.HEADER, value=stored.secret_digest)

    def _apply(self, stored: Stored, note: FxNotification | BinanceNotification,
               notification: int) -> tuple[Payment, bool]:
        reference = stored.payment.reference
        mismatch = _mismatch(stored.payment, note)
        detail = f"notification: {note.raw_status}" + (f" ({mismatch})" if mismatch else "")
        payment, changed = self._store.learn(reference, Learned(
            from_status(note.status), Cause.WEBHOOK, detail, mismatch=mismatch),
            self._clock(), notification=notification)
        if changed:
            log.info("order %r: payment %s %s (webhook)", payment.order_id, reference,
                     payment.state)
        if mismatch:
            log.warning("order %r: notification for payment %s reports %s", payment.order_id,
                        reference, mismatch)
        return payment, changed

    # --- reconcile ----------------------------------------------------------------

    def reconcile(self, *, limit: int | None = None) -> Reconciled:
        """Checks the payments that are due; returns those whose state changed, with
        how many were checked and which checks failed (each also logged as a WARNING).

        Open payments are verified on a backoff schedule bounded by their expiry; past
        it they are expired (a Pix QR is cancelled first). A reference still unknown to
        the gateway ``grace`` seconds after its intent is failed. Notifications stored
        but never applied (their process died) are applied. Workers share the work:
        each payment is checked by one of them at a time.
        """
        changed = Reconciled()
        now = self._clock()
        for notification, reference, body in self._store.unapplied(now - self._stale, 1000):
            stored = self._store.by_reference(reference)
            assert stored is not None
            digest = [(hook_secret.HEADER, stored.secret_digest)]
            payment, moved = self._apply(stored, self._parse(stored, digest, body),
                                         notification)
            if moved:
                changed.append(payment)
        done = 0
        while limit is None or done < limit:
            batch = self._store.claim_due(now, self._lease,
                                          100 if limit is None else min(100, limit - done))
            if not batch:
                break
            for stored in batch:
                done += 1
                learned, error = self._check(stored, Cause.RECONCILE)
                if error is not None:
                    changed.failures.append(CheckFailure(
                        stored.payment.order_id, stored.payment.reference, error.kind,
                        error.message))
                payment, moved = self._store.learn(stored.payment.reference, learned,
                                                   self._clock(), self._schedule)
                if moved:
                    log.info("order %r: payment %s %s (reconcile)", payment.order_id,
                             payment.reference, payment.state)
                    changed.append(payment)
        changed.checked = done
        return changed

    def _check(self, stored: Stored, cause: Cause) -> tuple[Learned, QuorvexError | None]:
        """What the gateway says of an open payment, what the book concludes, and the
        client's error when the check failed (logged as a WARNING here)."""
        payment = stored.payment
        rail = getattr(self._client, payment.rail)
        now = self._clock()
        try:
            info = rail.verify(payment.reference)
        except QuorvexError as error:
            if payment.state in (PaymentState.CREATING, PaymentState.UNCONFIRMED) \
                    and _unknown_reference(error):
                if now - payment.created_at >= self._grace:
                    return Learned(PaymentState.FAILED, cause, "the gateway never took it"), None
                return Learned(None, cause, "not known to the gateway yet"), None
            return Learned(None, cause, f"verify failed: {error.kind}"), _failed(payment, error)
        expired = payment.expires_at is not None and now >= payment.expires_at
        if not expired or info.status not in _OPEN:
            return Learned(from_status(info.status), cause, f"verify: {info.raw_status}"), None
        if payment.rail == "pix":
            try:
                rail.cancel(payment.reference)
            except QuorvexError as error:  # paid at the last moment? the next check tells
                return Learned(None, cause, f"cancel failed: {error.kind}"), \
                    _failed(payment, error)
        return Learned(PaymentState.EXPIRED, cause, "expired"), None

    def _schedule(self, stored: Stored, state: PaymentState) -> float:
        """When to check a live payment next: doubling waits, never past its expiry."""
        now = self._clock()
        wait = min(self._first * 2.0 ** min(stored.checks, 30), self._longest)
        if state in (PaymentState.CREATING, PaymentState.UNCONFIRMED):
            verdict = stored.payment.created_at + self._grace
            return now + wait if now >= verdict else min(now + wait, verdict)
        expiry = stored.payment.expires_at
        return now + wait if expiry is None or now >= expiry else min(now + wait, expiry)

    # --- events -------------------------------------------------------------------

    def process_events(self, handler: Callable[[Event], object], *,
                       limit: int | None = None) -> Deliveries:
        """Calls ``handler`` with each event due for delivery, oldest first.

        An event is marked delivered only after ``handler`` returns: delivery is at
        least once, and a redelivered event carries the same ``id`` (make the handler
        idempotent on it). An exception from ``handler`` is recorded on its event (the
        attempt, the error's type and message) and the run goes on with the others;
        the event is tried again after a doubling wait, and set aside as dead after
        ``max_attempts`` (:meth:`dead_events`, :meth:`retry_event`). A later event of
        the same payment waits behind a failing one. Workers running this at once
        share the events: each is handed to one of them at a time.
        """
        delivered = failed = dead = 0
        while limit is None or delivered + failed + dead < limit:
            room = 100 if limit is None else min(100, limit - delivered - failed - dead)
            batch = self._store.claim_events(self._clock(), self._lease, room)
            if not batch:
                break
            for event in batch:
                try:
                    handler(event)
                except Exception as error:  # the handler's fault: this event waits, not all
                    retry = self._event_retry(event)
                    failed, dead = failed + (retry is not None), dead + (retry is None)
                    self._store.failed(event, f"{type(error).__name__}: {error}"[:500], retry,
                                       self._clock())
                    log.warning("event %d of order %r %s: the handler raised %s",
                                event.id, event.order_id,
                                "set aside as dead" if retry is None else "failed",
                                type(error).__name__)
                    continue
                self._store.delivered(event.id, self._clock())
                delivered += 1
        return Deliveries(delivered, failed, dead)

    def _event_retry(self, event: Event) -> float | None:
        """When to try a failed event again: doubling waits; ``None`` once it had its
        ``max_attempts``."""
        if event.attempts + 1 >= self._max_attempts:
            return None
        return self._clock() + min(_FIRST_RETRY * 2.0 ** event.attempts, _LONGEST_RETRY)

    def dead_events(self) -> list[Event]:
        """The events set aside after ``max_attempts`` failed deliveries, with their
        attempts and last error."""
        return self._store.events(dead=True)

    def pending_events(self) -> list[Event]:
        """The events not delivered yet (failing ones with their attempts and last error)."""
        return self._store.events(dead=False)

    def retry_event(self, event_id: int) -> bool:
        """Puts a dead event back in line, with a fresh count of attempts; ``False`` when
        no dead event has that id."""
        return self._store.revive(event_id)

    def run_worker(self, handler: Callable[[Event], object], *, every: float = 30.0,
                   stop: threading.Event | None = None) -> None:
        """Reconciles and hands the events to ``handler`` every ``every`` seconds until
        ``stop`` is set. A failed round (the database locked past its timeout, the
        gateway away, an exception from ``handler``) is logged, and the next goes on."""
        stop = stop or threading.Event()
        while True:
            for name, step in (("reconcile", self.reconcile),
                               ("events", lambda: self.process_events(handler))):
                try:
                    step()
                except QuorvexError as error:
                    log.warning("worker: %s failed: %s: %s", name, error.kind, error)
                except Exception:  # a fault of the book's own: logged whole, never fatal
                    log.exception("worker: %s failed", name)
            if stop.wait(every):
                return

    # --- web ----------------------------------------------------------------------

    def wsgi_app(self) -> Any:
        """The webhook endpoint as a WSGI application (mount it at ``webhook_url``)."""
        return wsgi_app(self)

    def asgi_app(self) -> Any:
        """The webhook endpoint as an ASGI application (mount it at ``webhook_url``)."""
        return asgi_app(self)


def _reply(status: int, body: bytes,
           headers: tuple[tuple[str, str], ...] = (("Content-Type", "text/plain"),)
           ) -> WebhookReply:
    return WebhookReply(status, (*headers, ("Content-Length", str(len(body)))), body)

