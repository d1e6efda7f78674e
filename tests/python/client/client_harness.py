"""A scripted gateway behind httpx.MockTransport, and a harness running a test on both clients."""

from __future__ import annotations

import asyncio
from typing import Any

import httpx
import pytest

from quorvex_bo.fx import AsyncClient, Client, WebhookTarget

TOKEN = "tok-SECRET-1"
HOOK = WebhookTarget("https://shop.test/hook", "X-Hook", "hook-SECRET")
QR_ANSWER = {"numeroReferencia": "1001", "monto": "100.50", "moneda": "BOB",
             "codigoRespuesta": "PENDING", "imagen": "iVBORw0KGgo="}
STATUS_ANSWER = {"codigoRespuesta": "PAID", "data": {"numeroReferencia": "1001", "monto": 10}}


class Gateway:
    """Answers in script order (the last answer repeats) and records every request."""

    def __init__(self) -> None:
        self.script: list[Any] = [answer(200, STATUS_ANSWER)]
        self.requests: list[httpx.Request] = []

    def __call__(self, request: httpx.Request) -> httpx.Response:
        self.requests.append(request)
        answer = self.script[min(len(self.requests), len(self.script)) - 1]
        if isinstance(answer, type):  # an httpx exception class
            raise answer("scripted failure", request=request)
        status, body, headers = answer
        if isinstance(body, Pieces):
            return httpx.Response(status, stream=body, headers=headers)
        if isinstance(body, dict):
            return httpx.Response(status, json=body, headers=headers)
        return httpx.Response(status, content=body, headers=headers)


class Pieces(httpx.SyncByteStream, httpx.AsyncByteStream):
    """A body that arrives in pieces; with `cut`, the peer closes the connection after them."""

    def __init__(self, *pieces: bytes, cut: bool = False) -> None:
        self.pieces, self.cut = pieces, cut

    def __iter__(self) -> Any:
        yield from self.pieces
        if self.cut:
            raise httpx.RemoteProtocolError("peer closed connection without sending complete body")

    async def __aiter__(self) -> Any:
        for piece in self:
            yield piece


def answer(status: int = 200, body: Any = QR_ANSWER, **headers: str) -> Any:
    """One scripted answer: a JSON object, or raw bytes/text as the body."""
    return status, body, headers


class Harness:
    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.gateway = Gateway()
        self.sleeps: list[float] = []
        self.loop = asyncio.new_event_loop() if kind == "async" else None

    def client(self, client_id: Any = "cid", **settings: Any) -> Client | AsyncClient:
        settings = {"base_url": "https://gw.test/api", "token": TOKEN, **settings}
        transport = httpx.MockTransport(self.gateway)
        if self.kind == "sync":
            # An http_client of the caller's that follows redirects, at most two.
            http: Any = httpx.Client(transport=transport, follow_redirects=True, max_redirects=2)
            client: Any = Client(client_id, http_client=http, **settings)
            client._sleep = self.sleeps.append
        else:
            http = httpx.AsyncClient(transport=transport, follow_redirects=True, max_redirects=2)
            client = AsyncClient(client_id, http_client=http, **settings)

            async def sleep(seconds: float) -> None:
                self.sleeps.append(seconds)
            client._sleep = sleep
        client._random = lambda: 0.5
        return client

    def run(self, result: Any) -> Any:
        """The value of a client call, awaited when the client is the async one."""
        return self.loop.run_until_complete(result) if self.loop else result


@pytest.fixture(params=["sync", "async"])
def harness(request: pytest.FixtureRequest) -> Any:
    harness = Harness(request.param)
    yield harness
    if harness.loop:
        harness.loop.close()
