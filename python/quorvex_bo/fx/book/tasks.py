"""What the book's tasks on a job queue share, whichever the queue: one book per
worker process, the arguments' checks, and a run that logs and counts what it did.

The tasks are safe when two copies run at once (two beat schedulers, a tick that
comes while the last one still runs): reconcile and process_events lease the
payments and events they take, so no payment is checked by two workers at a time,
no event is handed to two, and a change of state is written once.
"""

from __future__ import annotations

import importlib
import logging
import math
import os
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from opentelemetry import metrics

from quorvex_bo.fx.book.errors import BookError
from quorvex_bo.fx.book.payment_book import PaymentBook
from quorvex_bo.fx.book.records import Event
from quorvex_bo.fx.errors import QuorvexError, ValidationError

__all__ = ["PROCESS_EVENTS", "RECONCILE", "BookPerProcess", "Schedule", "needs",
           "process_events", "reconcile", "schedule"]

log = logging.getLogger("quorvex_bo.book.tasks")
log.addHandler(logging.NullHandler())

#: The tasks' names on every queue.
RECONCILE = "quorvex_bo.book.reconcile"
PROCESS_EVENTS = "quorvex_bo.book.process_events"

_meter = metrics.get_meter("quorvex_bo.book")
# Bounded attributes: the queue, the task and its outcome ("ok" or "failed").
_runs = _meter.create_counter(
    "quorvex.book.task.runs", unit="{run}",
    description="Runs of the book's tasks on a job queue, by queue, task and outcome")
_duration = _meter.create_histogram(
    "quorvex.book.task.duration", unit="s",
    description="How long the book's tasks on a job queue ran, by queue and task")


@dataclass(frozen=True)
class Schedule:
    """What ``install`` was asked for, checked."""

    handler: Callable[[Event], object]
    reconcile_every: float
    events_every: float
    concurrency: int


def _seconds(name: str, value: object) -> float:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not (math.isfinite(value) and value > 0):
        raise ValidationError("must be more than 0 seconds", field=name)
    return float(value)


def schedule(book_factory: object, handler: object, reconcile_every: object,
             events_every: object, concurrency: object) -> Schedule:
    """Refuses wrong arguments when the tasks are installed, not at the first tick in
    a worker's log."""
    if not callable(book_factory):
        raise TypeError("book_factory must be a function that makes or returns the book")
    if not callable(handler):
        raise TypeError("handler must be a function that takes an Event")
    if not isinstance(concurrency, int) or isinstance(concurrency, bool):
        raise TypeError(f"concurrency must be int, not {type(concurrency).__name__}")
    if concurrency < 1:
        raise ValidationError("must be at least 1", field="concurrency")
    return Schedule(handler, _seconds("reconcile_every", reconcile_every),
                    _seconds("events_every", events_every), concurrency)


class BookPerProcess:
    """The merchant's book, made by ``factory`` at the first task of each worker
    process. A forked child makes its own: its parent's connections are not its to
    use (a prefork pool forks after the parent may have run a task)."""

    def __init__(self, factory: Callable[[], object]) -> None:
        self._factory = factory
        self._book: PaymentBook | None = None
        self._lock = threading.Lock()
        # Kept, never closed nor freed: closing the parent's connections from the
        # child (libpq says goodbye on the shared socket) would break them for it.
        self._inherited: list[PaymentBook] = []
        os.register_at_fork(after_in_child=self._forked)

    def _forked(self) -> None:
        self._lock = threading.Lock()  # maybe held, at the fork, by a thread now gone
        if self._book is not None:
            self._inherited.append(self._book)
            self._book = None

    def __call__(self) -> PaymentBook:
        with self._lock:
            if self._book is None:
                book = self._factory()
                if not isinstance(book, PaymentBook):
                    raise TypeError("book_factory must return a PaymentBook, not "
                                    f"{type(book).__name__}")
                if any(book is old for old in self._inherited):
                    raise TypeError("book_factory returned the book of the parent process: "
                                    "make the book in the factory, after the fork")
                self._book = book
            return self._book


def run(queue: str, task: str, work: Callable[[], dict[str, int]]) -> dict[str, int]:
    """Runs one task: logs what it did (INFO, or WARNING when part of it failed),
    counts it, and lets a failure propagate to the queue, which records the task as
    failed, after a WARNING."""
    started = time.monotonic()
    attributes = {"queue": queue, "task": task}
    try:
        done = work()
    except QuorvexError as error:
        _runs.add(1, {**attributes, "outcome": "failed"})
        log.warning("%s: %s failed: %s: %s", queue, task, error.kind, error.message)
        raise
    except Exception as error:  # a fault of the book's own: the queue logs it whole
        _runs.add(1, {**attributes, "outcome": "failed"})
        log.warning("%s: %s failed: %s", queue, task, type(error).__name__)
        raise
    finally:
        _duration.record(time.monotonic() - started, attributes)
    _runs.add(1, {**attributes, "outcome": "ok"})
    summary = ", ".join(f"{key} {value}" for key, value in done.items())
    log.log(logging.WARNING if done.get("failed") or done.get("dead") else logging.INFO,
            "%s: %s: %s", queue, task, summary)
    return done


def reconcile(queue: str, book: BookPerProcess, plan: Schedule) -> dict[str, int]:
    def work() -> dict[str, int]:
        result = book().reconcile(concurrency=plan.concurrency)
        return {"checked": result.checked, "changed": len(result),
                "failed": len(result.failures)}
    return run(queue, "reconcile", work)


def process_events(queue: str, book: BookPerProcess, plan: Schedule) -> dict[str, int]:
    def work() -> dict[str, int]:
        done = book().process_events(plan.handler)
        return {"delivered": done.delivered, "failed": done.failed, "dead": done.dead}
    return run(queue, "process_events", work)


def needs(module: str, extra: str) -> Any:
    """The queue library, or a clear error naming the extra that brings it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise BookError(f"the book's {module} tasks need {module}: "
                        f"pip install 'quorvex-bo[{extra}]'") from None
