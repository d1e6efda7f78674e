"""The developer's side of the sandbox: every payment, each one's timeline, the
actions that make things happen, the faults to come and the clock.

Plain HTML forms and buttons, so every action works from the keyboard and without
script; the page's script only swaps in the parts marked live, leaving forms alone.
"""

from __future__ import annotations

import urllib.parse
from collections.abc import Iterable
from dataclasses import dataclass
from html import escape

from quorvex_bo.fx.sandbox import wire
from quorvex_bo.fx.sandbox.faults import GATEWAY_OPERATIONS, WEBHOOK, FaultKind
from quorvex_bo.fx.sandbox.ledger import GatewayCall, Payment, Rail, State
from quorvex_bo.fx.sandbox.page import RAIL_NAMES, document, money, notice_html

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
          notice: str | None = None) -> str:
    """The home page: the clock, the payments (newest first) and the faults panel."""
    body = (f"<h1>Quorvex sandbox</h1>{notice_html(notice or '')}"
            f'<section aria-labelledby="clock-heading"><h2 id="clock-heading">Clock</h2>'
            f'<p id="clock" data-live aria-live="polite">{_clock(now)}</p>{_clock_forms()}'
            f"</section>"
            f'<section aria-labelledby="payments-heading"><h2 id="payments-heading">Payments'
            f"</h2>{_filters(view)}"
            f'<div id="payments" data-live>{_payments(payments, view)}</div></section>'
            f'<section aria-labelledby="faults-heading"><h2 id="faults-heading">Faults</h2>'
            f'<div id="faults" data-live aria-live="polite">{_faults(faults)}</div>'
            f"{_fault_forms()}</section>")
    return document("Quorvex sandbox", body, script=True, wide=True)


def payment_page(payment: Payment, calls: list[GatewayCall], now: float,
                 notice: str = "") -> str:
    """One payment: what it is, the actions, and its timeline."""
    title = f"{RAIL_NAMES[payment.rail]} payment {payment.reference}"
    base = _path(payment)
    actions = "".join(
        f'<form method="post" action="{base}/{action}"><button id="{action}" type="submit" '
        f'aria-describedby="{action}-what">{label}</button>'
        f'<span id="{action}-what" hidden>{escape(what)}</span></form>'
        for action, label, what in ACTIONS)
    body = (f'<p><a href="/">All payments</a></p><h1>{escape(title)}</h1>'
            f"{notice_html(notice)}"
            f'<div id="summary" data-live aria-live="polite">{_summary(payment, now)}</div>'
            f'<section aria-labelledby="actions-heading"><h2 id="actions-heading">Actions</h2>'
            f"{actions}</section>"
            f'<section aria-labelledby="timeline-heading"><h2 id="timeline-heading">Timeline'
            f'</h2><div id="timeline" data-live>{_timeline(payment, calls)}</div></section>')
    return document(title, body, script=True, wide=True)


def _path(payment: Payment) -> str:
    return f"/payments/{payment.rail.value}/{urllib.parse.quote(payment.reference)}"


def _clock(now: float) -> str:
    return f'Sandbox time <time id="now" datetime="{wire.stamp(now)}">{wire.stamp(now)}</time>'


def _clock_forms() -> str:
    quick = "".join(f'<button class="quiet" type="submit" name="advance" value="{seconds}">'
                    f"+{label}</button> " for seconds, label in
                    ((60, "1 minute"), (3600, "1 hour"), (86400, "1 day")))
    return ('<form method="post" action="/dashboard/clock"><label>Seconds to advance '
            '<input id="advance-seconds" name="advance" type="number" min="0" step="any" '
            'required></label><button id="advance" type="submit">Advance the clock</button>'
            f'</form><form method="post" action="/dashboard/clock">{quick}</form>')


def _options(name: str, values: Iterable[str], chosen: str | None, everything: str) -> str:
    options = [("", everything), *((value, value) for value in values)]
    return "".join(f'<option value="{escape(value)}"'
                   f'{" selected" if value == (chosen or "") else ""}>{escape(text)}</option>'
                   for value, text in options)


def _filters(view: View) -> str:
    return ('<form method="get" action="/" role="search"><label>Rail '
            f'<select id="filter-rail" name="rail">'
            f'{_options("rail", (r.value for r in Rail), view.rail, "all rails")}</select>'
            '</label><label>State <select id="filter-state" name="state">'
            f'{_options("state", (s.value for s in State), view.state, "all states")}'
            '</select></label><button class="quiet" id="filter" type="submit">Filter</button>'
            "</form>")


