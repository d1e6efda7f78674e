"""A Flask shop taking Pix payments through the payment book.

The book's webhook endpoint is mounted at /quorvex beside the shop's own routes;
a thread fulfils paid orders from the book's events. Run it against the local
sandbox gateway:

    PYTHONPATH=python python3 examples/book_flask.py
"""

from __future__ import annotations

import threading

from flask import Flask, jsonify
from flask.typing import ResponseReturnValue
from werkzeug.middleware.dispatcher import DispatcherMiddleware

from quorvex_bo.fx import Client
from quorvex_bo.fx.book import Event, PaymentBook, PaymentState
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox


def fulfil(event: Event) -> None:
    """Called at least once per event; ``event.id`` is the same on every delivery."""
    if event.state is PaymentState.PAID:
        print(f"ship order {event.order_id} (event {event.id})")


def create_app(book: PaymentBook) -> Flask:
    app = Flask(__name__)

    @app.post("/orders/<order_id>/pay")
    def pay(order_id: str) -> ResponseReturnValue:
        payment = book.create(order_id, rail="pix", amount="100.50",
                              glosa="001|Centro|Ventas|Pedido " + order_id,
                              payer_cpf="12345678901", payer_phone="+5511999999999")
        return jsonify(reference=payment.reference, state=payment.state.value,
                       qr=payment.qr.image_base64 if payment.qr else None)

    @app.get("/orders/<order_id>")
    def order(order_id: str) -> ResponseReturnValue:
        payment = book.get(order_id)
        return jsonify(state=payment.state.value if payment else None)

    # The book answers the gateway's notifications under /quorvex/<reference>.
    app.wsgi_app = DispatcherMiddleware(  # type: ignore[method-assign]
        app.wsgi_app, {"/quorvex": book.wsgi_app()})
    return app


if __name__ == "__main__":
    with Sandbox() as gateway, Client(DEFAULT_CLIENT_ID, base_url=gateway.base_url,
                                      token=DEFAULT_TOKEN) as client, \
            PaymentBook("sqlite:///shop.db", client,
                        webhook_url="http://127.0.0.1:8000/quorvex") as book:
        stop = threading.Event()
        # Reconciles and fulfils every second; a failed round is logged, never fatal.
        threading.Thread(target=book.run_worker, args=(fulfil,),
                         kwargs={"every": 1.0, "stop": stop}, daemon=True).start()
        create_app(book).run(host="127.0.0.1", port=8000)
        stop.set()
