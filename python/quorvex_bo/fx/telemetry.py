"""Traces and metrics, through the OpenTelemetry API: the instrument names and the
helpers that both clients and both books call.

The package depends on the API alone, which does nothing until the application
installs an SDK; then the spans and measurements go wherever it sends them. Nothing
here decides anything: the helpers record what the shells saw (an answer, a retry,
a committed transition). Spans and metrics carry operation names, states, outcomes,
references and order ids (spans only), never a token, a webhook value, a digest or a
payer's data, and never an error's message (a gateway may echo the payer's data).
"""

from __future__ import annotations

import logging
import os
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import contextmanager
from contextvars import Token
from dataclasses import dataclass, field
from typing import Any, TypeVar
from urllib.parse import urlsplit

from opentelemetry import context, metrics, trace
from opentelemetry.metrics import CallbackOptions, Observation
from opentelemetry.trace import SpanKind, Status, StatusCode

from quorvex_bo.fx._attempt import Failed, FetchToken, Received, Request, Send, Sleep
from quorvex_bo.fx.errors import QuorvexError, ValidationError

__all__ = ["METRICS", "SCOPE", "Gateway", "GatewayCall", "Health", "HealthSource", "book_step",
           "committed", "delivery", "webhook"]

log = logging.getLogger("quorvex_bo.telemetry")
log.addHandler(logging.NullHandler())

#: The instrumentation scope of every span and instrument.
SCOPE = "quorvex_bo"
_tracer = trace.get_tracer(SCOPE)
_meter = metrics.get_meter(SCOPE)

# Attribute names: the standard ones where they exist.
OPERATION, RAIL, REFERENCE, ORDER_ID = ("quorvex.operation", "quorvex.rail",
                                        "quorvex.reference", "quorvex.order_id")
ATTEMPTS, VERDICT, STATE, CAUSE, OUTCOME, BOOK = (
    "quorvex.attempts", "quorvex.retry.verdict", "quorvex.state", "quorvex.cause",
    "quorvex.outcome", "quorvex.book")
ERROR_TYPE, STATUS_CODE, METHOD = "error.type", "http.response.status_code", \
    "http.request.method"

#: Every metric: name → (type, unit, attributes, description). The README's table and
#: the instruments below are made from it.
METRICS: dict[str, tuple[str, str, tuple[str, ...], str]] = {
    "http.client.request.duration": (
        "histogram", "s", (METHOD, STATUS_CODE, ERROR_TYPE, "server.address", "server.port",
                           OPERATION), "Each attempt of a gateway call"),
    "quorvex.gateway.errors": ("counter", "{error}", (OPERATION, ERROR_TYPE),
                               "Failed gateway attempts, by the client's error kind"),
    "quorvex.book.webhooks": ("counter", "{notification}", (OUTCOME,),
                              "Notifications received, by outcome"),
    "quorvex.book.transitions": ("counter", "{transition}", (STATE, CAUSE),
                                 "Committed changes of state, by new state and cause"),
    "quorvex.book.payments": ("gauge", "{payment}", (BOOK, STATE), "Payments by state"),
    "quorvex.book.unconfirmed": ("gauge", "{payment}", (BOOK,),
                                 "Payments whose generation answer was lost"),
    "quorvex.book.unconfirmed.oldest_age": ("gauge", "s", (BOOK,),
                                            "Age of the oldest unconfirmed payment"),
    "quorvex.book.events.undelivered": ("gauge", "{event}", (BOOK,),
                                        "Events not delivered yet (not dead)"),
    "quorvex.book.events.oldest_age": ("gauge", "s", (BOOK,),
                                       "Age of the oldest event not delivered yet"),
    "quorvex.book.events.dead": ("gauge", "{event}", (BOOK,),
                                 "Events set aside after too many failed deliveries"),
    "quorvex.book.reconcile.age": ("gauge", "s", (BOOK,),
                                   "Time since the last reconcile pass finished"),
}


def _instrument(name: str) -> Any:
    kind, unit, _, description = METRICS[name]
    if kind == "histogram":  # the boundaries HTTP clients report in (seconds)
        return _meter.create_histogram(name, unit, description,
                                       explicit_bucket_boundaries_advisory=_BUCKETS)
    return _meter.create_counter(name, unit, description)


