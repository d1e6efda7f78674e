"""The database behind a book's URL, chosen by its scheme."""

from __future__ import annotations

from collections.abc import Callable

from quorvex_bo.fx.book.database import Database, safe_url
from quorvex_bo.fx.book.errors import BookError
from quorvex_bo.fx.book.postgres import PostgresDatabase
from quorvex_bo.fx.book.sqlite import SqliteDatabase

__all__ = ["open_database"]


def _sqlite(url: str, timeout: float) -> Database:
    if not url.startswith("sqlite:///") or len(url) == len("sqlite:///"):
        raise BookError("a SQLite URL is sqlite:///relative/path or sqlite:////absolute/path")
    return SqliteDatabase(url[len("sqlite:///"):], timeout=timeout)


def _postgres(url: str, timeout: float) -> Database:
    return PostgresDatabase(url, timeout=timeout)


BACKENDS: dict[str, Callable[[str, float], Database]] = {
    "sqlite": _sqlite, "postgresql": _postgres, "postgres": _postgres}


def open_database(url: str, *, timeout: float) -> Database:
    """The database at ``url``: ``sqlite:///path`` or ``postgresql://…``."""
    if not isinstance(url, str):
        raise TypeError(f"url must be str, not {type(url).__name__}")
    backend = BACKENDS.get(url.split(":", 1)[0].lower())
    if backend is None:
        raise BookError(f"unsupported database URL {safe_url(url)!r}: use sqlite:/// or "
                        "postgresql://")
    return backend(url, timeout)
