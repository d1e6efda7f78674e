"""What a handler receives and what it gives back, independent of the server.

A `Request`'s path is relative to where the app is mounted and percent-encoded, so that a
route matches whole segments; the route's parameters are decoded. (WSGI and ASGI servers
decode the path before the app sees it, so there an encoded "/" separates segments; the
http.server adapter keeps "a%2Fb" one segment.) Header names are lower-case; a header
sent twice is one value joined by ", ".
"""

from __future__ import annotations

import json
import urllib.parse
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field, replace
from http import HTTPStatus

# A form or an API call is a few kilobytes; anything larger is refused with 413.
MAX_BODY = 1 << 20
# Characters a path segment may hold as they are: what a client leaves unquoted.
_PATH_SAFE = "/:@!$&'()*+,;=-._~"


@dataclass(frozen=True)
class Request:
    method: str
    path: str
    query: dict[str, list[str]] = field(default_factory=dict)
    headers: Mapping[str, str] = field(default_factory=dict)
    body: bytes = b""
    #: The route's parameters, decoded (filled in by `Routes`).
    params: Mapping[str, str] = field(default_factory=dict)
    #: Where the app is mounted ("" at the root): what links to its own pages start with.
    base_path: str = ""

    @classmethod
    def build(cls, method: str, path: str, query_string: str,
              headers: Iterable[tuple[str, str]], body: bytes = b"",
              base_path: str = "") -> Request:
        joined: dict[str, str] = {}
        for name, value in headers:
            name = name.lower()
            joined[name] = f"{joined[name]}, {value}" if name in joined else value
        return cls(method.upper(), path or "/", urllib.parse.parse_qs(query_string), joined,
                   body, {}, base_path)

    def header(self, name: str) -> str | None:
        return self.headers.get(name.lower())

    @property
    def cookies(self) -> dict[str, str]:
        """The Cookie header's pairs; the first of a repeated name wins, as browsers send
        the most specific cookie first."""
        found: dict[str, str] = {}
        for pair in (self.header("cookie") or "").replace(",", ";").split(";"):
            name, equals, value = pair.strip().partition("=")
            if equals and name and name not in found:
                found[name] = value.strip().strip('"')
        return found

    def form(self) -> dict[str, list[str]]:
        """The fields of an url-encoded body (blank fields are left out); empty for a body
        of another type."""
        kind = (self.header("content-type") or "").split(";")[0].strip().lower()
        if kind not in ("", "application/x-www-form-urlencoded"):
            return {}
        return urllib.parse.parse_qs(self.body.decode("utf-8", "replace"))

    def with_params(self, params: Mapping[str, str]) -> Request:
        return replace(self, params=params)


@dataclass(frozen=True)
class Response:
    """An answer. The helpers add Content-Length and ``Cache-Control: no-store`` (pages
    here show live state and carry form tokens: no cache should keep them)."""

    status: int
    headers: tuple[tuple[str, str], ...] = ()
    body: bytes = b""
    #: Close the connection after this answer.
    close: bool = False

    @classmethod
    def of(cls, status: int, body: bytes, content_type: str,
           headers: Iterable[tuple[str, str]] = ()) -> Response:
        return cls(status, (("Content-Type", content_type), ("Content-Length", str(len(body))),
                            ("Cache-Control", "no-store"), *headers), body)

    @classmethod
    def html(cls, page: str, *, status: int = 200,
             headers: Iterable[tuple[str, str]] = ()) -> Response:
        return cls.of(status, page.encode(), "text/html; charset=utf-8", headers)

    @classmethod
    def text(cls, text: str, *, status: int = 200,
             headers: Iterable[tuple[str, str]] = ()) -> Response:
        return cls.of(status, text.encode(), "text/plain; charset=utf-8", headers)

    @classmethod
    def json(cls, value: object, *, status: int = 200,
             headers: Iterable[tuple[str, str]] = ()) -> Response:
        """`value` as compact JSON; bytes are taken as JSON text already written."""
        body = value if isinstance(value, bytes) else json.dumps(
            value, ensure_ascii=False, separators=(",", ":")).encode()
        return cls.of(status, body, "application/json", headers)

    @classmethod
    def redirect(cls, location: str, *, status: int = 303) -> Response:
        """See other: after a form's POST, the browser GETs `location`."""
        return cls.of(status, b"", "text/plain", (("Location", location),))

    @classmethod
    def hang_up(cls) -> Response:
        """No answer at all: the connection is closed (the http.server adapter honours it;
        WSGI and ASGI servers cannot, and answer 500)."""
        return cls(0, (), b"", close=True)

    def header(self, name: str) -> str | None:
        wanted = name.lower()
        return next((value for key, value in self.headers if key.lower() == wanted), None)

    def with_headers(self, *headers: tuple[str, str]) -> Response:
        return replace(self, headers=(*self.headers, *headers))

    def closing(self) -> Response:
        return replace(self, close=True)

    @property
    def reason(self) -> str:
        try:
            return HTTPStatus(self.status).phrase
        except ValueError:
            return "Unknown"


def first(fields: Mapping[str, list[str]], name: str) -> str | None:
    """The first non-blank value of a form or query field, or None."""
    values = fields.get(name)
    return values[0] if values and values[0] else None


def text_error(status: int, message: str) -> Response:
    """The layer's own refusals (404, 405, 413…) as plain text, unless an app words them."""
    return Response.text(message + "\n", status=status)


def quote_path(decoded: str) -> str:
    """A decoded path (WSGI's PATH_INFO, ASGI's path) percent-encoded again, the way a
    `Request` carries it."""
    return urllib.parse.quote(decoded.encode("utf-8", "surrogateescape"), safe=_PATH_SAFE)


def header_number(text: str | None) -> int | None:
    """A header's count, or None unless it is ASCII digits (``isdigit`` alone takes "²",
    which ``int`` refuses). Absurdly long numbers are capped, never converted whole."""
    text = (text or "").strip()
    if not (text.isascii() and text.isdigit()):
        return None
    digits = text.lstrip("0")
    return int(digits or "0") if len(digits) < 19 else 10 ** 18


def body_refusal(transfer_encoding: str | None, content_length: str | None,
                 limit: int) -> tuple[int, str] | None:
    """Why a body announced by these headers is not read (status and message), or None.
    A chunked body is refused here: servers that de-chunk check the size as it arrives."""
    if transfer_encoding:
        return 411, "send the body with a Content-Length"
    length = header_number(content_length or "0")
    if length is None:
        return 400, "bad Content-Length"
    return too_large(limit) if length > limit else None


def too_large(limit: int) -> tuple[int, str]:
    return 413, f"the body must be at most {limit} bytes"
