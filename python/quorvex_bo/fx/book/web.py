"""The book's webhook endpoint as standard WSGI and ASGI applications.

Mount either under the path of ``webhook_url``; the last segment of the request path
names the payment. A body is read only up to the limit: one announced larger is
refused before it is read, and one that turns out larger while it arrives too.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable, Iterable
from http import HTTPStatus
from typing import Any, Protocol

from quorvex_bo.fx.book.records import WebhookReply

__all__ = ["ASGIApp", "MAX_NOTIFICATION_BYTES", "WSGIApp", "asgi_app", "wsgi_app"]

#: Larger notification bodies are refused with 413: the gateway's are a few hundred bytes.
MAX_NOTIFICATION_BYTES = 64 * 1024

WSGIApp = Callable[[dict[str, Any], Callable[..., Any]], Iterable[bytes]]
ASGIApp = Callable[[dict[str, Any], Callable[[], Awaitable[dict[str, Any]]],
                    Callable[[dict[str, Any]], Awaitable[None]]], Awaitable[None]]


class Receiver(Protocol):
    """What answers a notification: the book."""

    def handle_webhook(self, path: str, headers: Any, body: bytes) -> WebhookReply: ...


_NOT_ALLOWED = WebhookReply(405, (("Allow", "POST"), ("Content-Length", "0")), b"")
_TOO_LARGE = WebhookReply(413, (("Content-Length", "0"),), b"")
_UNREADABLE = WebhookReply(400, (("Content-Type", "text/plain"), ("Content-Length", "23")),
                           b"unreadable notification")


def _length(text: str | None) -> int | None:
    """A Content-Length: ASCII digits only (``isdigit`` alone takes "²", which ``int``
    refuses); ``None`` when it cannot be read."""
    text = (text or "").strip()
    return int(text) if text.isascii() and text.isdigit() else None


def wsgi_app(book: Receiver) -> WSGIApp:
    def app(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        reply = _NOT_ALLOWED
        if environ.get("REQUEST_METHOD") == "POST":
            reply = _wsgi_post(book, environ)
        start_response(f"{reply.status} {HTTPStatus(reply.status).phrase}", list(reply.headers))
        return [reply.body]

    return app


def _wsgi_post(book: Receiver, environ: dict[str, Any]) -> WebhookReply:
    stream = environ["wsgi.input"]
    if environ.get("wsgi.input_terminated"):
        # A chunked body, or one without a length: the server ends the stream.
        body = stream.read(MAX_NOTIFICATION_BYTES + 1)
        if len(body) > MAX_NOTIFICATION_BYTES:
            return _TOO_LARGE
    else:
        announced = environ.get("CONTENT_LENGTH")
        length = _length(announced) if announced else 0
        if length is None:
            return _UNREADABLE
        if length > MAX_NOTIFICATION_BYTES:
            return _TOO_LARGE
        body = stream.read(length) if length else b""
    headers = [(key[5:].replace("_", "-"), value) for key, value in environ.items()
               if key.startswith("HTTP_")]
    return book.handle_webhook(environ.get("PATH_INFO") or "", headers, body)


def asgi_app(book: Receiver) -> ASGIApp:
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
        reply = _NOT_ALLOWED
        if scope.get("method") == "POST":
            reply = await _asgi_post(book, scope, receive)
        await send({"type": "http.response.start", "status": reply.status,
                    "headers": [(name.lower().encode(), value.encode())
                                for name, value in reply.headers]})
        await send({"type": "http.response.body", "body": reply.body})

    return app


async def _asgi_post(book: Receiver, scope: dict[str, Any],
                     receive: Callable[[], Awaitable[dict[str, Any]]]) -> WebhookReply:
    announced = [value for name, value in scope.get("headers", [])
                 if name.lower() == b"content-length"]
    if announced:  # refused at once: a sender announcing 10 MB need not be waited for
        length = _length(announced[0].decode("latin-1"))
        if length is None:
            return _UNREADABLE
        if length > MAX_NOTIFICATION_BYTES:
            return _TOO_LARGE
    body = b""
    while True:
        message = await receive()
        body += message.get("body", b"")
        if len(body) > MAX_NOTIFICATION_BYTES:
            return _TOO_LARGE
        if not message.get("more_body"):
            break
    # The database calls block: keep them off the event loop.
    return await asyncio.to_thread(book.handle_webhook, scope.get("path", ""),
                                   scope.get("headers", []), body)
