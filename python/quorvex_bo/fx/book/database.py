"""One interface to the book's database; SQLite and PostgreSQL stand behind it.

Statements are written once, with ``?`` placeholders and the clauses that differ
between the two (``FOR UPDATE SKIP LOCKED``) taken from the database object. Each
backend keeps a pool of connections that the threads share in turn, one transaction
on a connection at a time; every change happens in a write transaction that either
commits whole or is rolled back.
"""

from __future__ import annotations

import abc
import re
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
    """Connections to one database, each used by one transaction at a time and kept
    between transactions (web servers start a thread per request: connections must
    outlive them)."""

    #: Appended to a SELECT that reads rows about to be changed.
    for_update: str
    #: Appended to a SELECT that claims work other workers must not take.
    skip_locked: str
    #: Column types of the schema, by role.
    types: dict[str, str]

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
            self._release(connection, usable=self._usable(connection))
            raise
        self._release(connection, usable=True)

    @abc.abstractmethod
    def close(self) -> None:
        """Closes the connections kept between transactions."""

    @abc.abstractmethod
    def _acquire(self) -> Any:
        """A connection for one transaction, or :class:`StorageError`."""

    @abc.abstractmethod
    def _release(self, connection: Any, *, usable: bool) -> None:
        """Takes a connection back after its transaction; one not usable is closed."""

    def _rollback(self, connection: Any) -> None:
        try:
            connection.execute("ROLLBACK")
        except Exception:  # the connection is gone: the server rolls back for us
            pass

    def _usable(self, connection: Any) -> bool:
        """After a failure: whether the connection may serve another transaction."""
        return True

    @abc.abstractmethod
    def _begin(self, connection: Any, write: bool) -> Transaction: ...

    def _commit(self, connection: Any) -> None:
        connection.execute("COMMIT")

    @abc.abstractmethod
    @contextmanager
    def _errors(self, connection: Any) -> Iterator[None]:
        """Turns the driver's failures into :class:`StorageError` or :class:`Conflict`."""
        yield


def close_quietly(connection: Any) -> None:
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

