"""The webhook endpoint mounted in real frameworks, through their test clients, and
once behind a real uvicorn server; wsgiref serves it in the end-to-end tests."""

from __future__ import annotations

import asyncio
import importlib
import json
import pathlib
import sys
import threading
import time

import pytest

from quorvex_bo.fx.book import HEADER, PaymentState

from .conftest import PIX

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "examples"))


def _flask(book):
    return importlib.import_module("book_flask").create_app(book).test_client()


def _fastapi(book):
    from fastapi.testclient import TestClient

    return TestClient(importlib.import_module("book_fastapi").create_app(book))


def _django(book):
    from django.test import Client as DjangoClient

    importlib.import_module("book_django").BOOK = book
    return DjangoClient()


@pytest.mark.parametrize("framework", [_flask, _fastapi, _django])
def test_mounted_endpoint_authenticates_and_applies(book, gateway, framework):
    web = framework(book)
    payment = book.create("o-web", **PIX)
    secret = gateway.payment("pix", payment.reference).webhook.value
    body = json.dumps({"numeroReferencia": payment.reference, "estado": "PAGADO"})
    path = f"/quorvex/{payment.reference}"
    statuses = [web.post(path, content_type="application/json", data=body, headers=headers)
                .status_code if framework is not _fastapi else
                web.post(path, content=body, headers=headers).status_code
                for headers in ({HEADER: "forged"}, {HEADER: secret})]
    assert statuses == [401, 200] and book.get("o-web").state is PaymentState.PAID
    assert web.get(path).status_code == 405


def test_uvicorn_serves_the_asgi_endpoint(db_url, client, gateway, clock):
    import uvicorn

    from quorvex_bo.fx.book import PaymentBook

    config = uvicorn.Config(None, host="127.0.0.1", port=0, log_level="warning",
                            lifespan="on")
    server = uvicorn.Server(config)
    sockets = [config.bind_socket()]
    url = f"http://127.0.0.1:{sockets[0].getsockname()[1]}/quorvex"
    with PaymentBook(db_url, client, webhook_url=url, clock=clock) as book:
        config.app = importlib.import_module("book_fastapi").create_app(book)
        thread = threading.Thread(target=server.run, kwargs={"sockets": sockets})
        thread.start()
        try:
            while not server.started and thread.is_alive():
                time.sleep(0.01)
            payment = book.create("o-uv", **PIX)
            gateway.pay("pix", payment.reference)
            delivered = gateway.wait_for_delivery("pix", payment.reference)
            assert [a.status for a in delivered.attempts] == [200]
            assert book.get("o-uv").state is PaymentState.PAID
        finally:
            server.should_exit = True
            thread.join(10)


def _asgi(book, scope, *messages):
    """What the book's ASGI endpoint sends when it receives ``messages``."""
    incoming, sent = list(messages), []

    async def receive():
        return incoming.pop(0)

    async def send(message):
        sent.append(message)
    asyncio.run(book.asgi_app()(scope, receive, send))
    return sent


def test_bare_endpoints_run_the_lifespan_join_chunks_and_refuse_large_bodies(book, gateway):
    assert _asgi(book, {"type": "lifespan"}, {"type": "lifespan.startup"},
                 {"type": "lifespan.shutdown"}) == [{"type": "lifespan.startup.complete"},
                                                    {"type": "lifespan.shutdown.complete"}]
    payment = book.create("o-asgi", **PIX)
    secret = gateway.payment("pix", payment.reference).webhook.value
    body = json.dumps({"numeroReferencia": payment.reference, "estado": "PAGADO"}).encode()
    post = {"type": "http", "method": "POST", "path": f"/quorvex/{payment.reference}",
            "headers": [(HEADER.lower().encode(), secret.encode())]}
    large = _asgi(book, post, {"type": "http.request", "body": b" " * 70000, "more_body": True})
    chunked = _asgi(book, post, {"type": "http.request", "body": body, "more_body": True},
                    {"type": "http.request"})
    assert [(m.get("status"), m.get("body")) for m in large + chunked] == [
        (413, None), (None, b""), (200, None), (None, b'{"received":true}')]
