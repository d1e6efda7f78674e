"""Times `call` through the extension module, row by row, beside what the standard
library's C JSON accelerator takes for the same texts in the same process
(`json.loads(payload)` + `json.dumps(result)`) and, when orjson is installed, what
orjson takes (`orjson.loads(payload)` + `orjson.dumps(result)`: the floor the parse
rows are held to), and counts page faults per call on the 1 MB generation answer in
steady state.

    PYTHONPATH=python /usr/bin/python3 bench/call_bench.py [--quick]

Nothing here is a test: figures depend on the machine and on its load.
"""

from __future__ import annotations

import json
import resource
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

from quorvex_bo.fx import _native

try:
    import orjson
except ImportError:  # the column is left out
    orjson = None

CONFIG = {"client_id": "client-1", "environment": "sandbox"}
TOKEN = {"access_token": "tok", "token_type": "Bearer", "expires_at": 1893456000}
WEBHOOK = {"url": "https://shop.example/hook", "key": "X-Hook", "value": "s3cret"}
MB = 1024 * 1024


def dumps(value: object) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def image(size: int) -> str:
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    head = "iVBORw0KGgo"
    return head + (alphabet * (size // 64 + 1))[: max(0, size - len(head))]


def generate_parse(size: int) -> str:
    body = dumps({"codigoRespuesta": "SUCCESS", "numeroReferencia": "123456", "monto": 100.5,
                  "moneda": "BOB", "imagen": image(size)})
    pix = {"reference": "123456", "glosa": "a|b|c|d", "amount": 1, "payer_cpf": "1",
           "payer_phone": "1"}
    return dumps({"input": pix, "response": {"status": 200, "body": body}})


def rows() -> list[tuple[str, str, str]]:
    status_body = dumps({
        "codigoRespuesta": "PAID", "detalleRespuesta": "Pago realizado correctamente",
        "data": {"numeroReferencia": "123", "monto": "100.50", "moneda": "BOB",
                 "montoConversion": "14.37", "monedaConversion": "usd", "tipoCambio": "6.96",
                 "reversa": False, "fechaSolicitud": "2026-12-06T10:00:00"}})
    pix = {"reference": "123456", "glosa": " 001 | Centro | Ventas | Pago ", "amount": "100.50",
           "expires_in": 900, "payer_cpf": "12345678901", "payer_phone": "+5511999999999",
           "payer_email": "ana@example.com", "extra": "pedido 77", "webhook": WEBHOOK}
    hook: dict[str, object] = {
        "headers": {"X-Hook": "s3cret", "Content-Type": "application/json"},
        "key": "x-hook", "value": "s3cret"}
    fx_body = dumps({"estado": "PAGADO", "numeroReferencia": 123, "importe": "10.50",
                     "moneda": "BOB"})
    binance_body = dumps({"numeroReferencia": "77", "estado": "SUCCESS", "transacciones": {
        "monto": "10.50", "moneda": "USD", "fechaHoraTransaccion": "2026-12-06T10:00:00",
        "cliente": {"nombreCliente": "Ana", "ciCliente": "123"}}})
    return [
        ("version", "version", ""),
        ("describe", "describe", ""),
        ("pix.verify.build", "pix.verify.build",
         dumps({"config": CONFIG, "token": TOKEN, "input": {"reference": "00123"}})),
        ("pix.generate.build", "pix.generate.build",
         dumps({"config": CONFIG, "token": TOKEN, "input": pix})),
        ("pix.verify.parse", "pix.verify.parse",
         dumps({"input": {"reference": "123"}, "response": {"status": 200, "body": status_body}})),
        ("fx.webhook.parse", "fx.webhook.parse", dumps(dict(hook, body=fx_body))),
        ("binance.webhook.parse", "binance.webhook.parse", dumps(dict(hook, body=binance_body))),
        ("pix.generate.parse 20 KB", "pix.generate.parse", generate_parse(20 * 1024)),
        ("pix.generate.parse 1 MB", "pix.generate.parse", generate_parse(MB)),
    ]


@dataclass
class Timing:
    median: float  # seconds per call
    best: float


def timed(fn: Callable[[], object], budget: float) -> Timing:
    """Median and best per-call time over batches filling about `budget` seconds."""
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    per_batch = max(1, int(0.01 / once))
    samples: list[float] = []
    deadline = time.perf_counter() + budget
    while time.perf_counter() < deadline or len(samples) < 5:
        start = time.perf_counter()
        for _ in range(per_batch):
            fn()
        samples.append((time.perf_counter() - start) / per_batch)
    return Timing(statistics.median(samples), min(samples))


def faults_per_call(op: str, payload: str, calls: int) -> float:
    _native.call(op, payload)  # steady state: one call first
    before = resource.getrusage(resource.RUSAGE_SELF)
    for _ in range(calls):
        _native.call(op, payload)
    after = resource.getrusage(resource.RUSAGE_SELF)
    return ((after.ru_minflt - before.ru_minflt) + (after.ru_majflt - before.ru_majflt)) / calls


def show(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.3f} ms"
    return f"{seconds * 1e6:8.2f} µs"


def main() -> None:
    quick = "--quick" in sys.argv
    budget = 0.2 if quick else 1.0
    print(f"{'workload':28} {'call':>11} {'best':>11} {'loads+dumps':>11} {'ratio':>6}"
          + (f" {'orjson':>11} {'ratio':>6}" if orjson else ""))
    table = rows()
    for name, op, payload in table:
        result = _native.call(op, payload)
        assert json.loads(result)["ok"], (name, result[:200])
        ours = timed(lambda: _native.call(op, payload), budget)
        value = json.loads(result)
        theirs = timed(lambda: (json.loads(payload) if payload else None, dumps(value)), budget)
        line = (f"{name:28} {show(ours.median)} {show(ours.best)} {show(theirs.median)} "
                f"{ours.median / theirs.median:6.2f}")
        if orjson:
            floor = timed(lambda: (orjson.loads(payload) if payload else None,
                                   orjson.dumps(value)), budget)
            line += f" {show(floor.median)} {ours.median / floor.median:6.2f}"
        print(line)
    # The 1 MB answer again after every other row ran: the heap left behind by
    # earlier calls must not make it slower.
    name, op, payload = table[-1]
    for other_name, other_op, other_payload in table[:-1]:
        _native.call(other_op, other_payload)
    ours = timed(lambda: _native.call(op, payload), budget)
    print(f"{name + ' (after others)':28} {show(ours.median)} {show(ours.best)}")
    print(f"page faults per call, 1 MB answer, steady state: {faults_per_call(op, payload, 50):.1f}")
    if not quick:
        big = generate_parse(64 * MB)
        start = time.perf_counter()
        assert json.loads(_native.call("pix.generate.parse", big))["ok"]
        first = time.perf_counter() - start
        print(f"{'pix.generate.parse 64 MB':28} {show(first)} (first call)")


if __name__ == "__main__":
    main()
