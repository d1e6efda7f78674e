"""A process driving a book, for the crash and concurrency tests.

    child.py crash SHELL DB GATEWAY PORT ORDERS EVENT_LOG SEED POINT   runs until killed
    child.py race DB GATEWAY NOTES SEED OFFSET                         one pass, then exits

SHELL is "blocking" or "async". With a POINT, the crash child kills itself the first to
third time it gets there: inside the handler before or after its side effect, inside
a notification's transaction once it is stored, between the intent's commit and the
generation.
"""

from __future__ import annotations

import asyncio
import json
import os
import random
import signal
import sys
import time

import httpx

HERE = os.path.dirname(__file__)
sys.path[:0] = [os.path.join(HERE, "..", "..", "..", "python"), HERE, os.path.dirname(HERE)]

from conftest import PIX  # noqa: E402

from quorvex_bo.fx import AsyncClient, Client, QuorvexError  # noqa: E402
from quorvex_bo.fx.book import (HEADER, AsyncPaymentBook, Outcome, PaymentBook,  # noqa: E402
                                 PaymentState)
from quorvex_bo.fx.book.core import Gateway  # noqa: E402
from quorvex_bo.fx.book.store import Store  # noqa: E402


def record(path: str, die=lambda point: None):
    def handler(event) -> None:
        time.sleep(0.02)  # fulfilment takes a while: kills land in the middle of it
        die("handler-before")
        with open(path, "a") as log:
            log.write(f"{event.id} {event.reference} {event.state}\n")
            log.flush()
            os.fsync(log.fileno())
        die("handler-after")
    return handler


def killer(point: str, seed: int):
    """Kills this process at ``point``, the first to third time it gets there; the book's
    steps are wrapped so that they are points too."""
    left = [random.Random(seed).randint(1, 3)]

    def die(here: str) -> None:
        left[0] -= here == point
        if left[0] == 0:
            os.kill(os.getpid(), signal.SIGKILL)

    receive = Store.receive

    def received(*args, **kwargs):  # inside the notification's transaction
        notification = yield from receive(*args, **kwargs)
        die("stored")
        return notification
    Store.receive = received
    for shell in (PaymentBook, AsyncPaymentBook):
        carry_out = shell._carry_out

        def before(book, effect, carry_out=carry_out):  # the intent is committed by now
            if isinstance(effect, Gateway) and effect.operation == "generate":
                die("intent")
            return carry_out(book, effect)
        shell._carry_out = before
    return die


async def crash(shell, db, gateway, port, orders, log_path, seed, point) -> None:
    """A shop on either book, its webhook endpoint served by uvicorn, until killed."""
    import uvicorn

    rng, orders = random.Random(int(seed)), int(orders)
    settings = {"base_url": gateway, "token": "sandbox-token", "timeout": 5.0, "max_retries": 0}
    hooks = f"http://127.0.0.1:{port}/hooks"
    if shell == "async":
        book = await AsyncPaymentBook.open(db, AsyncClient("sandbox-client", **settings),
                                           webhook_url=hooks)

        async def call(method, *args, **kwargs):
            return await method(*args, **kwargs)
    else:
        book = PaymentBook(db, Client("sandbox-client", **settings), webhook_url=hooks)

        async def call(method, *args, **kwargs):
            return await asyncio.to_thread(method, *args, **kwargs)
    server = uvicorn.Server(uvicorn.Config(book.asgi_app(), host="127.0.0.1", port=int(port),
                                           log_level="critical", lifespan="off"))
    serving = asyncio.create_task(server.serve())  # noqa: F841 - runs until the kill
    while not server.started:
        await asyncio.sleep(0.01)
    await call(book.reconcile)
    await call(book.process_events, record(log_path))
    handler = record(log_path, killer(point, int(seed)))  # from here on, not while starting
    print("ready", flush=True)
    start = rng.randrange(orders)
    async with httpx.AsyncClient(base_url=gateway) as sandbox:
        for step in range(10**6):
            i = (start + step) % orders
            payment = await call(book.get, f"order-{i}")
            if payment is None:
                if rng.random() < 0.25:
                    await sandbox.post("/_sandbox/faults", json={
                        "operation": "pix.generate", "kind": rng.choice(["drop", "unavailable"])})
                try:
                    await call(book.create, f"order-{i}", expires_in=600, **PIX)
                except QuorvexError:
                    pass  # refused and recorded failed: the order stays unpaid
            elif payment.state is PaymentState.PENDING and i % 3 != 2:
                if rng.random() < 0.3:
                    await sandbox.post("/_sandbox/faults", json={
                        "operation": "webhook", "kind": "duplicate_webhook"})
                await sandbox.post(f"/pay/pix/{payment.reference}/"
                                   f"{'pay' if i % 3 == 0 else 'reject'}")
            if rng.random() < 0.3:
                await call(book.reconcile)
            await call(book.process_events, handler)


def race(db, gateway, notes_path, seed, offset) -> None:
    """Sends every notification and reconciles, in a random order, against the other
    processes doing the same."""
    rng = random.Random(int(seed))
    client = Client("sandbox-client", base_url=gateway, token="sandbox-token", timeout=10.0)
    book = PaymentBook(db, client, webhook_url="http://127.0.0.1:9/hooks", timeout=10.0,
                       clock=lambda: time.time() + float(offset))
    with open(notes_path) as file:
        notes = json.load(file)
    rng.shuffle(notes)
    for number, (reference, secret, body) in enumerate(notes):
        if number % 5 == 0:
            book.reconcile(limit=10)
        while book.handle_webhook(f"/hooks/{reference}", {HEADER: secret},
                                  body.encode()).outcome is Outcome.UNAVAILABLE:
            pass  # the gateway tries again
    book.reconcile()


if __name__ == "__main__":
    if sys.argv[1] == "crash":
        asyncio.run(crash(*sys.argv[2:]))
    else:
        race(*sys.argv[2:])
