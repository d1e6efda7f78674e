"""The payer's side of a payment: plain, accessible HTML with no external assets.

The page works without script (the buttons are forms); a few lines of script refresh
the live part while notifications are being delivered.
"""

from __future__ import annotations

from decimal import Decimal
from html import escape

from quorvex_bo.fx.sandbox import wire
from quorvex_bo.fx.sandbox.ledger import BOB_PER_USD, Delivery, Payment, Rail, State

_STYLE = """
body { font: 1.05rem/1.5 system-ui, sans-serif; color: #1a1a1a; background: #fff;
       max-width: 40rem; margin: 2rem auto; padding: 0 1rem; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: .25rem 1rem; }
dt { font-weight: 600; }  dd { margin: 0; }
img { image-rendering: pixelated; border: 1px solid #767676; }
form { display: inline-block; margin-right: .5rem; }
button { font: inherit; padding: .5rem 1.5rem; border: 0; border-radius: .25rem;
         color: #fff; background: #0b5394; cursor: pointer; }
button.reject { background: #8b1a1a; }
button:focus-visible { outline: 3px solid #1a1a1a; outline-offset: 2px; }
table { border-collapse: collapse; } th, td { padding: .25rem .75rem;
        border-bottom: 1px solid #767676; text-align: left; }
caption { text-align: left; }
body.wide { max-width: 72rem; }
label { display: inline-block; margin: 0 1rem .5rem 0; }
select, input { font: inherit; padding: .25rem; border: 1px solid #767676; }
input[type=number] { width: 6rem; }
button.quiet { color: #0b5394; background: #fff; border: 1px solid #0b5394; padding: .25rem 1rem; }
fieldset { border: 1px solid #767676; margin: 0 0 1rem; }
section { margin-bottom: 1.5rem; }
td.state-paid { color: #1d6b2c; } td.state-cancelled, td.state-expired { color: #8b1a1a; }
.notice { padding: .5rem 1rem; border-left: 4px solid #8b1a1a; background: #fdf2f2; }
"""

RAIL_NAMES = {Rail.PIX: "Pix", Rail.CRYPTO: "virtual-asset", Rail.BINANCE: "Binance"}

# Fetches the page again every second and swaps in each live part that changed; the
# forms around them are left alone, so focus and typed text survive the refresh.
_SCRIPT = """
setInterval(async () => {
  try {
    const answer = await fetch(location.href, {cache: "no-store"});
    if (!answer.ok) return;
    const fresh = new DOMParser().parseFromString(await answer.text(), "text/html");
    for (const part of document.querySelectorAll("[data-live]")) {
      const next = fresh.getElementById(part.id);
      if (next && next.innerHTML !== part.innerHTML) part.innerHTML = next.innerHTML;
    }
  } catch (error) { /* the sandbox stopped; try again later */ }
}, 1000);
"""


def document(title: str, body: str, *, script: bool = False, wide: bool = False) -> str:
    tail = f"<script>{_SCRIPT}</script>" if script else ""
    body_tag = '<body class="wide">' if wide else "<body>"
    return (f'<!doctype html><html lang="en"><head><meta charset="utf-8">'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>{escape(title)}</title><style>{_STYLE}</style></head>"
            f"{body_tag}<main>{body}</main>{tail}</body></html>")


def notice_html(notice: str) -> str:
    return f'<p class="notice" role="alert">{escape(notice)}</p>' if notice else ""


def payer_page(payment: Payment, image_base64: str, notice: str = "") -> str:
    """The page a scanned QR leads to."""
    title = f"Pay {RAIL_NAMES[payment.rail]} QR {payment.reference}"
    body = (f"<h1>{escape(title)}</h1>{notice_html(notice)}"
            f'<img id="qr" width="240" height="240" src="data:image/png;base64,{image_base64}" '
            f'alt="QR code of payment {escape(payment.reference)}">'
            f'<div id="live" data-live aria-live="polite">{live_part(payment)}</div>')
    return document(title, body, script=True)


def live_part(payment: Payment) -> str:
    """What changes while the page is open: status, actions and delivery attempts."""
    rows = [
        ("Amount", f"{money(payment.amount)} {payment.currency}", "amount"),
        ("Converted", f"{money(payment.converted_amount)} {payment.converted_currency} "
                      f"at {BOB_PER_USD} BOB per USD", "converted"),
        ("Status", payment.state.value, "status"),
        ("Expires", wire.stamp(payment.expires_at), "expires"),
        ("Notification", payment.delivery.value, "delivery"),
    ]
    details = "".join(f'<dt>{name}</dt><dd id="{ident}">{escape(value)}</dd>'
                      for name, value, ident in rows)
    return f"<dl>{details}</dl>{_actions(payment)}{_attempts(payment)}"


def _actions(payment: Payment) -> str:
    if payment.state is not State.PENDING:
        return ""
    base = f"/pay/{payment.rail.value}/{escape(payment.reference)}"
    return (f'<form method="post" action="{base}/pay"><button id="pay" type="submit">'
            f"Pay {escape(money(payment.amount))} {payment.currency}</button></form>"
            f'<form method="post" action="{base}/reject"><button id="reject" class="reject" '
            f'type="submit">Reject</button></form>')


def _attempts(payment: Payment) -> str:
    if payment.delivery is Delivery.NONE:
        return ""
    rows = "".join(
        f"<tr><td>{attempt.number}</td><td>{wire.stamp(attempt.at)}</td>"
        f"<td>{'no answer' if attempt.status is None else attempt.status}</td>"
        f"<td>{escape(attempt.detail)}</td></tr>" for attempt in payment.attempts)
    return ('<h2>Webhook deliveries</h2><table id="attempts"><caption>'
            f"Notifications posted to {escape(payment.webhook.url)}</caption><thead><tr>"
            '<th scope="col">Try</th><th scope="col">At</th><th scope="col">Answer</th>'
            f'<th scope="col">Body</th></tr></thead><tbody>{rows}</tbody></table>')


def not_found(message: str) -> str:
    return document("Not found", f"<h1>Not found</h1><p>{escape(message)}</p>")


def money(amount: Decimal) -> str:
    return f"{amount:.2f}"
