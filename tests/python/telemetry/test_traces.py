"""A paid payment's whole path, retries included, as spans and metrics, on both books
(so both clients) and both databases; and nothing secret in any of it."""

from __future__ import annotations

from book.conftest import PIX, rows
from quorvex_bo.fx.sandbox import DEFAULT_TOKEN

EMAIL = "payer@shop.test"
ORDER, REF, STATE = "quorvex.order_id", "quorvex.reference", "quorvex.state"
VERIFY_DONE = {"quorvex.attempts": 2, "http.response.status_code": 200,
               "http.request.resend_count": 1, "quorvex.retry.verdict": "success"}


def test_a_paid_path_is_traced_and_counted_and_shows_no_secret(
        telemetry, db_url, make_book, endpoint, gateway, clock):
    url, app = endpoint
    book = make_book(db_url, webhook_url=url, client={"max_retries": 2})
    app[0] = book.wsgi_app()
    before = telemetry.points()
    reference = book.create("order-7", **PIX, payer_email=EMAIL).reference
    clock.advance(11)  # due for its first check, which the gateway answers 503 once
    gateway.inject("pix.verify", "unavailable", retry_after=0)
    book.reconcile()
    gateway.pay("pix", reference)
    gateway.wait_for_delivery("pix", reference)
    book.process_events(lambda event: None)

    spans = telemetry.spans.get_finished_spans()
    by_name = {span.name: span for span in spans}
    ids = {span.context.span_id: span.name for span in spans}
    paid = {ORDER: "order-7", REF: reference}
    expected = {  # name: (parent, attributes it has)
        "quorvex book.create": (None, paid),
        "quorvex pix.generate": ("quorvex book.create", {REF: reference, **VERIFY_DONE,
                                                         "quorvex.attempts": 1,
                                                         "http.request.resend_count": None}),
        "quorvex book.reconcile": (None, {}),
        "quorvex book.check": ("quorvex book.reconcile", paid),
        "quorvex pix.verify": ("quorvex book.check", {REF: reference, **VERIFY_DONE}),
        "quorvex book.webhook": (None, {**paid, "quorvex.outcome": "applied"}),
        "quorvex book.events": (None, {}),
        "quorvex book.deliver": ("quorvex book.events", {**paid, STATE: "paid"}),
    }
    assert sorted(span.name for span in spans) == sorted([*expected, "quorvex book.deliver"])
    for name, (parent, attributes) in expected.items():
        span = by_name[name]
        assert (ids.get(span.parent.span_id) if span.parent else None) == parent, name
        assert {key: span.attributes.get(key) for key in attributes} == attributes, name
    assert [(event.name, dict(event.attributes)) for event in by_name["quorvex pix.verify"].events] \
        == [("retry", {"quorvex.attempt": 1, "error.type": "api",
                       "http.response.status_code": 503, "quorvex.retry.delay": 0.0})]

    after = telemetry.points()
    counted = {(name, tuple(sorted(attributes))): value - before.get((name, attributes), 0)
               for (name, attributes), value in after.items()
               if name.startswith(("quorvex.book.t", "quorvex.book.w", "quorvex.gateway"))
               and value != before.get((name, attributes), 0)}
    assert counted == {
        ("quorvex.book.transitions", ((CAUSE := "quorvex.cause", "create"), (STATE, "creating"))): 1,
        ("quorvex.book.transitions", ((CAUSE, "create"), (STATE, "pending"))): 1,
        ("quorvex.book.transitions", ((CAUSE, "webhook"), (STATE, "paid"))): 1,
        ("quorvex.book.webhooks", (("quorvex.outcome", "applied"),)): 1,
        ("quorvex.gateway.errors", (("error.type", "api"), ("quorvex.operation", "pix.verify"))): 1}
    server = {"server.address": "127.0.0.1", "server.port": int(gateway.base_url.split(":")[2])}
    attempts = {attributes: value - before.get((name, attributes), 0)
                for (name, attributes), value in after.items()
                if name == "http.client.request.duration" and value != before.get((name, attributes), 0)}
    assert attempts == {frozenset({**server, "quorvex.operation": op, "http.request.method": method,
                                   "http.response.status_code": status, **error}.items()): 1
                        for op, method, status, error in (("pix.generate", "POST", 200, {}),
                                                          ("pix.verify", "GET", 503, {"error.type": "503"}),
                                                          ("pix.verify", "GET", 200, {}))}

    secrets = [DEFAULT_TOKEN, gateway.payment("pix", reference).webhook.value,
               rows(book, "SELECT secret_digest FROM book_payments")[0][0],
               PIX["payer_cpf"], PIX["payer_phone"], EMAIL]
    shown = repr([(span.name, dict(span.attributes), span.status.description,
                   [(event.name, dict(event.attributes)) for event in span.events])
                  for span in spans]) + repr(after) + telemetry.prometheus.scrape().decode()
    assert [secret for secret in secrets if secret in shown] == []
