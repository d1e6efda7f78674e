"""Checking and reading the notifications the gateway posts to your webhook.

Hand over the request's headers and raw body exactly as your web framework received
them, with the header name and secret value you gave in :class:`WebhookTarget`. The
header is checked first (in constant time); only an authentic notification is read::

    note = parse_fx(request.headers, request.body, key="X-Quorvex-Hook", value=secret)
"""

from __future__ import annotations

import json
from typing import Any, Iterable, Mapping, Protocol, Tuple, TypeVar, Union

from quorvex_bo.fx._attempt import core_call
from quorvex_bo.fx.errors import DecodeError
from quorvex_bo.fx.models import BinanceNotification, FxNotification, from_core

__all__ = ["Headers", "binance_ack", "parse_binance", "parse_fx"]

_Text = Union[str, bytes]


class _HasItems(Protocol):
    """Header objects that are not mappings but list their pairs (``http.server``'s)."""

    def items(self) -> Iterable[Tuple[Any, Any]]: ...


#: A mapping of header names to values, an object with ``items()`` such as
#: ``http.server``'s headers, or a sequence of (name, value) pairs; names and values
#: may be ``str`` or ``bytes`` (as ASGI servers deliver them).
Headers = Union[Mapping[Any, Any], _HasItems, Iterable[Tuple[_Text, _Text]]]

_Note = TypeVar("_Note", FxNotification, BinanceNotification)


def parse_fx(headers: Headers, body: bytes | str, *, key: str, value: str) -> FxNotification:
    """Authenticates and reads a Pix or virtual-asset payment notification.

    Args:
        headers: the request headers.
        body: the raw request body (``bytes`` must be UTF-8).
        key: the header name given in the webhook target.
        value: the secret header value given in the webhook target (not empty).

    Raises:
        WebhookAuthenticationError: the header is missing or its value differs.
        DecodeError: the body is not UTF-8 or not JSON.
        ValidationError: ``value`` is empty.
    """
    return _parse("fx.webhook.parse", FxNotification, headers, body, key, value)


def parse_binance(
    headers: Headers, body: bytes | str, *, key: str, value: str
) -> BinanceNotification:
    """Authenticates and reads a Binance payment notification.

    Answer the gateway with :func:`binance_ack` of the result.

    Raises:
        WebhookAuthenticationError: the header is missing or its value differs.
        DecodeError: the body is not UTF-8, not JSON, or lacks the expected members.
        ValidationError: ``value`` is empty.
    """
    return _parse("binance.webhook.parse", BinanceNotification, headers, body, key, value)


def binance_ack(notification: BinanceNotification) -> str:
    """The JSON text to answer a Binance notification with (status 200)."""
    return json.dumps(notification.ack, separators=(",", ":"), ensure_ascii=False)


def _text(value: object, what: str) -> str:
    if isinstance(value, bytes):
        return value.decode("latin-1")  # how HTTP carries header bytes
    if isinstance(value, str):
        return value
    raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")


def _header_map(headers: Headers) -> dict[str, str]:
    pairs = headers.items() if hasattr(headers, "items") else headers
    found: dict[str, str] = {}
    for name, value in pairs:
        found[_text(name, "a header name")] = _text(value, "a header value")
    return found


def _parse(
    op: str, result: type[_Note], headers: Headers, body: bytes | str, key: str, value: str
) -> _Note:
    for name, given in (("key", key), ("value", value)):
        if not isinstance(given, str):
            raise TypeError(f"{name} must be str, not {type(given).__name__}")
    call = {"headers": _header_map(headers), "body": "", "key": key, "value": value}
    try:
        call["body"] = body.decode("utf-8") if isinstance(body, bytes) else _text(body, "body")
    except UnicodeDecodeError as error:
        # The header is still checked first: a forged notification is reported as such.
        try:
            core_call(op, json.dumps(call))
        except DecodeError:
            pass
        raise DecodeError("the notification body is not valid UTF-8") from error
    return from_core(result, core_call(op, json.dumps(call)))
