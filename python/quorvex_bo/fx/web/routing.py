"""The route table: method and path pattern to handler.

A pattern is a path whose segments may be parameters: ``/orders/{order_id}`` takes any
one segment, ``/pay/{rail:pix|crypto}`` only those the expression matches (within the
segment it stands in). Matching gives the handler and its decoded parameters; a path no
pattern matches is 404, a path matched only under other methods is 405 with ``Allow``.
HEAD is served by a path's GET handler (the adapters leave the body out).
"""

from __future__ import annotations

import re
import urllib.parse
from collections.abc import Awaitable, Callable, Iterable
from dataclasses import dataclass, field
from typing import TypeVar

from quorvex_bo.fx.web.messages import Request, Response, text_error

#: A handler answers a request, blocking or (under the ASGI adapter) as a coroutine.
Handler = Callable[[Request], "Response | Awaitable[Response]"]
#: How an app words a refusal of the layer's own: status and message to a response.
ErrorPage = Callable[[int, str], Response]
H = TypeVar("H", bound=Handler)

_PARAMETER = re.compile(r"\{([A-Za-z_][A-Za-z0-9_]*)(?::([^{}]+))?\}")
_METHOD = re.compile(r"[A-Z]+")


class RouteError(ValueError):
    """A route that cannot be added: a bad pattern or method, or a duplicate."""


@dataclass(frozen=True)
class Match:
    """What a request's method and path found: a handler and its parameters, or the
    status of a refusal (404; 405 with the methods the path takes)."""

    handler: Handler | None
    params: dict[str, str] = field(default_factory=dict)
    allowed: tuple[str, ...] = ()

    @property
    def status(self) -> int:
        return 200 if self.handler is not None else 405 if self.allowed else 404


@dataclass(frozen=True)
class _Route:
    method: str
    pattern: str
    expression: re.Pattern[str]
    handler: Handler


class Routes:
    """A route table; calling it dispatches a request (the adapters take it as their app).

    `error` words the 404 and 405 answers (plain text unless given)."""

    def __init__(self, *, error: ErrorPage = text_error) -> None:
        self.error = error
        self._routes: list[_Route] = []

    def add(self, methods: str | Iterable[str], pattern: str, handler: Handler) -> None:
        for method in [methods] if isinstance(methods, str) else methods:
            if not _METHOD.fullmatch(method):
                raise RouteError(f"method {method!r} must be upper-case letters, like 'GET'")
            if any(r.method == method and r.pattern == pattern for r in self._routes):
                raise RouteError(f"{method} {pattern} has a handler already")
            self._routes.append(_Route(method, pattern, _compile(pattern), handler))

    def route(self, methods: str | Iterable[str], pattern: str) -> Callable[[H], H]:
        """The decorator form of `add`."""
        def register(handler: H) -> H:
            self.add(methods, pattern, handler)
            return handler
        return register

    def match(self, method: str, path: str) -> Match:
        allowed: list[str] = []
        for route in self._routes:
            found = route.expression.fullmatch(path)
            # A parameter stays within its segment whatever its expression says.
            if found is None or any("/" in value for value in found.groupdict().values()):
                continue
            if route.method == method or (method == "HEAD" and route.method == "GET"):
                return Match(route.handler, {name: urllib.parse.unquote(value)
                                             for name, value in found.groupdict().items()})
            if route.method not in allowed:
                allowed.append(route.method)
        return Match(None, {}, tuple(allowed))

    def __call__(self, request: Request) -> Response | Awaitable[Response]:
        return self.answer(request, self.match(request.method, request.path))

    def answer(self, request: Request, found: Match) -> Response | Awaitable[Response]:
        """What `found` (this table's match for `request`) gives: the handler's answer,
        or the 404 or 405."""
        if found.handler is not None:
            return found.handler(request.with_params(found.params))
        if found.allowed:
            return self.error(405, f"{request.method} is not allowed here").with_headers(
                ("Allow", ", ".join(found.allowed)))
        return self.error(404, f"nothing at {request.path}")


def _compile(pattern: str) -> re.Pattern[str]:
    if not pattern.startswith("/"):
        raise RouteError(f"pattern {pattern!r} must start with '/'")
    parts, names, end = [], set(), 0
    for found in _PARAMETER.finditer(pattern):
        name, expression = found[1], found[2] or "[^/]+"
        if name in names:
            raise RouteError(f"pattern {pattern!r} names {{{name}}} twice")
        names.add(name)
        try:
            if re.compile(expression).groups:
                raise RouteError(f"in pattern {pattern!r}, {{{name}}} must not capture: "
                                 "use (?:...) for groups")
        except re.error as error:
            raise RouteError(f"in pattern {pattern!r}, {{{name}}}: {error}") from None
        parts += [re.escape(pattern[end:found.start()]), f"(?P<{name}>(?:{expression}))"]
        end = found.end()
    if any("{" in part or "}" in part for part in _PARAMETER.split(pattern)[::3]):
        raise RouteError(f"pattern {pattern!r} has a brace that is no parameter")
    return re.compile("".join(parts) + re.escape(pattern[end:]))
