"""Crash safety and concurrency: real processes on one database, SIGKILLed at random
moments or racing each other, checked against the sandbox's own record."""

from __future__ import annotations

import collections
import contextlib
import json
import pathlib
import random
import signal
import socket
import subprocess
import sys
import time

import pytest

from quorvex_bo.fx import Client
from quorvex_bo.fx.book import PaymentBook, PaymentState
from quorvex_bo.fx.book.states import FINAL
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox

from .conftest import PIX, events, rows

CHILD = pathlib.Path(__file__).with_name("child.py")
KILLS, ORDERS = 60, 150
# Where a child kills itself (a fault there loses or doubles money); "anywhere": killed
# at a random moment.
POINTS = ("anywhere", "handler-before", "handler-after", "stored", "intent")


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("shell", ["blocking", "async"])
def test_killed_at_random_moments_every_order_ends_once(db_url, tmp_path, shell):
    if shell == "async" and db_url.startswith("sqlite"):
        pytest.skip("the async book on SQLite runs the blocking book's transactions")
    rng, port, log = random.Random(17), _free_port(), tmp_path / "events.log"
    with Sandbox(delivery_backoff=0.1) as gateway:
        for kill in range(KILLS):
            child = subprocess.Popen([sys.executable, CHILD, "crash", shell, db_url,
                                      gateway.base_url,
                                      str(port), str(ORDERS), str(log), str(kill),
                                      POINTS[kill % len(POINTS)]],
                                     stdout=subprocess.PIPE, text=True)
            assert child.stdout is not None and child.stdout.readline() == "ready\n"
            with contextlib.suppress(subprocess.TimeoutExpired):  # a point not reached in time
                child.wait(rng.uniform(0.0, 0.5) * (1 if kill % len(POINTS) == 0 else 3))
            child.send_signal(signal.SIGKILL)
            child.wait()
        later = time.time()
        with Client(DEFAULT_CLIENT_ID, base_url=gateway.base_url, token=DEFAULT_TOKEN) as client, \
                PaymentBook(db_url, client, webhook_url="http://127.0.0.1:9/hooks",
                            clock=lambda: later) as book:
            for _ in range(4):  # past every expiry, grace period and lease
                later = gateway.advance(1000)
                book.reconcile()
            book.process_events(lambda event: log.open("a").write(
                f"{event.id} {event.reference} {event.state}\n"))
            payments = {p.reference: p for order in range(ORDERS)
                        for p in book.payments(f"order-{order}")}
            latest = [book.get(f"order-{order}") for order in range(ORDERS)]
            paid_events = rows(book, "SELECT e.id, p.reference FROM book_events e JOIN "
                                             "book_payments p ON p.id = e.payment_id "
                                             "WHERE e.state = 'paid'")
            stored = collections.Counter(reference for (reference,) in rows(
                book, "SELECT p.reference FROM book_notifications n JOIN book_payments p "
                      "ON p.id = n.payment_id WHERE n.outcome <> 'rejected'"))
        calls = gateway.calls()
        generated = collections.Counter(call.reference for call in calls
                                        if call.operation.endswith(".generate"))
        at_gateway = {p.reference: p for p in gateway.payments()}
    touched = [p for p in latest if p is not None]
    assert len(touched) > ORDERS // 2 and all(p.state in FINAL for p in touched)
    assert set(generated.values()) == {1}, [c for c in calls if generated[c.reference] > 1]
    for reference, payment in payments.items():  # the book agrees with the gateway
        if reference in at_gateway:
            assert (payment.state is PaymentState.PAID) == \
                (at_gateway[reference].state.value == "paid")
        delivered = sum(a.status == 200 for a in at_gateway.get(reference, payment).attempts
                        ) if reference in at_gateway else 0
        assert stored[reference] >= delivered  # every acknowledged notification is kept
    lines = [line.split() for line in log.read_text().splitlines()]
    redelivered = {(id_, reference, state) for id_, reference, state in lines}
    assert len({id_ for id_, _, _ in redelivered}) == len(redelivered)  # same id, same event
    assert sorted((str(i), r) for i, r in paid_events) == sorted(
        (i, r) for i, r, state in redelivered if state == "paid")
    assert len(paid_events) == len({r for _, r in paid_events}) == sum(
        p.state is PaymentState.PAID for p in payments.values())


def test_four_processes_racing_webhooks_and_reconciles(db_url, tmp_path, gateway, client):
    with PaymentBook(db_url, client, webhook_url="http://127.0.0.1:9/hooks") as book:
        refs = [book.create(f"race-{i}", **PIX).reference for i in range(40)]
        for reference in refs:
            gateway.pay("pix", reference)  # the notifications go nowhere
        notes = [(r, gateway.payment("pix", r).webhook.value, json.dumps(
            {"numeroReferencia": r, "estado": "PAGADO"})) for r in refs]
        (tmp_path / "notes.json").write_text(json.dumps(notes))
        racers = [subprocess.Popen([sys.executable, CHILD, "race", db_url, gateway.base_url,
                                    str(tmp_path / "notes.json"), str(seed), "20"])
                  for seed in range(4)]
        assert [racer.wait(120) for racer in racers] == [0, 0, 0, 0]
        assert all(book.get(f"race-{i}").state is PaymentState.PAID for i in range(40))
        paid = collections.Counter((e.reference, e.state) for e in events(book))
        assert all(paid[(r, PaymentState.PAID)] == 1 for r in refs)
    verified = collections.Counter(c.reference for c in gateway.calls()
                                   if c.operation == "pix.verify")
    assert max(verified.values(), default=1) == 1
