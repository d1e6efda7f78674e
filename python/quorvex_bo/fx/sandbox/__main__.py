"""``python -m quorvex_bo.fx.sandbox``: run the sandbox gateway until interrupted."""

from __future__ import annotations

import argparse
import logging
import signal
import sys
import threading
from collections.abc import Sequence
from types import FrameType

from quorvex_bo.fx.sandbox.errors import SandboxError
from quorvex_bo.fx.sandbox.server import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quorvex_bo.fx.sandbox",
        description="A local gateway on 127.0.0.1 for trying and testing payments.")
    parser.add_argument("--port", type=int, default=8700,
                        help="port to listen on; 0 picks a free one (default 8700)")
    parser.add_argument("--client-id", default=DEFAULT_CLIENT_ID,
                        help=f"the client id callers must send (default {DEFAULT_CLIENT_ID})")
    parser.add_argument("--token", action="append", dest="tokens", metavar="TOKEN",
                        help=f"an access token to accept; repeat for several "
                             f"(default {DEFAULT_TOKEN})")
    parser.add_argument("--delivery-attempts", type=int, default=4,
                        help="tries per webhook notification (default 4)")
    parser.add_argument("--remote-webhooks", action="store_true",
                        help="also deliver notifications to addresses off this machine")
    parser.add_argument("--auto", choices=("pay", "reject"),
                        help="settle every new payment by itself, without a click")
    parser.add_argument("--auto-delay", type=float, default=0.0, metavar="SECONDS",
                        help="sandbox-clock seconds from generation to the automatic "
                             "outcome (default 0)")
    parser.add_argument("--db", metavar="PATH",
                        help="keep payments, deliveries and the clock in this SQLite file "
                             "across restarts (default: in memory)")
    parser.add_argument("--allowed-host", action="append", dest="allowed_hosts", default=[],
                        metavar="NAME",
                        help="also answer requests that name this host (no port), besides "
                             "127.0.0.1, localhost and [::1]; repeat for several")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    options = parser.parse_args(argv)

    logging.basicConfig(level=logging.DEBUG if options.verbose else logging.INFO,
                        format="%(asctime)s %(message)s", datefmt="%H:%M:%S")
    stop = threading.Event()

    def interrupt(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGINT, interrupt)
    try:
        sandbox = Sandbox(port=options.port, client_id=options.client_id,
                          tokens=options.tokens or [DEFAULT_TOKEN],
                          delivery_attempts=options.delivery_attempts,
                          remote_webhooks=options.remote_webhooks, auto=options.auto,
                          auto_delay=options.auto_delay, db=options.db,
                          allowed_hosts=options.allowed_hosts).start()
    except OSError as error:
        print(f"cannot listen on port {options.port}: {error.strerror}", file=sys.stderr)
        return 1
    except SandboxError as error:
        print(f"cannot start the sandbox: {error}", file=sys.stderr)
        return 1
    print(sandbox.base_url, flush=True)
    hint = "" if options.tokens else f" and token {DEFAULT_TOKEN}"
    print(f"client id {options.client_id}{hint}; payments listed at {sandbox.base_url}/; "
          "Ctrl-C stops", file=sys.stderr, flush=True)
    try:
        stop.wait()
    finally:
        sandbox.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
