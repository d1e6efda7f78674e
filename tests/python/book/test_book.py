"""The book end to end against the sandbox, on SQLite and PostgreSQL."""

from __future__ import annotations

import json
import logging
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from quorvex_bo.fx import ApiError, ApiFieldError, Client, NetworkError, ValidationError
from quorvex_bo.fx.book import HEADER, BookError, Cause, PaymentBook, PaymentState as S, next_state, reply
from quorvex_bo.fx.book.hook_secret import new_reference
from quorvex_bo.fx.book.core import _unknown_reference
from quorvex_bo.fx.book.store import Intent
from quorvex_bo.fx.book.states import LIVE, from_status
from quorvex_bo.fx.models import PaymentStatus
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN

BOOK_ONLY = {S.CREATING, S.UNCONFIRMED, S.FAILED}  # the book's own states

from .conftest import PIX, events, rows

BINANCE = {"rail": "binance", "amount": "20", "glosa": "001|Centro|Ventas|Pedido"}


def post(book, reference: str, body: object, **headers: str):
    """The HTTP answer to a notification posted to the book."""
    text = body if isinstance(body, bytes) else json.dumps(body).encode()
    return reply(book.handle_webhook(f"/hooks/{reference}", headers, text))


@pytest.mark.parametrize("how", ["webhook", "duplicate_webhook", "missed_webhook"])
def test_paid_is_learned_once_whoever_learns_it(book, gateway, endpoint, clock, how, caplog):
    caplog.set_level(logging.INFO, "quorvex_bo.book")
    payment = book.create("o-1", **PIX)
    assert book.create("o-1", **PIX) == payment and len(gateway.payments()) == 1
    assert payment.qr is not None and payment.qr.reference == payment.reference  # to show the payer
    if how == "duplicate_webhook":
        gateway.inject("webhook", "duplicate_webhook")
    if how == "missed_webhook":
        app = endpoint[1][0]
        endpoint[1][0] = lambda environ, start: start("500 Error", []) or [b""]
    gateway.pay("pix", payment.reference)
    gateway.wait_for_delivery("pix", payment.reference)
    if how == "missed_webhook":
        endpoint[1][0] = app
        assert book.get("o-1").state is S.PENDING
        clock.advance(10)  # the first check is due
        assert [p.state for p in book.reconcile()] == [S.PAID]
    paid = book.get("o-1")
    assert (paid.state, paid.amount, paid.currency, paid.rail, paid.qr) == (
        S.PAID, Decimal("10.50"), "BOB", "pix", payment.qr) and book.reconcile() == []
    assert (paid.created_at, paid.updated_at, book.verify("o-1")) == (payment.created_at, clock(), paid)
    assert paid.expires_at is not None and paid.expires_at > clock()
    assert [type(getattr(paid.qr, name)) for name in ("status", "converted_amount", "exchange_rate")
            ] == [PaymentStatus, Decimal, Decimal]  # read back as the client made them
    by = Cause.RECONCILE if how == "missed_webhook" else Cause.WEBHOOK
    assert f"order 'o-1': payment {payment.reference} paid ({by})" in caplog.messages
    assert [(e.order_id, e.reference, e.previous, e.state, e.cause, e.amount, e.currency, e.at)
            for e in events(book)] == [
        ("o-1", payment.reference, S.CREATING, S.PENDING, Cause.CREATE, Decimal("10.50"), "BOB",
         payment.created_at), ("o-1", payment.reference, S.PENDING, S.PAID, by, Decimal("10.50"), "BOB", clock())]
    assert events(book) == []  # delivered once


@pytest.mark.parametrize("fault, settled", [("drop", S.PENDING), ("unavailable", S.FAILED),
                                            ("malformed", S.PENDING)])
