"""The async book: the decision core's effects carried out on an event loop.

Transactions run on psycopg's async connections (PostgreSQL) or on a worker thread
(SQLite), gateway calls through an :class:`~quorvex_bo.fx.client.AsyncClient`, and
reconcile's checks as tasks. It decides exactly what the blocking book decides: both
run :mod:`~quorvex_bo.fx.book.core`.
"""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Callable, Sequence
from decimal import Decimal
from typing import TYPE_CHECKING, Any, TypeVar

from quorvex_bo.fx.book.aio import AsyncDatabase, open_async_database
from quorvex_bo.fx.book.console import (Authorize, check_authorize, console_key,
                                        console_routes, error_page)
from quorvex_bo.fx.book.console_core import Console, resolution_action
from quorvex_bo.fx.book.core import (BookCore, Gateway, Handle, Notified, Pause, Steps,
                                     Together, Tx)
from quorvex_bo.fx.book.database import safe_url
from quorvex_bo.fx.book.errors import BookError
from quorvex_bo.fx.book.payment_book import new_nonce, settings
from quorvex_bo.fx.book.records import (AuditEntry, Deliveries, Event, Operator, Payment,
                                        Reconciled, Transition)
from quorvex_bo.fx.book.states import Resolution
from quorvex_bo.fx.book.store import Store, event_statement, noting_transitions
from quorvex_bo.fx.book.web import asgi_app
from quorvex_bo.fx.client import AsyncClient
from quorvex_bo.fx.telemetry import HealthSource, book_step, committed, delivery, webhook
from quorvex_bo.fx.web import asgi_app as web_asgi_app
from quorvex_bo.fx.webhooks import Headers

if TYPE_CHECKING:
    from quorvex_bo.fx.prometheus import PrometheusReader

__all__ = ["AsyncPaymentBook"]

T = TypeVar("T")


