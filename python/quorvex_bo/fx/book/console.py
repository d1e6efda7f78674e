"""The book's console for the merchant's staff: server-rendered pages on the shared web
layer (:mod:`quorvex_bo.fx.web`), no script and no external assets.

Who asks is the merchant's ``authorize(request)`` hook: an :class:`Operator` or
``None`` (401); under ASGI it may also be a coroutine function, and is awaited. Pages
are written once as generators of the core's effects, so the blocking book serves them
as WSGI and the async book as ASGI.

Forms are protected without server sessions: the first page sets a random session
value in a ``SameSite=Strict; HttpOnly`` cookie scoped to the console's path, and every
form carries ``HMAC(console key, session, operator name)``. A POST whose token does not
match its own cookie and operator (another site's form, another operator's token, no
cookie) is refused with 403 before anything is read or written, as is a POST from
another origin and any action of an operator who may only read. Each form also carries
a nonce: submitting it twice takes the action once (see
:mod:`~quorvex_bo.fx.book.console_core`).
"""

from __future__ import annotations

import calendar
import inspect
import math
import re
import secrets
import time
import urllib.parse
from collections.abc import Awaitable, Callable, Iterable
from typing import Any

from quorvex_bo.fx.book.console_core import Action, Console, check_id
from quorvex_bo.fx.book.console_store import (PAGE_SIZE, Attempt, Filter, Moment, OrderView,
                                              Overview)
from quorvex_bo.fx.book.core import RAILS, Steps
from quorvex_bo.fx.book.errors import ForbiddenError
from quorvex_bo.fx.book.records import AuditEntry, Event, Operator, Payment, stamp
from quorvex_bo.fx.book.states import LIVE, PaymentState
from quorvex_bo.fx.errors import ValidationError
from quorvex_bo.fx.web import (CSRF_FIELD, STYLE, CsrfTokens, Html, Request, Response, Routes,
                               cell, csp_source, definitions, document, element, first, form,
                               join, notice, options, row, table)

__all__ = ["Authorize", "SESSION_COOKIE", "check_authorize", "console_key", "console_routes",
           "error_page"]

#: The merchant's hook: who is asking, or None (or, under ASGI, an awaitable of either).
Authorize = Callable[[Request], "Operator | None | Awaitable[Operator | None]"]
#: Runs a page's effects: the blocking book's driver, or the async one's.
Runner = Callable[[Steps[Response]], "Response | Awaitable[Response]"]
SESSION_COOKIE = "qbo_console"
_SESSION = re.compile(r"[A-Za-z0-9_-]{32,64}")
# Notification bodies wrap in their cell; a timeline reads from the top of each row.
_STYLE = "pre.body { white-space: pre-wrap; overflow-wrap: anywhere; margin: .25rem 0; } " \
         "td { vertical-align: top; } td:first-child { white-space: nowrap; }"
# No script, no frames, nothing from elsewhere; only the layer's style sheet and ours.
_SECURITY = (("Content-Security-Policy",
              f"default-src 'none'; style-src {csp_source(STYLE)} {csp_source(_STYLE)}; "
              "form-action 'self'; "
              "base-uri 'none'; frame-ancestors 'none'"),
             ("X-Frame-Options", "DENY"), ("X-Content-Type-Options", "nosniff"),
             ("Referrer-Policy", "same-origin"))  # "no-referrer" makes Origin "null"
_RESOLVE = {"refunded_outside": Action.REFUNDED_OUTSIDE, "kept": Action.KEPT}
_ACTIONS = {"verify": Action.VERIFY, "retry": Action.RETRY, "reapply": Action.REAPPLY}
# The form field that names each action's target.
_TARGETS = {"verify": "order_id", "retry": "event_id", "reapply": "notification_id",
            "resolve": "reference"}


def _page(status: int, title: str, body: str) -> Response:
    return Response.html(document(title, join([element("style", _STYLE), body]), wide=True),
                         status=status, headers=_SECURITY)


