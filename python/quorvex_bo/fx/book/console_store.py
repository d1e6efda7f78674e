"""The console's statements: what its pages read and what its actions write.

Transaction bodies like :mod:`~quorvex_bo.fx.book.store`'s, for both databases and
both shells. Every page reads through an index (migration 4), so it costs the same at
a million payments as at ten: payments are paged by keyset (``created_at, id``), never
by offset. Nothing here selects a secret's digest, and notification bodies leave here
with the payer's identity numbers and e-mail addresses masked.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from typing import Any

from quorvex_bo.fx.book.database import Row
from quorvex_bo.fx.book.records import AuditEntry, Event, Payment, stamp
from quorvex_bo.fx.book.schema import UNPAID_LIST
from quorvex_bo.fx.book.states import PaymentState, Resolution
from quorvex_bo.fx.book.store import _EVENT, _PAYMENT, Body, Statement, _event, _q, _stored

__all__ = ["Filter", "Moment", "OrderView", "Overview", "PAGE_SIZE", "mask_payer"]

PAGE_SIZE = 50
#: The most rows a list of the overview or the events page shows.
LIST_LIMIT = 100
# A late payment: its "paid" transition came from a final state without money. The
# text is migration 4's index predicate, so both databases use that index.
_LATE = f"t.state = 'paid' AND t.previous IN ({UNPAID_LIST})"
_AUTHENTIC = ("received", "applied", "unchanged")
# The payment's columns as the store reads them, but for the secret's digest: pages never need it.
_SHOWN = _PAYMENT.replace("secret_digest", "''")


@dataclass(frozen=True)
class Filter:
    """What the payments page shows: each given field narrows it; ``after`` is the
    keyset of the previous page's last row (its ``created_at`` and row id)."""

    state: PaymentState | None = None
    rail: str | None = None
    search: str | None = None  # an order id or a reference
    since: float | None = None  # created at or after (Unix seconds)
    until: float | None = None  # created before
    after: tuple[float, int] | None = None


@dataclass(frozen=True)
class Overview:
    counts: dict[str, int]
    late: list[tuple[str, str, float]]  # unresolved late payments: order, reference, when
    late_count: int
    dead_events: int
    unconfirmed_overdue: int  # unconfirmed past the grace period
    forged_today: int  # forged notifications in the last 24 hours
    oldest_undelivered: float | None  # when the oldest undelivered event was written
    last_reconcile: tuple[float, float, dict[str, Any]] | None  # started, finished, summary


@dataclass(frozen=True)
class Moment:
    """One line of a payment's timeline. ``reapply`` is the id of an authenticated
    notification a person may apply again; ``retry`` the id of a dead event."""

    at: float
    kind: str  # transition, notification, event, check
    summary: str
    detail: str
    body: str | None = None
    reapply: int | None = None
    retry: int | None = None


@dataclass(frozen=True)
class Attempt:
    payment: Payment
    resolution: Resolution | None
    late: bool  # paid after the book had given it up
    timeline: list[Moment] = field(default_factory=list)


@dataclass(frozen=True)
class OrderView:
    order_id: str
    attempts: list[Attempt]
    audit: list[AuditEntry]


# --- payer data -------------------------------------------------------------------

# Members that name a payer (compared in lower case): their values keep their last two
# characters only.
_PAYER_KEYS = frozenset({"cpf", "payer_cpf", "telefono", "phone", "payer_phone", "celular",
                         "cicliente", "ci", "documento", "document", "payer_document_id",
                         "email", "correo", "correoelectronico", "payer_email", "nombrecliente",
                         "payer_name"})
# Outside JSON: a run of 7 or more digits, maybe grouped, maybe after a "+"; an e-mail
# address (its first character and its domain stay).
_DIGITS = re.compile(r"\+?\d(?:[ .()/-]?\d){6,}")
# Parts of bounded length (as in mail), so that a long body costs linear time.
_EMAIL = re.compile(r"([^\s@\"'<>(),;:\[\]])[^\s@\"'<>(),;:\[\]]{0,63}@"
                    r"(?=[\w-]{1,63}(?:\.[\w-]{1,63})+)")
# Deeper bodies are masked as text: no body a gateway sends nests this far, and a forged
# one must not exhaust the stack of the page that shows it.
_DEPTH = 32


class _TooDeep(Exception):
    pass


def _hide(text: str) -> str:
    return "•" * max(len(text) - 2, 1) + text[-2:] if len(text) > 2 else "•" * len(text)


