"""Fixtures of the book's tests: a real PostgreSQL server for the session, a fresh
database of each kind per test, the sandbox gateway and a book whose webhook
endpoint is served by wsgiref on 127.0.0.1."""

from __future__ import annotations

import itertools
import os
import pathlib
import threading
import time
import wsgiref.simple_server
from socketserver import ThreadingMixIn

import pytest

from quorvex_bo.fx import Client
from quorvex_bo.fx.book import PaymentBook
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


def rows(book: PaymentBook, sql: str) -> list:
    """What the book's database holds, as a dump would show it."""
    with book._db.transaction(write=False) as tx:
        return tx.rows(sql)


@pytest.fixture(scope="session")
def postgres_server():
    """A PostgreSQL server for the session; yields its socket directory."""
    if not pg_server.available():
        pytest.skip(f"PostgreSQL server binaries not found in {pg_server.PG_BIN} "
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


class Server(ThreadingMixIn, wsgiref.simple_server.WSGIServer):
    daemon_threads = True


class Quiet(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


@pytest.fixture
def endpoint():
    """A wsgiref server on 127.0.0.1 serving whatever app is put in ``app[0]``."""
    app: list = [None]
    server = wsgiref.simple_server.make_server(
        "127.0.0.1", 0, lambda environ, start: app[0](environ, start), Server, Quiet)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                              daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/hooks", app
    server.shutdown()
    server.server_close()


@pytest.fixture
def book(db_url: str, client: Client, clock: Clock, endpoint):
    url, app = endpoint
    with PaymentBook(db_url, client, webhook_url=url, clock=clock) as book:
        app[0] = book.wsgi_app()
        yield book
