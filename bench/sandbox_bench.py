"""A verify's round trip through the package's `Client` to the sandbox on loopback (a
benchmark, not a test).

    PYTHONPATH=python python3 bench/sandbox_bench.py [--calls N]

Generates one Pix QR, then times N `pix.verify` calls one after another on one
connection and prints the median and the 90th percentile in milliseconds.
"""

from __future__ import annotations

import argparse
import statistics
import time
from decimal import Decimal

from quorvex_bo.fx import Client, WebhookTarget
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000)
    calls = parser.parse_args().calls
    with Sandbox() as gateway, Client(DEFAULT_CLIENT_ID, base_url=gateway.base_url,
                                      token=DEFAULT_TOKEN) as client:
        client.pix.generate(reference="1", glosa="001|Centro|Ventas|Pago",
                            amount=Decimal("100.50"), payer_cpf="12345678901",
                            payer_phone="+5511999999999",
                            webhook=WebhookTarget("http://127.0.0.1:9/hook", "X-Hook", "s"))
        times = []
        for _ in range(calls):
            started = time.perf_counter()
            client.pix.verify("1")
            times.append((time.perf_counter() - started) * 1000)
    deciles = statistics.quantiles(times, n=10)
    print(f"pix.verify through Client to the sandbox, {calls} calls: "
          f"median {statistics.median(times):.3f} ms, p90 {deciles[8]:.3f} ms")


if __name__ == "__main__":
    main()
