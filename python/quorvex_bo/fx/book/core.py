"""The book's decisions, written once, without I/O.

Every operation of the book is a generator of effects: a transaction to run (a body
of :mod:`~quorvex_bo.fx.book.store` statements), a gateway call, a handler to call, a
pause, or several such steps run side by side. It is sent each effect's result, or
has the effect's exception thrown into it. The blocking shell
(:class:`~quorvex_bo.fx.book.payment_book.PaymentBook`) and the async one
(:class:`~quorvex_bo.fx.book.async_book.AsyncPaymentBook`) only carry the effects
out: they differ in how they wait, never in what they decide.

Each step records what it is about to do before doing it, and learns an outcome it
did not see rather than repeating the step: a generation is never sent twice for a
reference; an answer that was lost leaves the payment "unconfirmed" until a verify
tells. Every change of state goes through :func:`~quorvex_bo.fx.book.states.next_state`
under the payment's row lock, together with its history line and its event.
"""

from __future__ import annotations

import datetime
import enum
import json
import logging
import unicodedata
from collections.abc import Callable, Generator
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any, TypeVar

from quorvex_bo.fx.book import hook_secret
from quorvex_bo.fx.book.database import Conflict
from quorvex_bo.fx.book.errors import StorageError
from quorvex_bo.fx.book.records import (CheckFailure, Deliveries, Event, Payment, Reconciled,
                                        Transition)
from quorvex_bo.fx.book.states import LIVE, Cause, PaymentState, from_status
from quorvex_bo.fx.book.store import Body, Intent, Learned, Store, Stored
from quorvex_bo.fx.errors import (ApiError, AuthenticationError, DecodeError, NetworkError,
                                  QuorvexError, ValidationError, WebhookAuthenticationError)
from quorvex_bo.fx.models import BinanceNotification, FxNotification, FxQr, PaymentStatus, \
    WebhookTarget
from quorvex_bo.fx.webhooks import Headers, binance_ack, parse_binance, parse_fx

__all__ = ["MAX_NOTIFICATION_BYTES", "MAX_ORDER_ID", "BookCore", "Notified", "Outcome"]

log = logging.getLogger("quorvex_bo.book")
log.addHandler(logging.NullHandler())

T = TypeVar("T")

#: The longest order id, in characters.
MAX_ORDER_ID = 200
#: Larger notification bodies are refused: the gateway's are a few hundred bytes.
MAX_NOTIFICATION_BYTES = 64 * 1024
RAILS = ("pix", "crypto", "binance")
# A QR's life when the request gave none (the crypto rail always gives one).
_DEFAULT_LIFETIME = {"pix": 3600, "binance": 300, "crypto": 600}
# Still open at the gateway: past the expiry, the book closes them.
_OPEN = {PaymentStatus.PENDING, PaymentStatus.PROCESSING}
# A failed event is tried again after these waits, doubling.
_FIRST_RETRY = 5.0
_LONGEST_RETRY = 3600.0
# How often create looks again for a QR another process is generating.
_CREATING_POLL = 0.05
_BATCH = 100


# --- effects ---------------------------------------------------------------------


@dataclass(frozen=True)
class Tx:
    """Run ``body`` in one transaction; the result is the body's."""

    body: Body[Any]
    write: bool


@dataclass(frozen=True)
class Gateway:
    """Call ``client.<rail>.<operation>(**arguments)``; the result is the client's."""

    rail: str
    operation: str
    arguments: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Handle:
    """Call the merchant's event handler (awaited, if it returns an awaitable)."""

    handler: Callable[[Event], object]
    event: Event


@dataclass(frozen=True)
class Pause:
    seconds: float


@dataclass(frozen=True)
class Together:
    """Run the steps side by side, at most ``concurrency`` at once; the result is the
    list of their results (the first exception, once all ended, is raised)."""

    steps: list[Steps[Any]]
    concurrency: int


Effect = Tx | Gateway | Handle | Pause | Together
#: An operation of the book: yields effects, is sent their results, returns its own.
Steps = Generator[Effect, Any, T]


class Outcome(str, enum.Enum):
    """What became of a notification; the web layer turns it into an HTTP answer."""

    APPLIED = "applied"  # stored, and the payment's state changed
    DUPLICATE = "duplicate"  # stored, nothing changed (a repeat, or a stale word)
    FORGED = "forged"  # a missing or wrong secret
    UNKNOWN = "unknown"  # no payment has that reference (answered as forged)
    UNREADABLE = "unreadable"  # authentic, but not a notification
    OTHER_PAYMENT = "other_payment"  # authentic, but naming another reference
    TOO_LARGE = "too_large"
    UNAVAILABLE = "unavailable"  # the database: the gateway should try again


