"""The console on both books (WSGI on the blocking one, ASGI on the async one) and both
databases: its pages, its actions and their audit, and what an attacker tried."""

from __future__ import annotations

import html
import io
import json
import re
import urllib.parse

import pytest

from quorvex_bo.fx.book import HEADER, Cause, Operator, Outcome, PaymentState, Resolution
from quorvex_bo.fx.book.console_store import mask_payer
from quorvex_bo.fx.web import CsrfTokens

from .conftest import PIX, Blocking, events, rows

OPERATORS = {"ana": Operator("ana", may_act=True), "bea": Operator("bea", may_act=True),
             "rita": Operator("rita")}


class Staff:
    """One operator's browser on the test book's console: keeps its cookie."""

    def __init__(self, book, name: str | None, app=None) -> None:
        self.app = app or book.console_app(
            authorize=lambda request: OPERATORS.get(request.header("x-operator") or ""))
        self.book, self.name, self.cookie = book, name, ""

    def call(self, method: str, path: str, body: bytes = b"", **headers: str):
        path, _, query = path.partition("?")
        headers = {"host": "shop", "x-operator": self.name or "", "cookie": self.cookie,
                   "content-type": "application/x-www-form-urlencoded", **headers}
        if isinstance(self.book, Blocking):
            status, found, text = self.book.loop.call(self._asgi(method, path, query, headers, body))
        else:
            seen: list = []
            environ = {"REQUEST_METHOD": method, "PATH_INFO": path, "QUERY_STRING": query,
                       "wsgi.input": io.BytesIO(body), "CONTENT_LENGTH": str(len(body)),
                       **{"HTTP_" + k.upper().replace("-", "_"): v for k, v in headers.items()}}
            text = b"".join(self.app(environ, lambda s, h: seen.append((s, h)))).decode()
            status, found = int(seen[0][0][:3]), {k.lower(): v for k, v in seen[0][1]}
        if "set-cookie" in found:
            self.cookie = found["set-cookie"].split(";")[0]
        return status, found, text

    async def _asgi(self, method, path, query, headers, body):
        sent: list = []

        async def receive():
            return {"type": "http.request", "body": body, "more_body": False}

        async def send(message):
            sent.append(message)
        await self.app({"type": "http", "method": method, "path": path, "root_path": "",
                        "query_string": query.encode(), "headers": [
                            (k.encode(), v.encode()) for k, v in headers.items()]}, receive, send)
        found = {k.decode(): v.decode() for k, v in sent[0]["headers"]}
        return sent[0]["status"], found, sent[1]["body"].decode()

    def get(self, path: str) -> str:
        status, _, text = self.call("GET", path)
        assert status == 200, text
        return text

    def post(self, page: str, action: str, headers: dict | None = None, **fields: str) -> int:
        """Submits the first form of `page` for `action`, with `fields` changed."""
        found = re.search(rf'<form method="post" action="/actions/{action}">(.*?)</form>', page)
        hidden = dict(re.findall(r'<input type="hidden" name="(\w+)" value="([^"]*)"', found[1]))
        form = {k: html.unescape(v) for k, v in hidden.items()} | fields
        return self.call("POST", f"/actions/{action}", urllib.parse.urlencode(form).encode(),
                         **(headers or {}))[0]


def late_paid(book, gateway, clock, order: str = "o-late") -> str:
    """A payment the book expired, then paid by an authentic notification: its reference."""
    reference = book.create(order, **PIX).reference
    clock.advance(4000)
    book.reconcile()
    body = json.dumps({"numeroReferencia": reference, "estado": "PAGADO", "monto": "10.50",
                       "moneda": "BOB", "cpf": "12345678901"}).encode()
    secret = gateway.payment("pix", reference).webhook.value
    assert book.handle_webhook(f"/h/{reference}", [(HEADER, secret)], body).outcome is \
        Outcome.APPLIED
    return reference


