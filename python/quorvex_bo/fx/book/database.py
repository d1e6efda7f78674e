"""One interface to the book's database; SQLite and PostgreSQL stand behind it.

Statements are written once, with ``?`` placeholders and the clauses that differ
between the two (``FOR UPDATE SKIP LOCKED``) taken from the database object. Every
connection belongs to one thread; every change happens in a write transaction that
either commits whole or is rolled back.
"""

from __future__ import annotations

import abc
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any
from urllib.parse import urlsplit, urlunsplit

from quorvex_bo.fx.book.errors import BookError

__all__ = ["Conflict", "Database", "Transaction", "open_database", "safe_url"]

Row = tuple[Any, ...]


class Conflict(Exception):
    """A unique constraint refused a row: another process got there first."""


class Transaction(abc.ABC):
    """Statements inside one transaction."""

    @abc.abstractmethod
    def rows(self, sql: str, *params: Any) -> list[Row]:
        """Runs a statement and returns its rows."""

    def row(self, sql: str, *params: Any) -> Row | None:
        found = self.rows(sql, *params)
        return found[0] if found else None

    def run(self, sql: str, *params: Any) -> None:
        self.rows(sql, *params)


class Database(abc.ABC):
    """A connection per thread to one database."""

    #: Appended to a SELECT that reads rows about to be changed.
    for_update: str
    #: Appended to a SELECT that claims work other workers must not take.
    skip_locked: str
    #: Column types of the schema, by role.
    types: dict[str, str]

    def __init__(self) -> None:
        self._local = threading.local()
        self._all: list[Any] = []
        self._lock = threading.Lock()

    @contextmanager
    def transaction(self, *, write: bool) -> Iterator[Transaction]:
        """A transaction: committed when the block ends, rolled back when it raises.
        A write transaction on SQLite takes the write lock at once (``BEGIN
        IMMEDIATE``), so two writers never deadlock upgrading their locks."""
        connection = self._connection()
        with self._errors(connection):
            tx = self._begin(connection, write)
        try:
            yield tx
        except BaseException:
            self._rollback(connection)
            raise
        with self._errors(connection):
            self._commit(connection)

    @abc.abstractmethod
    def lock_schema(self, tx: Transaction) -> None:
        """Makes concurrent migrations wait for each other."""

    def close(self) -> None:
        with self._lock:
            connections, self._all = self._all, []
        for connection in connections:
            try:
                connection.close()
            except Exception:  # a connection already broken needs no closing
                pass
        self._local = threading.local()

    def _connection(self) -> Any:
        connection = getattr(self._local, "connection", None)
        if connection is None:
            with self._errors(None):
                connection = self._connect()
            self._local.connection = connection
            with self._lock:
                self._all.append(connection)
        return connection

    def _forget(self, connection: Any) -> None:
        """Drops a broken connection; the thread's next transaction opens a new one."""
        if getattr(self._local, "connection", None) is connection:
            self._local.connection = None
        with self._lock:
            if connection in self._all:
                self._all.remove(connection)
        try:
            connection.close()
        except Exception:
            pass

    def _rollback(self, connection: Any) -> None:
        try:
            connection.execute("ROLLBACK")
        except Exception:  # the connection is gone: the server rolls back for us
            self._forget(connection)

    @abc.abstractmethod
    def _connect(self) -> Any: ...

    @abc.abstractmethod
    def _begin(self, connection: Any, write: bool) -> Transaction: ...

    def _commit(self, connection: Any) -> None:
        connection.execute("COMMIT")

    @abc.abstractmethod
    @contextmanager
    def _errors(self, connection: Any) -> Iterator[None]:
        """Turns the driver's failures into :class:`StorageError` or :class:`Conflict`."""
        yield


def safe_url(url: str) -> str:
    """The URL without its password, for ``repr`` and messages."""
    parts = urlsplit(url)
    if parts.password is None:
        return url
    host = parts.hostname or ""
    user = f"{parts.username}:***@" if parts.username else "***@"
    port = f":{parts.port}" if parts.port else ""
    return urlunsplit((parts.scheme, user + host + port, parts.path, parts.query, ""))


def open_database(url: str, *, timeout: float) -> Database:
    """The database at ``url``: ``sqlite:///path`` or ``postgresql://…``."""
    if not isinstance(url, str):
        raise TypeError(f"url must be str, not {type(url).__name__}")
    scheme = url.split(":", 1)[0].lower()
    if scheme == "sqlite":
        from quorvex_bo.fx.book.sqlite import SqliteDatabase

        if not url.startswith("sqlite:///") or len(url) == len("sqlite:///"):
            raise BookError("a SQLite URL is sqlite:///relative/path or sqlite:////absolute/path")
        return SqliteDatabase(url[len("sqlite:///"):], timeout=timeout)
    if scheme in ("postgresql", "postgres"):
        from quorvex_bo.fx.book.postgres import PostgresDatabase

        return PostgresDatabase(url, timeout=timeout)
    raise BookError(f"unsupported database URL {safe_url(url)!r}: use sqlite:/// or postgresql://")


def placeholders(sql: str, mark: str) -> str:
    """``sql`` with each ``?`` replaced by ``mark`` (the statements hold no literal ``?``)."""
    return sql.replace("?", mark)