def _masked(value: Any, payer: bool, depth: int) -> Any:
    if depth > _DEPTH:
        raise _TooDeep
    if isinstance(value, dict):
        return {name: _masked(item, payer or str(name).lower() in _PAYER_KEYS, depth + 1)
                for name, item in value.items()}
    if isinstance(value, list):
        return [_masked(item, payer, depth + 1) for item in value]
    if payer and value is not None:
        return _hide(str(value))
    return value


def _text(body: str, reference: str) -> str:
    body = _EMAIL.sub(lambda found: found[1] + "•••@", body)
    return _DIGITS.sub(lambda found: found[0] if found[0] == reference else
                       re.sub(r"\d(?=(?:\D*\d){2})", "•", found[0]), body)


def mask_payer(body: str, reference: str) -> str:
    """A notification body fit to show a person: the values of payer members (CPF,
    phone, identity document, name, e-mail; any case), and all beneath them, keep their
    last two characters. Any other body (not JSON, a bare value, nested too deep) has
    every long run of digits masked, except the payment's own reference, and every
    e-mail address but its first character and domain. Never fails: a stored body is
    whatever someone posted."""
    try:
        value = json.loads(body)
        if isinstance(value, (dict, list)):
            return json.dumps(_masked(value, False, 0), ensure_ascii=False)
    except (ValueError, RecursionError, _TooDeep):
        pass
    return _text(body, reference)


# --- reading ----------------------------------------------------------------------


def overview(now: float, grace: float) -> Body[Overview]:
    counts = {state: int(n) for state, n in (
        yield _q("SELECT state, SUM(n) FROM book_counts GROUP BY state"))}
    late_where = (f"FROM book_transitions t JOIN book_payments p ON p.id = t.payment_id "
                  f"WHERE {_LATE} AND p.state = 'paid' AND p.resolution IS NULL")
    late = yield _q(f"SELECT p.order_id, p.reference, t.at {late_where} "
                    f"ORDER BY t.payment_id DESC LIMIT ?", LIST_LIMIT)
    late_count = yield _q(f"SELECT COUNT(*) {late_where}")
    dead = yield _q("SELECT COUNT(*) FROM book_events WHERE dead_at IS NOT NULL")
    overdue = yield _q("SELECT COUNT(*) FROM book_payments WHERE state = 'unconfirmed' "
                       "AND created_at <= ?", now - grace)
    forged = yield _q("SELECT COUNT(*) FROM book_notifications WHERE outcome = 'rejected' "
                      "AND received_at >= ?", now - 86400)
    oldest = yield _q("SELECT at FROM book_events WHERE delivered_at IS NULL AND "
                      "dead_at IS NULL ORDER BY id LIMIT 1")
    run = yield _q("SELECT started_at, finished_at, summary FROM book_runs "
                   "WHERE kind = 'reconcile'")
    return Overview(counts, [(order, reference, float(at)) for order, reference, at in late],
                    int(late_count[0][0]), int(dead[0][0]), int(overdue[0][0]),
                    int(forged[0][0]), float(oldest[0][0]) if oldest else None,
                    (float(run[0][0]), float(run[0][1]), json.loads(run[0][2])) if run else None)


def payments(where: Filter, limit: int = PAGE_SIZE) -> Body[list[tuple[int, Payment]]]:
    """A page of payments, newest first, with their row ids (the next page's keyset)."""
    terms, params = [], []
    for term, value in (("state = ?", where.state and where.state.value),
                        ("rail = ?", where.rail), ("created_at >= ?", where.since),
                        ("created_at < ?", where.until)):
        if value is not None:
            terms.append(term)
            params.append(value)
    if where.search is not None:
        terms.append("(order_id = ? OR reference = ?)")
        params += [where.search, where.search]
    if where.after is not None:  # the first term bounds the index range on both databases
        terms.append("created_at <= ? AND (created_at < ? OR id < ?)")
        params += [where.after[0], where.after[0], where.after[1]]
    rows = yield _q(f"{_SHOWN}{' WHERE ' + ' AND '.join(terms) if terms else ''} "
                    "ORDER BY created_at DESC, id DESC LIMIT ?", *params, limit)
    return [(int(row[0]), _stored(row).payment) for row in rows]


def _in(ids: list[int]) -> str:
    return f"({', '.join('?' * len(ids))})"


