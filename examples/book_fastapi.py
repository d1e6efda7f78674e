"""A FastAPI shop taking Pix payments through the async payment book.

Every route is ``async def``: the book's calls wait on the event loop, never block it.
The book's ASGI endpoint is mounted at /quorvex, and a task started with the app
reconciles and fulfils paid orders from the book's events. Run it against the local
sandbox:

    PYTHONPATH=python python3 examples/book_fastapi.py
"""

from __future__ import annotations

import asyncio
import contextlib
from collections.abc import AsyncIterator
from typing import Any

import uvicorn
from fastapi import FastAPI

from quorvex_bo.fx import AsyncClient
from quorvex_bo.fx.book import AsyncPaymentBook, Event, PaymentState
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox


async def fulfil(event: Event) -> None:
    """Called at least once per event; ``event.id`` is the same on every delivery."""
    if event.state is PaymentState.PAID:
        print(f"ship order {event.order_id} (event {event.id})")


def create_app(book: AsyncPaymentBook) -> FastAPI:
    """The shop; ``book`` is opened (and closed) with the app, on its event loop."""
    @contextlib.asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        async with book:
            # Reconciles and fulfils every second; a failed round is logged, never fatal.
            stop = asyncio.Event()
            worker = asyncio.create_task(book.run_worker(fulfil, every=1.0, stop=stop))
            yield
            stop.set()
            await worker

    app = FastAPI(lifespan=lifespan)

    @app.post("/orders/{order_id}/pay")
    async def pay(order_id: str) -> dict[str, Any]:
        payment = await book.create(order_id, rail="pix", amount="100.50",
                                    glosa="001|Centro|Ventas|Pedido " + order_id,
                                    payer_cpf="12345678901", payer_phone="+5511999999999")
        return {"reference": payment.reference, "state": payment.state.value,
                "qr": payment.qr.image_base64 if payment.qr else None}

    @app.get("/orders/{order_id}")
    async def order(order_id: str) -> dict[str, Any]:
        payment = await book.get(order_id)
        return {"state": payment.state.value if payment else None}

    # The book answers the gateway's notifications under /quorvex/<reference>.
    app.mount("/quorvex", book.asgi_app())
    return app


if __name__ == "__main__":
    with Sandbox() as gateway:
        client = AsyncClient(DEFAULT_CLIENT_ID, base_url=gateway.base_url, token=DEFAULT_TOKEN)
        book = AsyncPaymentBook("sqlite:///shop.db", client,
                                webhook_url="http://127.0.0.1:8000/quorvex")
        uvicorn.run(create_app(book), host="127.0.0.1", port=8000)
