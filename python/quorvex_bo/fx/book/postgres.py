"""PostgreSQL, for many processes on many hosts (the ``postgres`` extra: psycopg 3 and
psycopg_pool).

The threads share a bounded pool of connections (``max_connections`` each book): a
burst of requests waits for a free one rather than opening more server connections,
and a wait past ``pool_timeout`` fails with :class:`StorageError`. Connections are in
autocommit mode and open their transactions explicitly. Changes lock the payment's
row (``FOR UPDATE``); reconcile workers claim due payments with ``FOR UPDATE SKIP
LOCKED``, so two never take the same one. The pool checks a connection before
handing it out and replaces a broken one.
"""

from __future__ import annotations

import importlib
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from quorvex_bo.fx.book.database import (Conflict, Database, Row, Transaction, close_quietly,
                                         placeholders, safe_url)
from quorvex_bo.fx.book.errors import BookError, StorageError

# Imported by name: the package type-checks and imports without the extra installed.
psycopg: Any
psycopg_pool: Any
try:
    psycopg = importlib.import_module("psycopg")
    psycopg_pool = importlib.import_module("psycopg_pool")
except ImportError:  # pragma: no cover - depends on the installation
    psycopg = psycopg_pool = None

def check_url(url: str) -> None:
    """Refuses a URL libpq cannot read now, not in the pool's log: libpq's message
    quotes the faulty part, maybe a password."""
    if psycopg is None:
        raise BookError("PostgreSQL needs psycopg 3 and psycopg_pool: "
                        "pip install 'quorvex-bo[postgres]'")
    try:
        psycopg.conninfo.conninfo_to_dict(url)
    except psycopg.Error:
        raise BookError(f"invalid PostgreSQL URL {safe_url(url)!r}") from None


def pool_settings(url: str, timeout: float, max_connections: int, wait: float
                  ) -> dict[str, Any]:
    """What the blocking and the async pool share: the bound, the wait for a free
    connection, and each connection's settings."""
    milliseconds = int(timeout * 1000)
    return {"conninfo": url, "name": "payment book", "min_size": 0,
            "max_size": max_connections, "timeout": wait,
            # A failed connection attempt is retried for one wait at most: the next
            # caller starts a new one rather than waiting out a long backoff.
            "reconnect_timeout": wait,
            "kwargs": {"autocommit": True, "connect_timeout": max(1, int(timeout)),
                       "options": f"-c lock_timeout={milliseconds} "
                                  f"-c statement_timeout={milliseconds * 6}"}}


class _PostgresTransaction(Transaction):
    def __init__(self, database: PostgresDatabase, connection: Any) -> None:
        self._database = database
        self._connection = connection

    def rows(self, sql: str, *params: Any) -> list[Row]:
        with self._database._errors(self._connection):
            cursor = self._connection.execute(placeholders(sql, "%s"), params)
            return list(cursor.fetchall()) if cursor.description else []


class PostgresDatabase(Database):
    for_update = " FOR UPDATE"
    skip_locked = " FOR UPDATE SKIP LOCKED"
    types = {"id": "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY",
             "time": "DOUBLE PRECISION", "amount": "NUMERIC"}

    def __init__(self, url: str, *, timeout: float, max_connections: int = 10,
                 pool_timeout: float | None = None) -> None:
        check_url(url)
        self._wait = timeout if pool_timeout is None else pool_timeout
        self._max = max_connections
        self._out = 0  # connections in transactions, to tell a full pool from a dead server
        self._lock = threading.Lock()
        self._pool = psycopg_pool.ConnectionPool(
            open=True, check=psycopg_pool.ConnectionPool.check_connection,
            **pool_settings(url, timeout, max_connections, self._wait))


    def close(self) -> None:
        self._pool.close()

    def _acquire(self) -> Any:
        try:
            connection = self._pool.getconn(self._wait)
        except psycopg_pool.PoolClosed:
            raise StorageError("the PostgreSQL database is unavailable: the book is closed") \
                from None
        except psycopg_pool.PoolTimeout:
            with self._lock:
                full = self._out >= self._max
            why = f"no connection free within {self._wait:g} s (max_connections={self._max})" \
                if full else f"no connection opened within {self._wait:g} s (the psycopg.pool " \
                "log says why)"
            raise StorageError(f"the PostgreSQL database is unavailable: {why}") from None
        except psycopg.Error as error:
            raise storage_error(error) from None
        with self._lock:
            self._out += 1
        return connection

    def _release(self, connection: Any, *, usable: bool) -> None:
        with self._lock:
            self._out -= 1
        if not usable:
            close_quietly(connection)  # the pool sees it closed and opens another
        self._pool.putconn(connection)

    def _usable(self, connection: Any) -> bool:
        return not connection.broken and connection.info.transaction_status == \
            psycopg.pq.TransactionStatus.IDLE

    def _begin(self, connection: Any, write: bool) -> Transaction:
        connection.execute("BEGIN")
        return _PostgresTransaction(self, connection)

    @contextmanager
    def _errors(self, connection: Any) -> Iterator[None]:
        try:
            yield
        except psycopg.errors.UniqueViolation as error:
            raise Conflict(type(error).__name__) from None
        except psycopg.Error as error:
            raise storage_error(error) from None


def storage_error(error: Any) -> StorageError:
    # The class and SQLSTATE only: a server message may quote values.
    code = getattr(error, "sqlstate", None) or "no SQLSTATE"
    return StorageError(f"the PostgreSQL database is unavailable ({type(error).__name__}, {code})")
