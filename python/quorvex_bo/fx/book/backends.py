"""The database behind a book's URL, chosen by its scheme."""

from __future__ import annotations

from collections.abc import Callable

from quorvex_bo.fx.book.database import Database, safe_url
from quorvex_bo.fx.book.errors import BookError
from quorvex_bo.fx.book.postgres import PostgresDatabase
from quorvex_bo.fx.book.sqlite import SqliteDatabase
from quorvex_bo.fx.errors import ValidationError

__all__ = ["open_database"]


def _sqlite(url: str, timeout: float, max_connections: int, pool_timeout: float | None
            ) -> Database:
    if not url.startswith("sqlite:///") or len(url) == len("sqlite:///"):
        raise BookError("a SQLite URL is sqlite:///relative/path or sqlite:////absolute/path")
    # Not capped: SQLite lets one writer in at a time, and a connection is a file handle.
    return SqliteDatabase(url[len("sqlite:///"):], timeout=timeout)


def _postgres(url: str, timeout: float, max_connections: int, pool_timeout: float | None
              ) -> Database:
    return PostgresDatabase(url, timeout=timeout, max_connections=max_connections,
                            pool_timeout=pool_timeout)


BACKENDS: dict[str, Callable[[str, float, int, float | None], Database]] = {
    "sqlite": _sqlite, "postgresql": _postgres, "postgres": _postgres}


def open_database(url: str, *, timeout: float, max_connections: int = 10,
                  pool_timeout: float | None = None) -> Database:
    """The database at ``url``: ``sqlite:///path`` or ``postgresql://…``.

    ``max_connections`` caps the PostgreSQL connections; a transaction waits up to
    ``pool_timeout`` seconds (default ``timeout``) for a free one."""
    if not isinstance(url, str):
        raise TypeError(f"url must be str, not {type(url).__name__}")
    if not isinstance(max_connections, int) or isinstance(max_connections, bool):
        raise TypeError(f"max_connections must be int, not {type(max_connections).__name__}")
    if max_connections < 1:
        raise ValidationError("must be at least 1", field="max_connections")
    if pool_timeout is not None:
        if not isinstance(pool_timeout, (int, float)) or isinstance(pool_timeout, bool):
            raise TypeError(f"pool_timeout must be a number, not {type(pool_timeout).__name__}")
        if not pool_timeout > 0:  # also refuses NaN
            raise ValidationError("must be more than 0 seconds", field="pool_timeout")
    backend = BACKENDS.get(url.split(":", 1)[0].lower())
    if backend is None:
        raise BookError(f"unsupported database URL {safe_url(url)!r}: use sqlite:/// or "
                        "postgresql://")
    return backend(url, timeout, max_connections, pool_timeout)
