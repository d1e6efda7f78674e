"""What the payment book raises: every failure is a :class:`QuorvexError`."""

from __future__ import annotations

from quorvex_bo.fx.errors import QuorvexError

__all__ = ["BookError", "ForbiddenError", "StorageError"]


class BookError(QuorvexError):
    """The book cannot do what was asked (an unsupported database URL, a schema newer
    than this library, an unknown order)."""

    kind = "book"


class StorageError(BookError):
    """The database is unavailable, or stayed locked past its timeout. Nothing was
    half-written: the transaction was rolled back, and the same call may be repeated."""

    kind = "storage"

    def __init__(self, message: str) -> None:
        super().__init__(message, retryable=True)


class ForbiddenError(BookError):
    """The operator may only read: the console and the CLI take no action for them."""

    kind = "forbidden"
