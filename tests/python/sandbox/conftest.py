"""Fixtures of the sandbox's end-to-end tests: the public ones, and what a generation of
each rail needs."""

import itertools
from decimal import Decimal

import pytest

from quorvex_bo.fx import Client
from quorvex_bo.fx.testing import quorvex_sandbox, sandbox_client, webhook_inbox  # noqa: F401

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


@pytest.fixture
def generate(sandbox_client: Client, webhook_inbox):  # noqa: F811
    """Generates a QR on a rail through the client, notifications to the inbox."""
    def run(rail: str, client: Client = sandbox_client, **changes):
        webhook = changes.pop("webhook", webhook_inbox.target())
        return getattr(client, rail).generate(**generation(rail, webhook, **changes))
    return run