@dataclass(frozen=True)
class Notified:
    """A notification's outcome; ``ack`` is the body a Binance notification expects."""

    outcome: Outcome
    reference: str | None = None
    ack: str | None = None


# --- rules -----------------------------------------------------------------------


def check_order_id(order_id: object) -> str:
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


def _refused(error: QuorvexError) -> bool:
    """Whether a failed generation surely created nothing at the gateway: the request
    never left (``NetworkError``), or the gateway refused it outright (4xx). A 5xx may
    come from a gateway that went through with it."""
    if isinstance(error, (AuthenticationError, NetworkError)):
        return True
    status = error.status
    return isinstance(error, ApiError) and status is not None and 400 <= status < 500 \
        and status != 408


def _unknown_reference(error: QuorvexError) -> bool:
    return isinstance(error, ApiError) and (
        error.status == 404 or any(item.code == "GQ-404" for item in error.errors))


def _mismatch(payment: Payment, note: FxNotification | BinanceNotification) -> str | None:
    """How a notification's amount or currency differs from the payment's, if it does."""
    differences = []
    if note.amount is not None and note.amount != payment.amount:
        differences.append(f"amount {note.amount} instead of {payment.amount}")
    if note.currency and note.currency.strip().upper() != payment.currency:
        differences.append(f"currency {note.currency.strip()[:8]!r} instead of "
                           f"{payment.currency}")
    return "; ".join(differences) or None


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


def _parse(stored: Stored, headers: list[tuple[str, str]], body: bytes | str
           ) -> FxNotification | BinanceNotification:
    if stored.payment.rail == "binance":
        return parse_binance(headers, body, key=hook_secret.HEADER, value=stored.secret_digest)
    return parse_fx(headers, body, key=hook_secret.HEADER, value=stored.secret_digest)


def _warn_unchecked(payment: Payment, error: QuorvexError) -> QuorvexError:
    log.warning("order %r: payment %s not checked: %s: %s", payment.order_id,
                payment.reference, error.kind, error.message)
    return error


# --- the core --------------------------------------------------------------------


@dataclass(frozen=True)
class Settings:
    webhook_url: str
    clock: Callable[[], float]
    check_input: Callable[[str, dict[str, Any]], None]  # the client's checks, no I/O
    longest_call: float  # the most one gateway call can take, retries included
    timeout: float
    grace: float
    first_check: float
    longest_wait: float
    lease: float
    creating_wait: float
    max_attempts: int