def test_a_lost_generation_answer_is_learned_never_repeated(book, gateway, clock, fault,
                                                            settled):
    gateway.inject("pix.generate", fault, retry_after=0)
    first = book.create("o-2", **PIX)
    assert first.state is S.UNCONFIRMED and book.create("o-2", **PIX) == first
    if fault == "drop":  # a verify now
        assert book.verify("o-2").state is settled
    else:  # reconcile later, past the grace period
        clock.advance(130)
        assert [p.state for p in book.reconcile()] == [settled]
    retry = book.create("o-2", **PIX)
    assert (retry.attempt, retry.reference != first.reference) == \
        ((2, True) if settled is S.FAILED else (1, False))
    assert [(t.previous, t.state) for t in book.history("o-2")][:3] == [
        (None, S.CREATING), (S.CREATING, S.UNCONFIRMED), (S.UNCONFIRMED, settled)]


def test_a_notification_stored_and_never_applied_is_applied_by_reconcile(book, clock):
    # An earlier version stored a notification and applied it in a second transaction.
    payment = book.create("o-9", **PIX)
    paid = {"numeroReferencia": payment.reference, "estado": "PAGADO", "monto": 10.5}
    outcomes = "SELECT outcome FROM book_notifications"
    [(payment_id,)] = rows(book, "SELECT id FROM book_payments")
    rows(book, "INSERT INTO book_notifications (payment_id, received_at, body, outcome) "
         "VALUES (?, ?, ?, 'received')", payment_id, clock(), json.dumps(paid))
    assert book.reconcile() == [] and rows(book, outcomes) == [("received",)]  # maybe at work
    clock.advance(61)
    assert [(p.state, p.reference) for p in book.reconcile()] == [(S.PAID, payment.reference)]
    assert rows(book, outcomes) == [("applied",)] and book.history("o-9")[-1].cause is Cause.WEBHOOK


def test_notifications_forged_stale_unknown_or_large_change_nothing(book, gateway):
    payment = book.create("o-3", **PIX)
    secret = gateway.payment("pix", payment.reference).webhook.value
    [(digest,)] = rows(book, "SELECT secret_digest FROM book_payments")
    paid = {"numeroReferencia": payment.reference, "estado": "PAGADO", "monto": 10.5}
    replies = [post(book, payment.reference, paid, **{HEADER: digest}),
               post(book, payment.reference, paid),
               post(book, "123", paid, **{HEADER: secret}), post(book, "1e3", paid),
               post(book, payment.reference, b" " * 70000, **{HEADER: secret}),
               post(book, payment.reference, b"{", **{HEADER: secret}),
               post(book, payment.reference, dict(paid, numeroReferencia="999"), **{HEADER: secret}),
               post(book, payment.reference, paid, **{HEADER: secret}),
               post(book, payment.reference, dict(paid, estado="EXPIRADO"), **{HEADER: secret})]
    assert [(r.status, r.body) for r in replies] == [
        (401, b"not authenticated"), (401, b"not authenticated"), (401, b"not authenticated"),
        (401, b"not authenticated"), (413, b"notification too large"), (400, b"unreadable notification"),
        (400, b"the notification names another payment"), (200, b'{"received":true}'),
        (200, b'{"received":true}')]
    assert dict(replies[-1].headers) == {"Content-Type": "application/json", "Content-Length": "17"}
    assert book.get("o-3").state is S.PAID
    outcomes = [o for (o,) in rows(book, "SELECT outcome FROM book_notifications ORDER BY id")]
    dump = repr([rows(book, f"SELECT * FROM {table}") for table in (
        "book_payments", "book_notifications", "book_transitions", "book_events")])
    assert outcomes == ["rejected", "rejected", "malformed", "malformed", "applied", "unchanged"]
    assert secret not in dump and secret not in repr(book.get("o-3"))


def test_binance_notifications_are_acknowledged(book, gateway):
    payment = book.create("o-4", **dict(BINANCE, amount=20.0))
    secret = gateway.payment("binance", payment.reference).webhook.value
    note = {"numeroReferencia": payment.reference, "estado": "PAGADO",
            "transacciones": {"monto": 20, "moneda": "BOB"}}
    reply = post(book, payment.reference, note, **{HEADER: secret})
    assert (reply.status, json.loads(reply.body)) == (200, {
        "codigoRespuesta": "00", "detalleRespuesta": None, "numeroReferencia": payment.reference})
    assert dict(reply.headers)["Content-Type"] == "application/json" and payment.amount == 20


