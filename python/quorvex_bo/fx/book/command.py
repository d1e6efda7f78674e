"""``quorvex-bo book …``: the reconcile worker, a look at one order and at the outbox,
and the console's actions from a shell (resolve, with the audit)."""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import signal
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

from quorvex_bo.fx.book.console_core import MAX_AUDIT
from quorvex_bo.fx.book.payment_book import PaymentBook
from quorvex_bo.fx.book.records import AuditEntry, Event, Operator, Payment, stamp
from quorvex_bo.fx.book.states import Resolution
from quorvex_bo.fx.client import Client
from quorvex_bo.fx.errors import QuorvexError

__all__ = ["add_commands", "run"]

_RESOLUTIONS = {"refunded": Resolution.REFUNDED_OUTSIDE, "kept": Resolution.KEPT}
# Reconcile and show never generate, so no payment is ever told this address.
_NO_WEBHOOK = "https://webhook.invalid/book"


def add_commands(commands: Any) -> None:
    book = commands.add_parser("book", help="the payment book: reconcile worker, one order")
    actions = book.add_subparsers(dest="book_action", required=True)
    reconcile = actions.add_parser("reconcile", help="check the payments that are due")
    show = actions.add_parser("show", help="one order's payments and history")
    show.add_argument("order")
    events = actions.add_parser("events", help="the events not delivered yet, or the dead ones")
    events.add_argument("--dead", action="store_true", help="only those set aside as dead")
    retry = actions.add_parser("retry", help="put a dead event back in line")
    retry.add_argument("event_id", type=int, metavar="EVENT_ID")
    recount = actions.add_parser("recount", help="count the payments by state again (after "
                                 "an older version's processes changed payments)")
    audit = actions.add_parser("audit", help="the actions taken, newest first")
    audit.add_argument("--limit", type=_limit, default=50, metavar="N",
                       help=f"entries shown, 1 to {MAX_AUDIT} (default 50)")
    resolve = actions.add_parser("resolve", help="mark a late payment refunded outside or kept")
    resolve.add_argument("reference", metavar="REFERENCE")
    resolve.add_argument("--as", dest="resolution", required=True,
                         choices=sorted(_RESOLUTIONS), help="what became of the money")
    resolve.add_argument("--reason", required=True, metavar="TEXT", help="why (kept in the audit)")
    resolve.add_argument("--operator", required=True, metavar="NAME",
                         help="who decides (kept in the audit)")
    # From the environment by default: a password on the command line shows in `ps`.
    database = os.environ.get("QUORVEX_BOOK_DB") or None
    for parser in (reconcile, show, events, retry, recount, audit, resolve):
        # Also after the command (the global --json comes before it); unset unless given.
        parser.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                            help="print JSON")
        parser.add_argument("--db", required=database is None, default=database, metavar="URL",
                            help="sqlite:///path or postgresql://… (default: $QUORVEX_BOOK_DB)")
    reconcile.add_argument("--every", type=float, metavar="SECONDS",
                           help="run as a worker, reconciling every SECONDS until SIGTERM")
    reconcile.add_argument("--concurrency", type=int, default=16, metavar="N",
                           help="payments checked at once (default 16)")


def _limit(text: str) -> int:
    if not text.isascii() or not text.isdigit() or not 0 < int(text) <= MAX_AUDIT:
        raise argparse.ArgumentTypeError(f"must be a number from 1 to {MAX_AUDIT}")
    return int(text)


def _line(payment: Payment) -> str:
    return (f"{payment.order_id} {payment.reference} {payment.rail} {payment.amount} "
            f"{payment.currency} {payment.state}")


def run(args: argparse.Namespace, client: Callable[[], Client], as_json: bool) -> int:
    # Showing asks nothing of the gateway: its client needs no credentials.
    gateway = client() if args.book_action == "reconcile" else Client("book-show", token="-")
    with gateway, PaymentBook(args.db, gateway, webhook_url=_NO_WEBHOOK) as book:
        if args.book_action == "show":
            return _show(book, args.order, as_json)
        if args.book_action == "events":
            return _events(book.dead_events() if args.dead else book.pending_events(),
                           as_json)
        if args.book_action == "recount":
            book.recount()
            return 0
        if args.book_action == "audit":
            return _audit(book.audit(limit=args.limit), as_json)
        if args.book_action == "resolve":
            entry = book.resolve(args.reference, _RESOLUTIONS[args.resolution],
                                 reason=args.reason, operator=Operator(args.operator, True))
            _audit([entry], as_json)
            return 0 if entry.done else 1
        if args.book_action == "retry":
            if book.retry_event(args.event_id):
                print(f"event {args.event_id} is back in line")
                return 0
            print(f"error: no dead event {args.event_id}", file=sys.stderr)
            return 1
        if args.every is None:
            return _reconcile(book, args.concurrency)
        stop = threading.Event()
        previous = signal.signal(signal.SIGTERM, lambda *_: stop.set())
        try:
            while not stop.is_set():
                try:
                    _reconcile(book, args.concurrency)
                except QuorvexError as error:  # the database locked or away: next time
                    print(f"{stamp(time.time())} pass failed: {error.kind}: {error}",
                          file=sys.stderr, flush=True)
                stop.wait(args.every)
        finally:
            signal.signal(signal.SIGTERM, previous)
    return 0


def _reconcile(book: PaymentBook, concurrency: int) -> int:
    """One pass: a line per change on stdout, one per failed check on stderr; 1 when
    every check failed (a wrong token, an unreachable gateway), else 0."""
    result = book.reconcile(concurrency=concurrency)
    for payment in result:
        print(f"{stamp(payment.updated_at)} {_line(payment)}", flush=True)
    for failure in result.failures:
        print(f"{stamp(time.time())} not checked: {failure.order_id!r} {failure.reference} "
              f"{failure.kind}: {failure.message}", file=sys.stderr, flush=True)
    return 1 if result.failures and len(result.failures) >= result.checked else 0


def _audit(entries: list[AuditEntry], as_json: bool) -> int:
    for entry in entries:
        if as_json:
            print(json.dumps(dataclasses.asdict(entry)))
        else:
            print(f"{entry.id} {stamp(entry.at)} {entry.operator!r} {entry.action} "
                  f"{entry.target} {entry.outcome!r}"
                  + (f" reason: {entry.reason!r}" if entry.reason else ""))
    return 0


def _events(events: list[Event], as_json: bool) -> int:
    for event in events:
        if as_json:
            print(json.dumps(dataclasses.asdict(event), default=str))
        else:
            print(f"{event.id} {stamp(event.at)} {event.order_id!r} {event.reference} "
                  f"{event.previous or '-'} -> {event.state} attempts={event.attempts}"
                  + (f" last error: {event.last_error!r}" if event.last_error else ""))
    return 0


def _show(book: PaymentBook, order: str, as_json: bool) -> int:
    payments, history = book.payments(order), book.history(order)
    if as_json:
        print(json.dumps({
            "payments": [{**dataclasses.asdict(p), "qr": p.qr is not None} for p in payments],
            "history": [dataclasses.asdict(t) for t in history]}, default=str))
    else:
        for payment in payments:
            print(f"payment {payment.attempt}: {_line(payment)}")
        for step in history:
            print(f"  {stamp(step.at)} {step.reference} {step.previous or '-'} -> "
                  f"{step.state} ({step.cause}: {step.detail})")
    if not payments:
        print(f"error: no payment for order {order!r}", file=sys.stderr)
        return 1
    return 0
