"""Plain server-rendered pages: one style sheet, a layout, and helpers for the parts
pages are made of, with no external assets and nothing that needs script.

Escaping is by construction: every helper escapes the `str` it is given and inserts only
`Html` as it is. `Html` comes from these helpers (or from `Html(...)` around a literal
written in the code), so text from outside cannot become markup by forgetting a call.
"""

from __future__ import annotations

import base64
import hashlib
import html
from collections.abc import Iterable

STYLE = """
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

# Fetches the page again every second and swaps in each live part that changed; the
# forms around them are left alone, so focus and typed text survive the refresh.
LIVE_SCRIPT = """
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


def csp_source(inline: str) -> str:
    """The Content-Security-Policy source that allows exactly this inline style or
    script, so a strict policy needs no 'unsafe-inline'."""
    digest = base64.b64encode(hashlib.sha256(inline.encode()).digest()).decode()
    return f"'sha256-{digest}'"


#: A strict policy for these pages: nothing from elsewhere, only our own style and script.
CONTENT_SECURITY_POLICY = (f"default-src 'none'; style-src {csp_source(STYLE)}; "
                           f"script-src {csp_source(LIVE_SCRIPT)}; img-src 'self' data:; "
                           "connect-src 'self'; form-action 'self'; base-uri 'none'; "
                           "frame-ancestors 'none'")

#: The hidden field a form's CSRF token travels in.
CSRF_FIELD = "csrf_token"
_VOID = frozenset({"br", "hr", "img", "input", "meta", "link"})


class Html(str):
    """Markup, inserted as it is; every other `str` is escaped where it is inserted."""

    __slots__ = ()

    def __add__(self, other: str) -> Html:
        return Html(str.__add__(self, escape(other)))


def escape(text: str | int) -> Html:
    """`text` as HTML: quotes escaped too, so it is safe in attributes; `Html` unchanged."""
    return text if isinstance(text, Html) else Html(html.escape(str(text)))


def join(parts: Iterable[str]) -> Html:
    """Fragments one after another, each escaped unless it is `Html`."""
    return Html("".join(escape(part) for part in parts))


def attributes(attrs: dict[str, str | int | bool | None]) -> Html:
    """` name="value"` pairs: `class_` is "class", other underscores are hyphens
    (``data_live``), True is a bare attribute (``hidden``), None and False leave it out."""
    out = []
    for name, value in attrs.items():
        name = name.rstrip("_").replace("_", "-")
        if value is True:
            out.append(f" {name}")
        elif value is not None and value is not False:
            out.append(f' {name}="{escape(value)}"')
    return Html("".join(out))


def element(tag: str, *content: str, **attrs: str | int | bool | None) -> Html:
    """``<tag attrs>content</tag>``; void elements (input, img…) have no content."""
    opening = f"<{tag}{attributes(attrs)}>"
    if tag in _VOID:
        return Html(opening)
    return Html(f"{opening}{join(content)}</{tag}>")


def document(title: str, body: str, *, script: bool = False, wide: bool = False) -> Html:
    """A whole page. `script` adds the live refresh of the parts marked ``data-live``;
    `wide` is for pages of tables."""
    tail = f"<script>{LIVE_SCRIPT}</script>" if script else ""
    body_tag = '<body class="wide">' if wide else "<body>"
    return Html(f'<!doctype html><html lang="en"><head><meta charset="utf-8">'
                f'<meta name="viewport" content="width=device-width, initial-scale=1">'
                f"<title>{escape(title)}</title><style>{STYLE}</style></head>"
                f"{body_tag}<main>{escape(body)}</main>{tail}</body></html>")


def notice(text: str) -> Html:
    """A message the person must read (a refusal, what went wrong); nothing if empty."""
    return element("p", text, class_="notice", role="alert") if text else Html("")


def definitions(rows: Iterable[tuple[str, str, str | None]]) -> Html:
    """A definition list of (term, value, the value's id or None)."""
    return element("dl", *(element("dt", term) + element("dd", value, id=ident)
                           for term, value, ident in rows))


def table(head: Iterable[str], rows: Iterable[str], *, caption: str | None = None,
          **attrs: str | int | bool | None) -> Html:
    """A table with column headings; `rows` are `row(...)` results."""
    heading = element("tr", *(element("th", name, scope="col") for name in head))
    return element("table", element("caption", caption) if caption is not None else Html(""),
                   element("thead", heading), element("tbody", *rows), **attrs)


class Cell(Html):
    """A table cell made by `cell`."""

    __slots__ = ()


def cell(content: str, **attrs: str | int | bool | None) -> Cell:
    """A ``<td>``, for a cell with attributes; `row` makes plain ones itself."""
    return Cell(element("td", content, **attrs))


def row(*cells: str, **attrs: str | int | bool | None) -> Html:
    """A table row; each cell is a `cell(...)` or the content of a plain one."""
    return element("tr", *(c if isinstance(c, Cell) else cell(c) for c in cells), **attrs)


def options(values: Iterable[tuple[str, str]], chosen: str | None) -> Html:
    """``<option>``s of (value, label); the one whose value is `chosen` (or "" for
    None) is selected."""
    return join(element("option", label, value=value, selected=value == (chosen or ""))
                for value, label in values)


def form(action: str, *content: str, method: str = "post", csrf: str | None = None,
         **attrs: str | int | bool | None) -> Html:
    """A form; `csrf` is the token its POST must carry back (see `CsrfTokens`)."""
    token = element("input", type="hidden", name=CSRF_FIELD, value=csrf) if csrf else Html("")
    return element("form", token, *content, method=method, action=action, **attrs)
