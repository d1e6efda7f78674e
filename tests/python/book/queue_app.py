"""The shop's job-queue apps for the queue tests, configured from the environment:
QBO_DB, QBO_GATEWAY, QBO_EVENTS (the handler's log), QBO_EVERY (the ticks, in
seconds), QBO_BROKER (Celery's), QBO_HANDLER_SECONDS."""

from __future__ import annotations

import os
import time

from quorvex_bo.fx import Client
from quorvex_bo.fx.book import PaymentBook

ENV = os.environ


def make_book() -> PaymentBook:
    client = Client("sandbox-client", base_url=ENV["QBO_GATEWAY"], token="sandbox-token")
    return PaymentBook(ENV["QBO_DB"], client, webhook_url="http://127.0.0.1:9/hooks",
                       first_check=0.5, longest_wait=1.0, lease=30.0)


def record(event) -> None:
    """One line per delivery (a second delivery of an event shows as a second line),
    with the seconds since the event was written. Fulfilment takes QBO_HANDLER_SECONDS:
    runs of the task overlap while one is handing events over."""
    time.sleep(float(ENV.get("QBO_HANDLER_SECONDS", "0")))
    with open(ENV["QBO_EVENTS"], "a") as log:
        log.write(f"{event.id} {event.reference} {event.state} {time.time() - event.at:.3f}\n")


every = float(ENV.get("QBO_EVERY", "1"))
if "QBO_BROKER" in ENV:
    from celery import Celery

    from quorvex_bo.fx.book import celery as book_celery
    app = Celery("shop", broker=ENV["QBO_BROKER"])
    app.conf.update(worker_hijack_root_logger=False, broker_connection_retry_on_startup=True)
    book_celery.install(app, make_book, handler=record, reconcile_every=every,
                        events_every=every)
else:
    import procrastinate

    from quorvex_bo.fx.book import procrastinate as book_procrastinate
    app = procrastinate.App(connector=procrastinate.PsycopgConnector(conninfo=ENV["QBO_DB"]))
    book_procrastinate.install(app, make_book, handler=record, reconcile_every=every,
                               events_every=every)
