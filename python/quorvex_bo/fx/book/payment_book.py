"""The blocking book: the decision core's effects carried out on threads.

Transactions run on pooled connections, gateway calls through a blocking
:class:`~quorvex_bo.fx.client.Client`, and reconcile's checks on a pool of threads.
What the book decides lives in :mod:`~quorvex_bo.fx.book.core`, shared with the
async book.
"""

from __future__ import annotations

import contextvars
import secrets
import threading
import time
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal
from typing import TYPE_CHECKING, Any, TypeVar

from quorvex_bo.fx.book.backends import open_database
from quorvex_bo.fx.book.console import (Authorize, check_authorize, console_key,
                                        console_routes, error_page)
from quorvex_bo.fx.book.console_core import Console, resolution_action
from quorvex_bo.fx.book.core import (BookCore, Gateway, Handle, Notified, Pause, Settings,
                                     Steps, Together, Tx)
from quorvex_bo.fx.book.database import safe_url
from quorvex_bo.fx.book.records import (AuditEntry, Deliveries, Event, Operator, Payment,
                                        Reconciled, Transition)
from quorvex_bo.fx.book.schema import migrate
from quorvex_bo.fx.book.states import Resolution
from quorvex_bo.fx.book.store import Store, drive, event_statement, noting_transitions
from quorvex_bo.fx.book.web import asgi_app, wsgi_app
from quorvex_bo.fx.client import Client
from quorvex_bo.fx.errors import ValidationError
from quorvex_bo.fx.telemetry import HealthSource, book_step, committed, delivery, webhook
from quorvex_bo.fx.web import wsgi_app as web_wsgi_app
from quorvex_bo.fx.webhooks import Headers

if TYPE_CHECKING:
    from quorvex_bo.fx.prometheus import PrometheusReader

__all__ = ["PaymentBook"]

T = TypeVar("T")


def settings(client: Any, webhook_url: object, clock: Callable[[], float] | None,
             timeout: float, grace: float, first_check: float, longest_wait: float,
             lease: float, creating_wait: float, max_attempts: int) -> Settings:
    """The core's settings from a book's arguments (both books take the same)."""
    if not isinstance(webhook_url, str):
        raise TypeError(f"webhook_url must be str, not {type(webhook_url).__name__}")
    if not webhook_url.startswith(("https://", "http://")):
        raise ValidationError("must be an http(s) URL", field="webhook_url")
    return Settings(webhook_url.rstrip("/"), clock or time.time,
                    lambda operation, arguments: client.check(operation, **arguments),
                    client.longest_call, timeout, grace, first_check, longest_wait, lease,
                    creating_wait, max(1, max_attempts))


