"""PostgreSQL, for many processes on many hosts (the ``postgres`` extra: psycopg 3).

Each thread holds one connection in autocommit mode and opens its transactions
explicitly. Changes lock the payment's row (``FOR UPDATE``); reconcile workers claim
due payments with ``FOR UPDATE SKIP LOCKED``, so two never take the same one. A
broken connection is dropped and the next call opens a new one.
"""

from __future__ import annotations

import importlib
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from quorvex_bo.fx.book.database import Conflict, Database, Row, Transaction, placeholders
from quorvex_bo.fx.book.errors import BookError, StorageError

# Imported by name: the package type-checks and imports without the extra installed.
psycopg: Any
try:
    psycopg = importlib.import_module("psycopg")
except ImportError:  # pragma: no cover - depends on the installation
    psycopg = None

# Any fixed number: the key of the advisory lock that serialises migrations.
_SCHEMA_LOCK = 0x71B0_0B00


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

    def __init__(self, url: str, *, timeout: float) -> None:
        if psycopg is None:
            raise BookError("PostgreSQL needs psycopg 3: pip install 'quorvex-bo[postgres]'")
        super().__init__()
        self._url = url
        self._timeout = timeout

    def lock_schema(self, tx: Transaction) -> None:
        tx.run("SELECT pg_advisory_xact_lock(?)", _SCHEMA_LOCK)

    def _connect(self) -> Any:
        milliseconds = int(self._timeout * 1000)
        return psycopg.connect(
            self._url, autocommit=True, connect_timeout=max(1, int(self._timeout)),
            options=f"-c lock_timeout={milliseconds} -c statement_timeout={milliseconds * 6}",
        )

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
            # The class and SQLSTATE only: a server message may quote values.
            code = getattr(error, "sqlstate", None) or "no SQLSTATE"
            raise StorageError(
                f"the PostgreSQL database is unavailable ({type(error).__name__}, {code})"
            ) from None
