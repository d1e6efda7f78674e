"""The console's pages at a million payments, on SQLite and PostgreSQL (a benchmark, not
a test).

    PYTHONPATH=python python3 bench/console_bench.py [--payments N] [--runs N]

Inserts the payments directly (with their transitions, an event each, some
notifications, forged ones, checks, dead and undelivered events and late payments),
then times each page as the console's WSGI app answers it in-process: the queries and
the HTML. Prints the median and the slowest of --runs requests after two to warm up.
Targets: the overview 100 ms, a payments page (first, deep by keyset, filtered) 50 ms,
an order's page 20 ms. PostgreSQL runs in a temporary server on a Unix socket.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import io
import random
import statistics
import sys
import time
import pathlib
from collections.abc import Iterable, Iterator
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "python"), str(ROOT / "tests" / "python" / "book")]

import pg_server  # noqa: E402

from quorvex_bo.fx import Client  # noqa: E402
from quorvex_bo.fx.book import Operator, PaymentBook  # noqa: E402

TARGETS = {"overview": 0.100, "payments": 0.050, "order": 0.020}
# Final states by share; the rest are live.
STATES = [("paid", 0.60), ("expired", 0.20), ("cancelled", 0.10), ("reversed", 0.03),
          ("failed", 0.01), ("unconfirmed", 0.01), ("pending", 0.05)]
YEAR = 365 * 86400.0


def rows(count: int, now: float) -> dict[str, Iterator[tuple[Any, ...]]]:
    """The tables' rows; payment i (from 1) gets row id i in a fresh table."""
    chance = random.Random(7)
    states = [state for state, share in STATES for _ in range(int(share * 100))]
    chosen = [states[chance.randrange(len(states))] for _ in range(count)]
    late = set(range(1, count + 1, 1000))  # one in a thousand paid after it expired

    def created(i: int) -> float:
        return now - YEAR + YEAR * i / count

    def payments() -> Iterator[tuple[Any, ...]]:
        for i in range(1, count + 1):
            state = "paid" if i in late else chosen[i - 1]
            yield (f"order-{i}", 1, str(1_000_000_000 + i), ("pix", "crypto", "binance")[i % 3],
                   "10.50", "BOB", state, "digest-%d" % i, None, created(i) + 3600, created(i),
                   created(i) + 60, None, 0)

    def transitions() -> Iterator[tuple[Any, ...]]:
        for i in range(1, count + 1):
            state = "paid" if i in late else chosen[i - 1]
            yield i, created(i), None, "creating", "create", "intent recorded"
            if i in late:
                yield i, created(i) + 30, "creating", "expired", "reconcile", "expired"
                yield i, created(i) + 60, "expired", "paid", "webhook", "notification: PAGADO"
            elif state != "creating":
                yield i, created(i) + 60, "creating", state, "webhook", f"notification: {state}"

    def events() -> Iterator[tuple[Any, ...]]:
        for i in range(1, count + 1):
            state = "paid" if i in late else chosen[i - 1]
            undelivered = i > count - 2000
            dead = i % 10_000 == 0
            yield (i, "creating", state, "webhook", created(i) + 60,
                   None if undelivered or dead else created(i) + 61, None, 10 if dead else 0,
                   "RuntimeError: down" if dead else None, None, created(i) + 90 if dead else None)

    def notifications() -> Iterator[tuple[Any, ...]]:
        for i in range(1, count + 1, 20):
            body = f'{{"numeroReferencia":"{1_000_000_000 + i}","estado":"PAGADO"}}'
            yield i, created(i) + 60, body, "applied", None
        for i in range(max(1, count - 50_000), count + 1, 500):  # forged, recent and older
            yield i, now - (count - i) * 5, "<script>forged</script>", "rejected", 1

    def checks() -> Iterator[tuple[Any, ...]]:
        for i in range(1, count + 1, 10):
            for n in range(3):
                yield i, created(i) + 10 * n, "reconcile", "verify: PENDING"

    def counts() -> Iterator[tuple[Any, ...]]:
        kept: collections.Counter[tuple[str, int]] = collections.Counter(
            ("paid" if i in late else chosen[i - 1], i % 16) for i in range(1, count + 1))
        return ((state, slot, n) for (state, slot), n in kept.items())

    return {"book_counts (state, slot, n)": counts(),
            "book_payments (order_id, attempt, reference, rail, amount, currency, state, "
            "secret_digest, qr, expires_at, created_at, updated_at, next_check_at, checks)":
                payments(),
            "book_transitions (payment_id, at, previous, state, cause, detail)": transitions(),
            "book_events (payment_id, previous, state, cause, at, delivered_at, mismatch, "
            "attempts, last_error, next_attempt_at, dead_at)": events(),
            "book_notifications (payment_id, received_at, body, outcome, seq)": notifications(),
            "book_checks (payment_id, at, cause, detail)": checks()}


