"""A walk through `quorvex_bo.fx`, one step per function.

Every step calls the native module with an operation name and a JSON payload and
prints the call result. Add a step by writing a `step_…` function and listing it
in STEPS.
"""

import json
from typing import Any, Callable

from quorvex_bo.fx import _native


def call(op: str, payload: Any = None) -> dict[str, Any]:
    """Runs one operation; `payload` is any JSON-serialisable value (None sends "")."""
    text = "" if payload is None else json.dumps(payload, ensure_ascii=False)
    return json.loads(_native.call(op, text))


def show(title: str, result: Any) -> None:
    print(f"== {title}")
    print(json.dumps(result, indent=2, ensure_ascii=False))
    print()


def step_version() -> None:
    """The core and protocol versions, and the module's constants."""
    show("version", call("version"))
    print(f"__version__ = {_native.__version__!r}, PROTOCOL_VERSION = {_native.PROTOCOL_VERSION}")
    print()


def step_describe() -> None:
    """The operation list: gateway operations (with stages) and webhook handlers."""
    show("describe", call("describe"))


CONFIG = {"client_id": "demo-client", "environment": "sandbox"}
TOKEN = {"access_token": "demo-token", "token_type": "Bearer", "expires_at": 1893456000}
WEBHOOK = {"url": "https://shop.example/quorvex", "key": "X-Quorvex-Hook", "value": "s3cret"}

PIX_INPUT = {
    "reference": "100200300",
    "glosa": " 001 | Centro | Ventas | Pago de servicio ",
    "amount": "100.50",
    "expires_in": 900,
    "payer_cpf": "12345678901",
    "payer_phone": "+5511999999999",
    "webhook": WEBHOOK,
}


def step_pix_generate() -> None:
    """Build a Pix QR request, then parse the gateway's generation answer."""
    request = call("pix.generate.build", {"config": CONFIG, "token": TOKEN, "input": PIX_INPUT})
    show("pix.generate.build", request)
    answer = {
        "codigoRespuesta": "SUCCESS",
        "detalleRespuesta": "QR generado",
        "numeroReferencia": "100200300",
        "monto": 100.50,
        "moneda": "BOB",
        "montoConversion": "14.44",
        "monedaConversion": "usd",
        "tipoCambio": "6.96",
        "imagen": "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA60e6kgAAAABJRU5ErkJggg==",
    }
    response = {"status": 200, "body": json.dumps(answer)}
    show("pix.generate.parse", call("pix.generate.parse", {"input": PIX_INPUT, "response": response}))


def step_generate_rules() -> None:
    """Input rules are checked before anything is sent; the first failure is reported."""
    crypto = {
        "reference": "77",
        "glosa": "001|Centro|Ventas|Pago",
        "amount": "20",
        "asset": "usdt",
        "expires_in": 300,
        "webhook": WEBHOOK,
    }
    show("crypto.generate.build (Bs 20)", call("crypto.generate.build", {"config": CONFIG, "token": TOKEN, "input": crypto}))
    crypto["currency"] = "USD"
    show("crypto.generate.build (USD 20)", call("crypto.generate.build", {"config": CONFIG, "token": TOKEN, "input": crypto}))
    binance = {"reference": "1234567890", "glosa": "001|Centro|Ventas|Pago", "amount": "1000.00", "webhook": WEBHOOK}
    show("binance.generate.build (no token)", call("binance.generate.build", {"config": CONFIG, "input": binance}))


def step_verify() -> None:
    """Build a status request, then parse a status answer and a gateway failure."""
    verify = {"reference": "00123"}
    show("pix.verify.build", call("pix.verify.build", {"config": CONFIG, "token": TOKEN, "input": verify}))
    answer = {
        "codigoRespuesta": "PAID",
        "detalleRespuesta": "Pago confirmado",
        "data": {"monto": "100.50", "moneda": "BOB", "reversa": False, "fechaSolicitud": "2026-12-06T10:00:00"},
    }
    response = {"status": 200, "body": json.dumps(answer)}
    show("pix.verify.parse", call("pix.verify.parse", {"input": verify, "response": response}))
    failure = {"codigoRespuesta": "ERROR", "detalleRespuesta": "Referencia no encontrada - GQ-404"}
    response = {"status": 200, "body": json.dumps(failure)}
    show("binance.verify.parse (gateway error)", call("binance.verify.parse", {"input": verify, "response": response}))
    response = {"status": 503, "body": "Service Unavailable"}
    show("crypto.verify.parse (503, retryable)", call("crypto.verify.parse", {"input": verify, "response": response}))


def step_webhooks() -> None:
    """Authenticate and parse an FX and a Binance notification."""
    headers = {"x-quorvex-hook": "s3cret", "Content-Type": "application/json"}
    fx_body = {"estado": "PAGADO", "numeroReferencia": 100200300, "importe": "100.50", "moneda": "BOB"}
    show("fx.webhook.parse", call("fx.webhook.parse", {"headers": headers, "body": json.dumps(fx_body), **_expected()}))
    binance_body = {
        "numeroReferencia": "1234567890",
        "estado": "PAGADO",
        "transacciones": {
            "monto": "1000.00",
            "moneda": "BOB",
            "fechaHoraTransaccion": "2026-12-06 10:05:00",
            "cliente": {"nombreCliente": "Ana Pérez", "ciCliente": "1234567"},
        },
    }
    show("binance.webhook.parse", call("binance.webhook.parse", {"headers": headers, "body": json.dumps(binance_body), **_expected()}))
    wrong = {"X-Quorvex-Hook": "guess"}
    show("fx.webhook.parse (wrong header)", call("fx.webhook.parse", {"headers": wrong, "body": "{", **_expected()}))


def _expected() -> dict[str, str]:
    return {"key": WEBHOOK["key"], "value": WEBHOOK["value"]}


STEPS: list[Callable[[], None]] = [
    step_version,
    step_describe,
    step_pix_generate,
    step_generate_rules,
    step_verify,
    step_webhooks,
]


def main() -> None:
    for step in STEPS:
        step()


if __name__ == "__main__":
    main()
