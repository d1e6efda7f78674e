"""The payment book's throughput on SQLite and PostgreSQL (a benchmark, not a test).

    PYTHONPATH=python python3 bench/book_bench.py [--payments N] [--due N]
        [--due-sequential N] [--latency SECONDS]

For each database, blocking and async book: payments created per second, one at a
time; notifications per second, first (the payment becomes paid) and duplicate, through
the WSGI app called in-process and the async book's ASGI app on uvicorn (a child
process) posted to by 8 senders; one reconcile pass over --due due payments, each check
taking --latency seconds, at concurrency 1 (extrapolated from --due-sequential), 16
and 64. The gateway is an httpx mock transport answering in its shapes; PostgreSQL
runs in a temporary server on a Unix socket.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import contextlib
import io
import json
import multiprocessing
import os
import pathlib
import socket
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import Any

import httpx

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "python"), str(ROOT / "tests" / "python" / "book")]

import pg_server  # noqa: E402

from quorvex_bo.fx import AsyncClient, Client  # noqa: E402
from quorvex_bo.fx.book import HEADER, AsyncPaymentBook, PaymentBook, PaymentState  # noqa: E402
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN  # noqa: E402

ORDER = {"rail": "binance", "amount": "10.50", "glosa": "001|Centro|Ventas|Pedido",
         "expires_in": 300}
HOOKS = "http://127.0.0.1:9/hooks"  # never called: the bench posts the notifications
TARGET = 120.0  # seconds for a pass over 10,000 due payments at concurrency 16
SENDERS = 8
_AMOUNTS = {"monto": 10.5, "moneda": "BOB", "montoConversion": 1.51, "monedaConversion": "USD",
            "tipoCambio": 6.96}
# Each payment's webhook secret as the gateway receives it with the generation: the
# book keeps only a digest, and an authentic notification needs the secret itself.
SECRETS: dict[str, str] = {}


def _instant(request: httpx.Request) -> httpx.Response:
    """The gateway's answers, at once: every QR generated and still pending."""
    if request.method == "POST":
        sent = json.loads(request.content)
        reference = sent["numeroReferencia"]
        SECRETS[reference] = sent["webhook"]["value"]
        return httpx.Response(200, json={**_AMOUNTS, "numeroReferencia": reference,
                                         "codigoRespuesta": "PENDING", "detalleRespuesta": "QR",
                                         "qrExpiracion": "2099-01-01T00:00:00Z",
                                         "imagen": "iVBORw0KGgo="})
    reference = request.url.path.rsplit("/", 1)[-1]
    return httpx.Response(200, json={"codigoRespuesta": "PENDING", "detalleRespuesta": "QR",
                                     "data": {**_AMOUNTS, "numeroReferencia": reference,
                                              "reversa": False,
                                              "fechaSolicitud": "2026-01-01T00:00:00Z"}})


def _slow(latency: float) -> tuple[Callable[..., Any], Callable[..., Any]]:
    """The gateway taking ``latency`` seconds a call: for the Client, for the AsyncClient."""
    def answer(request: httpx.Request) -> httpx.Response:
        time.sleep(latency)
        return _instant(request)

    async def answer_async(request: httpx.Request) -> httpx.Response:
        await asyncio.sleep(latency)
        return _instant(request)
    return answer, answer_async


def blocking_book(url: str, gateway: Any = _instant, clock: Any = None) -> PaymentBook:
    client = Client(DEFAULT_CLIENT_ID, base_url="http://127.0.0.1:9", token=DEFAULT_TOKEN,
                    http_client=httpx.Client(transport=httpx.MockTransport(gateway)))
    return PaymentBook(url, client, webhook_url=HOOKS, clock=clock)


def async_book(url: str, gateway: Any = _instant, clock: Any = None) -> AsyncPaymentBook:
    client = AsyncClient(DEFAULT_CLIENT_ID, base_url="http://127.0.0.1:9", token=DEFAULT_TOKEN,
                         http_client=httpx.AsyncClient(transport=httpx.MockTransport(gateway)))
    return AsyncPaymentBook(url, client, webhook_url=HOOKS, clock=clock)