class BookCore:
    """What the book records, sends and concludes, as generators of effects."""

    def __init__(self, store: Store, settings: Settings) -> None:
        self.store = store
        self.s = settings
        self._stale = max(settings.timeout, 60.0)  # a "creating" older than this lost its process

    # --- payments -----------------------------------------------------------------

    def create(self, order_id: str, rail: str, amount: Any, glosa: str, currency: str,
               expires_in: int | None, rail_arguments: dict[str, Any]) -> Steps[Payment]:
        check_order_id(order_id)
        if rail not in RAILS:
            raise ValidationError(f"must be one of {', '.join(RAILS)}", field="rail")
        for name in ("reference", "webhook"):
            if name in rail_arguments:
                raise TypeError(f"{name} is chosen by the book, not given")
        arguments = dict(rail_arguments, amount=amount, glosa=glosa, currency=currency)
        if expires_in is not None:
            arguments["expires_in"] = expires_in
        probe = WebhookTarget(f"{self.s.webhook_url}/1000000000", hook_secret.HEADER, "probe")
        self.s.check_input(f"{rail}.generate",
                           dict(arguments, reference="1000000000", webhook=probe))
        exact = Decimal(repr(amount) if isinstance(amount, float) else str(amount))
        now = self.s.clock()
        lifetime = expires_in if isinstance(expires_in, int) else _DEFAULT_LIFETIME[rail]

        def intent() -> Intent:
            reference, secret = hook_secret.new_reference(), hook_secret.new_secret()
            return Intent(reference, rail, exact, currency, secret,
                          hook_secret.digest(reference, secret), now + lifetime,
                          now + self._stale)

        for attempt in range(3):  # two processes opening one order meet at its constraints
            try:
                stored, made = yield Tx(self.store.open(order_id, intent, now), write=True)
                break
            except Conflict:
                if attempt == 2:
                    raise StorageError(f"order {order_id!r} kept changing while a payment "
                                       "was opened") from None
        if made is None:
            return (yield from self._generated(stored))
        log.info("order %r: payment %s created", order_id, made.reference)
        target = WebhookTarget(f"{self.s.webhook_url}/{made.reference}", hook_secret.HEADER,
                               made.secret)
        try:
            qr: FxQr = yield Gateway(rail, "generate",
                                     dict(arguments, reference=made.reference, webhook=target))
        except (ValidationError, TypeError):
            yield Tx(self.store.discard(stored), write=True)  # refused before sending
            raise
        except QuorvexError as error:
            refused = _refused(error)
            state = PaymentState.FAILED if refused else PaymentState.UNCONFIRMED
            payment, _ = yield Tx(self.store.learn(made.reference, Learned(
                state, Cause.CREATE, f"generation: {error.kind}"), self.s.clock(),
                self._schedule), write=True)
            if refused:
                raise
            return payment  # type: ignore[no-any-return]
        payment, _ = yield Tx(self.store.learn(made.reference, Learned(
            PaymentState.PENDING, Cause.CREATE, "QR generated", qr=qr,
            expires_at=_moment(qr.expires_at)), self.s.clock(), self._schedule), write=True)
        return payment  # type: ignore[no-any-return]

    def _generated(self, stored: Stored) -> Steps[Payment]:
        """The order's payment, once another process that is creating it has its QR
        (a double click), waiting at most ``creating_wait`` seconds."""
        waited = 0.0
        while stored.payment.state is PaymentState.CREATING and waited < self.s.creating_wait:
            yield Pause(_CREATING_POLL)
            waited += _CREATING_POLL
            stored = (yield Tx(self.store.latest(stored.payment.order_id), write=False)) or stored
        return stored.payment

    def read(self, body: Body[T]) -> Steps[T]:
        return (yield Tx(body, write=False))  # type: ignore[no-any-return]

    def get(self, order_id: str) -> Steps[Payment | None]:
        stored = yield Tx(self.store.latest(check_order_id(order_id)), write=False)
        return None if stored is None else stored.payment

    def payments(self, order_id: str) -> Steps[list[Payment]]:
        return (yield from self.read(self.store.payments(check_order_id(order_id))))

    def history(self, order_id: str) -> Steps[list[Transition]]:
        return (yield from self.read(self.store.history(check_order_id(order_id))))

    def verify(self, order_id: str) -> Steps[Payment | None]:
        stored = yield Tx(self.store.latest(check_order_id(order_id)), write=False)
        if stored is None or stored.payment.state not in LIVE:
            return None if stored is None else stored.payment
        learned, error = yield from self._check(stored, Cause.VERIFY)
        if error is not None:  # kept for the console's timeline, then raised
            yield Tx(self.store.checked(stored.id, self.s.clock(), Cause.VERIFY,
                                        learned.detail), write=True)
            raise error
        payment, _ = yield Tx(self.store.learn(stored.payment.reference, learned,
                                               self.s.clock(), self._schedule), write=True)
        return payment  # type: ignore[no-any-return]

    # --- webhooks -----------------------------------------------------------------

    def handle_webhook(self, path: str, headers: Headers, body: bytes) -> Steps[Notified]:
        if len(body) > MAX_NOTIFICATION_BYTES:
            return Notified(Outcome.TOO_LARGE)
        reference = path.rstrip("/").rsplit("/", 1)[-1]
        if not (reference.isascii() and reference.isdigit()):
            return Notified(Outcome.UNKNOWN)
        pairs = _header_pairs(headers)
        try:
            # The lookup, the stored notification and the transition commit together.
            notified, note = yield Tx(self._notified(reference, pairs, body), write=True)
        except StorageError as error:
            log.warning("notification for %s not taken: %s", reference, error)
            return Notified(Outcome.UNAVAILABLE, reference)
        if notified.outcome is Outcome.FORGED:
            log.warning("forged notification for %s rejected", reference)
        if note is not None and notified.outcome is Outcome.APPLIED:
            log.info("order %r: payment %s %s (webhook)", note[0], reference, note[1])
        return notified  # type: ignore[no-any-return]

    def _notified(self, reference: str, headers: list[tuple[str, str]], body: bytes
                  ) -> Body[tuple[Notified, tuple[str, PaymentState] | None]]:
        stored = yield from self.store.by_reference(reference, lock=True)
        if stored is None:
            return Notified(Outcome.UNKNOWN), None  # nothing written: a guess learns nothing
        # The header's digest against the stored digest, compared by the core.
        pairs = [(name, hook_secret.digest(reference, value)
                  if name.lower() == hook_secret.HEADER.lower() else value)
                 for name, value in headers]
        now = self.s.clock()
        try:
            note = _parse(stored, pairs, body)
        except WebhookAuthenticationError:
            yield from self.store.refuse(stored.id, body, "rejected", now)
            return Notified(Outcome.FORGED, reference), None
        except DecodeError:
            yield from self.store.refuse(stored.id, body, "malformed", now)
            return Notified(Outcome.UNREADABLE, reference), None
        if note.reference != reference:
            yield from self.store.refuse(stored.id, body, "malformed", now)
            return Notified(Outcome.OTHER_PAYMENT, reference), None
        notification = yield from self.store.receive(stored.id, body.decode("utf-8", "replace"),
                                                     now)
        payment, changed = yield from self._apply(stored, note, notification, now)
        ack = binance_ack(note) if isinstance(note, BinanceNotification) else None
        return Notified(Outcome.APPLIED if changed else Outcome.DUPLICATE, reference, ack), \
            (payment.order_id, payment.state)

    def _apply(self, stored: Stored, note: FxNotification | BinanceNotification,
               notification: int | None, now: float) -> Body[tuple[Payment, bool]]:
        mismatch = _mismatch(stored.payment, note)
        detail = f"notification: {note.raw_status}" + (f" ({mismatch})" if mismatch else "")
        if mismatch:
            log.warning("order %r: notification for payment %s reports %s",
                        stored.payment.order_id, stored.payment.reference, mismatch)
        return (yield from self.store.learn(stored.payment.reference, Learned(
            from_status(note.status), Cause.WEBHOOK, detail, mismatch=mismatch), now,
            notification=notification))

    # --- reconcile ----------------------------------------------------------------

    def reconcile(self, limit: int | None, concurrency: int) -> Steps[Reconciled]:
        result = Reconciled()
        now = self.s.clock()
        for notification, reference, body in (
                yield Tx(self.store.unapplied(now - self._stale, 1000), write=False)):
            payment, moved = yield Tx(self.apply_stored(reference, body, notification),
                                      write=True)
            if moved:
                result.append(payment)
        concurrency = max(1, concurrency)
        # A whole number of rounds: no round of a batch runs with slots to spare.
        batch_size = -(-_BATCH // concurrency) * concurrency
        while limit is None or result.checked < limit:
            room = batch_size if limit is None else min(batch_size, limit - result.checked)
            # The lease covers the batch: its checks run `concurrency` at a time, each
            # a verify and maybe a cancel (a dead worker's lease runs out).
            rounds = -(-room // concurrency)
            lease = max(self.s.lease, 2 * self.s.longest_call * rounds)
            batch = yield Tx(self.store.claim_due(now, lease, room), write=True)
            if not batch:
                break
            outcomes = yield Together([self._reconcile_one(stored) for stored in batch],
                                      concurrency)
            # Read in the batch's order, whatever order the checks ended in: the result
            # is the one a sequential pass gives.
            for stored, (payment, moved, error) in zip(batch, outcomes):
                result.checked += 1
                if error is not None:
                    result.failures.append(CheckFailure(
                        stored.payment.order_id, stored.payment.reference, error.kind,
                        error.message))
                if moved:
                    log.info("order %r: payment %s %s (reconcile)", payment.order_id,
                             payment.reference, payment.state)
                    result.append(payment)
        # Seen by the console and the metrics: did the periodic pass run, and when.
        summary = json.dumps({"checked": result.checked, "changed": len(result),
                              "failed": len(result.failures)})
        yield Tx(self.store.ran("reconcile", now, self.s.clock(), summary), write=True)
        return result

    def apply_stored(self, reference: str, body: str, notification: int, *,
                     again: bool = False) -> Body[tuple[Payment, bool]]:
        """Applies an authenticated notification the book stored; ``again``: a person
        applies it once more (its recorded outcome stays the first one's)."""
        stored = yield from self.store.by_reference(reference, lock=True)
        assert stored is not None
        note = _parse(stored, [(hook_secret.HEADER, stored.secret_digest)], body)
        return (yield from self._apply(stored, note, None if again else notification,
                                       self.s.clock()))

    def _reconcile_one(self, stored: Stored
                       ) -> Steps[tuple[Payment, bool, QuorvexError | None]]:
        learned, error = yield from self._check(stored, Cause.RECONCILE)
        payment, moved = yield Tx(self.store.learn(stored.payment.reference, learned,
                                                   self.s.clock(), self._schedule), write=True)
        return payment, moved, error

    def _check(self, stored: Stored, cause: Cause
               ) -> Steps[tuple[Learned, QuorvexError | None]]:
        """What the gateway says of an open payment, what the book concludes, and the
        client's error when the check failed (logged as a WARNING here)."""
        payment = stored.payment
        now = self.s.clock()
        try:
            info = yield Gateway(payment.rail, "verify", {"reference": payment.reference})
        except QuorvexError as error:
            if payment.state in (PaymentState.CREATING, PaymentState.UNCONFIRMED) \
                    and _unknown_reference(error):
                if now - payment.created_at >= self.s.grace:
                    return Learned(PaymentState.FAILED, cause, "the gateway never took it"), None
                return Learned(None, cause, "not known to the gateway yet"), None
            return Learned(None, cause, f"verify failed: {error.kind}"), \
                _warn_unchecked(payment, error)
        expired = payment.expires_at is not None and now >= payment.expires_at
        if not expired or info.status not in _OPEN:
            return Learned(from_status(info.status), cause, f"verify: {info.raw_status}"), None
        if payment.rail == "pix":
            try:
                yield Gateway("pix", "cancel", {"reference": payment.reference})
            except QuorvexError as error:  # paid at the last moment? the next check tells
                return Learned(None, cause, f"cancel failed: {error.kind}"), \
                    _warn_unchecked(payment, error)
        return Learned(PaymentState.EXPIRED, cause, "expired"), None

    def _schedule(self, stored: Stored, state: PaymentState) -> float:
        """When to check a live payment next: doubling waits, never past its expiry."""
        now = self.s.clock()
        wait = min(self.s.first_check * 2.0 ** min(stored.checks, 30), self.s.longest_wait)
        if state in (PaymentState.CREATING, PaymentState.UNCONFIRMED):
            verdict = stored.payment.created_at + self.s.grace
            return now + wait if now >= verdict else min(now + wait, verdict)
        expiry = stored.payment.expires_at
        return now + wait if expiry is None or now >= expiry else min(now + wait, expiry)

    # --- events -------------------------------------------------------------------

    def process_events(self, handler: Callable[[Event], object], limit: int | None
                       ) -> Steps[Deliveries]:
        delivered = failed = dead = 0
        while limit is None or delivered + failed + dead < limit:
            room = _BATCH if limit is None else min(_BATCH, limit - delivered - failed - dead)
            batch = yield Tx(self.store.claim_events(self.s.clock(), self.s.lease, room),
                             write=True)
            if not batch:
                break
            for event in batch:
                try:
                    yield Handle(handler, event)
                except Exception as error:  # the handler's fault: this event waits, not all
                    retry = self._event_retry(event)
                    failed, dead = failed + (retry is not None), dead + (retry is None)
                    yield Tx(self.store.failed(event, f"{type(error).__name__}: {error}"[:500],
                                               retry, self.s.clock()), write=True)
                    log.warning("event %d of order %r %s: the handler raised %s",
                                event.id, event.order_id,
                                "set aside as dead" if retry is None else "failed",
                                type(error).__name__)
                    continue
                yield Tx(self.store.delivered(event.id, self.s.clock()), write=True)
                delivered += 1
        return Deliveries(delivered, failed, dead)

    def _event_retry(self, event: Event) -> float | None:
        """When to try a failed event again: doubling waits; ``None`` once it had its
        ``max_attempts``."""
        if event.attempts + 1 >= self.s.max_attempts:
            return None
        return self.s.clock() + min(_FIRST_RETRY * 2.0 ** event.attempts, _LONGEST_RETRY)

    def events(self, *, dead: bool) -> Steps[list[Event]]:
        return (yield from self.read(self.store.events(dead=dead)))

    def retry_event(self, event_id: int) -> Steps[bool]:
        return (yield Tx(self.store.revive(event_id), write=True))  # type: ignore[no-any-return]

    def recount(self) -> Steps[None]:
        yield Tx(self.store.recount(), write=True)

    # --- the worker -----------------------------------------------------------------

    def worker_round(self, handler: Callable[[Event], object], concurrency: int) -> Steps[None]:
        """One round of a worker: reconcile, then the events. A failure is logged and
        ends only this part of the round."""
        for name, steps in (("reconcile", lambda: self.reconcile(None, concurrency)),
                            ("events", lambda: self.process_events(handler, None))):
            try:
                yield from steps()
            except QuorvexError as error:
                log.warning("worker: %s failed: %s: %s", name, error.kind, error)
            except Exception:  # a fault of the book's own: logged whole, never fatal
                log.exception("worker: %s failed", name)
