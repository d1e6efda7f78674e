"""The book's webhook endpoint as standard WSGI and ASGI applications, and the one
place where what became of a notification turns into an HTTP answer.

Mount either under the path of ``webhook_url``; the last segment of the request path
names the payment. A body is read only up to the limit: one announced larger is
refused before it is read, and one that turns out larger while it arrives too.
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import Any

from quorvex_bo.fx.book.core import MAX_NOTIFICATION_BYTES, Notified, Outcome
from quorvex_bo.fx.book.records import WebhookReply
from quorvex_bo.fx.telemetry import webhook
from quorvex_bo.fx.web import adapters as layer
from quorvex_bo.fx.web.adapters import ASGIApp, WSGIApp
from quorvex_bo.fx.web.messages import Request, Response, text_error

__all__ = ["ASGIApp", "MAX_NOTIFICATION_BYTES", "WSGIApp", "asgi_app", "reply", "wsgi_app"]

#: The book's ``handle_webhook``: blocking, or a coroutine function.
Receiver = Callable[[str, Any, bytes], Any]


def _answer(status: int, body: bytes, headers: tuple[tuple[str, str], ...] = (
        ("Content-Type", "text/plain"),)) -> WebhookReply:
    return WebhookReply(status, (*headers, ("Content-Length", str(len(body)))), body)


_JSON = (("Content-Type", "application/json"),)
# An unknown reference is answered as a wrong secret: a guess learns nothing.
_REPLIES = {
    Outcome.APPLIED: _answer(200, b'{"received":true}', _JSON),
    Outcome.DUPLICATE: _answer(200, b'{"received":true}', _JSON),
    Outcome.FORGED: _answer(401, b"not authenticated"),
    Outcome.UNKNOWN: _answer(401, b"not authenticated"),
    Outcome.UNREADABLE: _answer(400, b"unreadable notification"),
    Outcome.OTHER_PAYMENT: _answer(400, b"the notification names another payment"),
    Outcome.TOO_LARGE: _answer(413, b"notification too large"),
    Outcome.UNAVAILABLE: _answer(503, b"try again later", (("Retry-After", "5"),)),
}


def reply(notified: Notified) -> WebhookReply:
    """The HTTP answer to give the gateway (a Binance notification gets its ack)."""
    if notified.ack is not None:
        return _answer(200, notified.ack.encode(), _JSON)
    return _REPLIES[notified.outcome]


def _response(answer: WebhookReply) -> Response:
    return Response(answer.status, answer.headers, answer.body)


_NOT_ALLOWED = Response(405, (("Allow", "POST"), ("Content-Length", "0")), b"")
_TOO_LARGE = Response(413, (("Content-Length", "0"),), b"")
_UNREADABLE = Response(400, (("Content-Type", "text/plain"), ("Content-Length", "23")),
                       b"unreadable notification")


def _refused(status: int, message: str) -> Response:
    """A notification the web layer refused before the book saw it (too large, an
    unreadable length), counted like the book's own; a handler that failed is a 500."""
    if status == 500:
        return text_error(status, message)
    too_large = status == 413
    webhook(Outcome.TOO_LARGE if too_large else Outcome.UNREADABLE)
    return _TOO_LARGE if too_large else _UNREADABLE


def wsgi_app(book: Callable[[str, Any, bytes], Notified]) -> WSGIApp:
    def app(request: Request) -> Response:
        if request.method != "POST":
            return _NOT_ALLOWED
        return _response(reply(book(request.path, request.headers, request.body)))

    return layer.wsgi_app(app, max_body=MAX_NOTIFICATION_BYTES, error=_refused)


def asgi_app(book: Receiver, *, blocking: bool) -> ASGIApp:
    """``blocking``: ``book`` is a blocking function, run on a thread; otherwise it is a
    coroutine function, awaited on the event loop."""
    async def app(request: Request) -> Response:
        if request.method != "POST":
            return _NOT_ALLOWED
        arguments = (request.path, request.headers, request.body)
        if blocking:  # the blocking book's database calls: off the event loop
            return _response(reply(await asyncio.to_thread(book, *arguments)))
        return _response(reply(await book(*arguments)))

    return layer.asgi_app(app, max_body=MAX_NOTIFICATION_BYTES, error=_refused)
