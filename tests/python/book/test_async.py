"""The async book never holds up its event loop: with the gateway holding a call for
a second, and through the webhook endpoint, a ticker on the same loop keeps time."""

from __future__ import annotations

import asyncio
import json
import threading
import time

import pytest

from quorvex_bo.fx import AsyncClient
from quorvex_bo.fx.book import HEADER, AsyncPaymentBook, PaymentState
from quorvex_bo.fx.book.backends import open_database
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN

from .conftest import PIX


def _hold(db_url: str, seconds: float, ready: threading.Event) -> None:
    """Another process's transaction that holds the payment's row (SQLite: the file)."""
    database = open_database(db_url, timeout=5.0)
    with database.transaction(write=True) as tx:
        tx.rows(f"SELECT id FROM book_payments{database.for_update}")
        tx.run("UPDATE book_payments SET checks = checks")
        ready.set()
        time.sleep(seconds)
    database.close()


async def _notify(book, gateway, payment, db_url) -> list:
    """Twenty notifications of the payment through the book's ASGI endpoint, the first
    waiting a second for the database."""
    ready = threading.Event()
    holder = threading.Thread(target=_hold, args=(db_url, 1.0, ready))
    holder.start()
    ready.wait(10)
    secret = gateway.payment("pix", payment.reference).webhook.value
    body = json.dumps({"numeroReferencia": payment.reference, "estado": "PAGADO"}).encode()
    sent: list = []

    async def send(message):
        sent.append(message.get("status"))
    for _ in range(20):
        messages = [{"type": "http.request", "body": body}]
        await book.asgi_app()({"type": "http", "method": "POST", "path": f"/h/{payment.reference}",
                               "headers": [(HEADER.encode(), secret.encode())]},
                              lambda: asyncio.sleep(0, messages.pop()), send)
    holder.join(10)
    return [status for status in sent if status]


STEPS = {  # what runs while the gateway holds the call named, and what it must give
    "create": ("pix.generate", lambda book, *_: book.create("o-2", **PIX),
               lambda result: result.state is PaymentState.PENDING),
    "verify": ("pix.verify", lambda book, *_: book.verify("o-1"),
               lambda result: result.state is PaymentState.PENDING),
    "reconcile": ("pix.verify", lambda book, *_: book.reconcile(),
                  lambda result: result.checked == 1 and not result.failures),
    "webhook": (None, _notify, lambda statuses: statuses == [200] * 20),
}


@pytest.mark.parametrize("step", STEPS)
def test_the_event_loop_keeps_time_while_the_book_waits(db_url, gateway, clock, step):
    slow, run, check = STEPS[step]

    async def scenario() -> tuple[float, float, object]:
        client = AsyncClient(DEFAULT_CLIENT_ID, base_url=gateway.base_url, token=DEFAULT_TOKEN)
        async with client, AsyncPaymentBook(db_url, client, webhook_url="http://127.0.0.1:9/h",
                                            clock=clock) as book:
            payment = await book.create("o-1", **PIX)
            clock.advance(10)  # due for its first check
            if slow:
                gateway.inject(slow, "slow", delay=1.0)
            late, stop = [], asyncio.Event()

            async def ticker() -> None:
                while not stop.is_set():
                    started = time.monotonic()
                    await asyncio.sleep(0.01)
                    late.append(time.monotonic() - started - 0.01)
            ticking = asyncio.create_task(ticker())
            started = time.monotonic()
            result = await run(book, gateway, payment, db_url)
            took = time.monotonic() - started
            stop.set()
            await ticking
            return max(late), took, result

    worst, took, result = asyncio.run(scenario())
    assert check(result) and worst < 0.05 and took >= 1.0