def order(order_id: str) -> Body[OrderView | None]:
    """An order's payments, each with its timeline, and the actions taken on it."""
    found = yield _q(f"{_SHOWN} WHERE order_id = ? ORDER BY attempt", order_id)
    if not found:
        return None
    ids = [int(row[0]) for row in found]
    extra = {int(row[0]): (row[1], bool(row[2])) for row in (yield _q(
        f"SELECT p.id, p.resolution, EXISTS (SELECT 1 FROM book_transitions t WHERE "
        f"t.payment_id = p.id AND {_LATE}) FROM book_payments p WHERE p.id IN {_in(ids)}",
        *ids))}
    lines: dict[int, list[Moment]] = {i: [] for i in ids}
    for row in (yield _q(f"SELECT payment_id, at, previous, state, cause, detail FROM "
                         f"book_transitions WHERE payment_id IN {_in(ids)} ORDER BY id", *ids)):
        lines[row[0]].append(Moment(float(row[1]), "transition",
                                    f"{row[2] or 'intent'} → {row[3]}", f"{row[4]}: {row[5]}"))
    references = {int(row[0]): row[2] for row in found}
    for row in (yield _q(f"SELECT payment_id, id, received_at, body, outcome, seq FROM "
                         f"book_notifications WHERE payment_id IN {_in(ids)} ORDER BY id",
                         *ids)):
        authentic = row[4] in _AUTHENTIC
        lines[row[0]].append(Moment(
            float(row[2]), "notification", f"notification {row[1]}: {row[4]}",
            "authenticated" if authentic else f"refused (refusal {row[5]} of this payment)",
            mask_payer(row[3], references[row[0]]), reapply=row[1] if authentic else None))
    for row in (yield _q(f"SELECT e.payment_id, e.id, e.at, e.previous, e.state, e.cause, "
                         f"e.delivered_at, e.attempts, e.last_error, e.dead_at, e.mismatch "
                         f"FROM book_events e WHERE e.payment_id IN {_in(ids)} ORDER BY e.id",
                         *ids)):
        lines[row[0]].append(Moment(float(row[2]), "event",
                                    f"event {row[1]}: {row[3] or 'intent'} → {row[4]}",
                                    _deliveries(*row[5:]), retry=row[1] if row[9] else None))
    for row in (yield _q(f"SELECT payment_id, at, cause, detail FROM book_checks WHERE "
                         f"payment_id IN {_in(ids)} ORDER BY id", *ids)):
        lines[row[0]].append(Moment(float(row[1]), "check", f"{row[2]} check", row[3]))
    attempts = []
    for row in found:
        resolution, late = extra[int(row[0])]
        timeline = sorted(lines[int(row[0])], key=lambda moment: moment.at)  # stable
        attempts.append(Attempt(_stored(row).payment,
                                None if resolution is None else Resolution(resolution), late,
                                timeline))
    return OrderView(order_id, attempts, (yield from audit(order_id=order_id)))


def _deliveries(cause: str, delivered: float | None, attempts: int, error: str | None,
                dead: float | None, mismatch: str | None) -> str:
    parts = [f"cause {cause}"]
    if mismatch:
        parts.append(mismatch)
    parts.append(f"delivered {stamp(delivered)}" if delivered is not None else
                 f"dead since {stamp(dead)}" if dead is not None else "not delivered yet")
    if attempts:
        parts.append(f"{attempts} failed attempt{'s' * (attempts != 1)}")
    if error:
        parts.append(f"last error: {error}")
    return "; ".join(parts)


def events(*, dead: bool) -> Body[list[Event]]:
    """The oldest undelivered events (failing ones with their attempts and last
    error), or the newest dead ones."""
    rows = yield _q(f"{_EVENT} WHERE " + (
        "e.dead_at IS NOT NULL ORDER BY e.id DESC" if dead else
        "e.delivered_at IS NULL AND e.dead_at IS NULL ORDER BY e.id") + " LIMIT ?",
        LIST_LIMIT)
    return [_event(row) for row in rows]


# --- the audit ------------------------------------------------------------------------

_AUDIT = ("SELECT id, at, operator, action, target, order_id, reason, outcome, done "
          "FROM book_audit")


def _entry(row: Row) -> AuditEntry:
    return AuditEntry(int(row[0]), float(row[1]), row[2], row[3], row[4], row[5], row[6],
                      row[7], bool(row[8]))


