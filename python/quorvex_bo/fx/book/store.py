"""The book's statements, written once for every database and both shells.

Each method is a transaction body: a generator that yields ``(sql, params)`` and is
sent each statement's rows. It does no I/O itself: the blocking shell runs it on a
connection, the async shell on an async one (:func:`drive` and its async twin), and
the decision core chains bodies into one transaction where it must. Each change of
state is written together with its history line and its event (the outbox).
"""

from __future__ import annotations

from collections.abc import Callable, Generator
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any, TypeVar

from quorvex_bo.fx.book.database import Row, Transaction
from quorvex_bo.fx.book.records import Event, Payment, Transition, qr_from_json, qr_to_json
from quorvex_bo.fx.book.states import (FINAL, UNPAID, Cause, PaymentState, Resolution,
                                       next_state)
from quorvex_bo.fx.models import FxQr
from quorvex_bo.fx.telemetry import Health

T = TypeVar("T")
Statement = tuple[str, tuple[Any, ...]]
#: A transaction body: yields statements, is sent their rows, returns its result.
Body = Generator[Statement, list[Row], T]

#: What is kept of refused notifications: the first bytes of each, the last few per payment.
REFUSED_BODY_BYTES = 1024
REFUSED_KEPT = 20

_PAYMENT = ("SELECT id, order_id, reference, rail, amount, currency, state, qr, created_at, "
            "updated_at, attempt, expires_at, secret_digest, checks FROM book_payments")
_HISTORY = ("INSERT INTO book_transitions (payment_id, at, previous, state, cause, detail) "
            "VALUES (?, ?, ?, ?, ?, ?)")
# What the gauges show, in one statement served by indexes: payments by state, the
# unconfirmed ones and the oldest, the events waiting and the oldest, the dead ones,
# and when reconcile last finished.
_HEALTH = (
    "SELECT 'state', state, SUM(n), NULL FROM book_counts GROUP BY state"
    " UNION ALL SELECT 'unconfirmed', NULL, NULL, MIN(created_at) FROM book_payments"
    " WHERE state = 'unconfirmed'"
    " UNION ALL SELECT 'waiting', NULL, COUNT(*), MIN(at) FROM book_events"
    " WHERE delivered_at IS NULL AND dead_at IS NULL"
    " UNION ALL SELECT 'dead', NULL, COUNT(*), NULL FROM book_events WHERE dead_at IS NOT NULL"
    " UNION ALL SELECT 'reconciled', NULL, NULL, MAX(finished_at) FROM book_runs"
    " WHERE kind = 'reconcile'")
_EVENT = ("SELECT e.id, p.order_id, p.reference, e.previous, e.state, e.cause, p.amount, "
          "p.currency, e.at, e.mismatch, e.attempts, e.last_error FROM book_events e "
          "JOIN book_payments p ON p.id = e.payment_id")


def drive(tx: Transaction, body: Body[T]) -> T:
    """Runs a transaction body on a blocking transaction."""
    rows: list[Row] | None = None
    while True:
        try:
            sql, params = body.send(rows)  # type: ignore[arg-type]
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
        rows = tx.rows(sql, *params)


def noting_transitions(body: Body[T], found: list[tuple[str, str]]) -> Body[T]:
    """``body``, noting in ``found`` the new state and cause of each transition it
    writes (counted by the shells once the transaction has committed)."""
    rows: list[Row] | None = None
    while True:
        try:
            statement = body.send(rows)  # type: ignore[arg-type]
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
        if statement[0] is _HISTORY:
            found.append((statement[1][3], statement[1][4]))
        rows = yield statement


def _q(sql: str, *params: Any) -> Statement:
    return sql, params


@dataclass(frozen=True)
class Stored:
    """A payment with what only the book needs: its row id, the digest of its webhook
    secret and how many times reconcile has checked it."""

    id: int
    payment: Payment
    secret_digest: str
    checks: int


@dataclass(frozen=True)
class Intent:
    """A payment about to be generated."""

    reference: str
    rail: str
    amount: Decimal
    currency: str
    secret: str = field(repr=False)  # sent to the gateway, never stored
    secret_digest: str
    expires_at: float
    next_check_at: float


@dataclass(frozen=True)
class Learned:
    """What a webhook, verify or reconcile found out about a payment."""

    state: PaymentState | None  # None: nothing about the state
    cause: Cause
    detail: str
    qr: FxQr | None = None
    expires_at: float | None = None
    mismatch: str | None = None  # how a notification's amount or currency differed


