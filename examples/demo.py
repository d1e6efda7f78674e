"""One Pix payment end to end, entirely on this machine.

The sandbox gateway runs in this process on 127.0.0.1. The client creates a Pix QR
(its PNG is saved), the payer pays it, the gateway notifies the merchant's webhook
receiver, which authenticates the notification, and a verification confirms the
payment.
"""

from __future__ import annotations

import http.server
import pathlib
import queue
import sys
import threading
from decimal import Decimal

from quorvex_bo.fx import Client, FxNotification, PaymentStatus, QuorvexError, WebhookTarget
from quorvex_bo.fx import webhooks
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox

HOOK_HEADER, HOOK_SECRET = "X-Quorvex-Signature", "demo-secret"
OUTPUT = pathlib.Path(__file__).resolve().parents[1] / "build" / "demo"
notifications: queue.Queue[FxNotification] = queue.Queue()


class WebhookReceiver(http.server.BaseHTTPRequestHandler):
    """The merchant's side: accept only notifications that carry the agreed header."""

    def do_POST(self) -> None:
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        try:
            notifications.put(webhooks.parse_fx(self.headers, body, key=HOOK_HEADER,
                                                value=HOOK_SECRET))
            self.send_response(200)
        except QuorvexError:
            self.send_response(401)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, format: str, *args: object) -> None:
        pass


def main() -> int:
    receiver = http.server.ThreadingHTTPServer(("127.0.0.1", 0), WebhookReceiver)
    threading.Thread(target=receiver.serve_forever, daemon=True).start()
    webhook = WebhookTarget(f"http://127.0.0.1:{receiver.server_address[1]}/quorvex",
                            HOOK_HEADER, HOOK_SECRET)
    with Sandbox() as gateway, Client(DEFAULT_CLIENT_ID, base_url=gateway.base_url,
                                      token=DEFAULT_TOKEN) as client:
        print(f"sandbox gateway listening at {gateway.base_url}")
        qr = client.pix.generate(
            reference="100200300", amount=Decimal("100.50"),
            glosa="001|Centro|Ventas|Pago de servicio", payer_cpf="12345678901",
            payer_phone="+5511999999999", expires_in=900, webhook=webhook)
        OUTPUT.mkdir(parents=True, exist_ok=True)
        png = OUTPUT / f"pix-qr-{qr.reference}.png"
        qr.save(png)
        print(f"1. Pix QR {qr.reference} for {qr.amount:.2f} {qr.currency} "
              f"({qr.converted_amount:.2f} {qr.converted_currency}): {qr.status.value}")
        print(f"   image saved to {png}")
        print(f"   it holds the payer page {gateway.payer_url('pix', qr.reference)}")

        gateway.pay("pix", qr.reference)
        print("2. the payer presses Pay on that page")
        try:
            note = notifications.get(timeout=15)
        except queue.Empty:
            print("no notification arrived", file=sys.stderr)
            return 1
        print(f"3. webhook received and authenticated: {note.reference} is "
              f"{note.status.value} ({note.amount:.2f} {note.currency})")

        info = client.pix.verify(qr.reference)
        print(f"4. verify {qr.reference}: {info.status.value}")
    receiver.shutdown()
    return 0 if info.status is PaymentStatus.PAID else 1


if __name__ == "__main__":
    sys.exit(main())