_CLIENT, _NO_SPAN = SpanKind.CLIENT, trace.INVALID_SPAN
_BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.25, 0.5, 0.75, 1.0, 2.5, 5.0, 7.5, 10.0)
_duration = _instrument("http.client.request.duration")
_errors = _instrument("quorvex.gateway.errors")
_webhooks = _instrument("quorvex.book.webhooks")
_transitions = _instrument("quorvex.book.transitions")


# --- gateway calls -------------------------------------------------------------------


class Gateway:
    """What one client's gateway calls share: the span name and attribute sets of each
    operation at each server, and of each answer (a status, an error), built by the
    first call that needs them. Built again each call, they would cost about what the
    SDK's span and record cost, and cost even with no SDK installed."""

    __slots__ = ("_routes",)

    def __init__(self) -> None:
        self._routes: dict[str, _Route] = {}

    def route(self, op: str, request: Request) -> _Route:
        """What the calls of ``op`` to ``request``'s server share."""
        found = self._routes.get(op)
        # The method is the operation's own and the base the client's: rebuilt only
        # for another server (a client's own transport may send anywhere).
        if found is None or found.method != request.method or \
                not request.url.startswith(found.base):
            found = self._routes[op] = _Route(op, request)
        return found


# How many attribute sets of answers a route keeps at most (statuses, error names).
_KEPT = 256


class _Route:
    """One operation at one server: its span's name and attributes, and the duration
    histogram's attributes by answer (a status code, or the transport error's name)."""

    __slots__ = ("method", "base", "name", "span", "points", "_shared")

    def __init__(self, op: str, request: Request) -> None:
        self.method = request.method
        self.base = "/".join(request.url.split("/", 3)[:3]) + "/"  # scheme://host[:port]/
        self.name = f"quorvex {op}"
        parts = urlsplit(self.base)
        server: dict[str, Any] = {"server.address": parts.hostname or ""}
        if parts.port is not None:  # named only when not the scheme's own
            server["server.port"] = parts.port
        self.span: dict[str, Any] = {METHOD: self.method, **server}  # the op is its name
        self._shared: dict[str, Any] = {METHOD: self.method, OPERATION: op, **server}
        self.points: dict[int | str, dict[str, Any]] = {}  # made by point()

    def point(self, answer: int | str) -> dict[str, Any]:
        """The histogram's attributes for an attempt answered ``answer``: a status
        code, or the name of the error that left it without an answer. Never changed
        once made: the SDK may keep what it is given."""
        found = self.points.get(answer)
        if found is None:
            if isinstance(answer, int):
                found = {**self._shared, STATUS_CODE: answer}
                if answer >= 400:
                    found[ERROR_TYPE] = str(answer)
            else:
                found = {**self._shared, ERROR_TYPE: answer}
            if len(self.points) < _KEPT:
                self.points[answer] = found
        return found