def _notes(payments: list[Any]) -> list[tuple[str, str, bytes]]:
    """An authentic "paid" notification of each payment: (reference, secret, body)."""
    return [(p.reference, SECRETS[p.reference],
             json.dumps({"numeroReferencia": p.reference, "estado": "PAGADO",
                         "transacciones": {"monto": 10.5, "moneda": "BOB"}}).encode())
            for p in payments]


def _wsgi_post(app: Any, reference: str, secret: str, body: bytes) -> int:
    statuses: list[str] = []
    app({"REQUEST_METHOD": "POST", "PATH_INFO": f"/hooks/{reference}",
         "CONTENT_LENGTH": str(len(body)), "wsgi.input": io.BytesIO(body),
         "HTTP_" + HEADER.upper().replace("-", "_"): secret},
        lambda status, headers: statuses.append(status))
    return int(statuses[0].split()[0])


def _serve(url: str, ready: Any) -> None:
    """The child process: the async book's ASGI app on uvicorn, the book opened in the
    lifespan (on uvicorn's event loop) and closed when uvicorn stops."""
    import uvicorn
    book = async_book(url)
    hooks = book.asgi_app()
    # IPPROTO_TCP named, else asyncio leaves Nagle on (+40 ms a request); listening at
    # once, the backlog takes connections before uvicorn accepts them.
    listening = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    listening.bind(("127.0.0.1", 0))
    listening.listen(128)

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "lifespan":
            await hooks(scope, receive, send)
            return
        await receive()  # startup
        async with book:
            await send({"type": "lifespan.startup.complete"})
            ready.put(listening.getsockname()[1])
            await receive()  # shutdown
        await send({"type": "lifespan.shutdown.complete"})
    uvicorn.Server(uvicorn.Config(app, lifespan="on", log_level="warning")).run(
        sockets=[listening])


@contextlib.contextmanager
def served(url: str) -> Iterator[int]:
    """The port of the async book's ASGI app, served by a child process (the senders and
    the server do not share one interpreter lock)."""
    spawn = multiprocessing.get_context("spawn")
    ready = spawn.Queue()
    child = spawn.Process(target=_serve, args=(url, ready))
    child.start()
    try:
        yield ready.get(timeout=60)
    finally:
        child.terminate()  # SIGTERM: uvicorn stops, and the lifespan closes the book
        child.join(30)


async def _send_all(port: int, notes: list[tuple[str, str, bytes]]) -> tuple[float, Any]:
    """Posts every note once, SENDERS at a time; the time taken and the statuses."""
    pending, statuses = iter(notes), collections.Counter[int]()
    async with httpx.AsyncClient(base_url=f"http://127.0.0.1:{port}", trust_env=False) as http:
        async def sender() -> None:
            for reference, secret, body in pending:  # shared: each note is sent once
                answer = await http.post(f"/hooks/{reference}", content=body,
                                         headers={HEADER: secret})
                statuses[answer.status_code] += 1
        started = time.perf_counter()
        await asyncio.gather(*(sender() for _ in range(SENDERS)))
        return time.perf_counter() - started, statuses


async def _create_async(url: str, count: int) -> tuple[list[Any], float]:
    async with async_book(url) as book:
        started = time.perf_counter()
        made = [await book.create(f"asgi-{i}", **ORDER) for i in range(count)]
        return made, time.perf_counter() - started


def notifications(db: str, url: str, count: int) -> None:
    with blocking_book(url) as book:
        started = time.perf_counter()
        made = [book.create(f"wsgi-{i}", **ORDER) for i in range(count)]
        report(db, f"creates/s, blocking book: {count / _since(started):,.0f}")
        app = book.wsgi_app()
        for kind in ("first", "duplicate"):  # the first pays, the second repeats
            started = time.perf_counter()
            statuses = collections.Counter(_wsgi_post(app, *note) for note in _notes(made))
            report(db, f"notifications/s, WSGI in-process, {kind}: "
                       f"{count / _since(started):,.0f}{_odd(statuses)}")
    made_async, seconds = asyncio.run(_create_async(url, count))
    report(db, f"creates/s, async book: {count / seconds:,.0f}")
    with served(url) as port:
        for kind in ("first", "duplicate"):
            seconds, statuses = asyncio.run(_send_all(port, _notes(made_async)))
            report(db, f"notifications/s, ASGI on uvicorn, {SENDERS} senders, {kind}: "
                       f"{count / seconds:,.0f}{_odd(statuses)}")
    with blocking_book(url) as book:  # every notified payment must now be paid
        paid = sum(book.get(p.order_id).state is PaymentState.PAID for p in made + made_async)
    if paid != 2 * count:
        report(db, f"ERROR: {paid} of {2 * count} notified payments are paid")


