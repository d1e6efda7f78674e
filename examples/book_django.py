"""The payment book's webhook in a Django project: one view hands the request to
the book. A single-file project, so that it runs as it is:

    PYTHONPATH=python python3 examples/book_django.py runserver 127.0.0.1:8000

In a real project, put ``quorvex_webhook`` in a views module and the URL pattern in
your ``urls.py``; the book is built once at start-up (``BOOK`` below).
"""

from __future__ import annotations

import sys

# Django ships no type information; django-stubs would replace these ignores.
from django.conf import settings  # type: ignore[import-untyped]
from django.http import HttpRequest, HttpResponse  # type: ignore[import-untyped]
from django.urls import path  # type: ignore[import-untyped]

from quorvex_bo.fx.book import PaymentBook, reply

if not settings.configured:
    settings.configure(ROOT_URLCONF=__name__, ALLOWED_HOSTS=["127.0.0.1", "localhost",
                                                            "testserver"], DEBUG=False)

BOOK: PaymentBook | None = None  # set at start-up


def quorvex_webhook(request: HttpRequest, reference: str) -> HttpResponse:
    # No CSRF middleware is installed: the gateway cannot send a CSRF token, and the
    # book checks the payment's secret instead (in a project that has the middleware,
    # decorate this view with django.views.decorators.csrf.csrf_exempt).
    assert BOOK is not None, "set BOOK at start-up"
    if request.method != "POST":
        return HttpResponse(status=405, headers={"Allow": "POST"})
    answer = reply(BOOK.handle_webhook(request.path, request.headers, request.body))
    response = HttpResponse(answer.body, status=answer.status)
    for name, value in answer.headers:
        response[name] = value
    return response


urlpatterns = [path("quorvex/<str:reference>", quorvex_webhook)]

if __name__ == "__main__":
    from django.core.management import execute_from_command_line  # type: ignore[import-untyped]

    from quorvex_bo.fx import Client
    from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox

    with Sandbox() as gateway, Client(DEFAULT_CLIENT_ID, base_url=gateway.base_url,
                                      token=DEFAULT_TOKEN) as client:
        BOOK = PaymentBook("sqlite:///shop.db", client,
                           webhook_url="http://127.0.0.1:8000/quorvex")
        execute_from_command_line(sys.argv)