def error_page(status: int, message: str) -> Response:
    """The layer's refusals (404, 405, 413) and the console's own, as pages."""
    return _page(status, message, element("h1", message))


class _Seen:
    """One request as the console sees it: who asks, their session and form token."""

    def __init__(self, request: Request, operator: Operator, tokens: CsrfTokens) -> None:
        self.request, self.operator = request, operator
        found = request.cookies.get(SESSION_COOKIE, "")
        self.fresh = not _SESSION.fullmatch(found)
        self.session = secrets.token_urlsafe(32) if self.fresh else found
        self.token = tokens.issue(self.session, operator.name)

    def link(self, path: str, **query: str | None) -> str:
        pairs = {name: value for name, value in query.items() if value}
        return self.request.base_path + path + (
            "?" + urllib.parse.urlencode(pairs) if pairs else "")

    def answer(self, response: Response) -> Response:
        if not self.fresh:
            return response
        return response.with_headers(("Set-Cookie", (
            f"{SESSION_COOKIE}={self.session}; Path={self.request.base_path or '/'}; "
            "HttpOnly; SameSite=Strict")))

    def action(self, action: str, label: str, *fields: Html, **hidden: str) -> Html:
        """A button that takes `action` (a word of _TARGETS), with its hidden fields and a
        fresh nonce; nothing for an operator who may only read."""
        if not self.operator.may_act:
            return Html("")
        inputs = [element("input", type="hidden", name=name, value=value)
                  for name, value in (*hidden.items(), ("nonce", secrets.token_urlsafe(18)))]
        return form(self.link(f"/actions/{action}"), *inputs, *fields,
                    element("button", label, type="submit", class_="quiet"), csrf=self.token)


def console_routes(console: Callable[[], Console], authorize: Authorize, key: bytes,
                   run: Runner) -> Routes:
    """The console's route table; ``run`` carries out each page's effects."""
    tokens = CsrfTokens(key)
    routes = Routes(error=error_page)
    pages: dict[str, Callable[[_Seen, Console], Steps[Html]]] = {
        "/": _overview, "/payments": _payments, "/order": _order, "/events": _events,
        "/audit": _audit}

    def serve(request: Request, page: Callable[[_Seen, Console], Steps[Response]]
              ) -> Response | Awaitable[Response]:
        operator = authorize(request)
        if inspect.isawaitable(operator):  # an async app's hook: only ASGI awaits it
            return _later(operator, request, page)
        return admitted(operator, request, page)

    async def _later(pending: Awaitable[Operator | None], request: Request,
                     page: Callable[[_Seen, Console], Steps[Response]]) -> Response:
        response = admitted(await pending, request, page)
        return (await response) if inspect.isawaitable(response) else response

    def admitted(operator: object, request: Request,
                 page: Callable[[_Seen, Console], Steps[Response]]
                 ) -> Response | Awaitable[Response]:
        if operator is None:
            return error_page(401, "Sign in to use the console")
        if not isinstance(operator, Operator):
            raise TypeError(f"authorize must return an Operator or None, not "
                            f"{type(operator).__name__}")
        return run(page(_Seen(request, operator, tokens), console()))

    def shown(view: Callable[[_Seen, Console], Steps[Html]]) -> Callable[[Request], Any]:
        def steps(seen: _Seen, book: Console) -> Steps[Response]:
            try:
                body = yield from view(seen, book)
            except ValidationError as error:
                return seen.answer(error_page(400, str(error)))
            return seen.answer(_page(200, "Payment book console", join([_nav(seen), body])))
        return lambda request: serve(request, steps)

    def act(seen: _Seen, book: Console) -> Steps[Response]:
        request = seen.request
        fields = request.form()
        origin = request.header("origin")
        if seen.fresh or not tokens.valid(first(fields, CSRF_FIELD), seen.session,
                                          seen.operator.name) or (
                origin and urllib.parse.urlsplit(origin).netloc != request.header("host")):
            return error_page(403, "This form is not yours: open the page again")
        name, field = request.params["action"], _TARGETS.get(request.params["action"], "")
        action = _RESOLVE.get(first(fields, "resolution") or "") if name == "resolve" \
            else _ACTIONS.get(name)
        if action is None:
            return error_page(400, "No such action")
        target = first(fields, field) or ""
        try:
            entry = yield from book.act(seen.operator, action, target,
                                        first(fields, "reason") or "",
                                        first(fields, "nonce") or "")
        except ForbiddenError:
            return error_page(403, "You may only read")
        except ValidationError as error:
            return error_page(400, str(error))
        back = seen.link("/order", id=entry.order_id, audit=str(entry.id)) \
            if entry.order_id else seen.link("/audit", audit=str(entry.id))
        return Response.redirect(back).with_headers(*_SECURITY)

    for path, view in pages.items():
        routes.add("GET", path, shown(view))
    routes.add("POST", "/actions/{action}", lambda request: serve(request, act))
    return routes


