"""The book's webhook endpoint as standard WSGI and ASGI applications, and the one
place where what became of a notification turns into an HTTP answer.

Mount either under the path of ``webhook_url``; the last segment of the request path
names the payment. A body is read only up to the limit: one announced larger is
refused before it is read, and one that turns out larger while it arrives too.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable, Iterable
from http import HTTPStatus
from typing import Any

from quorvex_bo.fx.book.core import MAX_NOTIFICATION_BYTES, Notified, Outcome
from quorvex_bo.fx.book.records import WebhookReply
from quorvex_bo.fx.telemetry import webhook

__all__ = ["ASGIApp", "MAX_NOTIFICATION_BYTES", "WSGIApp", "asgi_app", "reply", "wsgi_app"]

WSGIApp = Callable[[dict[str, Any], Callable[..., Any]], Iterable[bytes]]
ASGIApp = Callable[[dict[str, Any], Callable[[], Awaitable[dict[str, Any]]],
                    Callable[[dict[str, Any]], Awaitable[None]]], Awaitable[None]]


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


_NOT_ALLOWED = WebhookReply(405, (("Allow", "POST"), ("Content-Length", "0")), b"")
_TOO_LARGE = WebhookReply(413, (("Content-Length", "0"),), b"")
_UNREADABLE = WebhookReply(400, (("Content-Type", "text/plain"), ("Content-Length", "23")),
                           b"unreadable notification")


def _refused(outcome: Outcome) -> WebhookReply:
    """A notification refused before the book saw it: counted like the book's own."""
    webhook(outcome)
    return _TOO_LARGE if outcome is Outcome.TOO_LARGE else _UNREADABLE


def _length(text: str | None) -> int | None:
    """A Content-Length: ASCII digits only (``isdigit`` alone takes "²", which ``int``
    refuses); ``None`` when it cannot be read."""
    text = (text or "").strip()
    return int(text) if text.isascii() and text.isdigit() else None


def wsgi_app(book: Callable[[str, Any, bytes], Notified]) -> WSGIApp:
    def app(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        answer = _NOT_ALLOWED
        if environ.get("REQUEST_METHOD") == "POST":
            answer = _wsgi_post(book, environ)
        start_response(f"{answer.status} {HTTPStatus(answer.status).phrase}",
                       list(answer.headers))
        return [answer.body]

    return app


def _wsgi_post(book: Callable[[str, Any, bytes], Notified], environ: dict[str, Any]) -> WebhookReply:
    stream = environ["wsgi.input"]
    if environ.get("wsgi.input_terminated"):
        # A chunked body, or one without a length: the server ends the stream.
        body = stream.read(MAX_NOTIFICATION_BYTES + 1)
        if len(body) > MAX_NOTIFICATION_BYTES:
            return _refused(Outcome.TOO_LARGE)
    else:
        announced = environ.get("CONTENT_LENGTH")
        length = _length(announced) if announced else 0
        if length is None:
            return _refused(Outcome.UNREADABLE)
        if length > MAX_NOTIFICATION_BYTES:
            return _refused(Outcome.TOO_LARGE)
        body = stream.read(length) if length else b""
    headers = [(key[5:].replace("_", "-"), value) for key, value in environ.items()
               if key.startswith("HTTP_")]
    return reply(book(environ.get("PATH_INFO") or "", headers, body))


def asgi_app(book: Receiver, *, blocking: bool) -> ASGIApp:
    """``blocking``: ``book`` is a blocking function, run on a thread; otherwise it is a
    coroutine function, awaited on the event loop."""
    async def app(scope: dict[str, Any], receive: Callable[[], Awaitable[dict[str, Any]]],
                  send: Callable[[dict[str, Any]], Awaitable[None]]) -> None:
        if scope["type"] == "lifespan":
            while True:
                message = await receive()
                if message["type"] == "lifespan.startup":
                    await send({"type": "lifespan.startup.complete"})
                else:
                    await send({"type": "lifespan.shutdown.complete"})
                    return
        if scope["type"] != "http":
            return
        answer = _NOT_ALLOWED
        if scope.get("method") == "POST":
            answer = await _asgi_post(book, blocking, scope, receive)
        await send({"type": "http.response.start", "status": answer.status,
                    "headers": [(name.lower().encode(), value.encode())
                                for name, value in answer.headers]})
        await send({"type": "http.response.body", "body": answer.body})

    return app


async def _asgi_post(book: Receiver, blocking: bool, scope: dict[str, Any],
                     receive: Callable[[], Awaitable[dict[str, Any]]]) -> WebhookReply:
    announced = [value for name, value in scope.get("headers", [])
                 if name.lower() == b"content-length"]
    if announced:  # refused at once: a sender announcing 10 MB need not be waited for
        length = _length(announced[0].decode("latin-1"))
        if length is None:
            return _refused(Outcome.UNREADABLE)
        if length > MAX_NOTIFICATION_BYTES:
            return _refused(Outcome.TOO_LARGE)
    body = b""
    while True:
        message = await receive()
        body += message.get("body", b"")
        if len(body) > MAX_NOTIFICATION_BYTES:
            return _refused(Outcome.TOO_LARGE)
        if not message.get("more_body"):
            break
    path, headers = scope.get("path", ""), scope.get("headers", [])
    if blocking:  # the blocking book's database calls: off the event loop
        return reply(await asyncio.to_thread(book, path, headers, body))
    return reply(await book(path, headers, body))
