"""The payment book: every order paid exactly once, through lost webhooks, lost answers
and crashes.

    book = PaymentBook("sqlite:///payments.db", client,
                       webhook_url="https://shop.example/quorvex")
    payment = book.create("order-1001", rail="pix", amount="100.50", glosa="…",
                          payer_cpf="12345678901", payer_phone="+5511999999999")
    # mount book.wsgi_app() or book.asgi_app() at webhook_url, run reconcile
    # periodically, and fulfil orders from the events:
    book.process_events(lambda event: ...)

``AsyncPaymentBook`` is the same book for async code (an ``AsyncClient``, coroutines).
State lives in SQLite (the default, WAL mode) or PostgreSQL (``postgres`` extra).
"""

from quorvex_bo.fx.book.async_book import AsyncPaymentBook
from quorvex_bo.fx.book.core import MAX_NOTIFICATION_BYTES, MAX_ORDER_ID, Notified, Outcome
from quorvex_bo.fx.book.errors import BookError, ForbiddenError, StorageError
from quorvex_bo.fx.book.hook_secret import HEADER
from quorvex_bo.fx.book.payment_book import PaymentBook
from quorvex_bo.fx.book.records import (AuditEntry, CheckFailure, Deliveries, Event, Operator,
                                        Payment, Reconciled, Transition, WebhookReply)
from quorvex_bo.fx.book.states import Cause, PaymentState, Resolution, next_state
from quorvex_bo.fx.book.web import ASGIApp, WSGIApp, reply

__all__ = [
    "ASGIApp", "AsyncPaymentBook", "AuditEntry", "BookError", "Cause", "CheckFailure",
    "Deliveries", "Event", "ForbiddenError", "HEADER", "MAX_NOTIFICATION_BYTES", "MAX_ORDER_ID",
    "Notified", "Operator", "Outcome", "Payment", "PaymentBook", "PaymentState", "Reconciled",
    "Resolution", "StorageError", "Transition", "WSGIApp", "WebhookReply", "next_state", "reply",
]
