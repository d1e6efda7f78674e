"""The book's work as tasks of the merchant's Celery app (the ``celery`` extra).

    from celery import Celery
    from quorvex_bo.fx.book import celery as book_tasks

    app = Celery("shop", broker="redis://localhost:6379/0")
    book_tasks.install(app, make_book, handler=fulfil)

    # celery -A shop worker   and   celery -A shop beat

Two beat schedulers running at once (a deploy that overlaps, a second host) send
each tick twice: both copies run, and share the work rather than repeat it (see
:mod:`~quorvex_bo.fx.book.tasks`).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from quorvex_bo.fx.book import tasks
from quorvex_bo.fx.book.records import Event

__all__ = ["BookTasks", "install"]

celery = tasks.needs("celery", "celery")


@dataclass(frozen=True)
class BookTasks:
    """The Celery tasks ``install`` registered (``tasks.process_events.delay()`` runs
    a delivery now, after your own transaction committed)."""

    reconcile: Any
    process_events: Any


def install(app: Any, book_factory: Callable[[], Any], *, handler: Callable[[Event], object],
            reconcile_every: float = 30.0, events_every: float = 5.0,
            concurrency: int = 16) -> BookTasks:
    """Registers the book's reconcile and event-processing tasks on ``app``, with their
    beat entries every ``reconcile_every`` and ``events_every`` seconds.

    Args:
        app: the merchant's ``celery.Celery`` app.
        book_factory: makes (or returns) the merchant's :class:`PaymentBook`; called
            at the first task of each worker process, so make the book inside it,
            not at import (a prefork pool's children must not share the parent's
            database connections).
        handler: the merchant's event handler, as for
            :meth:`PaymentBook.process_events`: called at least once per event.
        concurrency: the payments one reconcile task checks at once.

    A tick's task expires when the next is due: a worker that was down for an hour
    runs one reconcile when it is back, not one per missed tick.
    """
    if not isinstance(app, celery.Celery):
        raise TypeError(f"app must be a celery.Celery, not {type(app).__name__}")
    plan = tasks.schedule(book_factory, handler, reconcile_every, events_every, concurrency)
    book = tasks.BookPerProcess(book_factory)

    def reconcile() -> dict[str, int]:
        return tasks.reconcile("celery", book, plan)

    def process_events() -> dict[str, int]:
        return tasks.process_events("celery", book, plan)

    registered = []
    for name, work, every in ((tasks.RECONCILE, reconcile, plan.reconcile_every),
                              (tasks.PROCESS_EVENTS, process_events, plan.events_every)):
        registered.append(app.task(name=name, ignore_result=True)(work))
        app.add_periodic_task(every, app.signature(name), name=name, expires=every)
    return BookTasks(*registered)
