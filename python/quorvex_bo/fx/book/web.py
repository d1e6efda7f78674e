"""The book's webhook endpoint as standard WSGI and ASGI applications.

Mount either under the path of ``webhook_url``; the last segment of the request path
names the payment. Bodies over the limit are refused before they are read.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable, Iterable
from http import HTTPStatus
from typing import TYPE_CHECKING, Any

from quorvex_bo.fx.book.records import WebhookReply

if TYPE_CHECKING:
    from quorvex_bo.fx.book.payment_book import PaymentBook

__all__ = ["ASGIApp", "WSGIApp", "asgi_app", "wsgi_app"]

WSGIApp = Callable[[dict[str, Any], Callable[..., Any]], Iterable[bytes]]
ASGIApp = Callable[[dict[str, Any], Callable[[], Awaitable[dict[str, Any]]],
                    Callable[[dict[str, Any]], Awaitable[None]]], Awaitable[None]]

_NOT_ALLOWED = WebhookReply(405, (("Allow", "POST"), ("Content-Length", "0")), b"")


def _too_large() -> WebhookReply:
    return WebhookReply(413, (("Content-Length", "0"),), b"")


def _limit() -> int:
    from quorvex_bo.fx.book.payment_book import MAX_NOTIFICATION_BYTES

    return MAX_NOTIFICATION_BYTES


def wsgi_app(book: PaymentBook) -> WSGIApp:
    def app(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        reply = _NOT_ALLOWED
        if environ.get("REQUEST_METHOD") == "POST":
            text = environ.get("CONTENT_LENGTH") or "0"
            length = int(text) if text.isdigit() else 0
            if length > _limit():
                reply = _too_large()
            else:
                body = environ["wsgi.input"].read(length) if length else b""
                headers = [(key[5:].replace("_", "-"), value) for key, value in environ.items()
                           if key.startswith("HTTP_")]
                reply = book.handle_webhook(environ.get("PATH_INFO") or "", headers, body)
        start_response(f"{reply.status} {HTTPStatus(reply.status).phrase}", list(reply.headers))
        return [reply.body]

    return app


def asgi_app(book: PaymentBook) -> ASGIApp:
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
            body, large = b"", False
            while True:
                message = await receive()
                body += message.get("body", b"")
                if len(body) > _limit():
                    large = True
                    break
                if not message.get("more_body"):
                    break
            if large:
                reply = _too_large()
            else:
                # The database calls block: keep them off the event loop.
                reply = await asyncio.to_thread(book.handle_webhook, scope.get("path", ""),
                                                scope.get("headers", []), body)
        await send({"type": "http.response.start", "status": reply.status,
                    "headers": [(name.lower().encode(), value.encode())
                                for name, value in reply.headers]})
        await send({"type": "http.response.body", "body": reply.body})

    return app
