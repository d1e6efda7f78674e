"""A small web layer for the package's own pages: a route table with 404 and 405 falling
out of matching, body limits, escaping by construction, page helpers, CSRF tokens, and
adapters to WSGI, ASGI and the standard library's `http.server`.

It imports nothing but the standard library, so any part of the package may stand on it::

    routes = Routes()
    routes.add("GET", "/orders/{order_id}", lambda r: Response.html(
        document("Order", element("h1", r.params["order_id"]))))
    application = wsgi_app(routes, base_path="/console")
"""

from quorvex_bo.fx.web.adapters import ASGIApp, WSGIApp, asgi_app, wsgi_app
from quorvex_bo.fx.web.csrf import CsrfTokens
from quorvex_bo.fx.web.httpserver import RequestHandler
from quorvex_bo.fx.web.messages import MAX_BODY, Request, Response, first, text_error
from quorvex_bo.fx.web.pages import (CONTENT_SECURITY_POLICY, CSRF_FIELD, LIVE_SCRIPT, STYLE,
                                     Cell, Html, cell, csp_source, definitions, document,
                                     element, escape, form, join, notice, options, row, table)
from quorvex_bo.fx.web.routing import ErrorPage, Handler, Match, RouteError, Routes

__all__ = [
    "Request", "Response", "MAX_BODY", "first", "text_error",
    "Routes", "Match", "Handler", "ErrorPage", "RouteError",
    "CsrfTokens", "CSRF_FIELD",
    "Html", "escape", "join", "element", "document", "notice", "definitions", "table", "row",
    "cell", "Cell", "options", "form", "STYLE", "LIVE_SCRIPT", "CONTENT_SECURITY_POLICY",
    "csp_source",
    "wsgi_app", "asgi_app", "WSGIApp", "ASGIApp", "RequestHandler",
]
