"""What the instrumentation costs (a benchmark, not a test).

    python3 bench/telemetry_bench.py [--baseline TREE] [--calls N] [--rounds N]
        [--sessions N] [--payments N] [--skip verify|scrape]

1. ``pix.verify`` on the in-memory transport (httpx.MockTransport), blocking client:
   the code before instrumentation (``--baseline``: a tree with its native module
   built; by default commit BEFORE's ``python/`` with this tree's native module),
   this tree with no SDK installed (the API's no-op calls), this tree with the SDK
   (spans to a batch processor and an exporter, metrics to a reader), and, for
   reference, the SDK's own floor: the code before instrumentation with one bare span
   and one histogram record around each call. Each variant runs in a child process
   of its own and counts its CPU time; they take turns, one batch of ``--calls``
   each, ``--rounds`` times a session, in ``--sessions`` sets of fresh children (a process's memory layout
   alone moves a figure by a few per cent). Medians and quartiles of the batches;
   the limits apply to the medians.
2. One scrape of the Prometheus endpoint (every instrument, the book's gauges read
   from the database) with ``--payments`` payments and as many events in the book,
   on SQLite and on PostgreSQL (a temporary server on a Unix socket).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import pathlib
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
from collections.abc import Iterator
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parents[1]
#: The last commit before the gateway calls were instrumented.
BEFORE = "6aedef2"
NATIVE = "python/quorvex_bo/fx/_native.abi3.so"
LIMITS = {"no SDK": 3.0, "SDK": 15.0}
SCRAPE_LIMIT_MS = 50.0


def _verify_child(tree: str, sdk: bool, floor: bool) -> None:
    """A child process: runs as many pix.verify calls as each line of its input says
    and answers with the microseconds a call took: the process's CPU time (its
    export thread's included), which the machine's other work does not inflate by
    preempting it."""
    sys.path.insert(0, str(pathlib.Path(tree) / "python"))
    import httpx

    from quorvex_bo.fx import Client
    if sdk:
        from opentelemetry import metrics, trace
        from opentelemetry.sdk.metrics import MeterProvider
        from opentelemetry.sdk.metrics.export import InMemoryMetricReader
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import BatchSpanProcessor, SpanExporter
        from opentelemetry.sdk.trace.export import SpanExportResult

        class Dropped(SpanExporter):
            def export(self, spans: Any) -> SpanExportResult:
                return SpanExportResult.SUCCESS
        provider = TracerProvider()
        provider.add_span_processor(BatchSpanProcessor(Dropped()))
        trace.set_tracer_provider(provider)
        metrics.set_meter_provider(MeterProvider(metric_readers=[InMemoryMetricReader()]))
    answer = json.dumps({"codigoRespuesta": "PAID", "data": {"numeroReferencia": "1001",
                                                              "monto": 10}}).encode()
    transport = httpx.MockTransport(lambda request: httpx.Response(200, content=answer))
    with Client("cid", base_url="https://gw.test/api", token="t",
                http_client=httpx.Client(transport=transport)) as client:
        call = (lambda: client.pix.verify("1001")) if not floor else _floor(client)
        for line in sys.stdin:
            calls = int(line)
            started = time.process_time()
            for _ in range(calls):
                call()
            print((time.process_time() - started) / calls * 1e6, flush=True)


def _floor(client: Any) -> Any:
    """A call in one bare span, with one histogram record: what the SDK itself takes."""
    from opentelemetry import metrics, trace
    tracer = trace.get_tracer("floor")
    duration = metrics.get_meter("floor").create_histogram("http.client.request.duration", "s")
    attributes = {"http.request.method": "GET", "http.response.status_code": 200}

    def call() -> None:
        span = tracer.start_span("floor", kind=trace.SpanKind.CLIENT)
        client.pix.verify("1001")
        duration.record(0.0001, attributes)
        span.end()
    return call


@contextlib.contextmanager
def _before() -> Iterator[str]:
    """The code before instrumentation: commit BEFORE's python/ with this tree's
    native module (the native core did not change)."""
    with tempfile.TemporaryDirectory() as folder:
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", BEFORE, "python"],
                                 check=True, capture_output=True).stdout
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            tar.extractall(folder)  # this repository's own files
        shutil.copy(ROOT / NATIVE, pathlib.Path(folder) / NATIVE)
        yield folder


def verify(baseline: str, calls: int, rounds: int, sessions: int) -> dict[str, float]:
    """The variants take turns, one batch each, so that the machine's other work
    weighs on all alike; each session starts fresh children."""
    variants = {"before": (baseline, False, False), "no SDK": (str(ROOT), False, False),
                "SDK": (str(ROOT), True, False), "floor": (baseline, True, True)}
    times: dict[str, list[float]] = {name: [] for name in variants}
    for _ in range(sessions):
        children = {name: subprocess.Popen(
            [sys.executable, __file__, "--child", tree, str(int(sdk)), str(int(floor))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            for name, (tree, sdk, floor) in variants.items()}
        try:
            for turn in range(rounds + 3):
                for name, child in children.items():
                    assert child.stdin is not None and child.stdout is not None
                    child.stdin.write(f"{calls}\n")
                    child.stdin.flush()
                    took = float(child.stdout.readline())
                    if turn >= 3:  # the first ones warm up
                        times[name].append(took)
        finally:
            for child in children.values():
                assert child.stdin is not None
                child.stdin.close()
                child.wait()
    quartiles = {name: statistics.quantiles(found, n=4) for name, found in times.items()}
    base = quartiles["before"]
    print(f"pix.verify on the in-memory transport, µs a call ({sessions} sessions of "
          f"{rounds} batches of {calls}): lower quartile, MEDIAN, upper quartile")
    for name, (low, median, high) in quartiles.items():
        extra = "" if name == "before" else \
            f"  {100 * (median / base[1] - 1):+5.1f} % (lower quartiles " \
            f"{100 * (low / base[0] - 1):+5.1f} %)" + (
                f"  limit {LIMITS[name]:g} %" if name in LIMITS else
                "  (the SDK's own span and record)")
        print(f"  {name:<7} {low:6.1f} {median:6.1f} {high:6.1f}{extra}")
    return {name: median for name, (_, median, _) in quartiles.items()}


_FILL = (
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {count}) "
    "INSERT INTO book_payments (order_id, attempt, reference, rail, amount, currency, state, "
    "secret_digest, created_at, updated_at, next_check_at) "
    "SELECT 'order-' || i, 1, 'r' || i, 'pix', 10.5, 'BOB', "
    "CASE WHEN i - i / 50 * 50 = 0 THEN 'unconfirmed' WHEN i - i / 10 * 10 = 1 THEN 'pending' ELSE 'paid' END, "
    "'digest', {now} - i, {now} - i, CASE WHEN i - i / 10 * 10 = 1 THEN {now} + i END FROM n")
_EVENTS = ("INSERT INTO book_events (payment_id, previous, state, cause, at, delivered_at, "
           "dead_at) SELECT id, 'pending', state, 'webhook', created_at, "
           "CASE WHEN id - id / 20 * 20 > 1 THEN created_at END, CASE WHEN id - id / 20 * 20 = 1 THEN created_at "
           "END FROM book_payments")


_READER: Any = None


def scrape(url: str, count: int) -> float:
    """Milliseconds for one scrape (the median of 20, each reading the database) of a
    book with ``count`` payments and as many events."""
    sys.path[:0] = [str(ROOT / "python")]
    import httpx
    from opentelemetry import metrics

    from quorvex_bo.fx import Client
    from quorvex_bo.fx.book import PaymentBook
    from quorvex_bo.fx.book.store import COUNTS_FROM_PAYMENTS
    from quorvex_bo.fx.prometheus import PrometheusReader
    global _READER
    if _READER is None:  # the global meter provider is set once per process
        from opentelemetry.sdk.metrics import MeterProvider
        _READER = PrometheusReader()
        metrics.set_meter_provider(MeterProvider(metric_readers=[_READER]))
    reader = _READER
    client = Client("cid", base_url="http://127.0.0.1:9", token="t",
                    http_client=httpx.Client(transport=httpx.MockTransport(
                        lambda request: httpx.Response(503))))
    with PaymentBook(url, client, webhook_url="http://127.0.0.1:9/hooks") as book:
        with book._db.transaction(write=True) as tx:
            tx.run(_FILL.format(count=count, now=time.time()))
            tx.run(_EVENTS)
            tx.run(COUNTS_FROM_PAYMENTS)
            tx.run("INSERT INTO book_runs VALUES ('reconcile', ?, ?, '{}')", time.time(),
                   time.time())
        if url.startswith("postgresql"):
            with book._db.transaction(write=False) as tx:
                tx.run("ANALYZE")
        book.metrics_app(reader)
        body = reader.scrape()
        assert b"quorvex_book_payments" in body, body[:500]
        found = []
        for _ in range(20):
            time.sleep(book._metrics.fresh if book._metrics else 0)  # a fresh read each time
            started = time.perf_counter()
            reader.scrape()
            found.append((time.perf_counter() - started) * 1000)
    return statistics.median(found)


def scrapes(count: int) -> None:
    sys.path[:0] = [str(ROOT / "tests" / "python" / "book")]
    import pg_server
    with tempfile.TemporaryDirectory() as folder:
        print(f"one scrape, {count:,} payments and events, ms (limit {SCRAPE_LIMIT_MS:g}):")
        print(f"  SQLite      {scrape(f'sqlite:///{folder}/book.db', count):6.1f}")
        if pg_server.available():
            with pg_server.temporary_server() as socket:
                url = pg_server.new_database(socket, "scrape_bench")
                print(f"  PostgreSQL  {scrape(url, count):6.1f}")


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        _verify_child(sys.argv[2], sys.argv[3] == "1", sys.argv[4] == "1")
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="a tree of the code before instrumentation, its "
                        f"native module built (default: commit {BEFORE}'s)")
    parser.add_argument("--calls", type=int, default=200, help="calls a batch")
    parser.add_argument("--rounds", type=int, default=60, help="batches of each variant "
                        "a session")
    parser.add_argument("--sessions", type=int, default=3, help="sets of fresh children")
    parser.add_argument("--payments", type=int, default=100_000)
    parser.add_argument("--skip", choices=["verify", "scrape"])
    options = parser.parse_args()
    if options.skip != "verify":
        with contextlib.nullcontext(options.baseline) if options.baseline else _before() \
                as baseline:
            verify(baseline, options.calls, options.rounds, options.sessions)
    if options.skip != "scrape":
        scrapes(options.payments)


if __name__ == "__main__":
    main()
