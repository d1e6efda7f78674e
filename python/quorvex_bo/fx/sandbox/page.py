"""The payer's side of a payment: plain, accessible HTML with no external assets.

The page works without script (the buttons are forms); a few lines of script refresh
the live part while notifications are being delivered.
"""

from __future__ import annotations

from decimal import Decimal

from quorvex_bo.fx.sandbox import wire
from quorvex_bo.fx.sandbox.ledger import BOB_PER_USD, Delivery, Payment, Rail, State
from quorvex_bo.fx.web import Html, definitions, document, element, form, join, notice, row, table

RAIL_NAMES = {Rail.PIX: "Pix", Rail.CRYPTO: "virtual-asset", Rail.BINANCE: "Binance"}


def payer_page(payment: Payment, image_base64: str, refusal: str = "") -> Html:
    """The page a scanned QR leads to."""
    title = f"Pay {RAIL_NAMES[payment.rail]} QR {payment.reference}"
    body = join([element("h1", title), notice(refusal),
                 element("img", id="qr", width=240, height=240,
                         src=f"data:image/png;base64,{image_base64}",
                         alt=f"QR code of payment {payment.reference}"),
                 element("div", live_part(payment), id="live", data_live=True,
                         aria_live="polite")])
    return document(title, body, script=True)


def live_part(payment: Payment) -> Html:
    """What changes while the page is open: status, actions and delivery attempts."""
    rows = [
        ("Amount", f"{money(payment.amount)} {payment.currency}", "amount"),
        ("Converted", f"{money(payment.converted_amount)} {payment.converted_currency} "
                      f"at {BOB_PER_USD} BOB per USD", "converted"),
        ("Status", payment.state.value, "status"),
        ("Expires", wire.stamp(payment.expires_at), "expires"),
        ("Notification", payment.delivery.value, "delivery"),
    ]
    return join([definitions(rows), _actions(payment), _attempts(payment)])


def _actions(payment: Payment) -> Html:
    if payment.state is not State.PENDING:
        return Html("")
    base = f"/pay/{payment.rail.value}/{payment.reference}"
    return join([
        form(f"{base}/pay", element("button", f"Pay {money(payment.amount)} "
                                    f"{payment.currency}", id="pay", type="submit")),
        form(f"{base}/reject", element("button", "Reject", id="reject", class_="reject",
                                       type="submit"))])


def _attempts(payment: Payment) -> Html:
    if payment.delivery is Delivery.NONE:
        return Html("")
    rows = (row(str(attempt.number), wire.stamp(attempt.at),
                "no answer" if attempt.status is None else str(attempt.status), attempt.detail)
            for attempt in payment.attempts)
    return join([element("h2", "Webhook deliveries"),
                 table(("Try", "At", "Answer", "Body"), rows, id="attempts",
                       caption=f"Notifications posted to {payment.webhook.url}")])


def not_found(message: str) -> Html:
    return document("Not found", join([element("h1", "Not found"), element("p", message)]))


def money(amount: Decimal) -> str:
    return f"{amount:.2f}"
