"""Every operation through the client against the sandbox, and what the sandbox refuses."""

import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal

import httpx
import pytest

from quorvex_bo.fx import ApiError, AuthenticationError, Client, PaymentStatus
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN
from quorvex_bo.fx.sandbox.routes import BY_OPERATION

CONVERTED = {"pix": Decimal("14.44"), "crypto": Decimal("14.44"), "binance": Decimal("699.48")}


@pytest.mark.parametrize("prefix", ["", "/desarrollo", "/sandbox"])
@pytest.mark.parametrize("rail", ["pix", "crypto", "binance"])
def test_operations_answer_from_the_payment_state(quorvex_sandbox, generate, tmp_path, rail,
                                                  prefix):
    with Client(DEFAULT_CLIENT_ID, base_url=quorvex_sandbox.base_url + prefix,
                token=DEFAULT_TOKEN) as client:
        qr = generate(rail, client=client)
        assert (qr.status, qr.raw_status, qr.amount, qr.converted_amount, qr.exchange_rate,
                qr.image_mime) == (PaymentStatus.PENDING, "PENDING", Decimal("100.5"),
                                   CONVERTED[rail], Decimal("6.96"), "image/png")
        qr.save(tmp_path / "qr.png")
        scanned = subprocess.run(["zbarimg", "--raw", "-q", str(tmp_path / "qr.png")],
                                 capture_output=True, text=True, check=True).stdout.strip()
        assert scanned == quorvex_sandbox.payer_url(rail, qr.reference)
        quorvex_sandbox.pay(rail, qr.reference)
        info = getattr(client, rail).verify(qr.reference)
        assert (info.status, info.reference, info.amount, info.converted_amount) == (
            PaymentStatus.PAID, qr.reference, qr.amount, qr.converted_amount)


def test_a_cancelled_qr_stays_cancelled(sandbox_client, generate):
    pix, reference = sandbox_client.pix, generate("pix").reference
    assert [pix.cancel(reference).status, pix.cancel(reference).status,
            pix.verify(reference).status] == [PaymentStatus.CANCELLED] * 3


def test_a_verification_answers_whole_in_the_gateway_shape(quorvex_sandbox, generate):
    reference = generate("binance").reference
    quorvex_sandbox.pay("binance", reference)
    url = f"{quorvex_sandbox.base_url}/{BY_OPERATION['binance.verify'].path}/{reference}"
    caller = {"client_id": DEFAULT_CLIENT_ID, "access_token": DEFAULT_TOKEN,
              "Authorization": f"Bearer {DEFAULT_TOKEN}"}
    created = quorvex_sandbox.payment("binance", reference).created_at
    assert httpx.get(url, headers=caller).json() == {
        "codigoRespuesta": "PAID", "detalleRespuesta": "paid by the payer", "data": {
            "numeroReferencia": reference, "monto": 100.5, "moneda": "USD", "reversa": False,
            "montoConversion": 699.48, "monedaConversion": "BOB", "tipoCambio": 6.96,
            "fechaSolicitud": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(created))}}
    refused = httpx.get(url, headers={**caller, "Authorization": "Bearer stolen"})  # mismatched
    assert (refused.status_code, refused.json()) == (401, {"error": "invalid_token",
        "error_description": "the access token is missing, unknown or inconsistent"})


@pytest.mark.parametrize("act, error, code", [  # act(generate, client, base URL, a paid reference)
    (lambda gen, c, url, ref: gen("pix", reference=ref), ApiError, "GQ-409"),
    (lambda gen, c, url, ref: c.binance.verify(ref), ApiError, "GQ-404"),
    (lambda gen, c, url, ref: c.pix.cancel(ref), ApiError, "GQ-410"),
    (lambda gen, c, url, ref: Client("stranger", base_url=url, token=DEFAULT_TOKEN).pix.verify(ref),
     AuthenticationError, "unknown client_id"),
])
def test_refusals_carry_the_gateway_markers(quorvex_sandbox, sandbox_client, generate, act, error,
                                            code):
    reference = generate("pix").reference
    quorvex_sandbox.pay("pix", reference)
    with pytest.raises(error) as refused:
        act(generate, sandbox_client, quorvex_sandbox.base_url, reference)
    assert code in (refused.value.errors[0].code if error is ApiError else str(refused.value))


def test_concurrent_generations_are_all_kept(quorvex_sandbox, generate):
    with ThreadPoolExecutor(8) as pool:
        made = list(pool.map(lambda _: generate("crypto").reference, range(50)))
    assert sorted(made) == sorted(p.reference for p in quorvex_sandbox.ledger.all())
    assert len(set(made)) == 50
