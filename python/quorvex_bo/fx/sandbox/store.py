"""Keeping a sandbox across restarts: payments, calls and the clock in one SQLite file.

Each payment is one row holding its record as JSON, rewritten on every change; calls
are appended. The ledger writes through under its lock, so the file is never behind
what the sandbox has answered. The webhook's header value is kept as given: the
sandbox needs it to notify after a restart, and the file is the developer's own.
"""

from __future__ import annotations

import dataclasses
import json
import sqlite3
import threading
from decimal import Decimal
from pathlib import Path
from typing import Any

from quorvex_bo.fx.sandbox.errors import SandboxError
from quorvex_bo.fx.sandbox.ledger import (Attempt, Delivery, GatewayCall, Payment, Rail, State,
                                          Webhook)

_SCHEMA = """
CREATE TABLE IF NOT EXISTS payment (rail TEXT NOT NULL, reference TEXT NOT NULL,
                                    record TEXT NOT NULL, PRIMARY KEY (rail, reference));
CREATE TABLE IF NOT EXISTS call (id INTEGER PRIMARY KEY, record TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS setting (name TEXT PRIMARY KEY, value TEXT NOT NULL);
"""


class Store:
    """One SQLite database; every method commits before it returns."""

    def __init__(self, path: str | Path) -> None:
        self._lock = threading.Lock()
        try:
            self._db = sqlite3.connect(str(path), check_same_thread=False,
                                       isolation_level=None, timeout=5.0)
            self._db.executescript(_SCHEMA)
        except sqlite3.Error as error:
            raise SandboxError(f"cannot use {path} as the sandbox's database: {error}") \
                from None

    def payments(self) -> list[Payment]:
        with self._lock:
            rows = self._db.execute("SELECT record FROM payment ORDER BY rowid").fetchall()
        return [_payment(json.loads(record)) for (record,) in rows]

    def calls(self) -> list[GatewayCall]:
        with self._lock:
            rows = self._db.execute("SELECT record FROM call ORDER BY id").fetchall()
        return [_call(json.loads(record)) for (record,) in rows]

    def put_payment(self, payment: Payment) -> None:
        record = json.dumps(_plain(payment))
        with self._lock:
            # An update keeps the row's place, so payments come back in creation order.
            changed = self._db.execute(
                "UPDATE payment SET record = ? WHERE rail = ? AND reference = ?",
                (record, payment.rail.value, payment.reference)).rowcount
            if not changed:
                self._db.execute("INSERT INTO payment VALUES (?, ?, ?)",
                                 (payment.rail.value, payment.reference, record))

    def add_call(self, call: GatewayCall) -> None:
        with self._lock:
            self._db.execute("INSERT INTO call (record) VALUES (?)",
                             (json.dumps(_plain(call)),))

    def setting(self, name: str) -> str | None:
        with self._lock:
            row = self._db.execute("SELECT value FROM setting WHERE name = ?",
                                   (name,)).fetchone()
        return None if row is None else str(row[0])

    def set_setting(self, name: str, value: str) -> None:
        with self._lock:
            self._db.execute("INSERT OR REPLACE INTO setting VALUES (?, ?)", (name, value))

    def close(self) -> None:
        with self._lock:
            self._db.close()


def _plain(record: Any) -> dict[str, Any]:
    """A record as JSON-ready values: enums by value, amounts as exact text."""
    fields = {field.name: getattr(record, field.name) for field in dataclasses.fields(record)}
    out: dict[str, Any] = {}
    for name, value in fields.items():
        if isinstance(value, Decimal):
            value = str(value)
        elif isinstance(value, (Rail, State, Delivery)):
            value = value.value
        elif isinstance(value, Webhook):
            value = {"url": value.url, "key": value.key, "value": value.value}
        elif isinstance(value, tuple):
            value = [_plain(item) for item in value]
        out[name] = value
    return out


def _payment(record: dict[str, Any]) -> Payment:
    return Payment(**{**record, "rail": Rail(record["rail"]), "amount": Decimal(record["amount"]),
                      "webhook": Webhook(**record["webhook"]), "state": State(record["state"]),
                      "delivery": Delivery(record["delivery"]),
                      "attempts": tuple(Attempt(**item) for item in record["attempts"])})


def _call(record: dict[str, Any]) -> GatewayCall:
    return GatewayCall(**{**record, "rail": Rail(record["rail"])})
