"""The embedded default: the standard library's sqlite3, in WAL mode.

Many processes may share the file: readers never wait, and writers queue on the
write lock for up to the busy timeout, after which the call fails with
:class:`StorageError` and nothing was written. SQLite itself lets one writer in at a
time, so connections are not capped: a few idle ones are kept for the next
transactions.
"""

from __future__ import annotations

import os
import sqlite3
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from quorvex_bo.fx.book.database import Conflict, Database, Row, Transaction, close_quietly
from quorvex_bo.fx.book.errors import StorageError


class _SqliteTransaction(Transaction):
    def __init__(self, connection: sqlite3.Connection) -> None:
        self._connection = connection

    def rows(self, sql: str, *params: Any) -> list[Row]:
        try:
            return self._connection.execute(sql, params).fetchall()
        except sqlite3.IntegrityError as error:
            raise Conflict(str(error)) from None
        except sqlite3.Error as error:
            raise _storage_error(error) from None


class SqliteDatabase(Database):
    for_update = ""  # BEGIN IMMEDIATE already holds the only write lock
    skip_locked = ""
    types = {"id": "INTEGER PRIMARY KEY AUTOINCREMENT", "time": "REAL", "amount": "TEXT"}
    #: Idle connections kept for the next transactions; more are closed.
    idle_limit = 8

    def __init__(self, path: str, *, timeout: float) -> None:
        self._path = path
        self._timeout = timeout
        self._idle: list[sqlite3.Connection] = []
        self._lock = threading.Lock()


    def close(self) -> None:
        with self._lock:
            connections, self._idle = self._idle, []
        for connection in connections:
            close_quietly(connection)

    def _acquire(self) -> sqlite3.Connection:
        with self._lock:
            if self._idle:
                return self._idle.pop()
        with self._errors(None):
            return self._connect()

    def _release(self, connection: Any, *, usable: bool) -> None:
        if usable:
            with self._lock:
                if len(self._idle) < self.idle_limit:
                    self._idle.append(connection)
                    return
        close_quietly(connection)

    def _connect(self) -> sqlite3.Connection:
        _create_private(self._path)
        connection = sqlite3.connect(self._path, timeout=self._timeout, isolation_level=None,
                                     check_same_thread=False)
        connection.execute(f"PRAGMA busy_timeout = {int(self._timeout * 1000)}")
        connection.execute("PRAGMA journal_mode = WAL")
        # FULL: a committed transaction survives a power cut, not only a crash.
        connection.execute("PRAGMA synchronous = FULL")
        connection.execute("PRAGMA foreign_keys = ON")
        return connection

    def _begin(self, connection: Any, write: bool) -> Transaction:
        connection.execute("BEGIN IMMEDIATE" if write else "BEGIN")
        return _SqliteTransaction(connection)

    @contextmanager
    def _errors(self, connection: Any) -> Iterator[None]:
        try:
            yield
        except sqlite3.IntegrityError as error:
            raise Conflict(str(error)) from None
        except sqlite3.Error as error:
            if connection is not None and connection.in_transaction:
                self._rollback(connection)
            raise _storage_error(error) from None

    def _usable(self, connection: Any) -> bool:
        return not connection.in_transaction


def _create_private(path: str) -> None:
    """Creates a missing database file readable by its owner alone: it holds payers'
    names and ID numbers. SQLite gives the -wal and -shm files the same mode; a file
    that already exists keeps the mode its owner chose."""
    if path == ":memory:" or path.startswith("file:"):
        return
    try:
        os.close(os.open(path, os.O_RDONLY | os.O_CREAT, 0o600))
    except OSError as error:  # a missing folder or no permission: say so as SQLite would
        raise StorageError(f"the SQLite database is unavailable: {error.strerror}") from None


def _storage_error(error: sqlite3.Error) -> StorageError:
    # SQLite's messages name the problem ("database is locked"), never a value.
    return StorageError(f"the SQLite database is unavailable: {error}")
