"""The web layer answers one table of requests alike on its three adapters, each on a
real server: routing, 404/405, HEAD, decoding, escaping, body limits, failures, mounts."""

import contextlib
import socket
import threading
from http.server import ThreadingHTTPServer

import httpx
import pytest

from quorvex_bo.fx.web import (CsrfTokens, RequestHandler, Response, RouteError, Routes,
                               asgi_app, element, first, wsgi_app)
from servers import serving

routes = Routes()
routes.add("GET", "/orders/{order_id}", lambda r: Response.text(r.params["order_id"]))
routes.add("POST", "/orders/{order_id}/notes", lambda r: Response.html(
    element("p", first(r.form(), "note") or "", title=r.base_path)))
routes.add("GET", "/files/{name:.+}", lambda r: Response.text(r.params["name"]))
routes.add("GET", "/boom", lambda r: 1 / 0)
acted_on: list[bytes] = []
routes.add("POST", "/act", lambda r: acted_on.append(r.body) or Response.text("done"))

CASES = [  # method, path, body, status, Allow, body answered
    ("GET", "/app/orders/a%3Fb%20c", b"", 200, None, b"a?b c"),
    ("HEAD", "/app/orders/7", b"", 200, None, b""),
    ("DELETE", "/app/orders/7", b"", 405, "GET", b"DELETE is not allowed here\n"),
    ("GET", "/app/orders/7/notes", b"", 405, "POST", b"GET is not allowed here\n"),
    ("GET", "/app/orders/a/b", b"", 404, None, b"nothing at /orders/a/b\n"),
    ("GET", "/app/files/a/b", b"", 404, None, b"nothing at /files/a/b\n"),
    ("GET", "/appx/orders/7", b"", 404, None, b"nothing at /appx/orders/7\n"),
    ("POST", "/app/orders/7/notes", b"note=%3Cb%3E%22&note=x", 200, None,
     b'<p title="/app">&lt;b&gt;&quot;</p>'),
    ("POST", "/app/orders/7/notes", b"n" * 65, 413, None,
     b"the body must be at most 64 bytes\n"),
    ("GET", "/app/boom", b"", 500, None, b"the server failed to answer\n"),
]


class _Handler(RequestHandler):
    base_path, max_body = "/app", 64

    def dispatch(self, request):
        return routes(request)


@contextlib.contextmanager
def _serve_http():
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()


@pytest.fixture(scope="module", params=["http.server", "wsgi", "asgi"])
def base_url(request):
    with _serve_http() if request.param == "http.server" else serving(
            (asgi_app if request.param == "asgi" else wsgi_app)(
                routes, base_path="/app/", max_body=64), asgi=request.param == "asgi") as base:
        yield base


@pytest.mark.parametrize("method, path, body, status, allow, answer", CASES)
def test_adapters_answer_the_table_alike(base_url, method, path, body, status, allow, answer):
    headers = {"Content-Type": "application/x-www-form-urlencoded"} if body else {}
    with httpx.Client(base_url=base_url) as client:
        got = client.request(method, path, content=body, headers=headers)
    assert (got.status_code, got.headers.get("allow"), got.content) == (status, allow, answer)
    if method == "HEAD":
        assert got.headers["content-length"] == "1"


def test_a_body_cut_short_is_never_acted_on(base_url):
    """A client killed mid-body must not have its half request handled as a whole one."""
    acted_on.clear()
    host, port = base_url.removeprefix("http://").split(":")
    with socket.create_connection((host, int(port))) as raw:
        raw.sendall(b"POST /app/act HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc")
        raw.shutdown(socket.SHUT_WR)
        while raw.recv(4096):  # the server is done with the connection
            pass
    with httpx.Client(base_url=base_url) as client:
        assert client.post("/app/act", content=b"whole").text == "done"
    assert acted_on == [b"whole"]


@pytest.mark.parametrize("pattern", ["orders", "/a/{x}/{x}", "/a/{x:(b|c)}", "/a/{x:[}",
                                     "/a/{1x}", "/a}"])
def test_bad_patterns_are_refused_when_added(pattern):
    with pytest.raises(RouteError):
        Routes().add("GET", pattern, lambda r: Response.text(""))


def test_csrf_tokens_are_bound_to_session_subject_and_key():
    tokens = CsrfTokens(b"k" * 32)
    token = tokens.issue("ab", "c")
    assert tokens.valid(token, "ab", "c")
    assert "k" * 32 not in repr(tokens)
    for forged, session, subject in [(token, "a", "bc"), (token, "ab", "d"),
                                     (token, "xb", "c"), (token[:-1], "ab", "c"),
                                     (CsrfTokens(b"j" * 32).issue("ab", "c"), "ab", "c"),
                                     ("é" + token[1:], "ab", "c"), (None, "ab", "c")]:
        assert not tokens.valid(forged, session, subject), (forged, session, subject)
