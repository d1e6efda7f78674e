"""The developer's side of the sandbox: every payment, each one's timeline, the
actions that make things happen, the faults to come and the clock.

Plain HTML forms and buttons, so every action works from the keyboard and without
script; the page's script only swaps in the parts marked live, leaving forms alone.
"""

from __future__ import annotations

import urllib.parse
from collections.abc import Iterable
from dataclasses import dataclass

from quorvex_bo.fx.sandbox import wire
from quorvex_bo.fx.sandbox.faults import GATEWAY_OPERATIONS, WEBHOOK, FaultKind
from quorvex_bo.fx.sandbox.ledger import GatewayCall, Payment, Rail, State
from quorvex_bo.fx.sandbox.page import RAIL_NAMES, money
from quorvex_bo.fx.web import (Html, cell, definitions, document, element, form, join, options,
                               row, table)
from quorvex_bo.fx.web import notice as notice_html

# Button, its action path and what it does, in the order the payment page shows them.
ACTIONS = (
    ("pay", "Pay", "the payer pays; the merchant is notified"),
    ("reject", "Reject", "the payer rejects; the payment is cancelled, the merchant notified"),
    ("expire", "Expire now", "the QR expires at once; the merchant is notified"),
    ("resend", "Resend the last notification", "the final state's notification once more"),
    ("twice", "Send it twice", "the final state's notification twice in a row"),
    ("stale", "Send a stale notification", "the pending state's notification, after the "
                                           "final one"),
)


@dataclass(frozen=True)
class View:
    """The dashboard's filters, from its query; None shows everything."""

    rail: str | None = None
    state: str | None = None

    def shows(self, payment: Payment) -> bool:
        return self.rail in (None, payment.rail.value) and \
            self.state in (None, payment.state.value)


def index(payments: list[Payment], view: View, now: float, faults: dict[str, list[str]],
          notice: str | None = None) -> Html:
    """The home page: the clock, the payments (newest first) and the faults panel."""
    body = join([
        element("h1", "Quorvex sandbox"), notice_html(notice or ""),
        _section("clock", "Clock", element("p", _clock(now), id="clock", data_live=True,
                                           aria_live="polite"), _clock_forms()),
        _section("payments", "Payments", _filters(view),
                 element("div", _payments(payments, view), id="payments", data_live=True)),
        _section("faults", "Faults", element("div", _faults(faults), id="faults",
                                             data_live=True, aria_live="polite"),
                 _fault_forms())])
    return document("Quorvex sandbox", body, script=True, wide=True)


def payment_page(payment: Payment, calls: list[GatewayCall], now: float,
                 notice: str = "") -> Html:
    """One payment: what it is, the actions, and its timeline."""
    title = f"{RAIL_NAMES[payment.rail]} payment {payment.reference}"
    base = _path(payment)
    actions = (form(f"{base}/{action}",
                    element("button", label, id=action, type="submit",
                            aria_describedby=f"{action}-what"),
                    element("span", what, id=f"{action}-what", hidden=True))
               for action, label, what in ACTIONS)
    payer = f"/pay/{payment.rail.value}/{urllib.parse.quote(payment.reference)}"
    body = join([
        element("p", element("a", "All payments", href="/"), " · ",
                element("a", Html("The payer's page"), href=payer)),
        element("h1", title), notice_html(notice),
        element("div", _summary(payment, now), id="summary", data_live=True,
                aria_live="polite"),
        _section("actions", "Actions", *actions),
        _section("timeline", "Timeline", element("div", _timeline(payment, calls),
                                                  id="timeline", data_live=True))])
    return document(title, body, script=True, wide=True)


def _section(name: str, heading: str, *content: str) -> Html:
    return element("section", element("h2", heading, id=f"{name}-heading"), *content,
                   aria_labelledby=f"{name}-heading")


def _path(payment: Payment) -> str:
    return f"/payments/{payment.rail.value}/{urllib.parse.quote(payment.reference)}"


def _clock(now: float) -> Html:
    return join(["Sandbox time ", element("time", wire.stamp(now), id="now",
                                          datetime=wire.stamp(now))])


def _clock_forms() -> Html:
    quick = (join([element("button", f"+{label}", class_="quiet", type="submit",
                           name="advance", value=seconds), " "])
             for seconds, label in ((60, "1 minute"), (3600, "1 hour"), (86400, "1 day")))
    return join([
        form("/dashboard/clock",
             element("label", "Seconds to advance ", element(
                 "input", id="advance-seconds", name="advance", type="number", min=0,
                 step="any", required=True)),
             element("button", "Advance the clock", id="advance", type="submit")),
        form("/dashboard/clock", *quick)])