# --- the pages ------------------------------------------------------------------------


def _nav(seen: _Seen) -> Html:
    links = [("/", "Overview"), ("/payments", "Payments"), ("/events", "Events"),
             ("/audit", "Audit")]
    role = "may act" if seen.operator.may_act else "read only"
    return element("nav", element("p", *(join([element("a", label, href=seen.link(path)),
                                                Html(" · ")]) for path, label in links),
                                  f"Signed in as {seen.operator.name} ({role})"),
                   aria_label="Console")


def _section(name: str, ident: str, *content: str) -> Html:
    return element("section", element("h2", name, id=f"{ident}-heading"), *content,
                   aria_labelledby=f"{ident}-heading", id=ident)


def _ago(moment: float, now: float) -> str:
    seconds = max(0, int(now - moment))
    for size, unit in ((86400, "d"), (3600, "h"), (60, "min")):
        if seconds >= size:
            return f"{seconds // size} {unit} ago"
    return f"{seconds} s ago"


def _overview(seen: _Seen, book: Console) -> Steps[Html]:
    view: Overview = yield from book.overview()
    now = book.core.s.clock()
    late = table(("Order", "Reference", "Paid at"), (
        row(element("a", order, href=seen.link("/order", id=order)), reference, stamp(at))
        for order, reference, at in view.late), caption="Late payments to resolve",
        id="late-list") if view.late else Html("")
    needs = definitions([
        ("Late-paid, not resolved", str(view.late_count), "late"),
        ("Reversed after paid", str(view.counts.get("reversed", 0)), "reversed"),
        ("Dead events", str(view.dead_events), "dead"),
        ("Unconfirmed past the grace period", str(view.unconfirmed_overdue), "overdue"),
        ("Forged notifications, last 24 h", str(view.forged_today), "forged")])
    states = table(("State", "Payments"), (
        row(element("a", state.value, href=seen.link("/payments", state=state.value)),
            str(view.counts.get(state.value, 0)))
        for state in PaymentState), caption="Payments by state", id="counts")
    oldest = "none" if view.oldest_undelivered is None else \
        f"{_ago(view.oldest_undelivered, now)} ({stamp(view.oldest_undelivered)})"
    run = view.last_reconcile
    reconcile = "never ran" if run is None else (
        f"finished {_ago(run[1], now)} ({stamp(run[1])}), took {run[1] - run[0]:.1f} s: "
        + ", ".join(f"{value} {name}" for name, value in run[2].items()))
    return join([element("h1", "Payment book"),
                 _section("Needs a person", "needs", needs, late),
                 _section("Outbox and reconcile", "health", definitions([
                     ("Oldest undelivered event", oldest, "oldest"),
                     ("Last reconcile pass", reconcile, "reconcile")])),
                 _section("Payments", "states", states)])


def _day(text: str | None, field: str) -> float | None:
    if not text:
        return None
    try:
        return float(calendar.timegm(time.strptime(text, "%Y-%m-%d")))
    except ValueError:
        raise ValidationError("must be a date like 2026-01-31", field=field) from None


