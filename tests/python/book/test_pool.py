"""The book's PostgreSQL connections are bounded: a burst of webhooks waits for a free
connection rather than opening more, and a wait too long is a StorageError (503)."""

from __future__ import annotations

import itertools
import os
import time
from concurrent.futures import ThreadPoolExecutor

import psycopg
import pytest

from quorvex_bo.fx.book import HEADER, PaymentBook, StorageError

from . import pg_server
from .conftest import PIX
from .test_book import post

_databases = itertools.count()


@pytest.fixture
def pg_url(postgres_server) -> str:
    return pg_server.new_database(postgres_server, f"pool_{os.getpid()}_{next(_databases)}")


def test_a_burst_of_webhooks_never_opens_more_than_max_connections(pg_url, make_book, gateway,
                                                                   endpoint):
    book = make_book(pg_url, webhook_url=endpoint[0], max_connections=2)
    with psycopg.connect(pg_url, autocommit=True) as admin:
        payment = book.create("o-burst", **PIX)
        secret = gateway.payment("pix", payment.reference).webhook.value
        paid = {"numeroReferencia": payment.reference, "estado": "PAGADO", "monto": 10.5}

        def opened() -> int:  # the book's server connections, not this one
            return admin.execute("SELECT count(*) - 1 FROM pg_stat_activity "
                                 "WHERE datname = current_database()").fetchone()[0]
        seen = set()
        with ThreadPoolExecutor(20) as threads:
            replies = [threads.submit(post, book, payment.reference, paid, **{HEADER: secret})
                       for _ in range(20)]
            deadline = time.monotonic() + 60
            while not all(reply.done() for reply in replies) and time.monotonic() < deadline:
                seen.add(opened())
        assert [reply.result(0).status for reply in replies] == [200] * 20
        assert max(seen | {opened()}) == 2


def test_a_wait_past_pool_timeout_is_a_storage_error_and_a_503(pg_url, client, endpoint):
    with PaymentBook(pg_url, client, webhook_url=endpoint[0], max_connections=2,
                     pool_timeout=0.5) as book:
        with book._db.transaction(write=False), book._db.transaction(write=False):  # both taken
            with pytest.raises(StorageError) as raised:
                book.get("o-wait")
            assert (post(book, "123", {}).status, raised.value.message) == (503, (
                "the PostgreSQL database is unavailable: no connection free within 0.5 s "
                "(max_connections=2)"))
        assert post(book, "123", {}).status == 401  # served again: the reference is unknown