def _payments(payments: list[Payment], view: View) -> str:
    shown = [payment for payment in payments if view.shows(payment)]
    if not shown:
        return "<p>No payments yet.</p>" if not payments else "<p>No payment matches.</p>"
    rows = "".join(
        f'<tr data-rail="{p.rail.value}" data-reference="{escape(p.reference)}">'
        f"<td>{p.rail.value}</td>"
        f'<td><a href="{_path(p)}">{escape(p.reference)}</a></td>'
        f"<td>{money(p.amount)}</td><td>{p.currency}</td>"
        f'<td class="state state-{p.state.value}">{p.state.value}</td>'
        f"<td>{wire.stamp(p.created_at)}</td><td>{wire.stamp(p.expires_at)}</td></tr>"
        for p in shown)
    head = "".join(f'<th scope="col">{name}</th>' for name in
                   ("Rail", "Reference", "Amount", "Currency", "State", "Created", "Expires"))
    return (f'<table id="payment-list"><caption>{len(shown)} of {len(payments)} payments, '
            f"newest first</caption><thead><tr>{head}</tr></thead><tbody>{rows}</tbody>"
            "</table>")


def _faults(faults: dict[str, list[str]]) -> str:
    if not faults:
        return "<p>No faults planned.</p>"
    items = "".join(f"<li>{escape(operation)}: {escape(', '.join(kinds))}</li>"
                    for operation, kinds in faults.items())
    return f'<ul id="fault-list">{items}</ul>'


def _fault_forms() -> str:
    operations = _options("operation", (*GATEWAY_OPERATIONS, WEBHOOK), GATEWAY_OPERATIONS[0],
                          "choose")
    kinds = _options("kind", (kind.value for kind in FaultKind), FaultKind.UNAVAILABLE.value,
                     "choose")
    return ('<form method="post" action="/dashboard/faults"><fieldset><legend>Plan a fault'
            f'</legend><label>Operation <select id="fault-operation" name="operation" '
            f'required>{operations}</select></label>'
            f'<label>Kind <select id="fault-kind" name="kind" required>{kinds}</select></label>'
            '<label>Times <input id="fault-times" name="times" type="number" min="1" '
            'value="1"></label><label>Retry-After (s) <input id="fault-retry-after" '
            'name="retry_after" type="number" min="0" value="1"></label>'
            '<label>Delay (s) <input id="fault-delay" name="delay" type="number" min="0" '
            'max="600" step="any" value="2"></label>'
            '<button id="add-fault" type="submit">Add fault</button></fieldset></form>'
            '<form method="post" action="/dashboard/faults"><button id="clear-faults" '
            'class="quiet" type="submit" name="clear" value="1">Clear all faults</button>'
            "</form>")


def _summary(payment: Payment, now: float) -> str:
    rows = [("Amount", f"{money(payment.amount)} {payment.currency}", "amount"),
            ("State", payment.state.value, "state"),
            ("Detail", payment.detail, "detail"),
            ("Created", wire.stamp(payment.created_at), "created"),
            ("Expires", wire.stamp(payment.expires_at), "expires"),
            ("Notification", payment.delivery.value, "delivery"),
            ("Webhook", payment.webhook.url, "webhook"),
            ("Sandbox time", wire.stamp(now), "now")]
    return "<dl>" + "".join(f'<dt>{name}</dt><dd id="{ident}">{escape(value)}</dd>'
                            for name, value, ident in rows) + "</dl>"


def _timeline(payment: Payment, calls: list[GatewayCall]) -> str:
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
        events.append((attempt.at, 2, "webhook", f"{attempt.kind}, try {attempt.number}",
                       f"{payment.webhook.url} {attempt.detail}".strip(), answer))
    rows = "".join(
        f'<tr class="{kind}"><td>{wire.stamp(at)}</td><td>{kind}</td><td>{escape(what)}</td>'
        f'<td>{escape(detail)}</td><td class="answer">{escape(answer)}</td></tr>'
        for at, _, kind, what, detail, answer in sorted(events, key=lambda e: e[:2]))
    head = "".join(f'<th scope="col">{name}</th>' for name in
                   ("Time", "Kind", "What", "Detail", "Answer"))
    return (f'<table id="timeline-table"><caption>Calls, state changes and webhook '
            f"attempts, oldest first</caption><thead><tr>{head}</tr></thead>"
            f"<tbody>{rows}</tbody></table>")