class GatewayCall:
    """One operation of a client: its span (from the first attempt on; current while
    it runs, so that an instrumented transport's spans and the log lines of the
    attempts are its children), each attempt's duration, the retries as span events
    and the errors by kind. With no SDK installed, a call costs one no-op span and
    one no-op measurement an attempt: nothing is built for them."""

    __slots__ = ("_gateway", "_op", "_input", "_route", "_span", "_token", "_attempts",
                 "_status")
    _token: Token[context.Context]

    def __init__(self, gateway: Gateway, op: str, input: Mapping[str, Any]) -> None:
        self._gateway = gateway
        self._op = op
        self._input = input  # its reference names the span (read only if it records)
        self._route: _Route | None = None
        self._span: trace.Span | None = None  # only one that records
        self._attempts = 0
        self._status: int | None = None

    def __enter__(self) -> GatewayCall:
        return self

    def step(self, effect: object) -> None:
        """Sees the operation's next effect: a send, or what followed an attempt."""
        if isinstance(effect, Send):
            self._attempts += 1
            if self._route is None:
                route = self._route = self._gateway.route(self._op, effect.request)
                # Positional (name, context, kind, attributes): a few keywords fewer to
                # pass through the API's proxy, whose no-op span is known at sight.
                span = _tracer.start_span(route.name, None, _CLIENT, route.span)
                if span is not _NO_SPAN and span.is_recording():  # else not kept
                    self._span = span
                    self._token = context.attach(trace.set_span_in_context(span))
        elif self._attempts and isinstance(effect, (Sleep, FetchToken)):
            kind = effect.kind if isinstance(effect, Sleep) else "authentication"
            _errors.add(1, {OPERATION: self._op, ERROR_TYPE: kind})
            if self._span is not None:
                event: dict[str, Any] = {"quorvex.attempt": self._attempts, ERROR_TYPE: kind}
                if self._status is not None:
                    event[STATUS_CODE] = self._status
                if isinstance(effect, Sleep):
                    event["quorvex.retry.delay"] = effect.seconds
                self._span.add_event("retry" if isinstance(effect, Sleep) else "refresh",
                                     event)

    def answered(self, outcome: Received | Failed) -> None:
        """Records one attempt's duration and status (or why nothing came back)."""
        answer: int | str
        if isinstance(outcome, Received):
            self._status = answer = outcome.status
        else:
            self._status = None
            answer = type(outcome.error).__name__
        route = self._route
        assert route is not None  # an answer follows a send
        _duration.record(outcome.elapsed, route.points.get(answer) or route.point(answer))

    def __exit__(self, kind: Any, error: BaseException | None, traceback: Any) -> None:
        if self._route is None:  # nothing was sent (the token provider failed)
            return
        if isinstance(error, QuorvexError):
            _errors.add(1, {OPERATION: self._op, ERROR_TYPE: error.kind})
        span = self._span
        if span is None:
            return
        attributes: dict[str, Any] = {
            ATTEMPTS: self._attempts, VERDICT: "give_up" if error else "success"}
        reference = self._input.get("reference")
        if isinstance(reference, str):
            attributes[REFERENCE] = reference
        if self._status is not None:
            attributes[STATUS_CODE] = self._status
        if self._attempts > 1:
            attributes["http.request.resend_count"] = self._attempts - 1
        span.set_attributes(attributes)
        if error is not None:
            _failed(span, error)
        context.detach(self._token)
        span.end()


def _failed(span: trace.Span, error: BaseException) -> None:
    """Marks a span failed by the error's kind alone: its message may quote a payer."""
    kind = error.kind if isinstance(error, QuorvexError) else type(error).__name__
    span.set_attribute(ERROR_TYPE, kind)
    span.set_status(Status(StatusCode.ERROR, kind))


# --- the book ----------------------------------------------------------------------


@contextmanager
def book_step(name: str, **attributes: str | int) -> Iterator[trace.Span]:
    """The span of one of the book's steps, current while it runs (its gateway calls
    and transactions are its children)."""
    with _tracer.start_as_current_span(f"quorvex book.{name}", record_exception=False,
                                       set_status_on_exception=False,
                                       attributes=attributes) as span:
        try:
            yield span
        except BaseException as error:
            if span.is_recording():
                _failed(span, error)
            raise


def delivery(event: Any) -> Any:
    """The span of one event's delivery to the merchant's handler."""
    return book_step("deliver", **{"quorvex.event.id": event.id, ORDER_ID: event.order_id,
                                   REFERENCE: event.reference, STATE: str(event.state)})


def committed(result: Any, transitions: Iterable[tuple[str, str]]) -> Any:
    """After a transaction committed: counts its transitions, and names the payment
    it was about on the current step's span. Returns ``result``."""
    for state, cause in transitions:
        _transitions.add(1, {STATE: state, CAUSE: cause})
    span = trace.get_current_span()
    if span.is_recording():
        for item in result if isinstance(result, tuple) else (result,):
            item = getattr(item, "payment", item)  # a stored row: its payment
            if isinstance(item, tuple) and item and isinstance(item[0], str):
                span.set_attribute(ORDER_ID, item[0])  # a webhook's (order id, state)
            for attribute, name in (("order_id", ORDER_ID), ("reference", REFERENCE)):
                value = getattr(item, attribute, None)
                if isinstance(value, str):
                    span.set_attribute(name, value)
    return result


_T = TypeVar("_T")


def webhook(outcome: _T) -> _T:
    """Counts a notification's outcome (an ``Outcome``, or the outcome of a
    ``Notified``) and names it on the current span. Returns ``outcome``."""
    word = str(getattr(getattr(outcome, "outcome", outcome), "value", outcome))
    _webhooks.add(1, {OUTCOME: word})
    span = trace.get_current_span()
    if span.is_recording():
        span.set_attribute(OUTCOME, word)
    return outcome