class AsyncPaymentBook:
    """The payment book for async code: :class:`~quorvex_bo.fx.book.PaymentBook`'s
    arguments and methods, the methods as coroutines, with an
    :class:`~quorvex_bo.fx.client.AsyncClient`.

    Open it with ``book = await AsyncPaymentBook.open(url, client, webhook_url=…)``
    (close it with ``await book.close()``) or ``async with AsyncPaymentBook(url, client,
    webhook_url=…) as book``: opening connects and migrates the database.
    """

    def __init__(self, url: str, client: AsyncClient, *, webhook_url: str,
                 clock: Callable[[], float] | None = None, timeout: float = 5.0,
                 grace: float = 120.0, first_check: float = 10.0, longest_wait: float = 300.0,
                 lease: float = 300.0, creating_wait: float = 3.0, max_attempts: int = 10,
                 max_connections: int = 10, pool_timeout: float | None = None,
                 on_event_sql: tuple[str, Sequence[Any]] | None = None) -> None:
        if not isinstance(client, AsyncClient):
            raise TypeError(f"client must be an AsyncClient, not {type(client).__name__}")
        if not isinstance(url, str):
            raise TypeError(f"url must be str, not {type(url).__name__}")
        self._core_settings = settings(client, webhook_url, clock, timeout, grace, first_check,
                                       longest_wait, lease, creating_wait, max_attempts)
        self._on_event = event_statement(on_event_sql)
        self._url = url
        self._client = client
        self._pool = (timeout, max_connections, pool_timeout)
        self._db: AsyncDatabase | None = None
        self._core: BookCore | None = None
        self._metrics: HealthSource | None = None

    @classmethod
    async def open(cls, url: str, client: AsyncClient, **settings: Any) -> AsyncPaymentBook:
        """A book with its database connected and migrated."""
        book = cls(url, client, **settings)
        await book._connect()
        return book

    async def _connect(self) -> None:
        timeout, max_connections, pool_timeout = self._pool
        database = await open_async_database(self._url, timeout=timeout,
                                             max_connections=max_connections,
                                             pool_timeout=pool_timeout)
        try:
            await database.migrate()
        except BaseException:
            await database.close()
            raise
        self._db = database
        self._core = BookCore(Store(database.for_update, database.skip_locked, self._on_event),
                              self._core_settings)

    def __repr__(self) -> str:
        return f"AsyncPaymentBook({safe_url(self._url)!r}, " \
               f"webhook_url={self._core_settings.webhook_url!r})"

    async def __aenter__(self) -> AsyncPaymentBook:
        if self._db is None:
            await self._connect()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def close(self) -> None:
        """Closes the database connections (not the client); its gauges stop reporting."""
        if self._metrics is not None:
            self._metrics.stop()
        if self._db is not None:
            database, self._db, self._core = self._db, None, None
            await database.close()

    # --- the driver -----------------------------------------------------------------

    async def _run(self, steps: Steps[T]) -> T:
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
                reply = await self._carry_out(effect)
            except Exception as error:
                failure = error

    async def _carry_out(self, effect: Any) -> Any:
        if isinstance(effect, Tx):
            if self._db is None:
                raise BookError("the book is closed")
            found: list[tuple[str, str]] = []
            return committed(await self._db.run(noting_transitions(effect.body, found),
                                                write=effect.write), found)
        if isinstance(effect, Gateway):
            return await getattr(getattr(self._client, effect.rail), effect.operation)(
                **effect.arguments)
        if isinstance(effect, Handle):
            with delivery(effect.event):
                outcome = effect.handler(effect.event)
                return await outcome if inspect.isawaitable(outcome) else outcome
        if isinstance(effect, Pause):
            return await asyncio.sleep(effect.seconds)
        assert isinstance(effect, Together)
        slots = asyncio.Semaphore(effect.concurrency)

        async def one(steps: Steps[Any]) -> Any:
            async with slots:
                with book_step("check"):
                    return await self._run(steps)
        results = await asyncio.gather(*map(one, effect.steps), return_exceptions=True)
        for result in results:
            if isinstance(result, BaseException):
                raise result
        return results

    def _decide(self) -> BookCore:
        if self._core is None:
            raise BookError("the book is not open: use `await AsyncPaymentBook.open(…)` "
                            "or `async with`")
        return self._core

    # --- payments -----------------------------------------------------------------

    async def create(self, order_id: str, *, rail: str, amount: Decimal | int | str | float,
                     glosa: str, currency: str = "BOB", expires_in: int | None = None,
                     **rail_arguments: Any) -> Payment:
        """The order's payment: see :meth:`PaymentBook.create`."""
        with book_step("create"):
            return await self._run(self._decide().create(order_id, rail, amount, glosa,
                                                         currency, expires_in, rail_arguments))

    async def get(self, order_id: str) -> Payment | None:
        """The order's latest payment, or ``None``."""
        return await self._run(self._decide().get(order_id))

    async def payments(self, order_id: str) -> list[Payment]:
        """Every payment of the order, first attempt first."""
        return await self._run(self._decide().payments(order_id))

    async def history(self, order_id: str) -> list[Transition]:
        """Every transition of the order's payments, in order."""
        return await self._run(self._decide().history(order_id))

    async def verify(self, order_id: str) -> Payment | None:
        """Asks the gateway about the order's latest payment now: see
        :meth:`PaymentBook.verify`."""
        with book_step("verify"):
            return await self._run(self._decide().verify(order_id))

    async def handle_webhook(self, path: str, headers: Headers, body: bytes) -> Notified:
        """Takes one notification: see :meth:`PaymentBook.handle_webhook`."""
        with book_step("webhook"):
            return webhook(await self._run(self._decide().handle_webhook(path, headers, body)))

    async def reconcile(self, *, limit: int | None = None, concurrency: int = 16
                        ) -> Reconciled:
        """Checks the payments that are due, as up to ``concurrency`` tasks: see
        :meth:`PaymentBook.reconcile`."""
        with book_step("reconcile"):
            return await self._run(self._decide().reconcile(limit, concurrency))

    async def process_events(self, handler: Callable[[Event], object], *,
                             limit: int | None = None) -> Deliveries:
        """Hands the events to ``handler`` (a function or a coroutine function): see
        :meth:`PaymentBook.process_events`."""
        with book_step("events"):
            return await self._run(self._decide().process_events(handler, limit))

    async def dead_events(self) -> list[Event]:
        return await self._run(self._decide().events(dead=True))

    async def pending_events(self) -> list[Event]:
        return await self._run(self._decide().events(dead=False))

    async def retry_event(self, event_id: int) -> bool:
        return await self._run(self._decide().retry_event(event_id))

    async def recount(self) -> None:
        """Counts the payments by state again: see :meth:`PaymentBook.recount`."""
        await self._run(self._decide().recount())

    async def run_worker(self, handler: Callable[[Event], object], *, every: float = 30.0,
                         concurrency: int = 16, stop: asyncio.Event | None = None) -> None:
        """Reconciles and hands the events to ``handler`` every ``every`` seconds until
        ``stop`` is set (or the task is cancelled); a failed round is logged, and the
        next goes on."""
        stop = stop or asyncio.Event()
        while True:
            await self._run(self._decide().worker_round(handler, concurrency))
            try:
                await asyncio.wait_for(stop.wait(), every)
                return
            except asyncio.TimeoutError:
                continue

    async def resolve(self, reference: str, resolution: Resolution | str, *, reason: str,
                      operator: Operator) -> AuditEntry:
        """Resolves a late payment: see :meth:`PaymentBook.resolve`."""
        return await self._run(Console(self._decide()).act(
            operator, resolution_action(resolution), reference, reason, new_nonce()))

    async def audit(self, *, limit: int = 50, before: int | None = None) -> list[AuditEntry]:
        """The actions taken, newest first: see :meth:`PaymentBook.audit`."""
        return await self._run(Console(self._decide()).audit(before=before, limit=limit))

    def asgi_app(self) -> Any:
        """The webhook endpoint as an ASGI application, entirely on the event loop."""
        return asgi_app(self.handle_webhook, blocking=False)

    async def observe_metrics(self, *, name: str = "default") -> None:
        """Reports the book's gauges until :meth:`close`: see
        :meth:`PaymentBook.observe_metrics`. The gauges are read when collected, on the
        collecting thread: the read itself runs on the book's loop, which never waits for
        it; collecting on that loop's own thread reports nothing (the ASGI endpoint
        collects on a thread)."""
        loop = asyncio.get_running_loop()
        core, clock = self._decide(), self._core_settings.clock

        def read() -> Any:
            try:
                asyncio.get_running_loop()
            except RuntimeError:  # no loop on this thread: waiting blocks no one
                pending = asyncio.run_coroutine_threadsafe(
                    self._run(core.read(core.store.health(clock()))), loop)
                try:
                    return pending.result(self._pool[0] * 2)
                except TimeoutError:  # given up: the read must not hold the database on
                    pending.cancel()
                    raise
            raise BookError("the async book's gauges are collected on an event loop's "
                            "thread: collect them on another thread")
        source = HealthSource(name, read)
        source.start(replacing=self._metrics)  # a refused name leaves the old one on
        self._metrics = source

    async def metrics_app(self, reader: PrometheusReader, *, name: str = "default") -> Any:
        """Reports the gauges (:meth:`observe_metrics`) and returns the Prometheus
        endpoint of ``reader`` as an ASGI application (collecting on a thread, so that
        the event loop never waits for a scrape)."""
        await self.observe_metrics(name=name)
        return reader.asgi_app()
    def console_app(self, *, authorize: Authorize | None = None, base_path: str = "/",
                    key: bytes | None = None) -> Any:
        """The console as an ASGI application, its database work on the event loop:
        see :meth:`PaymentBook.console_app`."""
        routes = console_routes(lambda: Console(self._decide()), check_authorize(authorize),
                                console_key(key), self._run)
        return web_asgi_app(routes, base_path=base_path, error=error_page)
