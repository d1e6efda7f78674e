"""The async book's databases: PostgreSQL on psycopg's async connections, so that no
call leaves the event loop, and SQLite on a worker thread (the standard library's
driver blocks), so that the loop never waits on the disk.

Both run the same transaction bodies as the blocking book
(:mod:`~quorvex_bo.fx.book.store`).
"""

from __future__ import annotations

import asyncio
from typing import Any, Protocol, TypeVar

from quorvex_bo.fx.book.backends import open_database
from quorvex_bo.fx.book.database import Conflict, Database, Row, placeholders
from quorvex_bo.fx.book.errors import StorageError
from quorvex_bo.fx.book.postgres import (PostgresDatabase, check_url, pool_settings, psycopg,
                                         psycopg_pool, storage_error)
from quorvex_bo.fx.book.schema import migration
from quorvex_bo.fx.book.store import Body, drive

__all__ = ["AsyncDatabase", "open_async_database"]

T = TypeVar("T")


class AsyncDatabase(Protocol):
    for_update: str
    skip_locked: str

    async def run(self, body: Body[T], *, write: bool) -> T:
        """Runs a transaction body in one transaction: committed when it returns,
        rolled back when it raises."""

    async def migrate(self) -> int: ...

    async def close(self) -> None: ...


class ThreadedDatabase:
    """A blocking database (SQLite) whose transactions run on worker threads."""

    def __init__(self, database: Database) -> None:
        self._db = database
        self.for_update, self.skip_locked = database.for_update, database.skip_locked

    def _run(self, body: Body[T], write: bool) -> T:
        with self._db.transaction(write=write) as tx:
            return drive(tx, body)

    async def run(self, body: Body[T], *, write: bool) -> T:
        return await asyncio.to_thread(self._run, body, write)

    async def migrate(self) -> int:
        return await self.run(migration(self._db.types, serialised=False), write=True)

    async def close(self) -> None:
        await asyncio.to_thread(self._db.close)


class AsyncPostgresDatabase:
    """PostgreSQL through ``psycopg_pool.AsyncConnectionPool``: at most
    ``max_connections`` connections, a wait past ``pool_timeout`` for one fails with
    :class:`StorageError`."""

    for_update = PostgresDatabase.for_update
    skip_locked = PostgresDatabase.skip_locked

    def __init__(self, url: str, *, timeout: float, max_connections: int,
                 pool_timeout: float | None) -> None:
        check_url(url)
        self._wait = timeout if pool_timeout is None else pool_timeout
        self._max = max_connections
        self._pool = psycopg_pool.AsyncConnectionPool(
            open=False, check=psycopg_pool.AsyncConnectionPool.check_connection,
            **pool_settings(url, timeout, max_connections, self._wait))

    async def open(self) -> None:
        await self._pool.open(wait=False)

    async def run(self, body: Body[T], *, write: bool) -> T:
        try:
            async with self._pool.connection(self._wait) as connection:
                await connection.execute("BEGIN")
                rows: list[Row] | None = None
                try:
                    while True:
                        try:
                            sql, params = body.send(rows)  # type: ignore[arg-type]
                        except StopIteration as done:
                            result: T = done.value
                            break
                        cursor = await connection.execute(placeholders(sql, "%s"), params)
                        rows = list(await cursor.fetchall()) if cursor.description else []
                except BaseException:
                    if not connection.broken:
                        await connection.execute("ROLLBACK")
                    raise
                await connection.execute("COMMIT")
                return result
        except psycopg_pool.PoolTimeout:
            raise StorageError(f"the PostgreSQL database is unavailable: no connection free "
                               f"within {self._wait:g} s (max_connections={self._max})") \
                from None
        except psycopg_pool.PoolClosed:
            raise StorageError("the PostgreSQL database is unavailable: the book is closed") \
                from None
        except psycopg.errors.UniqueViolation as error:
            raise Conflict(type(error).__name__) from None
        except psycopg.Error as error:
            raise storage_error(error) from None

    async def migrate(self) -> int:
        return await self.run(migration(PostgresDatabase.types, serialised=True), write=True)

    async def close(self) -> None:
        await self._pool.close()


async def open_async_database(url: str, *, timeout: float, max_connections: int,
                              pool_timeout: float | None) -> AsyncDatabase:
    """The database at ``url`` for the async book: ``sqlite:///path`` or ``postgresql://…``."""
    if isinstance(url, str) and url.split(":", 1)[0].lower() in ("postgresql", "postgres"):
        database = AsyncPostgresDatabase(url, timeout=timeout, max_connections=max_connections,
                                         pool_timeout=pool_timeout)
        await database.open()
        return database
    # SQLite (or the refusal of an unsupported URL), as the blocking book opens it.
    blocking: Any = await asyncio.to_thread(open_database, url, timeout=timeout,
                                            max_connections=max_connections,
                                            pool_timeout=pool_timeout)
    return ThreadedDatabase(blocking)