# --- the book's health, read when scraped --------------------------------------------


@dataclass(frozen=True)
class Health:
    """What the gauges show of one book, from one read of its database. Ages are in
    seconds, ``None`` when there is nothing to be old."""

    payments: dict[str, int] = field(default_factory=dict)
    unconfirmed: int = 0
    unconfirmed_age: float | None = None
    undelivered: int = 0
    undelivered_age: float | None = None
    dead: int = 0
    reconcile_age: float | None = None


class HealthSource:
    """A book's gauges: registered by :meth:`start`, gone after :meth:`stop`. One read
    serves every gauge of a scrape (reads closer than :attr:`fresh` seconds apart are
    shared)."""

    fresh = 0.5

    def __init__(self, name: str, read: Callable[[], Health]) -> None:
        if not isinstance(name, str) or not name or len(name) > 64 or not name.isprintable():
            raise ValidationError("must be a printable name of 1 to 64 characters",
                                  field="name")
        self.name = name
        self._read = read
        self._lock = threading.Lock()
        self._last: tuple[float, Health | None] = (-1e9, None)

    def health(self) -> Health | None:
        with self._lock:  # one read at a time; the gauges of a scrape share it
            at, found = self._last
            if time.monotonic() - at >= self.fresh:
                try:
                    found = self._read()
                except Exception as error:  # an unreadable database shows as no data
                    log.warning("book %r: the metrics could not be read: %s", self.name,
                                error if isinstance(error, QuorvexError)
                                else type(error).__name__)
                    found = None
                self._last = (time.monotonic(), found)
            return found

    def start(self, replacing: HealthSource | None = None) -> None:
        """Registers the gauges of the book; ``replacing``, its earlier source, leaves
        only once this one is in (a refused name leaves the old one reporting)."""
        with _sources_lock:
            taken = _sources.get(self.name)
            if taken is not None and taken is not self and taken is not replacing:
                raise ValidationError(f"a book named {self.name!r} already reports metrics "
                                      "in this process: give each book its own name",
                                      field="name")
            if replacing is not None and _sources.get(replacing.name) is replacing:
                del _sources[replacing.name]
            _sources[self.name] = self
            if not _gauges:
                _gauges.extend(_meter.create_observable_gauge(
                    name, [_observer(read)], METRICS[name][1], METRICS[name][3])
                    for name, read in _GAUGES.items())

    def stop(self) -> None:
        with _sources_lock:
            if _sources.get(self.name) is self:
                del _sources[self.name]


_sources: dict[str, HealthSource] = {}
_sources_lock = threading.Lock()


def _forked() -> None:
    """A forked child reports its own books: its parent's sources read through the
    parent's connections, and their names would refuse the child's books. They are
    dropped, not stopped: nothing of the parent's is touched."""
    global _sources_lock
    _sources_lock = threading.Lock()  # maybe held, at the fork, by a thread now gone
    _sources.clear()


os.register_at_fork(after_in_child=_forked)
_gauges: list[Any] = []
_Reading = Callable[[Health], Iterable[tuple[float, dict[str, str]]]]
_GAUGES: dict[str, _Reading] = {
    "quorvex.book.payments": lambda h: ((n, {STATE: s}) for s, n in h.payments.items()),
    "quorvex.book.unconfirmed": lambda h: [(h.unconfirmed, {})],
    "quorvex.book.unconfirmed.oldest_age": lambda h: [(h.unconfirmed_age, {})]
    if h.unconfirmed_age is not None else [],
    "quorvex.book.events.undelivered": lambda h: [(h.undelivered, {})],
    "quorvex.book.events.oldest_age": lambda h: [(h.undelivered_age, {})]
    if h.undelivered_age is not None else [],
    "quorvex.book.events.dead": lambda h: [(h.dead, {})],
    "quorvex.book.reconcile.age": lambda h: [(h.reconcile_age, {})]
    if h.reconcile_age is not None else [],
}


def _observer(read: _Reading) -> Callable[[CallbackOptions], Iterable[Observation]]:
    def observe(options: CallbackOptions) -> Iterable[Observation]:
        with _sources_lock:
            sources = list(_sources.values())
        for source in sources:
            health = source.health()
            if health is not None:
                for value, attributes in read(health):
                    yield Observation(value, {BOOK: source.name, **attributes})
    return observe
