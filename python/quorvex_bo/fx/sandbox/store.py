"""Keeping a sandbox across restarts: payments, calls and the clock in one SQLite file.

Each payment is one row holding its record as JSON, rewritten on every change; calls
are appended. The ledger writes through under its lock, so the file is never behind
what the sandbox has answered. The webhook's header value is kept as given: the
sandbox needs it to notify after a restart, so a new file is readable by its owner only.
"""

from __future__ import annotations

import dataclasses
import json
import os
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
        self._closed = False
        _create_private(path)
        try:
            self._db = sqlite3.connect(str(path), check_same_thread=False,
                                       isolation_level=None, timeout=5.0)
            self._db.executescript(_SCHEMA)
        except sqlite3.Error as error:
            raise SandboxError(f"cannot use {path} as the sandbox's database: {error}") \
                from None

    def payments(self) -> list[Payment]:
        return [_payment(json.loads(record)) for (record,) in
                self._run("SELECT record FROM payment ORDER BY rowid")]

    def calls(self) -> list[GatewayCall]:
        return [_call(json.loads(record)) for (record,) in
                self._run("SELECT record FROM call ORDER BY id")]

    def put_payment(self, payment: Payment) -> None:
        # An update keeps the row's place, so payments come back in creation order.
        self._run("INSERT INTO payment VALUES (?, ?, ?) ON CONFLICT (rail, reference) "
                  "DO UPDATE SET record = excluded.record",
                  (payment.rail.value, payment.reference, json.dumps(_plain(payment))))

    def add_call(self, call: GatewayCall) -> None:
        self._run("INSERT INTO call (record) VALUES (?)", (json.dumps(_plain(call)),))

    def setting(self, name: str) -> str | None:
        rows = self._run("SELECT value FROM setting WHERE name = ?", (name,))
        return str(rows[0][0]) if rows else None

    def set_setting(self, name: str, value: str) -> None:
        self._run("INSERT OR REPLACE INTO setting VALUES (?, ?)", (name, value))

    def close(self) -> None:
        with self._lock:
            self._closed = True
            self._db.close()

    def _run(self, sql: str, parameters: tuple[str, ...] = ()) -> list[Any]:
        """Runs one statement; after `close`, a late change (a delivery still ending) is
        dropped rather than failing its thread."""
        with self._lock:
            return [] if self._closed else self._db.execute(sql, parameters).fetchall()


def _create_private(path: str | Path) -> None:
    """Creates a new database file readable by its owner only: it holds webhook values,
    and SQLite gives its -journal, -wal and -shm files the same mode. A file that exists
    keeps the mode its owner gave it."""
    if str(path) in ("", ":memory:"):
        return
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except OSError:
        pass  # it exists, or sqlite3 will say why the path cannot be used


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
    fields: dict[str, Any] = {
        **record, "rail": Rail(record["rail"]), "amount": Decimal(record["amount"]),
        "webhook": Webhook(**record["webhook"]), "state": State(record["state"]),
        "delivery": Delivery(record["delivery"]),
        "attempts": tuple(Attempt(**item) for item in record["attempts"])}
    return Payment(**fields)


def _call(record: dict[str, Any]) -> GatewayCall:
    fields: dict[str, Any] = {**record, "rail": Rail(record["rail"])}
    return GatewayCall(**fields)
