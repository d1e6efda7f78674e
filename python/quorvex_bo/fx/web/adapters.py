"""An app (a function from `Request` to `Response`, such as a `Routes`) as a WSGI or an
ASGI application, mounted at a base path.

Both read a body only up to the limit: one announced larger is refused (413) before it
is read, one that turns out larger while it arrives too. A handler that fails is logged
and answered 500; what it raised never reaches the client.
"""

from __future__ import annotations

import inspect
import logging
from collections.abc import Awaitable, Callable, Iterable
from typing import Any

from quorvex_bo.fx.web.messages import (MAX_BODY, Request, Response, body_refusal, quote_path,
                                        text_error, too_large)
from quorvex_bo.fx.web.routing import ErrorPage

App = Callable[[Request], "Response | Awaitable[Response]"]
WSGIApp = Callable[[dict[str, Any], Callable[..., Any]], Iterable[bytes]]
ASGIApp = Callable[[dict[str, Any], Callable[[], Awaitable[dict[str, Any]]],
                    Callable[[dict[str, Any]], Awaitable[None]]], Awaitable[None]]

log = logging.getLogger("quorvex_bo.web")


def base(base_path: str) -> str:
    """A base path as requests carry it: "" for the root, else no trailing slash."""
    if not base_path.startswith("/"):
        raise ValueError(f"base_path {base_path!r} must start with '/'")
    return base_path.rstrip("/")


def within(path: str, mount: str) -> str | None:
    """`path` below the mount point `mount` ("/" for the mount point itself), or None
    for a path outside it ("/consoleX" is not below "/console")."""
    if not path.startswith(mount):
        return None
    rest = path[len(mount):]
    return rest or "/" if rest[:1] in ("", "/") else None


def failed(request: Request, error: ErrorPage) -> Response:
    """The answer to a handler that raised, logged with its traceback."""
    log.exception("%s %s failed", request.method, request.path)
    return error(500, "the server failed to answer").closing()


def finish(request: Request, response: Response, error: ErrorPage) -> Response:
    """What goes on the wire: HEAD without the body; a hang-up, which WSGI and ASGI
    cannot give, as 500."""
    if response.status == 0:
        return error(500, "no answer")
    if request.method == "HEAD":
        return Response(response.status, response.headers, b"", response.close)
    return response


def outside(error: ErrorPage, path: str) -> Response:
    return error(404, f"nothing at {path}")


def wsgi_app(app: App, *, base_path: str = "/", max_body: int = MAX_BODY,
             error: ErrorPage = text_error) -> WSGIApp:
    """`app` as a WSGI application answering below `base_path` (under SCRIPT_NAME).
    Handlers must be blocking functions here."""
    mount = base(base_path)

    def application(environ: dict[str, Any],
                    start_response: Callable[..., Any]) -> Iterable[bytes]:
        response = _wsgi_answer(app, mount, max_body, error, environ)
        start_response(f"{response.status} {response.reason}", list(response.headers))
        return [response.body]

    return application


def _wsgi_answer(app: App, mount: str, max_body: int, error: ErrorPage,
                 environ: dict[str, Any]) -> Response:
    raw = environ.get("PATH_INFO") or "/"
    # PEP 3333 hands the path's bytes over as latin-1 text.
    full = quote_path(raw.encode("latin-1", "replace").decode("utf-8", "surrogateescape"))
    path = within(full, mount)
    if path is None:
        return outside(error, full)
    body = _wsgi_body(environ, max_body)
    if isinstance(body, tuple):
        return error(*body).closing()
    headers = [(key[5:].replace("_", "-"), value) for key, value in environ.items()
               if key.startswith("HTTP_")]
    headers += [(key.replace("_", "-"), environ[key]) for key in ("CONTENT_TYPE",
                                                                  "CONTENT_LENGTH")
                if environ.get(key)]
    request = Request.build(environ.get("REQUEST_METHOD") or "GET", path,
                            environ.get("QUERY_STRING") or "", headers, body,
                            environ.get("SCRIPT_NAME", "").rstrip("/") + mount)
    try:
        response = app(request)
        if inspect.isawaitable(response):
            close = getattr(response, "close", None)
            if close is not None:
                close()  # a coroutine never awaited would warn later, far from here
            raise TypeError("a coroutine handler needs the ASGI adapter")
    except Exception:
        response = failed(request, error)
    return finish(request, response, error)


def _wsgi_body(environ: dict[str, Any], limit: int) -> bytes | tuple[int, str]:
    stream = environ["wsgi.input"]
    if environ.get("wsgi.input_terminated"):  # a chunked body: the server ends the stream
        body: bytes = stream.read(limit + 1)
        return too_large(limit) if len(body) > limit else body
    refusal = body_refusal(environ.get("HTTP_TRANSFER_ENCODING"),
                           environ.get("CONTENT_LENGTH"), limit)
    if refusal is not None:
        return refusal
    length = int(environ.get("CONTENT_LENGTH") or "0")
    body = stream.read(length) if length else b""
    # A body cut short (the client went away) is never acted on; WSGI cannot hang up.
    return (400, "the body ended before its announced length") if len(body) < length \
        else body


def asgi_app(app: App, *, base_path: str = "/", max_body: int = MAX_BODY,
             error: ErrorPage = text_error) -> ASGIApp:
    """`app` as an ASGI application answering below `base_path` (under root_path).
    Handlers may be coroutines; blocking ones run on the event loop, so they must be
    quick."""
    mount = base(base_path)

    async def application(scope: dict[str, Any],
                          receive: Callable[[], Awaitable[dict[str, Any]]],
                          send: Callable[[dict[str, Any]], Awaitable[None]]) -> None:
        if scope["type"] == "lifespan":
            while (await receive())["type"] != "lifespan.shutdown":
                await send({"type": "lifespan.startup.complete"})
            await send({"type": "lifespan.shutdown.complete"})
            return
        if scope["type"] != "http":
            return
        response = await _asgi_answer(app, mount, max_body, error, scope, receive)
        if response is None:
            return  # the client went away
        await send({"type": "http.response.start", "status": response.status,
                    "headers": [(name.lower().encode("latin-1"), value.encode("latin-1"))
                                for name, value in response.headers]})
        await send({"type": "http.response.body", "body": response.body})

    return application


async def _asgi_answer(app: App, mount: str, max_body: int, error: ErrorPage,
                       scope: dict[str, Any],
                       receive: Callable[[], Awaitable[dict[str, Any]]]) -> Response | None:
    root = scope.get("root_path", "").rstrip("/")
    decoded = scope.get("path") or "/"
    if root and within(decoded, root) is not None:
        decoded = within(decoded, root) or "/"
    full = quote_path(decoded)
    path = within(full, mount)
    if path is None:
        return outside(error, full)
    headers = [(name.decode("latin-1"), value.decode("latin-1"))
               for name, value in scope.get("headers", [])]
    announced = [value for name, value in headers if name.lower() == "content-length"]
    refusal = body_refusal(None, announced[0] if announced else None, max_body)
    if refusal is not None:
        return error(*refusal).closing()
    body = b""
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        body += message.get("body", b"")
        if len(body) > max_body:
            return error(*too_large(max_body)).closing()
        if not message.get("more_body"):
            break
    request = Request.build(scope.get("method", "GET"), path,
                            scope.get("query_string", b"").decode("latin-1"), headers, body,
                            root + mount)
    try:
        response = app(request)
        if inspect.isawaitable(response):
            response = await response
    except Exception:
        response = failed(request, error)
    return finish(request, response, error)
