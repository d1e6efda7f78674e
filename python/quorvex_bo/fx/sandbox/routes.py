"""The gateway's operations and where they live: the one table the server routes by,
the faults name and the dashboard shows. A test compares it with the requests the
core builds and with the operations it lists."""

from __future__ import annotations

import re
from dataclasses import dataclass

from quorvex_bo.fx.sandbox.ledger import Rail

# The path prefixes of the gateway's environments (production has none).
ENVIRONMENT_PREFIXES = ("", "/desarrollo", "/sandbox")


@dataclass(frozen=True)
class Route:
    """One operation: its name in the core, its rail, method and path. Verification
    and cancellation paths end with "/" and the reference."""

    operation: str
    rail: Rail
    method: str
    path: str

    @property
    def generates(self) -> bool:
        return self.method == "POST"


ROUTES = (
    Route("pix.generate", Rail.PIX, "POST", "qr/pix/v2/generar"),
    Route("pix.verify", Rail.PIX, "GET", "qr/pix/v2/verifica"),
    Route("pix.cancel", Rail.PIX, "GET", "qr/pix/v2/cancela"),
    Route("crypto.generate", Rail.CRYPTO, "POST", "qr/koibanx/v2/generar"),
    Route("crypto.verify", Rail.CRYPTO, "GET", "qr/koibanx/v2/estado"),
    Route("binance.generate", Rail.BINANCE, "POST", "qr/binance/v2/generar"),
    Route("binance.verify", Rail.BINANCE, "GET", "qr/binance/v2/verificar"),
)
BY_OPERATION = {route.operation: route for route in ROUTES}
_BY_PATH = {route.path: route for route in ROUTES}
_PATH = re.compile(r"/(?:desarrollo/|sandbox/)?(qr/[a-z]+/v2/[a-z]+)(?:/([^/]+))?")


def find(path: str) -> tuple[Route, str | None] | None:
    """The route of a request path and the reference it ends with (None for a
    generation); None for a path that is no operation's."""
    match = _PATH.fullmatch(path)
    route = _BY_PATH.get(match[1]) if match else None
    if match is None or route is None or route.generates != (match[2] is None):
        return None
    return route, match[2]