def _filter(query: dict[str, list[str]]) -> Filter:
    state, rail, after = first(query, "state"), first(query, "rail"), first(query, "after")
    if state is not None and state not in {s.value for s in PaymentState}:
        raise ValidationError("unknown state", field="state")
    if rail is not None and rail not in RAILS:
        raise ValidationError("unknown rail", field="rail")
    keyset = None
    if after is not None:
        moment, _, ident = after.partition("_")
        try:
            keyset = (float(moment), check_id(ident, "after"))  # both refused as ValueError
            if not math.isfinite(keyset[0]):
                raise ValueError(moment)
        except ValueError:
            raise ValidationError("not a page of this list", field="after") from None
    until = _day(first(query, "to"), "to")
    return Filter(PaymentState(state) if state else None, rail,
                  (first(query, "q") or "").strip() or None, _day(first(query, "from"), "from"),
                  None if until is None else until + 86400, keyset)


def _payments(seen: _Seen, book: Console) -> Steps[Html]:
    query = seen.request.query
    where = _filter(query)
    found = yield from book.payments(where)
    fields = join([
        element("label", "State ", element("select", options(
            [("", "any"), *((s.value, s.value) for s in PaymentState)],
            where.state and where.state.value), name="state", id="filter-state")),
        element("label", "Rail ", element("select", options(
            [("", "any"), *((r, r) for r in RAILS)], where.rail), name="rail", id="filter-rail")),
        element("label", "Order id or reference ", element(
            "input", name="q", id="filter-q", value=where.search or "")),
        element("label", "From ", element("input", type="date", name="from",
                                          value=first(query, "from") or "")),
        element("label", "To ", element("input", type="date", name="to",
                                        value=first(query, "to") or "")),
        element("button", "Filter", type="submit", id="filter")])
    rows = [row(stamp(p.created_at),
                element("a", p.order_id, href=seen.link("/order", id=p.order_id)),
                str(p.attempt), p.reference, p.rail, f"{p.amount} {p.currency}",
                cell(p.state.value, class_=f"state state-{p.state.value}"))
            for _, p in found]
    more = Html("")
    if len(found) == PAGE_SIZE:
        last_id, last = found[-1]
        more = element("a", "Older payments", rel="next", id="next", href=seen.link(
            "/payments", **{name: first(query, name) for name in ("state", "rail", "q", "from",
                                                                  "to")},
            after=f"{last.created_at!r}_{last_id}"))
    return join([element("h1", "Payments"), form(seen.link("/payments"), fields, method="get"),
                 table(("Created", "Order", "Attempt", "Reference", "Rail", "Amount", "State"),
                       rows, caption="Newest first", id="payment-list"),
                 element("p", more)])


def _order(seen: _Seen, book: Console) -> Steps[Html]:
    order_id = first(seen.request.query, "id") or ""
    view: OrderView | None = yield from book.order(order_id)
    if view is None:
        return join([element("h1", f"Order {order_id}"), notice("No payment for this order")])
    shown = first(seen.request.query, "audit")
    outcome = next((entry for entry in view.audit if str(entry.id) == shown), None)
    latest = view.attempts[-1].payment
    verify = seen.action("verify", "Verify now", order_id=view.order_id) \
        if latest.state in LIVE else Html("")
    return join([element("h1", f"Order {view.order_id}"),
                 notice(f"{outcome.action}: {outcome.outcome}") if outcome else Html(""),
                 verify, *(_attempt(seen, attempt) for attempt in view.attempts),
                 _section("Audit", "order-audit", _audit_table(view.audit))])


