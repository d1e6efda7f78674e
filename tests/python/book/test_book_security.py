"""What an attacker's probe tried against the book, one row each: every row is a hole
that was open once."""

from __future__ import annotations

import io
import json
import os
import stat

import pytest

from quorvex_bo.fx import ValidationError
from quorvex_bo.fx.book import HEADER, Outcome, PaymentState, reply
from quorvex_bo.fx.book.database import safe_url

from .conftest import PIX, Blocking, events, rows
from .test_web import _asgi


def _wsgi(book, body: bytes, **environ) -> tuple[str, bytes]:
    seen: list = []
    answer = book.wsgi_app()({"REQUEST_METHOD": "POST", "wsgi.input": io.BytesIO(body),
                              **environ}, lambda status, headers: seen.append(status))
    return seen[0], b"".join(answer)


def _paid(book, gateway, order: str, **changes) -> tuple[str, bytes, str]:
    """A payment, an authentic "paid" notification of it, and its secret."""
    payment = book.create(order, **PIX)
    note = {"numeroReferencia": payment.reference, "estado": "PAGADO", "monto": "10.50",
            "moneda": "BOB", **changes}
    return payment.reference, json.dumps(note).encode(), \
        gateway.payment("pix", payment.reference).webhook.value


def unreadable_content_length_is_a_400(book, gateway, db_url):
    assert _wsgi(book, b"{}", CONTENT_LENGTH="²", PATH_INFO="/h/1") == (
        "400 Bad Request", b"unreadable notification")


def sqlite_files_are_private(book, gateway, db_url):
    if not db_url.startswith("sqlite"):
        pytest.skip("a server's files are the server's")
    book.create("o-mode", **PIX)
    path = db_url[len("sqlite:///"):]
    assert {suffix: stat.S_IMODE(os.stat(path + suffix).st_mode)
            for suffix in ("", "-wal", "-shm")} == dict.fromkeys(("", "-wal", "-shm"), 0o600)


def order_ids_are_one_short_line(book, gateway, db_url):
    for bad, message in [("x" * 201, "must be at most 200 characters"),
                         *((f"o{c}1", "must not contain control characters")
                           for c in ("\x00", "\r", "\n", "\x1b", "\u2028"))]:
        for attempt in (lambda: book.create(bad, **PIX), lambda: book.get(bad)):
            with pytest.raises(ValidationError, match=f"^order_id: {message}$"):
                attempt()
    assert book.create("é" * 200, **PIX).order_id == "é" * 200 and len(gateway.payments()) == 1


def bodies_framed_by_the_server_are_read(book, gateway, db_url):
    reference, body, secret = _paid(book, gateway, "o-chunked")
    hook = "HTTP_" + HEADER.upper().replace("-", "_")
    assert _wsgi(book, body, PATH_INFO=f"/h/{reference}", **{hook: secret},
                 **{"wsgi.input_terminated": True})[0] == "200 OK"
    assert _wsgi(book, b" " * 70000, PATH_INFO=f"/h/{reference}",
                 **{"wsgi.input_terminated": True})[0] == "413 Request Entity Too Large"
    assert book.get("o-chunked").state is PaymentState.PAID
    announced = _asgi(book, {"type": "http", "method": "POST", "path": f"/h/{reference}",
                             "headers": [(b"content-length", b"10000000")]})  # sends nothing
    assert announced[0]["status"] == 413


def unknown_references_answer_as_forgeries(book, gateway, db_url):
    reference, body, _ = _paid(book, gateway, "o-guess")
    before = rows(book, "SELECT COUNT(*) FROM book_notifications")
    unknown = reply(book.handle_webhook("/h/1000000001", [(HEADER, "guess")], body))
    assert rows(book, "SELECT COUNT(*) FROM book_notifications") == before
    assert unknown == reply(book.handle_webhook(f"/h/{reference}", [(HEADER, "guess")], body))


def a_paid_amount_that_differs_is_flagged(book, gateway, db_url):
    reference, body, secret = _paid(book, gateway, "o-short", monto="1.05", moneda="USD")
    assert book.handle_webhook(f"/h/{reference}", [(HEADER, secret)], body).outcome is \
        Outcome.APPLIED
    mismatch = "amount 1.05 instead of 10.50; currency 'USD' instead of BOB"
    assert [(e.state, e.mismatch) for e in events(book)] == [
        (PaymentState.PENDING, None), (PaymentState.PAID, mismatch)]
    assert book.history("o-short")[-1].detail == f"notification: PAGADO ({mismatch})"


def forged_posts_cannot_fill_the_database(book, gateway, db_url):
    if isinstance(book, Blocking):
        pytest.skip("the room is the statements': the blocking book's run shows it")
    reference, _, _ = _paid(book, gateway, "o-flood")
    size = ("SELECT page_count * page_size FROM pragma_page_count(), pragma_page_size()"
            if db_url.startswith("sqlite") else "SELECT pg_database_size(current_database())")
    before = rows(book, size)[0][0]
    for n in range(10_000):
        assert book.handle_webhook(f"/h/{reference}", [(HEADER, "forged")],
                                   b"%05d" % n + b"x" * 60000).outcome is Outcome.FORGED
    assert rows(book, size)[0][0] - before < 1 << 20
    assert rows(book, "SELECT COUNT(*), MAX(LENGTH(body)), MIN(body), MAX(seq) "
                      "FROM book_notifications") == [(20, 1024, "09980" + "x" * 1019, 10_000)]


ROWS = [unreadable_content_length_is_a_400, sqlite_files_are_private, order_ids_are_one_short_line,
        bodies_framed_by_the_server_are_read, unknown_references_answer_as_forgeries,
        a_paid_amount_that_differs_is_flagged, forged_posts_cannot_fill_the_database]


@pytest.mark.parametrize("row", ROWS, ids=[row.__name__ for row in ROWS])
def test_the_book_holds(row, book, gateway, db_url):
    row(book, gateway, db_url)


def test_database_urls_are_shown_without_passwords():
    assert [safe_url(url) for url in (
        "postgresql://u:pw@db:5433/b?sslmode=require#x", "postgresql://:pw@/b?host=/run",
        "postgresql://shop@h1:5432,h2:5433/b?sslpassword=k&PASSWORD=S3cret&x=1",
        "sqlite:///book.db")] == [
        "postgresql://u:***@db:5433/b?sslmode=require", "postgresql://***@/b?host=/run",
        "postgresql://shop@h1:5432,h2:5433/b?sslpassword=***&PASSWORD=***&x=1",
        "sqlite:///book.db"]
