"""What a generation of each rail needs, for the sandbox tests."""

import itertools
from decimal import Decimal

_references = itertools.count(1000)


def generation(rail: str, webhook, **changes) -> dict:
    """Keyword arguments of a valid `generate` on `rail`, with a fresh reference."""
    common = {"reference": str(next(_references)), "glosa": "001|Centro|Ventas|Pago",
              "amount": Decimal("100.50"), "webhook": webhook}
    extra = {"pix": {"payer_cpf": "12345678901", "payer_phone": "+5511999999999",
                     "expires_in": 900},
             "crypto": {"asset": "usdt", "expires_in": 300},
             "binance": {"currency": "USD", "expires_in": 300}}[rail]
    return {**common, **extra, **changes}