def _attempt(seen: _Seen, attempt: Attempt) -> Html:
    p: Payment = attempt.payment
    facts = definitions([
        ("State", p.state.value, None), ("Rail", p.rail, None),
        ("Amount", f"{p.amount} {p.currency}", None), ("Created", stamp(p.created_at), None),
        ("Expires", stamp(p.expires_at) if p.expires_at else "not known", None),
        ("Late payment", ("yes: " + (attempt.resolution.value if attempt.resolution else
                                     "not resolved")) if attempt.late else "no", None)])
    resolve = Html("")
    if attempt.late and attempt.resolution is None and p.state is PaymentState.PAID:
        resolve = seen.action(
            "resolve", "Resolve",
            element("label", "Resolution ", element("select", options(
                [("refunded_outside", "refunded outside"), ("kept", "kept")], None),
                name="resolution", id=f"resolution-{p.reference}")),
            element("label", "Reason ", element("input", name="reason", required=True,
                                                maxlength=500, id=f"reason-{p.reference}")),
            reference=p.reference)
    timeline = table(("At", "What", "Detail"), (_moment(seen, m) for m in attempt.timeline),
                     caption=f"Timeline of payment {p.reference}", class_="timeline")
    return _section(f"Payment {p.attempt}: {p.reference}", f"payment-{p.reference}",
                    facts, resolve, timeline)


def _moment(seen: _Seen, moment: Moment) -> Html:
    detail: list[str] = [moment.detail]
    if moment.body is not None:
        detail.append(element("pre", moment.body, class_="body"))
    if moment.reapply is not None:
        detail.append(seen.action("reapply", "Apply again",
                                  notification_id=str(moment.reapply)))
    if moment.retry is not None:
        detail.append(seen.action("retry", "Retry", event_id=str(moment.retry)))
    return row(stamp(moment.at), moment.summary, cell(join(detail)),
               class_=f"moment {moment.kind}")


def _event_rows(seen: _Seen, events: Iterable[Event], retry: bool) -> list[Html]:
    return [row(str(e.id), stamp(e.at), element("a", e.order_id, href=seen.link(
        "/order", id=e.order_id)), f"{e.previous or 'intent'} → {e.state}", str(e.attempts),
        e.last_error or "", seen.action("retry", "Retry", event_id=str(e.id))
        if retry else "") for e in events]


def _events(seen: _Seen, book: Console) -> Steps[Html]:
    waiting = yield from book.events(dead=False)
    dead = yield from book.events(dead=True)
    head = ("Event", "Written", "Order", "Change", "Failed attempts", "Last error", "")
    return join([element("h1", "Events"),
                 table(head, _event_rows(seen, waiting, False), id="undelivered",
                       caption="Not delivered yet, oldest first (failing ones with their "
                               "attempts)"),
                 table(head, _event_rows(seen, dead, True), id="dead",
                       caption="Set aside as dead, newest first")])


def _audit_table(entries: list[AuditEntry]) -> Html:
    return table(("At", "Operator", "Action", "Target", "Reason", "Outcome"), (
        row(stamp(e.at), e.operator, e.action, e.target, e.reason, e.outcome,
            class_="audit-entry") for e in entries), id="audit-list")


def _audit(seen: _Seen, book: Console) -> Steps[Html]:
    before = first(seen.request.query, "before")
    entries = yield from book.audit(before=None if before is None else
                                    check_id(before, "before"))
    older = element("a", "Older entries", rel="next", href=seen.link(
        "/audit", before=str(entries[-1].id))) if len(entries) == PAGE_SIZE else Html("")
    return join([element("h1", "Audit"), _audit_table(entries), element("p", older)])


def check_authorize(authorize: object) -> Authorize:
    if authorize is None:
        raise TypeError("console_app() needs authorize=: a function of the request that "
                        "returns the Operator asking (from your session, SSO or basic auth) "
                        "or None; there is no console without it")
    if not callable(authorize):
        raise TypeError(f"authorize must be callable, not {type(authorize).__name__}")
    return authorize


def console_key(key: bytes | None) -> bytes:
    """The key of the forms' tokens: random for this book unless given (give the same
    one to every process that serves the console behind one address)."""
    return secrets.token_bytes(32) if key is None else key