def _stored(row: Row) -> Stored:
    payment = Payment(
        order_id=row[1], reference=row[2], rail=row[3], amount=Decimal(str(row[4])),
        currency=row[5], state=PaymentState(row[6]),
        qr=qr_from_json(row[7]) if row[7] else None, created_at=float(row[8]),
        updated_at=float(row[9]), attempt=int(row[10]),
        expires_at=None if row[11] is None else float(row[11]))
    return Stored(int(row[0]), payment, row[12], int(row[13]))


_RESOLUTIONS = {resolution.value: resolution for resolution in Resolution}
#: The slots of each state's count in book_counts (migration 4 fills them by id % 16).
COUNT_SLOTS = 16
#: Fills book_counts from the payments (migration 4, a recount, rows inserted by hand).
COUNTS_FROM_PAYMENTS = (
    f"INSERT INTO book_counts (state, slot, n) SELECT state, "
    f"id - {COUNT_SLOTS} * (id / {COUNT_SLOTS}), COUNT(*) FROM book_payments "
    f"GROUP BY state, id - {COUNT_SLOTS} * (id / {COUNT_SLOTS})")
#: The causes of a check of the gateway: each is kept in book_checks.
CHECKS = (Cause.VERIFY, Cause.RECONCILE)


def event_state(word: str) -> PaymentState | Resolution:
    """An event's state: a payment state, or a person's resolution of a late payment."""
    return _RESOLUTIONS.get(word) or PaymentState(word)


def _event(row: Row) -> Event:
    return Event(int(row[0]), row[1], row[2], None if row[3] is None else PaymentState(row[3]),
                 event_state(row[4]), Cause(row[5]), Decimal(str(row[6])), row[7],
                 float(row[8]), row[9], int(row[10]), row[11])


def event_statement(value: object) -> Statement | None:
    """Checks a book's ``on_event_sql``: ``None``, or ``(sql, params)``."""
    if value is None:
        return None
    if not (isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], str)
            and isinstance(value[1], (tuple, list))):
        raise TypeError("on_event_sql must be a (sql, params) pair, with ? placeholders")
    return value[0], tuple(value[1])