def _select(label: str, values: Iterable[str], chosen: str | None, everything: str,
            **attrs: str | bool) -> Html:
    choices = options([("", everything), *((value, value) for value in values)], chosen)
    return element("label", f"{label} ", element("select", choices, **attrs))


def _filters(view: View) -> Html:
    return form("/", _select("Rail", (r.value for r in Rail), view.rail, "all rails",
                             id="filter-rail", name="rail"),
                _select("State", (s.value for s in State), view.state, "all states",
                        id="filter-state", name="state"),
                element("button", "Filter", class_="quiet", id="filter", type="submit"),
                method="get", role="search")


def _payments(payments: list[Payment], view: View) -> Html:
    shown = [payment for payment in payments if view.shows(payment)]
    if not shown:
        return element("p", "No payments yet." if not payments else "No payment matches.")
    rows = (row(p.rail.value, element("a", p.reference, href=_path(p)), money(p.amount),
                p.currency, cell(p.state.value, class_=f"state state-{p.state.value}"),
                wire.stamp(p.created_at), wire.stamp(p.expires_at),
                data_rail=p.rail.value, data_reference=p.reference)
            for p in shown)
    return table(("Rail", "Reference", "Amount", "Currency", "State", "Created", "Expires"),
                 rows, id="payment-list",
                 caption=f"{len(shown)} of {len(payments)} payments, newest first")


def _faults(faults: dict[str, list[str]]) -> Html:
    if not faults:
        return element("p", "No faults planned.")
    return element("ul", *(element("li", f"{operation}: {', '.join(kinds)}")
                           for operation, kinds in faults.items()), id="fault-list")


def _number(label: str, ident: str, name: str, **attrs: str | int) -> Html:
    return element("label", f"{label} ", element("input", id=ident, name=name, type="number",
                                                  **attrs))


def _fault_forms() -> Html:
    return join([
        form("/dashboard/faults", element(
            "fieldset", element("legend", "Plan a fault"),
            _select("Operation", (*GATEWAY_OPERATIONS, WEBHOOK), GATEWAY_OPERATIONS[0],
                    "choose", id="fault-operation", name="operation", required=True),
            _select("Kind", (kind.value for kind in FaultKind), FaultKind.UNAVAILABLE.value,
                    "choose", id="fault-kind", name="kind", required=True),
            _number("Times", "fault-times", "times", min=1, value=1),
            _number("Retry-After (s)", "fault-retry-after", "retry_after", min=0, value=1),
            _number("Delay (s)", "fault-delay", "delay", min=0, max=600, step="any", value=2),
            element("button", "Add fault", id="add-fault", type="submit"))),
        form("/dashboard/faults", element("button", "Clear all faults", id="clear-faults",
                                          class_="quiet", type="submit", name="clear",
                                          value=1))])


def _summary(payment: Payment, now: float) -> Html:
    return definitions([("Amount", f"{money(payment.amount)} {payment.currency}", "amount"),
                        ("State", payment.state.value, "state"),
                        ("Detail", payment.detail, "detail"),
                        ("Created", wire.stamp(payment.created_at), "created"),
                        ("Expires", wire.stamp(payment.expires_at), "expires"),
                        ("Notification", payment.delivery.value, "delivery"),
                        ("Webhook", payment.webhook.url, "webhook"),
                        ("Sandbox time", wire.stamp(now), "now")])


def _timeline(payment: Payment, calls: list[GatewayCall]) -> Html:
    """Every call, state change and webhook attempt, in the order they happened."""
    events: list[tuple[float, int, str, str, str, str]] = []
    for call in calls:
        answer = "dropped, no answer" if call.status == 0 else str(call.status)
        events.append((call.at, 0, "call", call.operation, "", answer))
    events.append((payment.created_at, 1, "state", "pending", "QR generated", ""))
    if payment.settled_at is not None:
        events.append((payment.settled_at, 1, "state", payment.state.value, payment.detail,
                       ""))
    for attempt in payment.attempts:
        answer = "no answer" if attempt.status is None else str(attempt.status)
        said = f", answered {attempt.detail}" if attempt.status is not None else \
            f": {attempt.detail}"
        events.append((attempt.at, 2, "webhook", f"{attempt.kind}, try {attempt.number}",
                       f"to {payment.webhook.url}{said if attempt.detail else ''}", answer))
    rows = (row(wire.stamp(at), kind, what, detail, cell(answer, class_="answer"), class_=kind)
            for at, _, kind, what, detail, answer in sorted(events, key=lambda e: e[:2]))
    return table(("Time", "Kind", "What", "Detail", "Answer"), rows, id="timeline-table",
                 caption="Calls, state changes and webhook attempts, oldest first")
