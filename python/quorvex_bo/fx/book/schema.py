"""The book's tables, created and migrated by the book itself.

Migrations are numbered and applied in order, each in the transaction that records
it in ``book_schema``; concurrent starts wait for each other. A database migrated by
a newer library is refused rather than misread.
"""

from __future__ import annotations

import time

from quorvex_bo.fx.book.database import Database
from quorvex_bo.fx.book.errors import BookError
from quorvex_bo.fx.book.states import UNPAID
from quorvex_bo.fx.book.store import COUNTS_FROM_PAYMENTS, Body, drive

# {id}, {time} and {amount} are the column types of each database. Amounts are exact
# (NUMERIC, or the decimal text on SQLite), never floating point.
MIGRATIONS: tuple[tuple[int, tuple[str, ...]], ...] = (
    (1, (
        """CREATE TABLE book_payments (
            id {id},
            order_id TEXT NOT NULL,
            attempt INTEGER NOT NULL,
            reference TEXT NOT NULL UNIQUE,
            rail TEXT NOT NULL,
            amount {amount} NOT NULL,
            currency TEXT NOT NULL,
            state TEXT NOT NULL,
            secret_digest TEXT NOT NULL,
            qr TEXT,
            expires_at {time},
            created_at {time} NOT NULL,
            updated_at {time} NOT NULL,
            next_check_at {time},
            checks INTEGER NOT NULL DEFAULT 0,
            UNIQUE (order_id, attempt))""",
        # At most one payment of an order is open at any moment, whatever races.
        """CREATE UNIQUE INDEX book_payments_open ON book_payments (order_id)
            WHERE state IN ('creating', 'unconfirmed', 'pending', 'processing')""",
        """CREATE INDEX book_payments_due ON book_payments (next_check_at)
            WHERE next_check_at IS NOT NULL""",
        """CREATE TABLE book_transitions (
            id {id},
            payment_id INTEGER NOT NULL REFERENCES book_payments (id),
            at {time} NOT NULL,
            previous TEXT,
            state TEXT NOT NULL,
            cause TEXT NOT NULL,
            detail TEXT NOT NULL)""",
        "CREATE INDEX book_transitions_payment ON book_transitions (payment_id)",
        # Every authenticated or forged notification, as received (headers are not
        # kept: they carry the secret).
        """CREATE TABLE book_notifications (
            id {id},
            payment_id INTEGER NOT NULL REFERENCES book_payments (id),
            received_at {time} NOT NULL,
            body TEXT NOT NULL,
            outcome TEXT NOT NULL)""",
        """CREATE INDEX book_notifications_received ON book_notifications (received_at)
            WHERE outcome = 'received'""",
        """CREATE TABLE book_events (
            id {id},
            payment_id INTEGER NOT NULL REFERENCES book_payments (id),
            previous TEXT,
            state TEXT NOT NULL,
            cause TEXT NOT NULL,
            at {time} NOT NULL,
            delivered_at {time})""",
        "CREATE INDEX book_events_undelivered ON book_events (id) WHERE delivered_at IS NULL",
    )),
    (2, (
        # Refused notifications are kept in a few rows per payment, overwritten in turn;
        # seq numbers them (the newest tells how many came).
        "ALTER TABLE book_notifications ADD COLUMN seq INTEGER",
        "CREATE INDEX book_notifications_payment ON book_notifications (payment_id, id)",
        # Overwriting a refused row changes its time: an index on it would make
        # PostgreSQL copy the row and leave the old one for vacuum.
        "DROP INDEX book_notifications_received",
        "CREATE INDEX book_notifications_unapplied ON book_notifications (id) "
        "WHERE outcome = 'received'",
        # How a notification's amount or currency differed from its payment's.
        "ALTER TABLE book_events ADD COLUMN mismatch TEXT",
        # The outbox's deliveries: failed attempts, when to try again, set aside as
        # dead after too many, and who holds the event now.
        "ALTER TABLE book_events ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE book_events ADD COLUMN last_error TEXT",
        "ALTER TABLE book_events ADD COLUMN next_attempt_at {time}",
        "ALTER TABLE book_events ADD COLUMN dead_at {time}",
        "ALTER TABLE book_events ADD COLUMN claimed_until {time}",
        """CREATE INDEX book_events_waiting ON book_events (payment_id, id)
            WHERE delivered_at IS NULL AND dead_at IS NULL""",
        "CREATE INDEX book_events_dead ON book_events (id) WHERE dead_at IS NOT NULL",
    )),
    (3, (
        # The last run of each periodic task ('reconcile'): when it finished and what it
        # did, as JSON. One row per kind, overwritten by each run.
        """CREATE TABLE book_runs (
            kind TEXT PRIMARY KEY,
            started_at {time} NOT NULL,
            finished_at {time} NOT NULL,
            summary TEXT NOT NULL)""",
        # The gauges' one read (the oldest unconfirmed payment, the events waiting for
        # delivery and the oldest of them) and the console's pages within a state.
        "CREATE INDEX book_payments_state ON book_payments (state, created_at, id)",
        """CREATE INDEX book_events_waiting_at ON book_events (at)
            WHERE delivered_at IS NULL AND dead_at IS NULL""",
    )),
    (4, (
        # A person's decision about a late payment ('refunded_outside' or 'kept'); it
        # also becomes an event whose state is the decision.
        "ALTER TABLE book_payments ADD COLUMN resolution TEXT",
        # Every check of the gateway (verify, reconcile) and what it said, also when
        # nothing changed: the console's timeline shows each.
        """CREATE TABLE book_checks (
            id {id},
            payment_id INTEGER NOT NULL REFERENCES book_payments (id),
            at {time} NOT NULL,
            cause TEXT NOT NULL,
            detail TEXT NOT NULL)""",
        "CREATE INDEX book_checks_payment ON book_checks (payment_id, id)",
        # Every action taken from the console or the CLI. The nonce is the form's (or
        # the command's): a second submission of it finds the first's row and does
        # nothing again.
        """CREATE TABLE book_audit (
            id {id},
            at {time} NOT NULL,
            operator TEXT NOT NULL,
            action TEXT NOT NULL,
            target TEXT NOT NULL,
            payment_id INTEGER REFERENCES book_payments (id),
            order_id TEXT,
            reason TEXT NOT NULL,
            outcome TEXT NOT NULL,
            done INTEGER NOT NULL DEFAULT 0,
            nonce TEXT NOT NULL UNIQUE)""",
        "CREATE INDEX book_audit_order ON book_audit (order_id, id) WHERE order_id IS NOT NULL",
        # The console's pages at a million payments: newest first by keyset, an
        # order's events, the oldest undelivered event, late payments and forged
        # notifications. Forged rows are
        # overwritten in place: their index holds no column an overwrite changes.
        "CREATE INDEX book_payments_created ON book_payments (created_at, id)",
        "CREATE INDEX book_events_payment ON book_events (payment_id, id)",
        """CREATE INDEX book_events_open ON book_events (id)
            WHERE delivered_at IS NULL AND dead_at IS NULL""",
        """CREATE INDEX book_transitions_late ON book_transitions (payment_id)
            WHERE state = 'paid' AND previous IN ({unpaid})""",
        "CREATE INDEX book_notifications_forged ON book_notifications (id) "
        "WHERE outcome = 'rejected'",
        # The payments by state, kept exact in each change's transaction (counting a
        # million rows takes longer than the overview may). Spread over 16 slots by
        # payment id, so concurrent changes rarely wait on one row.
        """CREATE TABLE book_counts (
            state TEXT NOT NULL,
            slot INTEGER NOT NULL,
            n BIGINT NOT NULL,
            PRIMARY KEY (state, slot))""",
        COUNTS_FROM_PAYMENTS,
    )),
)
LATEST = MIGRATIONS[-1][0]
#: The final states without money, as the SQL list of migration 4's index (frozen with
#: it): a payment that became paid from one of them was paid late.
UNPAID_LIST = "'cancelled', 'error', 'expired', 'failed', 'rejected'"
assert UNPAID_LIST == ", ".join(f"'{state.value}'" for state in sorted(UNPAID))
# Any fixed number: the key of the advisory lock that serialises migrations.
_SCHEMA_LOCK = 0x71B0_0B00


