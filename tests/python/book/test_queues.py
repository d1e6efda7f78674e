"""The book's work on a job queue: real Celery worker and beat processes on a real
Redis, a real Procrastinate worker on PostgreSQL, the sandbox as the gateway; and
the statement a book runs with each event, which commits with it or fails it."""

from __future__ import annotations

import collections
import contextlib
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

import quorvex_bo
from quorvex_bo.fx.book import HEADER, Outcome, PaymentBook, PaymentState

from . import pg_server
from .conftest import PIX, missing, rows

HERE = pathlib.Path(__file__).parent
NOWHERE = "http://127.0.0.1:9/hooks"


def _binary(name: str) -> str:
    """A server binary; outside CI a missing one skips, in CI it fails."""
    found = shutil.which(name) or shutil.which(name, path="/usr/sbin:/usr/bin")
    if found is None:
        missing(f"{name} not found (Debian: apt-get install {name})")
    return found


@contextlib.contextmanager
def _running(tmp_path, env: dict[str, str], **commands: list[str]):
    """Runs each command (its output in tmp_path/NAME.log) until the block ends."""
    started = [subprocess.Popen(command, env=env, stdout=open(tmp_path / f"{name}.log", "w"),
                                stderr=subprocess.STDOUT, cwd=tmp_path)
               for name, command in commands.items()]
    try:
        yield
    finally:
        for process in started:
            process.send_signal(signal.SIGTERM)
        for process in started:
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(20)
            process.kill()
            process.wait()


def _handed(tmp_path) -> list[list[str]]:
    """The handler's log: event id, reference, state, seconds since the event."""
    log = tmp_path / "events.log"
    return [line.split() for line in log.read_text().splitlines()] if log.exists() else []


def _wait(condition):
    deadline = time.monotonic() + 60
    while not (found := condition()):
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)
    return found


def _env(tmp_path, db: str, gateway, **more: str) -> dict[str, str]:
    package = pathlib.Path(quorvex_bo.__file__).parents[1]  # the one this test imports
    return {**os.environ, "PYTHONPATH": f"{HERE}{os.pathsep}{package}", "QBO_DB": db,
            "QBO_GATEWAY": gateway.base_url, "QBO_EVENTS": str(tmp_path / "events.log"),
            **more}


def test_celery_worker_and_two_beats_hand_each_event_over_once(tmp_path, postgres_server,
                                                              gateway, client):
    redis, socket = _binary("redis-server"), tmp_path / "redis.sock"
    db = pg_server.new_database(postgres_server, f"celery_{os.getpid()}")
    env = _env(tmp_path, db, gateway, QBO_BROKER=f"redis+socket://{socket}", QBO_EVERY="0.5",
               QBO_HANDLER_SECONDS="0.1")
    celery = [sys.executable, "-m", "celery", "-A", "queue_app:app"]
    with PaymentBook(db, client, webhook_url=NOWHERE) as book:
        refs = [book.create(f"c-{n}", **PIX).reference for n in range(8)]
        for reference in refs[:5]:
            gateway.pay("pix", reference)  # its webhook goes nowhere: reconcile learns it
        with _running(tmp_path, env, redis=[redis, "--port", "0", "--unixsocket", str(socket),
                                            "--save", "", "--appendonly", "no"]):
            _wait(socket.exists)
            with _running(tmp_path, env, **{
                    "worker": [*celery, "worker", "--pool=prefork", "--concurrency=2",
                               "--without-gossip", "--without-mingle", "--loglevel=INFO"],
                    **{f"beat{n}": [*celery, "beat", f"--schedule={tmp_path}/beat{n}",
                                    "--pidfile=", "--loglevel=INFO"] for n in (1, 2)}}):
                _wait(lambda: sum(line[2] == "paid" for line in _handed(tmp_path)) >= 5)
                time.sleep(3)  # a few more ticks of both beats: nothing is handed over again
        events = rows(book, "SELECT id, delivered_at FROM book_events")
        doubled = rows(book, "SELECT payment_id, state FROM book_transitions "
                             "GROUP BY payment_id, state HAVING COUNT(*) > 1")
    for beat in ("beat1", "beat2"):  # both schedulers sent the ticks
        assert "Sending due task quorvex_bo.book.reconcile" in (tmp_path / f"{beat}.log"
                                                                 ).read_text()
    handed = collections.Counter(int(line[0]) for line in _handed(tmp_path))
    assert doubled == [] and all(at is not None for _, at in events)
    assert handed == {event_id: 1 for event_id, _ in events}
    assert sorted(line[1] for line in _handed(tmp_path) if line[2] == "paid") == sorted(refs[:5])


def test_procrastinate_hands_a_paid_order_over_within_a_second(tmp_path, postgres_server,
                                                               gateway, client, endpoint):
    from quorvex_bo.fx.book.procrastinate import defer_events_sql

    db = pg_server.new_database(postgres_server, f"procrastinate_{os.getpid()}")
    env = _env(tmp_path, db, gateway, QBO_EVERY="3600")  # hourly: no tick explains it
    procrastinate = [sys.executable, "-m", "procrastinate", "--app=queue_app.app"]
    subprocess.run([*procrastinate, "schema", "--apply"], env=env, check=True,
                   capture_output=True)
    url, app = endpoint
    with PaymentBook(db, client, webhook_url=url, on_event_sql=defer_events_sql()) as book, \
            _running(tmp_path, env, worker=[*procrastinate, "worker"]):
        app[0] = book.wsgi_app()
        payment = book.create("p-1", **PIX)
        _wait(lambda: _handed(tmp_path))  # its "pending": the worker is up
        gateway.pay("pix", payment.reference)
        [(_, reference, state, latency)] = _wait(lambda: _handed(tmp_path)[1:])
    assert (reference, state) == (payment.reference, "paid") and float(latency) < 1.0


def test_the_event_statement_commits_with_the_event_or_fails_the_change(db_url, make_book,
                                                                        gateway):
    book = make_book(db_url, webhook_url=NOWHERE,
                     on_event_sql=("INSERT INTO wakeups (n) VALUES (?)", [7]))
    rows(book, "CREATE TABLE wakeups (n INTEGER)")
    payment = book.create("w-1", **PIX)
    assert rows(book, "SELECT n FROM wakeups") == [(7,)]
    gateway.pay("pix", payment.reference)
    note = (f"/hooks/{payment.reference}", {HEADER: gateway.payment(
        "pix", payment.reference).webhook.value}, json.dumps(
        {"numeroReferencia": payment.reference, "estado": "PAGADO"}).encode())
    rows(book, "DROP TABLE wakeups")
    assert book.handle_webhook(*note).outcome is Outcome.UNAVAILABLE  # the gateway resends
    assert book.get("w-1").state is PaymentState.PENDING
    assert [event.state for event in book.pending_events()] == [PaymentState.PENDING]
    rows(book, "CREATE TABLE wakeups (n INTEGER)")
    assert book.handle_webhook(*note).outcome is Outcome.APPLIED
    assert rows(book, "SELECT n FROM wakeups") == [(7,)]
    assert [event.state for event in book.pending_events()] == [PaymentState.PENDING,
                                                                PaymentState.PAID]
