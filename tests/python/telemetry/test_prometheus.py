"""The Prometheus endpoint scraped over HTTP on 127.0.0.1 (the blocking book's WSGI app
on wsgiref, the async book's ASGI app on uvicorn) while a payment is stuck unconfirmed
(its generation's answer dropped) and the outbox fails."""

from __future__ import annotations

import os

import httpx
import pytest
from opentelemetry.sdk.metrics import MeterProvider
from prometheus_client.parser import text_string_to_metric_families

from book.conftest import PIX, Blocking
from quorvex_bo.fx.errors import ValidationError
from quorvex_bo.fx.prometheus import PrometheusReader
from quorvex_bo.fx.telemetry import Health, HealthSource
from servers import serving

BOOK = '{quorvex_book="default"}'


def parsed(text: str) -> dict[str, tuple[str, str, dict[str, float]]]:
    """The reference parser's reading: family: (type, help, {sample{labels}: value});
    a family named twice would be one of them lost."""
    families = list(text_string_to_metric_families(text))
    assert len({family.name for family in families}) == len(families), text
    return {family.name: (family.type, family.documentation, {sample.name + (
        "{" + ",".join(f'{k}="{v}"' for k, v in sample.labels.items()) + "}"
        if sample.labels else ""): sample.value for sample in family.samples})
        for family in families}


def scrape(url: str) -> dict[str, float]:
    answer = httpx.get(url)
    assert answer.headers["content-type"].startswith("text/plain; version=0.0.4")
    return {name: value for _, _, samples in parsed(answer.text).values()
            for name, value in samples.items()}


def test_names_labels_and_help_read_back_as_given():
    reader = PrometheusReader()
    provider = MeterProvider(metric_readers=[reader])
    ours, theirs = provider.get_meter("quorvex_bo"), provider.get_meter("their.http")
    ours.create_counter("a.b", "{x}", 'says "a\\b"\nand more').add(
        2, {"1st:key": "x\\y\n\"z\"", "__k": True, "c.d": "one", "c_d": "two"})
    for meter in (ours, theirs):
        meter.create_histogram("t.d", "s", "dup", explicit_bucket_boundaries_advisory=[1.0]
                               ).record(0.5, {"m": "GET", "le": "x"})
    for name, clashing in (("a.b", "a gauge under a taken name"), ("a.b_total", "taken too"),
                           ("t.d_seconds_count", "a histogram's series")):
        ours.create_up_down_counter(name, "", clashing).add(1)
    ours.create_counter("c_total", "", "once").add(3)
    assert parsed(reader.scrape().decode()) == {
        "a_b": ("counter", 'says "a\\b"\nand more', {
            'a_b_total{key_1st_key="x\\y\n"z"",key___k="true",c_d="one;two"}': 2.0}),
        "c": ("counter", "once", {"c_total": 3.0}),
        "t_d_seconds": ("histogram", "dup", {
            f't_d_seconds_{sample}{{m="GET",attr_le="x"{scope}{le}}}': value
            for scope in ("", ',otel_scope_name="their.http"')
            for sample, le, value in (("bucket", ',le="1.0"', 1.0), ("bucket", ',le="+Inf"', 1.0),
                                      ("sum", "", 0.5), ("count", "", 1.0))})}


def test_the_gauges_show_stuck_payments_and_a_failing_outbox(
        telemetry, db_url, make_book, endpoint, gateway, clock, monkeypatch):
    monkeypatch.setattr(HealthSource, "fresh", 0.0)
    url, app = endpoint
    book = make_book(db_url, webhook_url=url, max_attempts=2)
    app[0] = book.wsgi_app()
    gateway.inject("pix.generate", "drop")
    book.create("order-stuck", **PIX)
    paid = book.create("order-paid", **PIX).reference
    gateway.pay("pix", paid)
    gateway.wait_for_delivery("pix", paid)
    book.reconcile()  # nothing due yet; the pass is recorded

    def failing(event):
        raise RuntimeError("the shop is down")
    book.process_events(failing)
    clock.advance(30)
    with serving(book.metrics_app(telemetry.prometheus), asgi=isinstance(book, Blocking)
                 ) as metrics:
        first = scrape(metrics)
        book.process_events(failing)  # the second failure: dead (paid waited behind pending)
        with pytest.raises(ValidationError, match="^name:"):  # the gauges stay
            book.observe_metrics(name="")
        second = scrape(metrics)
        book.close()
        closed = scrape(metrics)
    gauges = {name: (first.get(name + BOOK), second.get(name + BOOK)) for name in (
        "quorvex_book_unconfirmed", "quorvex_book_unconfirmed_oldest_age_seconds",
        "quorvex_book_events_undelivered", "quorvex_book_events_oldest_age_seconds",
        "quorvex_book_events_dead", "quorvex_book_reconcile_age_seconds")}
    assert gauges == {"quorvex_book_unconfirmed": (1, 1),
                      "quorvex_book_unconfirmed_oldest_age_seconds": (30, 30),
                      "quorvex_book_events_undelivered": (3, 1),
                      "quorvex_book_events_oldest_age_seconds": (30, 30),
                      "quorvex_book_events_dead": (0, 2),
                      "quorvex_book_reconcile_age_seconds": (30, 30)}
    assert {state: first.get(f'quorvex_book_payments{{quorvex_book="default",quorvex_state='
                             f'"{state}"}}') for state in ("unconfirmed", "paid")} == \
        {"unconfirmed": 1, "paid": 1}
    assert first['quorvex_gateway_errors_total{quorvex_operation="pix.generate",'
                 'error_type="ambiguous"}'] >= 1
    assert first['quorvex_book_webhooks_total{quorvex_outcome="applied"}'] >= 1
    assert not [name for name in closed if name.startswith("quorvex_book_payments")]


def test_a_forked_child_reports_its_own_book_not_its_parents(telemetry):
    parent = HealthSource("default", lambda: Health(dead=1))
    parent.start()
    if (pid := os.fork()) == 0:  # the child's book takes the name; only its gauge shows
        try:
            HealthSource("default", lambda: Health(dead=2)).start()
            os._exit(telemetry.points().get(("quorvex.book.events.dead", frozenset(
                {("quorvex.book", "default")}))) != 2)
        finally:
            os._exit(2)
    parent.stop()
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
