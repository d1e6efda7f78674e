"""The command line through main(argv), the gateway behind a mock transport."""

import functools
import io
import json
import os
import pathlib
import socket
import subprocess
import sys

import httpx
import pytest
from client_harness import QR_ANSWER, Gateway, answer

from quorvex_bo.fx import client
from quorvex_bo.fx.cli import main


@pytest.fixture
def gateway(monkeypatch):
    gateway = Gateway()
    monkeypatch.setattr(client.httpx, "Client", functools.partial(httpx.Client, transport=httpx.MockTransport(gateway)))
    monkeypatch.setenv("QUORVEX_CLIENT_ID", "cid")
    monkeypatch.setenv("QUORVEX_TOKEN", "tok-SECRET")
    monkeypatch.setattr(sys, "stdin", io.StringIO("{}"))
    monkeypatch.setattr(client.Client, "_sleep", staticmethod(lambda seconds: None))
    gateway.script = [answer(200, {"codigoRespuesta": "PAID", "data": {
        "numeroReferencia": "1001", "monto": 10, "reversa": {"motivo": "duplicação"}}})]
    return gateway


PIX_GENERATE = ["pix", "generate", "--reference", "1", "--amount", "100.50", "--glosa", "a|b|c|d",
                "--payer-cpf", "12345678901", "--payer-phone", "+5511999999999"]
VERIFIED = {"reference": "1001", "status": "paid", "raw_status": "PAID", "detail": None, "amount": "10",
            "currency": None, "converted_amount": None, "converted_currency": None, "exchange_rate": None,
            "reversal": {"motivo": "duplicação"}, "requested_at": None}


@pytest.mark.parametrize("argv, status, out, err", [
    (["--json", "version"], 0, '"protocol": 2', ""),
    (["version"], 0, "library: 0.1.0\ncore: 0.1.0\nprotocol: 2\n", ""),
    (["describe"], 0, '"name": "pix.generate"', ""), (["call", "version"], 0, '"core": "0.1.0"', ""),
    (["call", "fx.webhook.parse", "-"], 1, "", "error: ffi: invalid payload: missing field `headers`"),
    (["call", "nopé", "{}"], 1, '{\n  "error": {\n    "kind": "ffi",\n    "message": "unknown operation `nopé`",\n'
     '    "retryable": false\n  },\n  "ok": false\n}\n', "error: ffi: unknown operation `nopé`"),
    (["--json", "pix", "verify", "1001"], 0, json.dumps(VERIFIED, ensure_ascii=False) + "\n", ""),
    (["pix", "verify", "1001"], 0, "reference: 1001\nstatus: paid\nraw_status: PAID\namount: 10\n"
     'reversal: {"motivo": "duplicação"}\n', ""),
    (["--allow-insecure-http", "--base-url", "http://gw.test/api", "pix", "verify", "1"], 0, "status: paid", ""),
    (["book", "show", "o-1", "--db", "sqlite:///:memory:"], 1, "", "no payment for order 'o-1'"),
    (["pix", "cancel", "1x"], 1, "", "error: validation: reference: must contain only digits"),
    (PIX_GENERATE, 1, "", "error: validation: webhook: is required"),
    (["--client-id", "", "binance", "verify", "1"], 2, "", "QUORVEX_CLIENT_ID is required"),
])
def test_commands_print_results_and_fail_with_kind_and_message(gateway, capsys, argv, status, out, err):
    assert main(argv) == status
    printed = capsys.readouterr()
    assert out in printed.out and err in printed.err and "SECRET" not in printed.out + printed.err


def test_generate_takes_amount_text_and_webhook_options(gateway, capsys, monkeypatch, tmp_path):
    monkeypatch.setenv("QUORVEX_WEBHOOK_VALUE", "hook-SECRET")
    gateway.script, image = [answer(200, {**QR_ANSWER, "monto": "100.5"})], tmp_path / "qr.png"
    assert main([*PIX_GENERATE, "--expires-in", "60", "--webhook-url", "https://shop.test/h",
                 "--save-image", str(image)]) == 0
    assert json.loads(gateway.requests[0].content) == {
        "canal": "WEB", "cpf": "12345678901", "glosa": "a|b|c|d", "moneda": "BOB", "monto": 100.5,
        "numeroReferencia": "1", "telefono": "+5511999999999", "tiempoQr": "00:01:00",
        "webhook": {"key": "X-Quorvex-Webhook", "url": "https://shop.test/h", "value": "hook-SECRET"}}
    assert image.read_bytes()[:4] == b"\x89PNG" and "amount: 100.5" in capsys.readouterr().out


@pytest.mark.parametrize("options, attempts", [([], 3), (["--max-retries", "0"], 1)])
def test_a_verify_the_gateway_refuses_is_retried_twice_unless_told(gateway, options, attempts):
    gateway.script = [answer(503, b"busy")]
    assert (main([*options, "pix", "verify", "1001"]), len(gateway.requests)) == (1, attempts)


def test_verbose_logs_each_attempt_with_its_logger_name():
    with socket.socket() as closed:  # a port where nothing listens
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(client.__file__).resolve().parents[2]),
               QUORVEX_CLIENT_ID="cid", QUORVEX_TOKEN="tok")
    done = subprocess.run([sys.executable, "-m", "quorvex_bo.fx", "-v", "--max-retries", "0",
                           "--base-url", f"http://127.0.0.1:{port}", "pix", "verify", "1"],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert "\nquorvex_bo: pix.verify GET /qr/pix/v2/verifica/1 failed: ConnectError (attempt 1, " in "\n" + done.stderr
