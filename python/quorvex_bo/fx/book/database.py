"""One interface to the book's database; SQLite and PostgreSQL stand behind it.

Statements are written once, with ``?`` placeholders and the clauses that differ
between the two (``FOR UPDATE SKIP LOCKED``) taken from the database object. Every
connection belongs to one thread; every change happens in a write transaction that
either commits whole or is rolled back.
"""

from __future__ import annotations

import abc
import re
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

__all__ = ["Conflict", "Database", "Transaction", "safe_url"]

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
    """A small pool of connections to one database, each used by one transaction at
    a time (web servers start a thread per request: connections must outlive them)."""

    #: Appended to a SELECT that reads rows about to be changed.
    for_update: str
    #: Appended to a SELECT that claims work other workers must not take.
    skip_locked: str
    #: Column types of the schema, by role.
    types: dict[str, str]
    #: Idle connections kept for the next transactions; more are closed.
    idle_limit = 8

    def __init__(self) -> None:
        self._idle: list[Any] = []
        self._lock = threading.Lock()

    @contextmanager
    def transaction(self, *, write: bool) -> Iterator[Transaction]:
        """A transaction: committed when the block ends, rolled back when it raises.
        A write transaction on SQLite takes the write lock at once (``BEGIN
        IMMEDIATE``), so two writers never deadlock upgrading their locks."""
        connection = self._acquire()
        try:
            with self._errors(connection):
                tx = self._begin(connection, write)
            try:
                yield tx
            except BaseException:
                self._rollback(connection)
                raise
            with self._errors(connection):
                self._commit(connection)
        except BaseException:
            self._discard(connection)
            raise
        self._release(connection)

    @abc.abstractmethod
    def lock_schema(self, tx: Transaction) -> None:
        """Makes concurrent migrations wait for each other."""

    def close(self) -> None:
        with self._lock:
            connections, self._idle = self._idle, []
        for connection in connections:
            _close(connection)

    def _acquire(self) -> Any:
        with self._lock:
            if self._idle:
                return self._idle.pop()
        with self._errors(None):
            return self._connect()

    def _release(self, connection: Any) -> None:
        with self._lock:
            if len(self._idle) < self.idle_limit:
                self._idle.append(connection)
                return
        _close(connection)

    def _discard(self, connection: Any) -> None:
        """After a failure: a connection still usable goes back, a broken one is closed."""
        if self._usable(connection):
            self._release(connection)
        else:
            _close(connection)

    def _rollback(self, connection: Any) -> None:
        try:
            connection.execute("ROLLBACK")
        except Exception:  # the connection is gone: the server rolls back for us
            pass

    def _usable(self, connection: Any) -> bool:
        return True

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


def _close(connection: Any) -> None:
    try:
        connection.close()
    except Exception:  # a connection already broken needs no closing
        pass


def safe_url(url: str) -> str:
    """The URL without its passwords, for ``repr`` and messages: the one in the user
    part and the ``password`` and ``sslpassword`` parameters. Read by hand rather than
    with ``urlsplit``, which refuses the hosts of a multi-host URL (``h1:5432,h2:5432``)."""
    scheme, separator, rest = url.partition("://")
    if not separator:
        return url
    end = min((rest.find(mark) for mark in "/?#" if mark in rest), default=len(rest))
    location, tail = rest[:end], rest[end:]
    user, at, hosts = location.rpartition("@")
    if at and ":" in user:
        location = f"{user.split(':', 1)[0]}:***@{hosts}" if user.split(":", 1)[0] \
            else f"***@{hosts}"
    tail = tail.split("#", 1)[0]
    tail = _PASSWORD_PARAMETER.sub(lambda found: f"{found[1]}***", tail)
    return f"{scheme}://{location}{tail}"


# password=… and sslpassword=… in a query, up to the next parameter.
_PASSWORD_PARAMETER = re.compile(r"([?&](?:ssl)?password=)[^&#]*", re.IGNORECASE)


def placeholders(sql: str, mark: str) -> str:
    """``sql`` with each ``?`` replaced by ``mark`` (the statements hold no literal ``?``)."""
    return sql.replace("?", mark)

