"""Exceptions raised by the client, one class per kind of failure.

Every failure the native core reports arrives as one error record with a ``kind``;
:func:`from_core` turns it into the matching subclass of :class:`QuorvexError`, so a
caller catches exactly the kinds it can handle. Failures of the network itself
(:class:`NetworkError`, :class:`RequestTimeoutError`) keep the transport's exception
as ``__cause__``.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ClassVar, Mapping, Sequence

__all__ = [
    "ApiFieldError",
    "QuorvexError",
    "ValidationError",
    "AuthenticationError",
    "ApiError",
    "AmbiguousError",
    "DecodeError",
    "WebhookAuthenticationError",
    "CoreError",
    "NetworkError",
    "RequestTimeoutError",
    "from_core",
]


@dataclass(frozen=True)
class ApiFieldError:
    """One item of the error list the gateway returned with a failure.

    Attributes:
        field: the input field the item refers to, when the gateway named one.
        message: the gateway's description of the problem.
        code: the gateway's code for the item (for example ``"GQ-021"``), if any.
    """

    field: str | None
    message: str
    code: str | None


class QuorvexError(Exception):
    """Base class of every error this library raises on purpose.

    Attributes:
        kind: the failure class: ``"validation"``, ``"authentication"``, ``"api"``,
            ``"ambiguous"``, ``"decode"``, ``"webhook_auth"``, ``"ffi"``, ``"network"``
            or ``"timeout"``.
        message: a human-readable description (never holds a token or webhook secret).
        retryable: whether sending the same request again may succeed.
        status: the HTTP status of the gateway's answer, when there was one.
        field: the offending argument or input field (validation errors only).
        errors: the gateway's itemised errors (possibly empty).
    """

    kind: ClassVar[str] = "error"

    def __init__(
        self,
        message: str,
        *,
        retryable: bool = False,
        status: int | None = None,
        field: str | None = None,
        errors: Sequence[ApiFieldError] = (),
    ) -> None:
        self.message = message
        self.retryable = retryable
        self.status = status
        self.field = field
        self.errors: tuple[ApiFieldError, ...] = tuple(errors)
        super().__init__(message)

    def __str__(self) -> str:
        prefix = f"{self.field}: " if self.field else ""
        suffix = f" (HTTP {self.status})" if self.status is not None else ""
        return f"{prefix}{self.message}{suffix}"

    def __repr__(self) -> str:
        return f"{type(self).__name__}({str(self)!r})"


class ValidationError(QuorvexError, ValueError):
    """An argument or setting broke a rule; nothing was sent. ``field`` names it."""

    kind = "validation"


class AuthenticationError(QuorvexError):
    """The gateway refused the credentials (HTTP 401 or 403)."""

    kind = "authentication"


class ApiError(QuorvexError):
    """The gateway reported a failure, or answered with a failure status.

    ``retryable`` is true only for failures a later attempt may cure (HTTP 408, 429
    and 5xx without a failure report of the gateway's own).
    """

    kind = "api"


class AmbiguousError(QuorvexError):
    """The request may have reached the gateway, but no readable answer came back.

    Raised for operations that must not be repeated blindly (generation, cancel).
    The outcome is unknown: ask with ``verify`` and the same reference.
    """

    kind = "ambiguous"


class DecodeError(QuorvexError):
    """An answer or a notification did not have the expected shape."""

    kind = "decode"


class WebhookAuthenticationError(QuorvexError):
    """An incoming notification lacked the agreed header, or its value did not match."""

    kind = "webhook_auth"


class CoreError(QuorvexError):
    """The native core could not run the call (a fault of this library, not of the caller)."""

    kind = "ffi"


class NetworkError(QuorvexError):
    """The gateway could not be reached, or the connection failed during an operation
    that is safe to repeat (the underlying exception is ``__cause__``)."""

    kind = "network"


class RequestTimeoutError(NetworkError):
    """The gateway did not answer in time during an operation that is safe to repeat."""

    kind = "timeout"


_BY_KIND: dict[str, type[QuorvexError]] = {
    cls.kind: cls
    for cls in (
        ValidationError,
        AuthenticationError,
        ApiError,
        AmbiguousError,
        DecodeError,
        WebhookAuthenticationError,
        CoreError,
    )
}


def from_core(error: Mapping[str, Any]) -> QuorvexError:
    """Makes the exception for an error record of the native core."""
    items = [
        ApiFieldError(field=item.get("field"), message=item["message"], code=item.get("code"))
        for item in error.get("errors") or ()
    ]
    cls = _BY_KIND.get(str(error.get("kind")), CoreError)
    return cls(
        str(error.get("message", "")),
        retryable=bool(error.get("retryable", False)),
        status=error.get("status"),
        field=error.get("field"),
        errors=items,
    )