def new_nonce() -> str:
    """The nonce of an action asked for once (a call, a command): never repeated."""
    return secrets.token_urlsafe(18)


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
        lease: seconds a reconcile worker holds the payments (and a worker the events)
            it took, at least.
        creating_wait: how long ``create`` waits for the QR of a payment another
            process is creating for the same order (a double click) before it returns
            the payment without one; ``get`` fetches it later.
        max_attempts: failed deliveries after which an event is set aside as dead.
        max_connections: the most PostgreSQL connections the book holds at once.
        pool_timeout: how long a call waits for a free connection (default ``timeout``)
            before it fails with ``StorageError``.
        on_event_sql: a statement ``(sql, params)``, with ``?`` placeholders, run in
            every transaction that writes an event (and in the one that puts a dead
            event back), after the event: to defer a job of a queue on the same
            database (:func:`quorvex_bo.fx.book.procrastinate.defer_events_sql`), send
            a ``NOTIFY``, or write to a table of your own. It commits with the event;
            its failure rolls the whole change back (a webhook is answered 503, and
            the gateway sends it again).
    """

    def __init__(self, url: str, client: Client, *, webhook_url: str,
                 clock: Callable[[], float] | None = None, timeout: float = 5.0,
                 grace: float = 120.0, first_check: float = 10.0, longest_wait: float = 300.0,
                 lease: float = 300.0, creating_wait: float = 3.0, max_attempts: int = 10,
                 max_connections: int = 10, pool_timeout: float | None = None,
                 on_event_sql: tuple[str, Sequence[Any]] | None = None) -> None:
        if not isinstance(client, Client):
            raise TypeError(f"client must be a Client, not {type(client).__name__}")
        self._core_settings = settings(client, webhook_url, clock, timeout, grace, first_check,
                                       longest_wait, lease, creating_wait, max_attempts)
        on_event = event_statement(on_event_sql)
        self._url = url
        self._client = client
        self._db = open_database(url, timeout=timeout, max_connections=max_connections,
                                 pool_timeout=pool_timeout)
        self._core = BookCore(Store(self._db.for_update, self._db.skip_locked, on_event),
                              self._core_settings)
        self._metrics: HealthSource | None = None
        self._console = Console(self._core)
        try:
            migrate(self._db)
        except BaseException:
            self._db.close()
            raise

    def __repr__(self) -> str:
        return f"PaymentBook({safe_url(self._url)!r}, " \
               f"webhook_url={self._core_settings.webhook_url!r})"

    def __enter__(self) -> PaymentBook:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes the database connections (not the client); its gauges stop reporting."""
        if self._metrics is not None:
            self._metrics.stop()
        self._db.close()

    # --- the driver -----------------------------------------------------------------

    def _run(self, steps: Steps[T]) -> T:
        """Carries out the core's effects one after the other until it decides."""
        reply: Any = None
        failure: Exception | None = None
        while True:
            try:
                effect = steps.throw(failure) if failure else steps.send(reply)
            except StopIteration as done:
                return done.value  # type: ignore[no-any-return]
            reply, failure = None, None
            try:
                reply = self._carry_out(effect)
            except Exception as error:
                failure = error

    def _carry_out(self, effect: Any) -> Any:
        if isinstance(effect, Tx):
            found: list[tuple[str, str]] = []
            with self._db.transaction(write=effect.write) as tx:
                result = drive(tx, noting_transitions(effect.body, found))
            return committed(result, found)
        if isinstance(effect, Gateway):
            return getattr(getattr(self._client, effect.rail), effect.operation)(
                **effect.arguments)
        if isinstance(effect, Handle):
            with delivery(effect.event):
                return effect.handler(effect.event)
        if isinstance(effect, Pause):
            return time.sleep(effect.seconds)
        assert isinstance(effect, Together)
        def check(steps: Steps[Any]) -> Any:
            with book_step("check"):
                return self._run(steps)
        with ThreadPoolExecutor(min(effect.concurrency, len(effect.steps)) or 1) as threads:
            # Each check in a copy of this context: its span is a child of the pass's.
            futures = [threads.submit(contextvars.copy_context().run, check, steps)
                       for steps in effect.steps]
        return [future.result() for future in futures]  # the first exception, once all ended

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
        with book_step("create"):
            return self._run(self._core.create(order_id, rail, amount, glosa, currency,
                                               expires_in, rail_arguments))

    def get(self, order_id: str) -> Payment | None:
        """The order's latest payment, or ``None``."""
        return self._run(self._core.get(order_id))

    def payments(self, order_id: str) -> list[Payment]:
        """Every payment of the order, first attempt first."""
        return self._run(self._core.payments(order_id))

    def history(self, order_id: str) -> list[Transition]:
        """Every transition of the order's payments, in order."""
        return self._run(self._core.history(order_id))

    def verify(self, order_id: str) -> Payment | None:
        """Asks the gateway about the order's latest payment now, if it is still open.

        Raises:
            QuorvexError: the client's error when the check failed (the token refused,
                the gateway not reached or failing): the payment is never returned as
                fresh when it is not.
        """
        with book_step("verify"):
            return self._run(self._core.verify(order_id))

    # --- webhooks -----------------------------------------------------------------

    def handle_webhook(self, path: str, headers: Headers, body: bytes) -> Notified:
        """Takes one notification posted to ``<webhook_url>/<reference>``: checks its
        secret, stores it and applies it, in one transaction. Returns what became of
        it; :func:`~quorvex_bo.fx.book.web.reply` makes the HTTP answer."""
        with book_step("webhook"):
            return webhook(self._run(self._core.handle_webhook(path, headers, body)))

    # --- reconcile ----------------------------------------------------------------

    def reconcile(self, *, limit: int | None = None, concurrency: int = 16) -> Reconciled:
        """Checks the payments that are due, ``concurrency`` at a time; returns those
        whose state changed, with how many were checked and which checks failed (each
        also logged as a WARNING).

        Open payments are verified on a backoff schedule bounded by their expiry; past
        it they are expired (a Pix QR is cancelled first). A reference still unknown to
        the gateway ``grace`` seconds after its intent is failed. Workers share the
        work: each payment is checked by one of them at a time.
        """
        with book_step("reconcile"):
            return self._run(self._core.reconcile(limit, concurrency))

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
        with book_step("events"):
            return self._run(self._core.process_events(handler, limit))

    def dead_events(self) -> list[Event]:
        """The events set aside after ``max_attempts`` failed deliveries, with their
        attempts and last error."""
        return self._run(self._core.events(dead=True))

    def pending_events(self) -> list[Event]:
        """The events not delivered yet (failing ones with their attempts and last error)."""
        return self._run(self._core.events(dead=False))

    def retry_event(self, event_id: int) -> bool:
        """Puts a dead event back in line, with a fresh count of attempts; ``False`` when
        no dead event has that id."""
        return self._run(self._core.retry_event(event_id))

    def recount(self) -> None:
        """Counts the payments by state again. The book keeps the counts (the console's
        overview and the gauges read them) in each change's transaction; run this once
        after processes of an older version changed payments in a migrated database."""
        self._run(self._core.recount())

    def run_worker(self, handler: Callable[[Event], object], *, every: float = 30.0,
                   concurrency: int = 16, stop: threading.Event | None = None) -> None:
        """Reconciles and hands the events to ``handler`` every ``every`` seconds until
        ``stop`` is set. A failed round (the database locked past its timeout, the
        gateway away) is logged, and the next goes on."""
        stop = stop or threading.Event()
        while True:
            self._run(self._core.worker_round(handler, concurrency))
            if stop.wait(every):
                return

    # --- a person's actions -----------------------------------------------------------

    def resolve(self, reference: str, resolution: Resolution | str, *, reason: str,
                operator: Operator) -> AuditEntry:
        """Marks a late payment (paid after the book gave it up) ``refunded_outside`` or
        ``kept``, for the reason given. The payment stays paid; an event whose state is
        the resolution tells your handler. Recorded in the audit whatever the outcome:
        ``entry.done`` is false, and ``entry.outcome`` says why, when the payment is not
        late-paid or was resolved already.

        Raises:
            ForbiddenError: the operator may only read.
            ValidationError: no reason, or an unknown resolution.
        """
        return self._run(self._console.act(operator, resolution_action(resolution), reference,
                                           reason, new_nonce()))

    def audit(self, *, limit: int = 50, before: int | None = None) -> list[AuditEntry]:
        """The actions taken from the console and the CLI, newest first (those older than
        the entry ``before``, when given)."""
        return self._run(self._console.audit(before=before, limit=limit))

    # --- web ----------------------------------------------------------------------

    def wsgi_app(self) -> Any:
        """The webhook endpoint as a WSGI application (mount it at ``webhook_url``)."""
        return wsgi_app(self.handle_webhook)

    def asgi_app(self) -> Any:
        """The webhook endpoint as an ASGI application (mount it at ``webhook_url``); the
        database work runs on a thread."""
        return asgi_app(self.handle_webhook, blocking=True)

    # --- metrics ------------------------------------------------------------------

    def observe_metrics(self, *, name: str = "default") -> None:
        """Reports the book's gauges (payments by state, unconfirmed payments, waiting
        and dead events, the last reconcile) through the OpenTelemetry metrics API,
        read from the database when they are collected, until :meth:`close`. ``name``
        tells books of one process apart (attribute ``quorvex.book``)."""
        clock, core = self._core_settings.clock, self._core
        source = HealthSource(name, lambda: self._run(core.read(core.store.health(clock()))))
        source.start(replacing=self._metrics)  # a refused name leaves the old one on
        self._metrics = source

    def metrics_app(self, reader: PrometheusReader, *, name: str = "default",
                    asgi: bool = False) -> Any:
        """Reports the gauges (:meth:`observe_metrics`) and returns the Prometheus
        endpoint of ``reader`` (installed on the application's meter provider) as a
        WSGI application, or an ASGI one (the reading runs on a thread)."""
        self.observe_metrics(name=name)
        return reader.asgi_app() if asgi else reader.wsgi_app()

    def console_app(self, *, authorize: Authorize | None = None, base_path: str = "/",
                    key: bytes | None = None) -> Any:
        """The console for the merchant's staff as a WSGI application, mounted at
        ``base_path``: the overview, payments, each order's timeline, the events and the
        audit, and the actions (verify now, retry a dead event, apply a stored
        notification again, resolve a late payment), each recorded in the audit.

        Args:
            authorize: required; ``authorize(request)`` returns the :class:`Operator`
                asking (from your session, SSO or basic auth; ``request`` is a
                :class:`quorvex_bo.fx.web.Request`) or ``None``, which gets 401. On the
                async book it may be a coroutine function: the console awaits it.
            base_path: where the application is mounted.
            key: the key of the forms' tokens (32 random bytes); random for this book
                unless given. Give every process serving the console the same one.
        """
        routes = console_routes(lambda: self._console, check_authorize(authorize),
                                console_key(key), self._run)
        return web_wsgi_app(routes, base_path=base_path, error=error_page)
