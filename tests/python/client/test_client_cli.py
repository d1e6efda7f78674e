"""The command line through main(argv), the gateway behind a mock transport."""

import functools
import json

import httpx
import pytest
from client_harness import Gateway

from quorvex_bo.fx import client
from quorvex_bo.fx.cli import main


@pytest.fixture
def gateway(monkeypatch):
    gateway = Gateway()
    mocked = functools.partial(httpx.Client, transport=httpx.MockTransport(gateway))
    monkeypatch.setattr(client.httpx, "Client", mocked)
    monkeypatch.setenv("QUORVEX_CLIENT_ID", "cid")
    monkeypatch.setenv("QUORVEX_TOKEN", "tok-SECRET")
    return gateway


@pytest.mark.parametrize("argv, status, out, err", [
    (["--json", "version"], 0, '"protocol": 2', ""),
    (["call", "version"], 0, '"core": "0.1.0"', ""),
    (["call", "nope", "{}"], 1, '"ok": false', "error: ffi: unknown operation `nope`"),
    (["--json", "pix", "verify", "1001"], 0, '"status": "paid"', ""),
    (["pix", "verify", "1001"], 0, "status: paid\n", ""),
    (["pix", "cancel", "1x"], 1, "", "error: validation: reference: must contain only digits"),
    (["pix", "generate", "--reference", "1", "--amount", "1", "--glosa", "a|b|c|d",
      "--payer-cpf", "12345678901", "--payer-phone", "+5511999999999"], 1, "",
     "error: validation: webhook: is required"),
    (["--client-id", "", "binance", "verify", "1"], 2, "", "QUORVEX_CLIENT_ID is required"),
])
def test_commands_print_results_and_fail_with_kind_and_message(gateway, capsys, argv, status, out, err):
    assert main(argv) == status
    printed = capsys.readouterr()
    assert out in printed.out and err in printed.err and "SECRET" not in printed.out + printed.err


def test_generate_takes_amount_text_and_webhook_options(gateway, capsys, monkeypatch, tmp_path):
    monkeypatch.setenv("QUORVEX_WEBHOOK_VALUE", "hook-SECRET")
    gateway.script = [(200, {"numeroReferencia": "1", "monto": "100.5", "codigoRespuesta": "PENDING",
                             "imagen": "iVBORw0KGgo="}, {})]
    image = tmp_path / "qr.png"
    argv = ["pix", "generate", "--reference", "1", "--amount", "100.50", "--glosa", "a|b|c|d",
            "--payer-cpf", "12345678901", "--payer-phone", "+5511999999999", "--expires-in", "60",
            "--webhook-url", "https://shop.test/h", "--save-image", str(image)]
    assert main(argv) == 0
    sent = json.loads(gateway.requests[0].content)
    assert (sent["monto"], sent["tiempoQr"], sent["webhook"]["value"]) == (100.5, "00:01:00", "hook-SECRET")
    assert image.read_bytes()[:4] == b"\x89PNG" and "amount: 100.5" in capsys.readouterr().out
