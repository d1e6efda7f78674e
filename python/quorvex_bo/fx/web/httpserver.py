"""An app served by the standard library's `http.server`: a request handler class to
subclass, for servers that need no dependency.

Each answer leaves in one write with TCP_NODELAY set: an answer written as headers then
body waits for the client's delayed acknowledgement of the first part (tens of
milliseconds on loopback) before the second may go.
"""

from __future__ import annotations

import http.server
import inspect
import logging
import socket
import urllib.parse
from typing import Any

from quorvex_bo.fx.web.adapters import base, failed, finish, outside, within
from quorvex_bo.fx.web.messages import (MAX_BODY, Request, Response, body_refusal,
                                        header_number, text_error)

log = logging.getLogger("quorvex_bo.web")


class RequestHandler(http.server.BaseHTTPRequestHandler):
    """Answers every method through `dispatch`. Subclasses override `dispatch`, and may
    override `screen` (a refusal before the body is read), `error` (how the layer's own
    refusals are worded) and `max_body`. Handlers must be blocking functions here."""

    protocol_version = "HTTP/1.1"
    #: Where the app is mounted; paths outside it are answered 404.
    base_path = "/"
    max_body = MAX_BODY
    #: A refused body up to this size is read and dropped, so that the client hears the
    #: answer (closing on unread bytes resets the connection); a larger one is not read.
    drain_limit = 16 << 20

    def dispatch(self, request: Request) -> Response:
        return self.error(404, f"nothing at {request.path}")

    def screen(self) -> Response | None:
        """A refusal given before the body is read, or None (the headers are read)."""
        return None

    def error(self, status: int, message: str) -> Response:
        return text_error(status, message)

    def setup(self) -> None:
        super().setup()
        if self.connection.family in (socket.AF_INET, socket.AF_INET6):
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def _any_method(self) -> None:
        self.answer(self._respond())

    # Every method is dispatched, so that one a path does not take is answered 405.
    do_GET = do_HEAD = do_POST = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = _any_method

    def _respond(self) -> Response:
        early = self.screen()
        if early is not None:
            if not self.headers.get("Transfer-Encoding"):
                self.drain(header_number(self.headers.get("Content-Length") or "0") or 0)
            return early.closing()
        refusal = body_refusal(self.headers.get("Transfer-Encoding"),
                               self.headers.get("Content-Length"), self.max_body)
        if refusal is not None:
            if refusal[0] == 413:
                self.drain(header_number(self.headers.get("Content-Length")) or 0)
            return self.error(*refusal).closing()
        length = header_number(self.headers.get("Content-Length") or "0") or 0
        body = self.rfile.read(length) if length else b""
        if len(body) < length:  # the client went away mid-body: nothing to act on
            return Response.hang_up()
        url = urllib.parse.urlsplit(self.path)
        mount = base(self.base_path)
        path = within(url.path, mount)
        if path is None:
            return outside(self.error, url.path)
        request = Request.build(self.command, path, url.query, self.headers.items(), body,
                                mount)
        try:
            response = self.dispatch(request)
            if inspect.isawaitable(response):
                raise TypeError("a coroutine handler needs the ASGI adapter")
        except Exception:
            response = failed(request, self.error)
        return finish(request, response, self.error) if response.status else response

    def drain(self, length: int) -> None:
        """Reads and drops `length` bytes of a body that will not be used."""
        if length <= self.drain_limit:
            for start in range(0, length, 1 << 16):
                self.rfile.read(min(1 << 16, length - start))

    def send_error(self, code: int, message: str | None = None,
                   explain: str | None = None) -> None:
        """What the standard library answers itself (a bad request line, headers too
        long) goes out like every other answer, worded by `error`."""
        self.request_version = "HTTP/1.1"  # a garbled request line gets a full answer too
        self.answer(self.error(code, message or explain or "bad request").closing())

    def answer(self, response: Response) -> None:
        """Sends `response` in one write (a hang-up sends nothing and closes)."""
        if response.close:
            self.close_connection = True
        if response.status == 0:
            return
        self.log_request(response.status)
        if self.request_version == "HTTP/0.9":  # no status line, no headers
            self.wfile.write(response.body)
            return
        lines = [f"{self.protocol_version} {response.status} {response.reason}",
                 f"Server: {self.version_string()}", f"Date: {self.date_time_string()}",
                 *(f"{name}: {value}" for name, value in response.headers), "", ""]
        body = b"" if self.command == "HEAD" else response.body
        self.wfile.write("\r\n".join(lines).encode("latin-1", "strict") + body)

    def log_message(self, format: str, *args: Any) -> None:
        log.debug("%s " + format, self.client_address[0], *args)
