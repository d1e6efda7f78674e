"""The outbox: a handler that fails on one order's events holds up only that order's,
retries back off until the event is set aside as dead, and concurrent workers never
share an event."""

from __future__ import annotations

import threading
import time

from quorvex_bo.fx.book import Deliveries, PaymentState as S

from .conftest import PIX


def test_a_failing_event_waits_alone_then_goes_dead_and_comes_back(db_url, make_book, gateway,
                                                                   clock, caplog):
    book = make_book(db_url, webhook_url="https://x/h", max_attempts=3)
    bad, good = (book.create(order, **PIX) for order in ("o-bad", "o-good"))
    for payment in (bad, good):
        gateway.pay("pix", payment.reference)
        book.verify(payment.order_id)
    seen: list = []

    def handler(event) -> None:
        if event.order_id == "o-bad" and not fixed:
            raise LookupError(f"no product for {event.order_id}")
        seen.append((event.order_id, event.state))
    fixed, runs = False, []
    for wait in (0, 5, 9, 30):  # the retries are due after 5 s, then 10 s
        clock.advance(wait)
        runs.append(book.process_events(handler))
    # Once the first is dead, the order's next event goes on (and fails) in that run.
    assert runs == [Deliveries(2, 1, 0), Deliveries(0, 1, 0), Deliveries(0, 0, 0),
                    Deliveries(0, 1, 1)]
    assert seen == [("o-good", S.PENDING), ("o-good", S.PAID)]
    [dead] = book.dead_events()
    assert (dead.order_id, dead.state, dead.attempts, dead.last_error) == (
        "o-bad", S.PENDING, 3, "LookupError: no product for o-bad")
    assert [(e.order_id, e.state, e.attempts) for e in book.pending_events()] == [
        ("o-bad", S.PAID, 1)]
    fixed = True
    assert book.retry_event(dead.id) and not book.retry_event(dead.id)
    assert book.process_events(handler) == Deliveries(1, 0, 0)  # the paid one is not due
    clock.advance(5)
    assert book.process_events(handler) == Deliveries(1, 0, 0)
    assert seen[2:] == [("o-bad", S.PENDING), ("o-bad", S.PAID)]
    assert book.dead_events() == [] and book.pending_events() == []
    assert sum("set aside as dead" in message for message in caplog.messages) == 1


def test_concurrent_workers_never_share_an_event(book):
    for n in range(12):
        book.create(f"o-{n}", **PIX)
    handed: list = []

    def slow(event) -> None:
        handed.append(event.id)
        time.sleep(0.01)
    workers = [threading.Thread(target=book.process_events, args=(slow,)) for _ in range(3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(60)
    assert sorted(handed) == sorted(set(handed)) and len(handed) == 12
