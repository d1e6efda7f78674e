"""The payment book's throughput on SQLite and PostgreSQL (a benchmark, not a test).

    PYTHONPATH=python python3 bench/book_bench.py [--payments N] [--due N]

For each database: payments created per second against the in-process sandbox,
notifications handled per second through the WSGI app (first deliveries, which
change the payment, then duplicates, which do not), and the time one reconcile
takes over N due payments, each verified and rescheduled. The sandbox answers a call
in tens of milliseconds, so the due payments are created and verified against an
instant gateway (an httpx mock transport answering in the gateway's shapes): those
figures are the book's own cost.
PostgreSQL runs in a temporary server on a Unix socket (Debian's postgresql-15).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import pathlib
import sys
import tempfile
import time
from collections.abc import Iterator
from typing import Any

import httpx

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "python"), str(ROOT / "tests" / "python" / "book")]

import pg_server  # noqa: E402

from quorvex_bo.fx import Client  # noqa: E402
from quorvex_bo.fx.book import HEADER, PaymentBook  # noqa: E402
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox  # noqa: E402

ORDER = {"rail": "binance", "amount": "10.50", "glosa": "001|Centro|Ventas|Pedido",
         "expires_in": 300}


def _environ(reference: str, secret: str, body: bytes) -> dict[str, Any]:
    return {"REQUEST_METHOD": "POST", "PATH_INFO": f"/hooks/{reference}",
            "CONTENT_LENGTH": str(len(body)), "wsgi.input": io.BytesIO(body),
            "HTTP_" + HEADER.upper().replace("-", "_"): secret}


def _instant(request: httpx.Request) -> httpx.Response:
    """The gateway's answers, at once: every QR generated and still pending."""
    if request.method == "POST":
        reference = json.loads(request.content)["numeroReferencia"]
        return httpx.Response(200, json={**_AMOUNTS, "numeroReferencia": reference,
                                         "codigoRespuesta": "PENDING", "detalleRespuesta": "QR",
                                         "qrExpiracion": "2099-01-01T00:00:00Z",
                                         "imagen": "iVBORw0KGgo="})
    reference = request.url.path.rsplit("/", 1)[-1]
    return httpx.Response(200, json={"codigoRespuesta": "PENDING", "detalleRespuesta": "QR",
                                     "data": {**_AMOUNTS, "numeroReferencia": reference,
                                              "reversa": False,
                                              "fechaSolicitud": "2026-01-01T00:00:00Z"}})


_AMOUNTS = {"monto": 10.5, "moneda": "BOB", "montoConversion": 1.51, "monedaConversion": "USD",
            "tipoCambio": 6.96}


def reconcile_due(url: str, due: int) -> dict[str, float]:
    later = [time.time()]
    instant = httpx.Client(transport=httpx.MockTransport(_instant))
    with Client(DEFAULT_CLIENT_ID, base_url="http://127.0.0.1:9", token=DEFAULT_TOKEN,
                http_client=instant) as client, \
            PaymentBook(url, client, webhook_url="http://127.0.0.1:9/hooks",
                        clock=lambda: later[0]) as book:
        started = time.perf_counter()
        for i in range(due):
            book.create(f"due-{i}", **ORDER)
        created = due / (time.perf_counter() - started)
        later[0] += 60  # every open payment is due
        started = time.perf_counter()
        book.reconcile()
        return {"created/s (instant gateway)": created,
                f"reconcile {due} due (s)": time.perf_counter() - started}


def run(url: str, payments: int) -> dict[str, float]:
    with Sandbox() as gateway, Client(DEFAULT_CLIENT_ID, base_url=gateway.base_url,
                                      token=DEFAULT_TOKEN) as client, \
            PaymentBook(url, client, webhook_url="http://127.0.0.1:9/hooks") as book:
        started = time.perf_counter()
        made = [book.create(f"order-{i}", **ORDER) for i in range(payments)]
        created = payments / (time.perf_counter() - started)

        app = book.wsgi_app()
        notes = [(p.reference, gateway.payment("binance", p.reference).webhook.value,
                  json.dumps({"numeroReferencia": p.reference, "estado": "PAGADO",
                              "transacciones": {"monto": 10.5, "moneda": "BOB"}}).encode())
                 for p in made]
        rates = []
        for _ in range(2):  # the first pass pays, the second repeats
            started = time.perf_counter()
            for reference, secret, body in notes:
                statuses: list[str] = []
                app(_environ(reference, secret, body), lambda status, headers: statuses.append(
                    status))
                assert statuses == ["200 OK"], statuses
            rates.append(len(notes) / (time.perf_counter() - started))
    return {"created/s (sandbox)": created, "notified/s": rates[0], "duplicates/s": rates[1]}


@contextlib.contextmanager
def databases() -> Iterator[list[tuple[str, str]]]:
    with tempfile.TemporaryDirectory() as folder:
        urls = [("sqlite", f"sqlite:///{folder}/bench.db")]
        if not pg_server.available():
            print("PostgreSQL binaries not found: SQLite only", file=sys.stderr)
            yield urls
            return
        with pg_server.temporary_server() as socket:
            yield [*urls, ("postgresql", pg_server.new_database(socket, "bench"))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--payments", type=int, default=500)
    parser.add_argument("--due", type=int, default=10_000)
    args = parser.parse_args()
    with databases() as urls:
        for name, url in urls:
            figures = {**run(url, args.payments), **reconcile_due(url, args.due)}
            print(name.ljust(11) + "  ".join(f"{key}: {value:,.1f}"
                                             for key, value in figures.items()), flush=True)


if __name__ == "__main__":
    main()
