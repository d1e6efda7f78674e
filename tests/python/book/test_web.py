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

import httpx
import pytest

from quorvex_bo.fx import AsyncClient
from quorvex_bo.fx.book import HEADER, AsyncPaymentBook, PaymentState
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN

from .conftest import PIX, Blocking

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "examples"))


def _flask(book):
    return importlib.import_module("book_flask").create_app(book).test_client()


def _django(book):
    from django.test import Client as DjangoClient

    importlib.import_module("book_django").BOOK = book
    return DjangoClient()


@pytest.mark.parametrize("framework", [_flask, _django])
def test_mounted_endpoint_authenticates_and_applies(book, gateway, framework):
    web = framework(book)
    payment = book.create("o-web", **PIX)
    secret = gateway.payment("pix", payment.reference).webhook.value
    body = json.dumps({"numeroReferencia": payment.reference, "estado": "PAGADO"})
    path = f"/quorvex/{payment.reference}"
    statuses = [web.post(path, content_type="application/json", data=body, headers=headers)
                .status_code for headers in ({HEADER: "forged"}, {HEADER: secret})]
    assert statuses == [401, 200] and book.get("o-web").state is PaymentState.PAID
    assert web.get(path).status_code == 405


def _async_book(db_url, gateway, webhook_url):
    client = AsyncClient(DEFAULT_CLIENT_ID, base_url=gateway.base_url, token=DEFAULT_TOKEN)
    return AsyncPaymentBook(db_url, client, webhook_url=webhook_url)  # opened by the app


def _shop(web, gateway, order: str) -> None:
    """An order paid through the FastAPI shop: its async routes and mounted endpoint."""
    reference = web.post(f"/orders/{order}/pay").json()["reference"]
    secret = gateway.payment("pix", reference).webhook.value
    body = json.dumps({"numeroReferencia": reference, "estado": "PAGADO"})
    assert [web.post(f"/quorvex/{reference}", content=body, headers=headers).status_code
            for headers in ({HEADER: "forged"}, {HEADER: secret})] == [401, 200]
    assert web.get(f"/orders/{order}").json() == {"state": "paid"}


def test_the_fastapi_shop_runs_on_the_async_book(db_url, gateway):
    from fastapi.testclient import TestClient

    app = importlib.import_module("book_fastapi").create_app(
        _async_book(db_url, gateway, "http://testserver/quorvex"))
    with TestClient(app) as web:
        _shop(web, gateway, "o-web")
        assert web.get("/quorvex/1").status_code == 405


def test_uvicorn_serves_the_async_shop(db_url, gateway):
    import uvicorn

    config = uvicorn.Config(None, host="127.0.0.1", port=0, log_level="warning",
                            lifespan="on")
    server = uvicorn.Server(config)
    sockets = [config.bind_socket()]
    base = f"http://127.0.0.1:{sockets[0].getsockname()[1]}"
    config.app = importlib.import_module("book_fastapi").create_app(
        _async_book(db_url, gateway, f"{base}/quorvex"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": sockets})
    thread.start()
    try:
        while not server.started and thread.is_alive():
            time.sleep(0.01)
        with httpx.Client(base_url=base) as web:
            reference = web.post("/orders/o-uv/pay").json()["reference"]
            gateway.pay("pix", reference)  # the sandbox notifies the shop itself
            delivered = gateway.wait_for_delivery("pix", reference)
            assert [a.status for a in delivered.attempts] == [200]
            assert web.get("/orders/o-uv").json() == {"state": "paid"}
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
    run = book.loop.call if isinstance(book, Blocking) else asyncio.run  # the book's own loop
    run(book.asgi_app()(scope, receive, send))
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