def load_sqlite(path: str, tables: dict[str, Iterable[tuple[Any, ...]]]) -> None:
    import sqlite3
    connection = sqlite3.connect(path, isolation_level=None)
    connection.execute("BEGIN")
    for table, found in tables.items():
        width = table.count(",") + 1
        connection.executemany(f"INSERT INTO {table} VALUES ({', '.join('?' * width)})", found)
    connection.execute("COMMIT")
    connection.execute("ANALYZE")
    connection.close()


def load_postgres(url: str, tables: dict[str, Iterable[tuple[Any, ...]]]) -> None:
    import psycopg
    with psycopg.connect(url, autocommit=True) as connection:
        for table, found in tables.items():
            with connection.cursor().copy(f"COPY {table} FROM STDIN") as copy:
                for row in found:
                    copy.write_row(row)
        connection.execute("VACUUM ANALYZE")


def request(app: Any, path: str) -> tuple[float, int]:
    """One GET of the console in-process: its time in seconds, and the table rows shown."""
    target, _, query = path.partition("?")
    seen: list[str] = []
    environ = {"REQUEST_METHOD": "GET", "PATH_INFO": target, "QUERY_STRING": query,
               "wsgi.input": io.BytesIO(), "HTTP_HOST": "shop"}
    started = time.perf_counter()
    body = b"".join(app(environ, lambda status, headers: seen.append(status)))
    elapsed = time.perf_counter() - started
    assert seen[0].startswith("200") and len(body) > 1000, (path, seen, body[:300])
    return elapsed, body.count(b"<tr")


def measure(db: str, url: str, count: int, runs: int) -> None:
    with Client("bench", token="-") as client, PaymentBook(
            url, client, webhook_url="https://shop.example/hooks") as book:
        started = time.perf_counter()
        tables = rows(count, time.time())
        if db == "sqlite":
            book.close()
            load_sqlite(url[len("sqlite:///"):], tables)
        else:
            load_postgres(url, tables)
        print(f"{db}: {count:,} payments inserted in {time.perf_counter() - started:.0f} s",
              flush=True)
    with Client("bench", token="-") as client, PaymentBook(
            url, client, webhook_url="https://shop.example/hooks") as book:
        app = book.console_app(authorize=lambda request: Operator("bench"))
        middle = count // 2  # a deep page: the keyset of the payment half way down
        deep = f"after={time.time() - YEAR + YEAR * middle / count!r}_{middle}"
        pages = {"overview": ["/"],
                 "payments": ["/payments", f"/payments?{deep}",
                              f"/payments?state=unconfirmed&{deep}",
                              f"/payments?rail=binance&state=paid&{deep}",
                              "/payments?q=order-777777", "/payments?from=2026-06-01&to=2026-06-01"],
                 "order": ["/order?id=order-1001", f"/order?id=order-{count - 500}"]}
        for kind, paths in pages.items():
            for path in paths:
                for _ in range(2):
                    request(app, path)
                answers = [request(app, path) for _ in range(runs)]
                times = [elapsed for elapsed, _ in answers]
                median = statistics.median(times)
                verdict = "ok" if median <= TARGETS[kind] else "OVER TARGET"
                print(f"  {db:10} {kind:8} {path[:60]:60} median {median * 1000:6.1f} ms, "
                      f"slowest {max(times) * 1000:6.1f} ms, {answers[0][1]:3} rows  ({verdict}: "
                      f"{TARGETS[kind] * 1000:.0f} ms)", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--payments", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--db", choices=("sqlite", "postgresql", "both"), default="both")
    args = parser.parse_args()
    import tempfile
    with tempfile.TemporaryDirectory() as folder, contextlib.ExitStack() as stack:
        if args.db in ("sqlite", "both"):
            measure("sqlite", f"sqlite:///{folder}/console.db", args.payments, args.runs)
        if args.db in ("postgresql", "both"):
            if not pg_server.available():
                sys.exit(f"PostgreSQL not found in {pg_server.PG_BIN}")
            socket = stack.enter_context(pg_server.temporary_server())
            measure("postgresql", pg_server.new_database(socket, "console"), args.payments,
                    args.runs)


if __name__ == "__main__":
    main()
