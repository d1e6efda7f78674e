"""``client.check``: an operation's input checked as the call checks it, with no token
and nothing sent."""

from __future__ import annotations

import httpx
import pytest
from client_harness import HOOK

from quorvex_bo.fx import AsyncClient, Client, ValidationError

PIX = {"reference": "1001", "amount": "10.50", "glosa": "1|b|c|d", "payer_cpf": "12345678901",
       "payer_phone": "+5511999999999", "webhook": HOOK}


@pytest.mark.parametrize("operation, changes, raised", [
    ("pix.generate", {}, None), ("pix.verify", {"reference": "7"}, None),
    ("pix.generate", {"payer_cpf": "123"}, (ValidationError, "payer_cpf")),
    ("pix.generate", {"webhook": None}, (ValidationError, "webhook")),
    ("binance.generate", {}, (TypeError, None)),  # Binance takes no payer
    ("pix.generate", {"amount": 1.5j}, (TypeError, None)),
    ("binance.cancel", {"reference": "7"}, (ValidationError, "operation")),
    ("pix._start", {}, (ValidationError, "operation"))])
@pytest.mark.parametrize("kind, http", [(Client, httpx.Client), (AsyncClient, httpx.AsyncClient)])
def test_an_input_is_checked_as_its_call_would_check_it(kind, http, operation, changes, raised):
    sent: list = []
    client = kind("cid", base_url="http://127.0.0.1:9",
                  http_client=http(transport=httpx.MockTransport(sent.append)))
    arguments = {**PIX, **changes} if operation.endswith("generate") else changes
    if raised is None:
        assert client.check(operation, **arguments) is None
    else:
        with pytest.raises(raised[0]) as error:
            client.check(operation, **arguments)
        assert getattr(error.value, "field", None) == raised[1]
    assert sent == []