def migration(types: dict[str, str], serialised: bool) -> Body[int]:
    """The transaction body that brings the schema to the latest version; returns the
    version found before. ``serialised``: concurrent migrations wait for each other on
    an advisory lock (PostgreSQL); SQLite's write transaction is lock enough."""
    yield (f"CREATE TABLE IF NOT EXISTS book_schema (version INTEGER PRIMARY KEY, "
           f"applied_at {types['time']} NOT NULL)", ())
    if serialised:
        yield "SELECT pg_advisory_xact_lock(?)", (_SCHEMA_LOCK,)
    found = yield "SELECT MAX(version) FROM book_schema", ()
    current = int(found[0][0]) if found and found[0][0] is not None else 0
    if current > LATEST:
        raise BookError(f"the book's database has schema version {current}; this "
                        f"library knows up to {LATEST}: upgrade quorvex-bo")
    for version, statements in MIGRATIONS:
        if version > current:
            for statement in statements:
                yield statement.format(**types, unpaid=UNPAID_LIST), ()
            yield "INSERT INTO book_schema (version, applied_at) VALUES (?, ?)", (
                version, time.time())
    return current


def migrate(database: Database) -> int:
    """Brings the schema of a blocking database to the latest version."""
    with database.transaction(write=True) as tx:
        return drive(tx, migration(database.types, serialised=bool(database.for_update)))