@pytest.mark.parametrize("order, cancelled", [(PIX, True), (BINANCE, False)])
def test_expired_payments_are_closed(book, gateway, clock, order, cancelled):
    payment = book.create("o-5", expires_in=60, **order)
    clock.lag = 30 if cancelled else 0  # the Pix QR is still open at the gateway
    clock.advance(61)
    if cancelled:  # a cancel that fails is tried again at the next check
        gateway.inject("pix.cancel", "unavailable", retry_after=0)
        assert book.reconcile() == [] and book.get("o-5").state is S.PENDING
        clock.advance(10)
    # The gateway's own expiry notice, sent when the check makes it look, may be the
    # one to record it: either way it is recorded once.
    assert [p.state for p in book.reconcile()] in ([S.EXPIRED], [])
    assert [t.state for t in book.history("o-5")].count(S.EXPIRED) == 1
    assert book.get("o-5").state is S.EXPIRED
    assert gateway.payment(order["rail"], payment.reference).state.value == \
        ("cancelled" if cancelled else "expired")
    assert book.create("o-5", **order).attempt == 2


@pytest.mark.parametrize("change, error, message", [
    ({"payer_cpf": "123"}, ValidationError, "payer_cpf"), ({"amount": [1]}, TypeError, "amount"),
    ({"rail": "card"}, ValidationError, "rail: must be one of pix, crypto, binance"),
    ({"webhook": "x"}, TypeError, "webhook is chosen by the book"),
    ({"order_id": " "}, ValidationError, "order_id: must not be empty")])
def test_bad_input_raises_and_leaves_nothing(book, gateway, change, error, message):
    given = dict(change)  # the table's rows are shared by both databases
    with pytest.raises(error, match=f"^{message}"):
        book.create(given.pop("order_id", "o-6"), **{**PIX, **given})
    assert book.get("o-6") is None and gateway.payments() == []


def test_a_refused_intent_goes_with_a_check_made_meanwhile_and_its_audit_stays(book, clock):
    store, now = book._core.store, clock()
    intent = Intent("R-8", "pix", Decimal(1), "BOB", "s", "d", now, now)

    def refused():  # a verify and an operator act between the intent and the refusal
        stored, _ = yield from store.open("o-8", lambda: intent, now)
        yield from store.checked(stored.id, now, Cause.VERIFY, "not found")
        yield ("INSERT INTO book_audit (at, operator, action, target, payment_id, order_id, "
               "reason, outcome, nonce) VALUES (?, 'op', 'verify', 'R-8', ?, 'o-8', 'r', "
               "'done', 'n')", (now, stored.id))
        yield from store.discard(stored)
    rows(book, refused())
    assert book.payments("o-8") == [] and rows(book, "SELECT payment_id, order_id FROM "
                                               "book_audit") == [(None, "o-8")]


def test_a_recount_mends_the_counts_an_older_version_left_behind(book):
    book.create("o-9", **PIX)
    rows(book, "UPDATE book_counts SET n = n + 5")  # changes that kept no count
    book.recount()  # the fixture compares the counts with the table


def test_a_locked_database_answers_503_and_writes_nothing(db_url, client, gateway, endpoint,
                                                          make_book):
    book = make_book(db_url, webhook_url=endpoint[0], timeout=0.3)
    with PaymentBook(db_url, client, webhook_url=endpoint[0], timeout=0.3) as other:
        payment = book.create("o-7", **PIX)
        secret = gateway.payment("pix", payment.reference).webhook.value
        note = {"numeroReferencia": payment.reference, "estado": "PAGADO"}
        with other._db.transaction(write=True) as tx:
            tx.rows(f"SELECT * FROM book_payments{other._db.for_update}")
            tx.run("UPDATE book_events SET delivered_at = 1")
            busy = post(book, payment.reference, note, **{HEADER: secret})
            assert (busy.status, busy.body, busy.headers) == (503, b"try again later", (
                ("Retry-After", "5"), ("Content-Length", "15")))
            tx.run("UPDATE book_events SET delivered_at = NULL")
        assert book.get("o-7").state is S.PENDING
        assert post(book, payment.reference, note, **{HEADER: secret}).status == 200
        assert [e.state for e in events(book)] == [S.PENDING, S.PAID]