def audit(*, order_id: str | None = None, before: int | None = None,
          limit: int = PAGE_SIZE) -> Body[list[AuditEntry]]:
    """The newest actions first (of one order, or all), ``before`` an entry's id."""
    terms = [(term, value) for term, value in (("order_id = ?", order_id), ("id < ?", before))
             if value is not None]
    where = " AND ".join(term for term, _ in terms)
    rows = yield _q(f"{_AUDIT}{' WHERE ' + where if where else ''} ORDER BY id DESC LIMIT ?",
                    *(value for _, value in terms), limit)
    return [_entry(row) for row in rows]


def begin(nonce: str, now: float, operator: str, action: str, target: str, reason: str,
          order_id: str | None) -> Body[tuple[AuditEntry, bool]]:
    """Records an action about to be taken; returns its entry and ``True``, or the
    entry of the same nonce and ``False`` when it was taken already (a double click)."""
    made = yield _q("INSERT INTO book_audit (at, operator, action, target, order_id, reason, "
                    "outcome, nonce) VALUES (?, ?, ?, ?, ?, ?, 'started', ?) "
                    "ON CONFLICT (nonce) DO NOTHING RETURNING id",
                    now, operator, action, target, order_id, reason, nonce)
    rows = yield _q(f"{_AUDIT} WHERE nonce = ?", nonce)
    return _entry(rows[0]), bool(made)


def finish(entry: int, outcome: str, done: bool) -> Body[AuditEntry]:
    yield _q("UPDATE book_audit SET outcome = ?, done = ? WHERE id = ?", outcome, int(done),
             entry)
    return _entry((yield _q(f"{_AUDIT} WHERE id = ?", entry))[0])


def taken(nonce: str, now: float, operator: str, action: str, target: str, reason: str,
          order_id: str | None, take: Body[tuple[bool, str]]) -> Body[AuditEntry]:
    """Takes an action that only writes to the database and records it with its
    outcome, in one transaction: both happen or neither. A nonce recorded already
    returns its entry, and ``take`` is not run."""
    entry, fresh = yield from begin(nonce, now, operator, action, target, reason, order_id)
    if not fresh:
        take.close()
        return entry
    done, outcome = yield from take
    return (yield from finish(entry.id, outcome, done))


def order_of(column: str, value: Any) -> Body[str | None]:
    """The order of a payment (by ``reference``) or of an event or notification (by
    ``event`` or ``notification`` id), for the audit."""
    sql = {"reference": "SELECT order_id FROM book_payments WHERE reference = ?",
           "event": "SELECT p.order_id FROM book_events e JOIN book_payments p ON "
                    "p.id = e.payment_id WHERE e.id = ?",
           "notification": "SELECT p.order_id FROM book_notifications n JOIN book_payments "
                           "p ON p.id = n.payment_id WHERE n.id = ?"}[column]
    rows = yield _q(sql, value)
    return rows[0][0] if rows else None


def stored_notification(notification: int) -> Body[tuple[str, str, str] | None]:
    """A notification's payment reference, body and outcome."""
    rows = yield _q("SELECT p.reference, n.body, n.outcome FROM book_notifications n "
                    "JOIN book_payments p ON p.id = n.payment_id WHERE n.id = ?", notification)
    return (rows[0][0], rows[0][1], rows[0][2]) if rows else None


def resolve(reference: str, resolution: Resolution, now: float, for_update: str,
            on_event: Statement | None) -> Body[tuple[bool, str]]:
    """Marks a late payment refunded outside or kept, with an event of its own (and the
    merchant's statement that goes with every event), under the payment's row lock;
    returns whether it did and what, or why not. The payment stays paid, and no "paid"
    is written."""
    rows = yield _q(f"SELECT id, state, resolution FROM book_payments WHERE reference = ?"
                    f"{for_update}", reference)
    if not rows:
        return False, "no payment has this reference"
    payment_id, state, resolved = rows[0]
    if resolved is not None:
        return False, f"already resolved as {resolved}"
    late = yield _q(f"SELECT 1 FROM book_transitions t WHERE t.payment_id = ? AND {_LATE}",
                    payment_id)
    if state != PaymentState.PAID.value:
        return False, f"not late-paid: the payment is {state}"
    if not late:
        return False, "not late-paid: it was paid in time"
    yield _q("UPDATE book_payments SET resolution = ?, updated_at = ? WHERE id = ?",
             resolution.value, now, payment_id)
    yield _q("INSERT INTO book_events (payment_id, previous, state, cause, at) "
             "VALUES (?, 'paid', ?, 'operator', ?)", payment_id, resolution.value, now)
    if on_event is not None:
        yield on_event
    return True, f"resolved as {resolution.value}"

