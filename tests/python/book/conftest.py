"""Fixtures of the book's tests: a real PostgreSQL server for the session, a fresh
database of each kind per test, the sandbox gateway, and a book of each shell (the
blocking one, and the async one driven from the test through an event loop on a
thread) whose webhook endpoint is served by wsgiref on 127.0.0.1."""

from __future__ import annotations

import asyncio
import contextlib
import inspect
import itertools
import os
import pathlib
import threading
import time

import pytest

from quorvex_bo.fx import AsyncClient, Client
from servers import serving
from quorvex_bo.fx.book import AsyncPaymentBook, PaymentBook
from quorvex_bo.fx.book.store import drive
from quorvex_bo.fx.book.web import wsgi_app
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox

try:
    from . import pg_server
except ImportError:  # imported by the child processes as a plain module
    import pg_server  # type: ignore[no-redef]

PIX = {"rail": "pix", "amount": "10.50", "glosa": "001|Centro|Ventas|Pedido",
       "payer_cpf": "12345678901", "payer_phone": "+5511999999999"}
_databases = itertools.count()


class Clock:
    """Time shared by the sandbox and the book, moved by the test."""

    def __init__(self) -> None:  # lag: how far the gateway's clock is behind the book's
        self.now, self.lag = time.time(), 0.0

    def __call__(self) -> float:
        return self.now

    def gateway(self) -> float:
        return self.now - self.lag

    def advance(self, seconds: float) -> None:
        self.now += seconds


def events(book: PaymentBook) -> list:
    """The events not delivered yet, delivered now."""
    seen: list = []
    book.process_events(seen.append)
    return seen


def rows(book, sql, *params) -> list:
    """Runs one statement, or a store's body, in the book's database (a write
    transaction); its rows (the body's result)."""
    def body():
        return (yield sql, params)
    run = sql if inspect.isgenerator(sql) else body()
    if isinstance(book, Blocking):
        return book.loop.call(book.book._db.run(run, write=True))
    with book._db.transaction(write=True) as tx:
        return drive(tx, run)


class Loop:
    """An event loop on a thread of its own, for the async book."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def call(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(120)


class Blocking:
    """The async book as the blocking suite sees it: each of its coroutines is run on
    the loop's thread and waited for."""

    def __init__(self, book: AsyncPaymentBook, loop: Loop) -> None:
        self.book, self.loop = book, loop

    def __getattr__(self, name: str):
        found = getattr(self.book, name)
        if not inspect.iscoroutinefunction(found):
            return found
        return lambda *args, **kwargs: self.loop.call(found(*args, **kwargs))

    def wsgi_app(self):  # for the wsgiref endpoint of the tests
        return wsgi_app(self.handle_webhook)


def missing(message: str) -> None:
    """A server the tests need is not installed: outside CI they skip, in CI they fail."""
    pytest.fail(message) if os.environ.get("CI") == "true" else pytest.skip(message)


@pytest.fixture(scope="session")
def loop():
    running = Loop()
    yield running
    running.loop.call_soon_threadsafe(running.loop.stop)


@pytest.fixture(scope="session")
def postgres_server():
    """A PostgreSQL server for the session; yields its socket directory."""
    if not pg_server.available():
        missing(f"PostgreSQL server binaries not found in {pg_server.PG_BIN} "
                "(Debian: apt-get install postgresql-15)")
    with pg_server.temporary_server() as socket:
        yield socket


@pytest.fixture(params=["sqlite", "postgresql"])
def db_url(request: pytest.FixtureRequest, tmp_path: pathlib.Path) -> str:
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path / 'book.db'}"
    return pg_server.new_database(request.getfixturevalue("postgres_server"),
                                  f"book_{os.getpid()}_{next(_databases)}")


@pytest.fixture
def clock() -> Clock:
    return Clock()


@pytest.fixture
def gateway(clock: Clock):
    with Sandbox(delivery_backoff=0.05, clock=clock.gateway) as sandbox:
        yield sandbox


@pytest.fixture
def client(gateway: Sandbox):
    with Client(DEFAULT_CLIENT_ID, base_url=gateway.base_url, token=DEFAULT_TOKEN,
                timeout=5.0, max_retries=0) as client:
        yield client


@pytest.fixture
def endpoint():
    """A wsgiref server on 127.0.0.1 serving whatever app is put in ``app[0]``."""
    app: list = [None]
    with serving(lambda environ, start: app[0](environ, start)) as base:
        yield f"{base}/hooks", app


@pytest.fixture(params=["blocking", "async"])
def make_book(request, gateway, clock: Clock, loop: Loop):
    """Opens books of the test's shell on the sandbox: ``make_book(url, webhook_url=…,
    client={client settings}, **book settings)``; closed at the end of the test."""
    with contextlib.ExitStack() as opened:
        def make(url: str, *, client: dict | None = None, **settings):
            options = {"base_url": gateway.base_url, "token": DEFAULT_TOKEN, "timeout": 5.0,
                       "max_retries": 0, **(client or {})}
            settings.setdefault("clock", clock)
            if request.param == "blocking":
                gateway_client = opened.enter_context(Client(DEFAULT_CLIENT_ID, **options))
                return opened.enter_context(PaymentBook(url, gateway_client, **settings))
            async_client = AsyncClient(DEFAULT_CLIENT_ID, **options)
            opened.callback(loop.call, async_client.aclose())
            book = loop.call(AsyncPaymentBook.open(url, async_client, **settings))
            opened.callback(loop.call, book.close())
            return Blocking(book, loop)
        yield make


def pytest_configure(config):
    config.addinivalue_line("markers", "payments_by_hand: the test inserts payments itself")


@pytest.fixture
def book(db_url: str, make_book, endpoint, request):
    url, app = endpoint
    book = make_book(db_url, webhook_url=url)
    app[0] = book.wsgi_app()
    yield book
    if request.node.get_closest_marker("payments_by_hand"):
        return
    # The console's counts by state, kept by each change, are the table's own.
    kept = "SELECT state, SUM(n) FROM book_counts GROUP BY state HAVING SUM(n) <> 0"
    assert sorted((state, int(n)) for state, n in rows(book, kept)) == sorted(rows(
        book, "SELECT state, COUNT(*) FROM book_payments GROUP BY state"))
