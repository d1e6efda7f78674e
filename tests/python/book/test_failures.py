"""Failures a person must act on are loud: a refused token or an unreachable gateway
shows in reconcile's result and log, raises from verify and fails the CLI's pass; a
worker outlives a locked database; a double click gets the QR."""

from __future__ import annotations

import logging
import threading
import time

import pytest

from quorvex_bo.fx import AuthenticationError, NetworkError
from quorvex_bo.fx.book import PaymentBook, PaymentState

from .conftest import PIX, rows
from .test_cli import cli


def until(done, seconds: float = 20.0) -> None:
    deadline = time.monotonic() + seconds
    while not done():
        assert time.monotonic() < deadline, "waited too long"
        time.sleep(0.01)


@pytest.mark.parametrize("settings, error", [
    ({"token": "wrong-token"}, AuthenticationError), ({"base_url": "http://127.0.0.1:9"}, NetworkError)])
def test_a_gateway_that_refuses_the_book_is_never_silent(book, make_book, gateway, db_url, clock,
                                                         caplog, settings, error):
    payment = book.create("o-loud", **PIX)
    clock.advance(10)  # due
    other = make_book(db_url, webhook_url="https://x/h", client=settings)
    with pytest.raises(error):
        other.verify("o-loud")
    result = other.reconcile()
    assert (list(result), result.checked, [(f.order_id, f.reference, f.kind) for f in result.failures]
            ) == ([], 1, [("o-loud", payment.reference, error.kind)])
    assert [r.getMessage().split(": ")[:3] for r in caplog.records if r.levelno == logging.WARNING
            ] == [["order 'o-loud'", f"payment {payment.reference} not checked", error.kind]] * 2
    flags = ["--token", "wrong-token"] if "token" in settings else ["--base-url", settings["base_url"]]
    rows(book, "UPDATE book_payments SET next_check_at = 0")  # due again
    child = cli(gateway, *flags, "book", "reconcile", db=db_url, base=False)
    assert child.wait(30) == 1 and f"'o-loud' {payment.reference} {error.kind}: " in child.stderr.read()
    assert book.get("o-loud").state is PaymentState.PENDING


def test_a_worker_outlives_a_locked_database(db_url, client, gateway, endpoint, caplog):
    with PaymentBook(db_url, client, webhook_url=endpoint[0], timeout=0.2) as book, \
            PaymentBook(db_url, client, webhook_url=endpoint[0], timeout=0.2) as other:
        book.create("o-lock", **PIX)
        seen, stop = [], threading.Event()
        worker = threading.Thread(target=book.run_worker, args=(seen.append,),
                                  kwargs={"every": 0.05, "stop": stop}, daemon=True)
        try:
            with other._db.transaction(write=True) as tx:  # held past the worker's timeout
                tx.run("LOCK TABLE book_events IN ACCESS EXCLUSIVE MODE" if other._db.for_update
                       else "UPDATE book_events SET at = at")
                worker.start()
                until(lambda: any("worker: events failed: storage" in m for m in caplog.messages))
            until(lambda: seen)
        finally:
            stop.set()
            worker.join(10)
    assert [e.state for e in seen] == [PaymentState.PENDING] and not worker.is_alive()


def test_a_double_click_gets_the_qr(book, gateway):
    made = []
    clicks = [threading.Thread(target=lambda: made.append(book.create("o-click", **PIX)))
              for _ in range(4)]
    for click in clicks:
        click.start()
    for click in clicks:
        click.join(30)
    assert len({p.reference for p in made}) == 1 and all(p.qr is not None for p in made)
    assert len(gateway.payments()) == 1