def cells(page: str, css_class: str) -> list[list[str]]:
    return [[html.unescape(re.sub(r"<[^>]+>", "", c)) for c in re.findall(r"<td>(.*?)</td>", r)]
            for r in re.findall(rf'<tr class="{css_class}">(.*?)</tr>', page)]


def test_a_late_payment_is_found_read_and_resolved_once(book, gateway, clock):
    reference = late_paid(book, gateway, clock)
    ana = Staff(book, "ana")
    overview = ana.get("/")
    assert re.search(r'<dt>Late-paid, not resolved</dt><dd id="late">1</dd>', overview)
    assert f'href="/order?id=o-late">o-late</a></td><td>{reference}</td>' in overview
    page = ana.get("/order?id=o-late")
    assert [m[1] for m in cells(page, "moment transition")] == [
        "intent → creating", "creating → pending", "pending → expired", "expired → paid"]
    assert [m[2].split("{")[0] for m in cells(page, "moment notification")] == ["authenticated"]
    assert "&quot;cpf&quot;: &quot;•••••••••01&quot;" in page and "12345678901" not in page
    assert cells(page, "moment check")[0][1:] == ["reconcile check", "verify: EXPIRED"]
    assert ana.post(page, "resolve", resolution="kept", reason="") == 400  # a reason is required
    assert [ana.post(page, "resolve", resolution="kept", reason="the payer called")
            for _ in range(2)] == [303, 303]  # a double click
    ana.post(page, "resolve", resolution="refunded_outside", reason="again", nonce="x" * 20)
    assert [(e.operator, e.action, e.target, e.reason, e.outcome, e.done) for e in book.audit()] == [
        ("ana", "resolve:refunded_outside", reference, "again", "already resolved as kept", False),
        ("ana", "resolve:kept", reference, "the payer called", "resolved as kept", True)]
    assert [(e.previous, e.state, e.cause) for e in events(book)][-2:] == [
        (PaymentState.EXPIRED, PaymentState.PAID, Cause.WEBHOOK),
        (PaymentState.PAID, Resolution.KEPT, Cause.OPERATOR)]
    assert book.get("o-late").state is PaymentState.PAID
    assert len(cells(ana.get("/order?id=o-late"), "audit-entry")) == 2
    assert re.search(r'<dd id="late">0</dd>', ana.get("/"))


def test_verify_retry_and_apply_again_are_audited(make_book, db_url, endpoint, gateway, clock):
    book = make_book(db_url, webhook_url=endpoint[0], max_attempts=1)
    endpoint[1][0] = book.wsgi_app()
    reference = late_paid(book, gateway, clock, "o-1")
    book.create("o-2", **PIX)
    book.process_events(lambda event: 1 / 0)  # every event dead at once
    dead = book.dead_events()
    ana = Staff(book, "ana")
    order = ana.get("/order?id=o-1")
    notification = re.search(r'name="notification_id" value="(\d+)"', order)[1]
    forged = rows(book, "INSERT INTO book_notifications (payment_id, received_at, body, outcome, "
                        "seq) VALUES (1, 0, 'x', 'rejected', 1) RETURNING id")[0][0]
    ana.post(ana.get("/order?id=o-2"), "verify")
    ana.post(order, "reapply")
    ana.post(order, "reapply", notification_id=str(forged), nonce="f" * 20)
    ana.post(ana.get("/events"), "retry")
    ana.post(ana.get("/events"), "retry", event_id=str(dead[-1].id))  # back in line already
    assert [(e.action, e.outcome, e.done) for e in reversed(book.audit())] == [
        ("verify", "the gateway was asked: the payment is pending", True),
        ("reapply", "nothing changed: the payment is paid", False),
        ("reapply", f"refused: notification {forged} was not authenticated", False),
        ("retry", f"event {dead[-1].id} is back in line", True),
        ("retry", f"no dead event {dead[-1].id}", False)]
    assert int(notification) != forged and len(book.dead_events()) == len(dead) - 1
    assert cells(ana.get("/order?id=o-2"), "moment check")[-1][1:] == [
        "verify check", "verify: PENDING"]
    assert "the gateway was asked" in ana.get("/order?id=o-2&audit=1") and reference