def test_every_gateway_status_is_a_state_of_the_book():
    assert {from_status(status) for status in PaymentStatus} == set(S) - BOOK_ONLY | {None}


@given(st.lists(st.sampled_from(list(S)), max_size=12))
def test_no_sequence_of_reports_pays_twice_or_reopens(reports):
    state, paid = S.CREATING, 0
    for learned in reports:
        moved = next_state(state, learned)
        if moved is not None:
            assert not (state not in LIVE and moved in LIVE)
            paid += moved is S.PAID
            state = moved
    assert paid <= 1


def test_a_schema_newer_than_the_library_is_refused(db_url, client):
    with PaymentBook(db_url, client, webhook_url="https://x/h") as book, \
            book._db.transaction(write=True) as tx:
        tx.run("INSERT INTO book_schema (version, applied_at) VALUES (99, 0)")
    with pytest.raises(BookError, match="schema version 99"):
        PaymentBook(db_url, client, webhook_url="https://x/h")


def test_the_webhook_url_must_be_http(db_url, client):
    with pytest.raises(ValidationError, match="^webhook_url: must be an http"):
        PaymentBook(db_url, client, webhook_url="ftp://x")
    with pytest.raises(BookError, match="^a SQLite URL is sqlite:///relative/path or"):
        PaymentBook("sqlite://book.db", client, webhook_url="https://x/h")
    assert "secret" not in repr(PaymentBook(db_url, client, webhook_url="https://x/h"))


def test_checks_back_off_up_to_the_longest_wait_and_never_past_the_expiry(book, clock):
    clock.now = float(int(clock.now))  # the gateway gives the expiry in whole seconds
    book.create("o-10", expires_in=1000, **PIX)
    waits = []
    for _ in range(9):
        [(due,)] = rows(book, "SELECT next_check_at FROM book_payments")
        waits.append(round(due - clock()))
        clock.now = due
        book.reconcile()
    assert waits == [10, 10, 20, 40, 80, 160, 300, 300, 80] and book.get("o-10").state is S.EXPIRED


@pytest.mark.payments_by_hand
def test_reconcile_checks_no_more_than_its_limit(book):
    for n in range(102):  # due, unknown to the gateway: checks fail
        rows(book, "INSERT INTO book_payments (order_id, attempt, reference, rail, amount, "
             "currency, state, secret_digest, created_at, updated_at, next_check_at) VALUES "
             "(?, 1, ?, 'pix', '1', 'BOB', 'pending', '-', 0, 0, 0)", f"o-{n}", str(n))
    assert book.reconcile(limit=101) == []
    assert rows(book, "SELECT checks, COUNT(*) FROM book_payments GROUP BY checks") == [
        (0, 1), (1, 101)]


def test_a_generation_that_never_left_fails_the_payment(db_url):
    with Client(DEFAULT_CLIENT_ID, base_url="http://127.0.0.1:9", token=DEFAULT_TOKEN) as client, \
            PaymentBook(db_url, client, webhook_url="https://x/h") as book:
        pytest.raises(NetworkError, book.create, "o-11", **PIX)
        assert book.get("o-11").state is S.FAILED


def test_references_are_ten_digits_spread_over_their_range():
    references = {new_reference() for _ in range(1000)}
    assert len(references) > 990 and all(len(r) == 10 and r[0] != "0" for r in references)


def test_only_a_not_found_answer_says_the_gateway_never_took_a_reference():
    answers = [(404, ()), (200, ("GQ-404",)), (409, ("GQ-409",)), (503, ())]
    assert [_unknown_reference(ApiError("failed", status=status, errors=[
        ApiFieldError(None, "failed", code) for code in codes])) for status, codes in answers
            ] == [True, True, False, False]
