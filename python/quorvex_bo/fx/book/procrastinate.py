"""The book's work as periodic tasks of the merchant's Procrastinate app (the
``procrastinate`` extra), on PostgreSQL.

    app = procrastinate.App(connector=procrastinate.PsycopgConnector(conninfo=URL))
    install(app, make_book, handler=fulfil)

A book on the same database can also defer the event-processing job in the
transaction that writes each event (``PaymentBook(URL, …,
on_event_sql=defer_events_sql())``): the job exists exactly when the event does,
and a worker, woken by the job's notification at commit, hands a paid order to the
handler within a second rather than at the next tick.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from quorvex_bo.fx.book import tasks
from quorvex_bo.fx.book.records import Event
from quorvex_bo.fx.book.store import Statement
from quorvex_bo.fx.errors import ValidationError

__all__ = ["BookTasks", "defer_events_sql", "install"]

procrastinate = tasks.needs("procrastinate", "procrastinate")

# Procrastinate's own stored procedure, the one its job manager defers with, so the
# job is made by the database in the caller's transaction; the row's fields are
# queue, task, priority, lock, queueing lock, arguments and scheduled time.
_DEFER = ("SELECT procrastinate_defer_jobs_v1(ARRAY[ROW(?, ?, 0, NULL, NULL, '{}'::jsonb, "
          "NULL)::procrastinate_job_to_defer_v1])")


@dataclass(frozen=True)
class BookTasks:
    """The Procrastinate tasks ``install`` registered."""

    reconcile: Any
    process_events: Any


def defer_events_sql(queue: str = "default") -> Statement:
    """The statement for a book's ``on_event_sql`` that defers the event-processing job
    on ``queue`` in the transaction that writes an event. The book's database must
    hold Procrastinate's schema (``procrastinate schema --apply``): without it every
    change of state fails, loudly, rather than waiting unseen for the next tick."""
    if not isinstance(queue, str) or not queue:
        raise ValidationError("must be a queue's name", field="queue")
    return _DEFER, (queue, tasks.PROCESS_EVENTS)


def _cron(name: str, seconds: float) -> str:
    """Every ``seconds`` as a cron line (croniter's sixth column holds the seconds)."""
    divisors = (1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30)
    for unit, line, counts in ((1, "* * * * * */{}", divisors),
                               (60, "*/{} * * * * 0", divisors),
                               (3600, "0 */{} * * * 0", divisors + (24,))):
        if seconds % unit == 0 and seconds // unit in counts:
            return line.format(int(seconds // unit))
    raise ValidationError("must divide a minute, an hour or a day evenly (Procrastinate "
                          "schedules by the clock): for example 5, 30, 60 or 300 seconds",
                          field=name)


def install(app: Any, book_factory: Callable[[], Any], *, handler: Callable[[Event], object],
            reconcile_every: float = 30.0, events_every: float = 5.0, concurrency: int = 16,
            queue: str = "default") -> BookTasks:
    """Registers the book's reconcile and event-processing tasks on ``app`` as periodic
    tasks, every ``reconcile_every`` and ``events_every`` seconds, on ``queue``.

    Args:
        app: the merchant's ``procrastinate.App``.
        book_factory: makes (or returns) the merchant's :class:`PaymentBook`; called
            at the first task of each worker process.
        handler: the merchant's event handler, as for
            :meth:`PaymentBook.process_events`: called at least once per event.
        concurrency: the payments one reconcile task checks at once.

    The periodic jobs carry a queueing lock: while one waits in the queue, the next
    tick adds none, so a stopped worker finds one job of each when it is back.
    """
    if not isinstance(app, procrastinate.App):
        raise TypeError(f"app must be a procrastinate.App, not {type(app).__name__}")
    plan = tasks.schedule(book_factory, handler, reconcile_every, events_every, concurrency)
    defer_events_sql(queue)  # the same checks
    book = tasks.BookPerProcess(book_factory)
    crons = {tasks.RECONCILE: _cron("reconcile_every", plan.reconcile_every),
             tasks.PROCESS_EVENTS: _cron("events_every", plan.events_every)}

    # ``timestamp``: the tick a periodic job stands for; a job deferred with an
    # event has none.
    def reconcile(timestamp: int | None = None) -> None:
        tasks.reconcile("procrastinate", book, plan)

    def process_events(timestamp: int | None = None) -> None:
        tasks.process_events("procrastinate", book, plan)

    registered = []
    for name, work in ((tasks.RECONCILE, reconcile), (tasks.PROCESS_EVENTS, process_events)):
        task = app.task(name=name, queue=queue)(work)
        app.periodic(cron=crons[name], periodic_id="", queueing_lock=name)(task)
        registered.append(task)
    return BookTasks(*registered)