def _odd(statuses: collections.Counter[int]) -> str:
    return "" if set(statuses) == {200} else f"  ERROR: statuses {dict(statuses)}"


def reconcile(db: str, url: str, due: int, sequential: int, latency: float) -> None:
    clock = [time.time()]
    now = lambda: clock[0]  # noqa: E731
    started = time.perf_counter()
    with blocking_book(url, clock=now) as book:
        for i in range(due):
            book.create(f"due-{i}", **ORDER)
    report(db, f"(setup: {due:,} payments created in {_since(started):.0f} s)")
    slow, slow_async = _slow(latency)
    for shell in ("blocking", "async"):
        for concurrency in (1, 16, 64):
            clock[0] += 1000  # past the longest wait between checks: all are due again
            limit = sequential if concurrency == 1 else None
            if shell == "blocking":
                with blocking_book(url, slow, now) as book:
                    started = time.perf_counter()
                    result = book.reconcile(limit=limit, concurrency=concurrency)
            else:
                book = async_book(url, slow_async, now)
                result, started = asyncio.run(_reconcile_async(book, limit, concurrency))
            seconds, expected = _since(started), limit or due
            line = f"reconcile, {shell} book, concurrency {concurrency}: " \
                   f"{result.checked:,} of {expected:,} due checked in {seconds:.1f} s"
            if concurrency == 1:
                line += f" ({seconds / expected * 1000:.0f} ms each; EXTRAPOLATED to " \
                        f"{due:,}: {seconds / expected * due:,.0f} s)"
            elif concurrency == 16 and due == 10_000:
                line += " (target 120 s: " + ("met)" if seconds <= TARGET else "MISSED)")
            if result.failures or result.checked != expected:
                line += f"  ERROR: {len(result.failures)} checks failed"
            report(db, line)


async def _reconcile_async(book: AsyncPaymentBook, limit: int | None, concurrency: int
                           ) -> tuple[Any, float]:
    """The pass's result, and when it started (the book opened first, on this loop)."""
    async with book:
        started = time.perf_counter()
        return await book.reconcile(limit=limit, concurrency=concurrency), started


def _since(started: float) -> float:
    return time.perf_counter() - started


def report(db: str, text: str) -> None:
    print(f"{db:<11}{text}", flush=True)


@contextlib.contextmanager
def databases() -> Iterator[list[tuple[str, Callable[[str], str]]]]:
    """Each kind of database, with a function making a fresh one by name (its URL)."""
    with tempfile.TemporaryDirectory() as folder:
        kinds = [("sqlite", lambda name: f"sqlite:///{folder}/{name}.db")]
        if not pg_server.available():
            print("PostgreSQL binaries not found: SQLite only", file=sys.stderr)
            yield kinds
            return
        with pg_server.temporary_server() as pg_socket:
            yield [*kinds, ("postgresql", lambda name: pg_server.new_database(pg_socket, name))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--payments", type=int, default=500, help="payments notified")
    parser.add_argument("--due", type=int, default=10_000, help="due payments reconciled")
    parser.add_argument("--due-sequential", type=int, default=200,
                        help="due payments reconciled at concurrency 1")
    parser.add_argument("--latency", type=float, default=0.15, help="seconds a gateway call")
    args = parser.parse_args()
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}; instant gateway "
          f"for creates and notifications, {args.latency * 1000:g} ms a call for reconcile",
          flush=True)
    with databases() as kinds:
        for db, new_database in kinds:
            notifications(db, new_database("notified"), args.payments)
            reconcile(db, new_database("due"), args.due, args.due_sequential, args.latency)


if __name__ == "__main__":
    main()