class Store:
    """The statements, in the dialect of one database (its row-locking clauses), and
    the statement the merchant runs with every event (``on_event``)."""

    def __init__(self, for_update: str, skip_locked: str, on_event: Statement | None = None
                 ) -> None:
        self.for_update = for_update
        self.skip_locked = skip_locked
        # In the event's transaction: what it wakes (a queue's job) commits with the
        # event, and its failure rolls the change back rather than losing the wake-up.
        self.on_event = on_event

    # --- reading ------------------------------------------------------------------

    def by_reference(self, reference: str, *, lock: bool = False) -> Body[Stored | None]:
        rows = yield _q(f"{_PAYMENT} WHERE reference = ?{self.for_update if lock else ''}",
                        reference)
        return _stored(rows[0]) if rows else None

    def latest(self, order_id: str, *, lock: bool = False) -> Body[Stored | None]:
        rows = yield _q(f"{_PAYMENT} WHERE order_id = ? ORDER BY attempt DESC LIMIT 1"
                        f"{self.for_update if lock else ''}", order_id)
        return _stored(rows[0]) if rows else None

    def payments(self, order_id: str) -> Body[list[Payment]]:
        rows = yield _q(f"{_PAYMENT} WHERE order_id = ? ORDER BY attempt", order_id)
        return [_stored(row).payment for row in rows]

    def history(self, order_id: str) -> Body[list[Transition]]:
        rows = yield _q(
            "SELECT t.at, p.reference, t.previous, t.state, t.cause, t.detail "
            "FROM book_transitions t JOIN book_payments p ON p.id = t.payment_id "
            "WHERE p.order_id = ? ORDER BY t.id", order_id)
        return [Transition(float(at), reference, None if previous is None else
                           PaymentState(previous), PaymentState(state), Cause(cause), detail)
                for at, reference, previous, state, cause, detail in rows]

    # --- changing -----------------------------------------------------------------

    def open(self, order_id: str, make: Callable[[], Intent], now: float
             ) -> Body[tuple[Stored, Intent | None]]:
        """The order's open or paid payment, or a new one in "creating" (with its intent)
        made from ``make()``. Two processes opening the same order meet at the unique
        constraints: the loser's transaction fails with ``Conflict`` and is tried again."""
        latest = yield from self.latest(order_id, lock=True)
        if latest is not None and latest.payment.state not in UNPAID:
            return latest, None
        intent = make()
        attempt = 1 if latest is None else latest.payment.attempt + 1
        found = yield _q(
            "INSERT INTO book_payments (order_id, attempt, reference, rail, amount, currency, "
            "state, secret_digest, expires_at, created_at, updated_at, next_check_at) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
            order_id, attempt, intent.reference, intent.rail, str(intent.amount),
            intent.currency, PaymentState.CREATING.value, intent.secret_digest,
            intent.expires_at, now, now, intent.next_check_at)
        yield from self._history(found[0][0], now, None, PaymentState.CREATING, Cause.CREATE,
                                 "intent recorded")
        yield from self._counted(found[0][0], (PaymentState.CREATING, 1))
        created = yield from self.latest(order_id)
        assert created is not None
        return created, intent

    def discard(self, stored: Stored) -> Body[None]:
        """Removes an intent whose input the client refused: nothing was sent. What
        referred to it meanwhile goes with it (a check of a verify that came between,
        a notification), except the operators' audit rows: they stay, naming the order
        alone. A payment no longer in "creating" stays whole."""
        if not (yield _q(f"SELECT id FROM book_payments WHERE id = ? AND state = ?"
                         f"{self.for_update}", stored.id, PaymentState.CREATING.value)):
            return
        for table in ("book_transitions", "book_checks", "book_notifications"):
            yield _q(f"DELETE FROM {table} WHERE payment_id = ?", stored.id)
        yield _q("UPDATE book_audit SET payment_id = NULL WHERE payment_id = ?", stored.id)
        yield _q("DELETE FROM book_payments WHERE id = ?", stored.id)
        yield from self._counted(stored.id, (PaymentState.CREATING, -1))

    def learn(self, reference: str, learned: Learned, now: float,
              schedule: Callable[[Stored, PaymentState], float] | None = None,
              notification: int | None = None) -> Body[tuple[Payment, bool]]:
        """Applies what was learned under the row's lock; returns the payment and
        whether its state changed. ``schedule`` gives the next check of a payment still
        live after a check; without it the schedule stays. A final payment has none."""
        stored = yield from self.by_reference(reference, lock=True)
        assert stored is not None, "the book only learns about its own payments"
        current = stored.payment.state
        target = None if learned.state is None else next_state(current, learned.state)
        state = target or current
        sets: dict[str, Any] = {"updated_at": now}
        if state in FINAL:
            sets["next_check_at"] = None
        elif schedule is not None:
            sets["next_check_at"] = schedule(stored, state)
            sets["checks"] = stored.checks + 1
        if learned.qr is not None and stored.payment.qr is None:
            sets["qr"] = qr_to_json(learned.qr)
        if learned.expires_at is not None:
            sets["expires_at"] = learned.expires_at
        if target is not None:
            sets["state"] = target.value
            sets["checks"] = 0
            yield from self._history(stored.id, now, current, target, learned.cause,
                                     learned.detail)
            yield from self._counted(stored.id, (current, -1), (target, 1))
            yield _q("INSERT INTO book_events (payment_id, previous, state, cause, at, mismatch) "
                     "VALUES (?, ?, ?, ?, ?, ?)", stored.id, current.value, target.value,
                     learned.cause.value, now, learned.mismatch)
            if self.on_event is not None:
                yield self.on_event
        if learned.cause in CHECKS:
            yield from self.checked(stored.id, now, learned.cause, learned.detail)
        assignments = ", ".join(f"{name} = ?" for name in sets)
        yield _q(f"UPDATE book_payments SET {assignments} WHERE id = ?", *sets.values(),
                 stored.id)
        if notification is not None:
            yield _q("UPDATE book_notifications SET outcome = ? WHERE id = ?",
                     "applied" if target else "unchanged", notification)
        rows = yield _q(f"{_PAYMENT} WHERE id = ?", stored.id)
        return _stored(rows[0]).payment, target is not None

    def _history(self, payment_id: int, now: float, previous: PaymentState | None,
                 state: PaymentState, cause: Cause, detail: str) -> Body[None]:
        yield _q(_HISTORY, payment_id, now, None if previous is None else previous.value,
                 state.value, cause.value, detail)

    def _counted(self, payment_id: int, *changes: tuple[PaymentState, int]) -> Body[None]:
        """Keeps book_counts exact. A transaction changes one payment, and takes its
        count rows in one order (by state): two transactions never wait on each other's."""
        for state, delta in sorted(changes):
            yield _q("INSERT INTO book_counts (state, slot, n) VALUES (?, ?, ?) "
                     "ON CONFLICT (state, slot) DO UPDATE SET n = book_counts.n + excluded.n",
                     state.value, payment_id % COUNT_SLOTS, delta)

    def recount(self) -> Body[None]:
        """Counts the payments by state again (after processes of an older version, which
        did not keep the counts, changed some). On PostgreSQL the counts are locked
        first: a change in flight waits, and adds its own delta to the fresh count."""
        if self.for_update:
            yield _q("LOCK TABLE book_counts IN EXCLUSIVE MODE")
        yield _q("DELETE FROM book_counts")
        yield _q(COUNTS_FROM_PAYMENTS)

    def checked(self, payment_id: int, now: float, cause: Cause, detail: str) -> Body[None]:
        """Keeps one check of the gateway and what it said."""
        yield _q("INSERT INTO book_checks (payment_id, at, cause, detail) VALUES (?, ?, ?, ?)",
                 payment_id, now, cause.value, detail)

    def claim_due(self, now: float, lease: float, limit: int) -> Body[list[Stored]]:
        """Takes up to ``limit`` payments due for a check, moving their next check past
        the lease so no other worker takes them meanwhile."""
        rows = yield _q(f"{_PAYMENT} WHERE next_check_at <= ? ORDER BY next_check_at "
                        f"LIMIT ?{self.skip_locked}", now, limit)
        for row in rows:
            yield _q("UPDATE book_payments SET next_check_at = ? WHERE id = ?", now + lease,
                     row[0])
        return [_stored(row) for row in rows]

    # --- notifications --------------------------------------------------------------

    def receive(self, payment_id: int, body: str, now: float) -> Body[int]:
        """Stores an authentic notification as it came; its outcome is set when it is
        applied (in the same transaction)."""
        found = yield _q("INSERT INTO book_notifications (payment_id, received_at, body, "
                         "outcome) VALUES (?, ?, ?, 'received') RETURNING id",
                         payment_id, now, body)
        return int(found[0][0])

    def refuse(self, payment_id: int, body: bytes, outcome: str, now: float) -> Body[None]:
        """Keeps a person's view of a refused notification (forged or unreadable) in
        bounded room: its first :data:`REFUSED_BODY_BYTES`, in the payment's last
        :data:`REFUSED_KEPT` rows, the oldest overwritten. Each row's ``seq`` counts the
        payment's refused notifications, so the newest tells how many came in all.
        Whoever learns a payment's webhook path cannot fill the disk."""
        text = body[:REFUSED_BODY_BYTES].decode("utf-8", "replace")
        text = text.encode()[:REFUSED_BODY_BYTES].decode("utf-8", "ignore")
        kept = yield _q(f"SELECT id, seq FROM book_notifications WHERE payment_id = ? AND "
                        f"outcome IN ('rejected', 'malformed') ORDER BY seq, id"
                        f"{self.for_update}", payment_id)
        seq = max((row[1] or 0 for row in kept), default=0) + 1
        if len(kept) < REFUSED_KEPT:
            yield _q("INSERT INTO book_notifications (payment_id, received_at, body, outcome, "
                     "seq) VALUES (?, ?, ?, ?, ?)", payment_id, now, text, outcome, seq)
        else:  # in place: nothing indexed changes, so the old row's room is reused
            yield _q("UPDATE book_notifications SET received_at = ?, body = ?, outcome = ?, "
                     "seq = ? WHERE id = ?", now, text, outcome, seq, kept[0][0])

    def unapplied(self, before: float, limit: int) -> Body[list[tuple[int, str, str]]]:
        """Authentic notifications stored but never applied (stored by an earlier
        version, which applied them in a second transaction): their id, payment
        reference and body."""
        rows = yield _q("SELECT n.id, p.reference, n.body FROM book_notifications n "
                        "JOIN book_payments p ON p.id = n.payment_id "
                        "WHERE n.outcome = 'received' AND n.received_at <= ? "
                        "ORDER BY n.id LIMIT ?", before, limit)
        return [(int(row[0]), row[1], row[2]) for row in rows]

    # --- the outbox -------------------------------------------------------------------

    def claim_events(self, now: float, lease: float, limit: int) -> Body[list[Event]]:
        """Takes up to ``limit`` events due for delivery, oldest first, for ``lease``
        seconds: no other worker takes them meanwhile, and a worker that dies gives
        them back when the lease runs out. An event waits behind an earlier one of its
        payment that is not delivered yet (a payment's events arrive in order)."""
        ids = [row[0] for row in (yield _q(
            "SELECT e.id FROM book_events e WHERE e.delivered_at IS NULL AND e.dead_at IS NULL"
            " AND (e.next_attempt_at IS NULL OR e.next_attempt_at <= ?)"
            " AND (e.claimed_until IS NULL OR e.claimed_until <= ?)"
            " AND NOT EXISTS (SELECT 1 FROM book_events b WHERE b.payment_id = e.payment_id"
            " AND b.id < e.id AND b.delivered_at IS NULL AND b.dead_at IS NULL)"
            f" ORDER BY e.id LIMIT ?{self.skip_locked}", now, now, limit))]
        for event_id in ids:
            yield _q("UPDATE book_events SET claimed_until = ? WHERE id = ?", now + lease,
                     event_id)
        if not ids:
            return []
        rows = yield _q(f"{_EVENT} WHERE e.id IN ({', '.join('?' * len(ids))}) ORDER BY e.id",
                        *ids)
        return [_event(row) for row in rows]

    def events(self, *, dead: bool) -> Body[list[Event]]:
        """The events set aside as dead, or those not delivered yet (failing ones with
        their attempts and last error)."""
        rows = yield _q(f"{_EVENT} WHERE " + ("e.dead_at IS NOT NULL" if dead else
                                              "e.delivered_at IS NULL AND e.dead_at IS NULL")
                        + " ORDER BY e.id")
        return [_event(row) for row in rows]

    def delivered(self, event_id: int, now: float) -> Body[None]:
        yield _q("UPDATE book_events SET delivered_at = ?, claimed_until = NULL "
                 "WHERE id = ? AND delivered_at IS NULL", now, event_id)

    def failed(self, event: Event, error: str, retry_at: float | None, now: float) -> Body[None]:
        """Records a failed delivery: tried again at ``retry_at``, or set aside as dead."""
        yield _q("UPDATE book_events SET attempts = attempts + 1, last_error = ?, "
                 "next_attempt_at = ?, dead_at = ?, claimed_until = NULL "
                 "WHERE id = ? AND delivered_at IS NULL", error, retry_at,
                 now if retry_at is None else None, event.id)

    def revive(self, event_id: int) -> Body[bool]:
        """Puts a dead event back in line with a fresh count of attempts."""
        found = yield _q("UPDATE book_events SET dead_at = NULL, attempts = 0, "
                         "next_attempt_at = NULL WHERE id = ? AND dead_at IS NOT NULL "
                         "RETURNING id", event_id)
        if found and self.on_event is not None:
            yield self.on_event
        return bool(found)

    def health(self, now: float) -> Body[Health]:
        """What the gauges show, read in one statement."""
        payments: dict[str, int] = {}
        found: dict[str, tuple[Any, Any]] = {}
        for what, state, count, moment in (yield _q(_HEALTH)):
            if what == "state":
                payments[state] = int(count)
            else:
                found[what] = (count, moment)

        def age(moment: Any) -> float | None:
            return None if moment is None else max(0.0, now - float(moment))
        return Health(payments, payments.get(PaymentState.UNCONFIRMED.value, 0),
                      age(found["unconfirmed"][1]), int(found["waiting"][0]),
                      age(found["waiting"][1]), int(found["dead"][0]),
                      age(found["reconciled"][1]))

    def ran(self, kind: str, started: float, finished: float, summary: str) -> Body[None]:
        """Records the last run of a periodic task."""
        yield _q("INSERT INTO book_runs (kind, started_at, finished_at, summary) "
                 "VALUES (?, ?, ?, ?) ON CONFLICT (kind) DO UPDATE SET "
                 "started_at = excluded.started_at, finished_at = excluded.finished_at, "
                 "summary = excluded.summary", kind, started, finished, summary)