@pytest.mark.parametrize("query, wanted", [
    ("", lambda n, state, rail: True), ("state=paid", lambda n, state, rail: state == "paid"),
    ("rail=binance&state=pending", lambda n, state, rail: (state, rail) == ("pending", "binance")),
    ("q=o-77", lambda n, state, rail: n == 77), ("from=2001-09-09&to=2001-09-09",
                                                  lambda n, state, rail: n < 40)])
def test_payments_are_paged_newest_first_by_keyset(make_book, db_url, query, wanted):
    book = make_book(db_url, webhook_url="https://shop.example/h")  # rows inserted by hand
    rows(book, "INSERT INTO book_payments (order_id, attempt, reference, rail, amount, currency, "
               "state, secret_digest, created_at, updated_at) SELECT 'o-' || n, 1, "
               "CAST(1000000000 + n AS TEXT), CASE n / 3 * 3 WHEN n THEN 'binance' ELSE 'pix' END,"
               " 1, 'BOB', CASE n / 4 * 4 WHEN n THEN 'paid' ELSE 'pending' END, 'd', "
               "1000000000 + (n / 2) * 2000 + 86000 * (n / 40), 0 FROM (WITH RECURSIVE "
               "numbers (n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM numbers WHERE n < 130) "
               "SELECT n FROM numbers) made ORDER BY n")  # ties of created_at: by id, as n
    expected = [f"o-{n}" for n in sorted(range(1, 131), key=lambda n: (
        1000000000 + (n // 2) * 2000 + 86000 * (n // 40), n), reverse=True)
        if wanted(n, "paid" if n % 4 == 0 else "pending", "binance" if n % 3 == 0 else "pix")]
    staff, seen, path = Staff(book, "rita"), [], "/payments?" + query
    while path:
        page = staff.get(path)
        seen += [html.unescape(o) for o in re.findall(r'href="/order\?id=[^"]+">([^<]+)</a>',
                                                      page)]
        found = re.search(r'id="next" href="([^"]+)"', page)
        path = found and html.unescape(found[1])
    assert seen == expected


def forged_bodies_are_inert(book, gateway, clock, ana):
    reference = book.create("o<script>x", **PIX).reference
    for body in (b"<script>alert(1)</script>", b"[" * 5000 + b"]" * 5000):  # too deep to parse
        book.handle_webhook(f"/h/{reference}", [(HEADER, "wrong")], body)
    page = ana.get("/order?id=" + urllib.parse.quote("o<script>x"))
    assert "<script" not in page and page.count("&lt;script&gt;") == 3  # heading, section, body
    assert f'<pre class="body">{"[" * 1024}</pre>' in page


def posts_need_the_operators_own_token(book, gateway, clock, ana):
    late_paid(book, gateway, clock)
    page = ana.get("/order?id=o-late")
    bea, stranger = Staff(book, "bea", ana.app), Staff(book, "ana", ana.app)
    bea.get("/")
    assert ana.post(page, "resolve", csrf_token="", reason="r") == 403
    assert bea.post(page, "resolve", reason="r") == 403  # ana's token in bea's session
    assert stranger.post(page, "resolve", reason="r") == 403  # no cookie: another site's form
    assert ana.post(page, "resolve", {"origin": "https://evil.example"}, resolution="kept",
                    reason="r") == 403  # only for its origin
    assert book.audit() == [] and book.get("o-late").state is PaymentState.PAID


def there_is_no_console_without_authorize(book, gateway, clock, ana):
    with pytest.raises(TypeError, match="^console_app\\(\\) needs authorize="):
        book.console_app()
    assert Staff(book, None, ana.app).call("GET", "/")[0] == 401

    async def later(request):
        return OPERATORS.get(request.header("x-operator") or "")
    if isinstance(book, Blocking):  # an async app's hook, awaited
        assert "Signed in as ana" in Staff(book, "ana", book.console_app(authorize=later)).get("/")


def read_only_operators_get_403_on_every_action(book, gateway, clock, ana):
    reference = late_paid(book, gateway, clock)
    key = b"k" * 32
    app = book.console_app(authorize=lambda r: OPERATORS.get(r.header("x-operator")), key=key)
    assert '<form method="post"' not in Staff(book, "rita", app).get("/order?id=o-late")
    fields = {"order_id": "o-late", "event_id": "1", "notification_id": "1",
              "reference": reference, "resolution": "kept", "reason": "r"}
    for name, expected in (("rita", 403), ("ana", 303)):  # the same forms, each one's token
        staff = Staff(book, name, app)
        staff.get("/")
        token = CsrfTokens(key).issue(staff.cookie.split("=", 1)[1], name)
        assert {staff.call("POST", f"/actions/{action}", urllib.parse.urlencode(
            fields | {"csrf_token": token, "nonce": action.ljust(20, "x")}).encode())[0]
            for action in ("verify", "retry", "reapply", "resolve")} == {expected}
    assert [entry.operator for entry in book.audit()] == ["ana"] * 4


def no_page_shows_a_secret_or_is_framed(book, gateway, clock, ana):
    late_paid(book, gateway, clock)
    digest = rows(book, "SELECT secret_digest FROM book_payments")[0][0]
    for path in ("/", "/payments", "/order?id=o-late", "/events", "/audit", "/nowhere"):
        status, headers, text = ana.call("GET", path)
        assert digest not in text and headers["x-frame-options"] == "DENY"
        assert headers["content-security-policy"].startswith("default-src 'none'; style-src")


def numbers_in_queries_are_ascii_digits_that_fit(book, gateway, clock, ana):
    assert {ana.call("GET", path)[0] for path in (
        "/audit?before=%C2%B2", "/audit?before=" + "9" * 23, "/payments?after=1.0_" + "9" * 23,
        "/payments?after=inf_1")} == {400}


def an_action_and_its_audit_commit_together(book, gateway, clock, ana):
    late_paid(book, gateway, clock)
    rows(book, "INSERT INTO book_audit (at, operator, action, target, reason, outcome, nonce) "
               "VALUES (0, 'x', 'x', 'x', 'x', 'resolved as kept', 'n')")
    rows(book, "CREATE UNIQUE INDEX outcomes ON book_audit (outcome)")  # it cannot be recorded
    assert ana.post(ana.get("/order?id=o-late"), "resolve", resolution="kept", reason="r") == 500
    assert rows(book, "SELECT resolution FROM book_payments") == [(None,)]
    assert [entry.outcome for entry in book.audit()] == ["resolved as kept"]  # none "started"


ROWS = [forged_bodies_are_inert, posts_need_the_operators_own_token,
        there_is_no_console_without_authorize, read_only_operators_get_403_on_every_action,
        no_page_shows_a_secret_or_is_framed, numbers_in_queries_are_ascii_digits_that_fit,
        an_action_and_its_audit_commit_together]


@pytest.mark.parametrize("body, shown", [
    ('{"correoElectronico": "ana@x.com", "p": {"CPF": [12345678901]}}',
     '{"correoElectronico": "•••••••om", "p": {"CPF": ["•••••••••01"]}}'),
    ('"cpf 12345678901"', '"cpf •••••••••01"'), ("12345678901", "•••••••••01"),
    ("from ana.b@mail.example.com 1000000001", "from a•••@mail.example.com 1000000001")])
def test_payer_data_is_masked_wherever_it_stands(body, shown):
    assert mask_payer(body, "1000000001") == shown


@pytest.mark.parametrize("row", ROWS, ids=[row.__name__ for row in ROWS])
def test_the_console_holds(row, book, gateway, clock):
    row(book, gateway, clock, Staff(book, "ana"))
