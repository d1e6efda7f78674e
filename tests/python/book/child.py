"""A process driving a book, for the crash and concurrency tests.

    child.py crash DB GATEWAY PORT ORDERS EVENT_LOG SEED POINT   runs until killed

With a POINT, the crash child kills itself the first to third time it gets there:
inside the handler before or after its side effect, between storing a notification
and applying it, between recording an intent and generating its QR.
    child.py race DB GATEWAY NOTES SEED OFFSET             one pass, then exits
"""

from __future__ import annotations

import json
import os
import random
import signal
import sys
import threading
import time
import wsgiref.simple_server

import httpx

HERE = os.path.dirname(__file__)
sys.path[:0] = [os.path.join(HERE, "..", "..", "..", "python"), HERE]

from conftest import PIX, Quiet, Server  # noqa: E402

from quorvex_bo.fx import Client, QuorvexError  # noqa: E402
from quorvex_bo.fx.book import HEADER, PaymentBook, PaymentState  # noqa: E402
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
    store is wrapped so that its steps are points too."""
    left = [random.Random(seed).randint(1, 3)]

    def die(here: str) -> None:
        left[0] -= here == point
        if left[0] == 0:
            os.kill(os.getpid(), signal.SIGKILL)

    def after(method, here, when=lambda result: True):
        def wrapped(*args, **kwargs):
            result = method(*args, **kwargs)
            if when(result):
                die(here)
            return result
        return wrapped
    Store.receive = after(Store.receive, "stored")
    Store.open = after(Store.open, "intent", lambda result: result[1] is not None)
    return die


def crash(db, gateway, port, orders, log_path, seed, point) -> None:
    rng = random.Random(int(seed))
    client = Client("sandbox-client", base_url=gateway, token="sandbox-token", timeout=5.0,
                    max_retries=0)
    book = PaymentBook(db, client, webhook_url=f"http://127.0.0.1:{port}/hooks")
    server = wsgiref.simple_server.make_server("127.0.0.1", int(port), book.wsgi_app(),
                                               Server, Quiet)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    handler = record(log_path)
    book.reconcile()
    book.process_events(handler)
    handler = record(log_path, killer(point, int(seed)))  # from here on, not while starting
    print("ready", flush=True)
    start = rng.randrange(int(orders))
    for step in range(10**6):
        i = (start + step) % int(orders)
        payment = book.get(f"order-{i}")
        if payment is None:
            if rng.random() < 0.25:
                httpx.post(f"{gateway}/_sandbox/faults", json={
                    "operation": "pix.generate", "kind": rng.choice(["drop", "unavailable"])})
            try:
                book.create(f"order-{i}", expires_in=600, **PIX)
            except QuorvexError:
                pass  # refused and recorded failed: the order stays unpaid
        elif payment.state is PaymentState.PENDING and i % 3 != 2:
            if rng.random() < 0.3:
                httpx.post(f"{gateway}/_sandbox/faults",
                           json={"operation": "webhook", "kind": "duplicate_webhook"})
            action = "pay" if i % 3 == 0 else "reject"
            httpx.post(f"{gateway}/pay/pix/{payment.reference}/{action}")
        if rng.random() < 0.3:
            book.reconcile()
        book.process_events(handler)


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
                                  body.encode()).status == 503:
            pass  # the gateway tries again
    book.reconcile()


if __name__ == "__main__":
    {"crash": crash, "race": race}[sys.argv[1]](*sys.argv[2:])
