"""The training run of a profile-guided build: merchant traffic through `call` of the
module at the given path, built to record where its time goes.

    python scripts/profile_train.py path/to/_native.abi3.so

Every operation is built and its answers parsed, with varied references, amounts,
texts (escapes and non-ASCII included), spacing and member order. About one call in
eight meets a failure (a refused input, an error answer, a wrong webhook secret), so
the profile also knows those paths, as a merchant's traffic has them. The run is
seeded: the same module always gets the same traffic.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import json
import random
import sys
from collections.abc import Callable
from types import ModuleType

ROUNDS = 400
HOOK = {"url": "https://shop.example/hook", "key": "X-Hook", "value": "s3cret"}
WORDS = ["Pago", "Centro", "Ventas", "pedido", "número", "línea \"2\"", "São Paulo",
         "cliente\n", "a/b", "Ñandú", "100%", "tienda_7"]


def load(path: str) -> ModuleType:
    loader = importlib.machinery.ExtensionFileLoader("quorvex_bo.fx._native", path)
    found = importlib.util.spec_from_file_location("quorvex_bo.fx._native", path, loader=loader)
    assert found is not None
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


class Traffic:
    def __init__(self, rng: random.Random) -> None:
        self.rng = rng

    def dumps(self, value: object) -> str:
        # Compact most of the time, as gateways and the host write it; sometimes spaced.
        if self.rng.random() < 0.8:
            return json.dumps(value, separators=(",", ":"), ensure_ascii=False)
        return json.dumps(value, indent=self.rng.choice([None, 1]), ensure_ascii=self.rng.random() < 0.5)

    def digits(self, low: int = 1, high: int = 12) -> str:
        return "".join(self.rng.choice("0123456789") for _ in range(self.rng.randint(low, high)))

    def text(self) -> str:
        return " ".join(self.rng.sample(WORDS, self.rng.randint(1, 4)))

    def amount(self) -> str:
        return f"{self.rng.randint(1, 99999)}.{self.rng.randint(0, 99):02d}"

    def config(self) -> dict[str, object]:
        return {"client_id": "client-" + self.digits(1, 4), "environment": "sandbox"}

    def token(self) -> dict[str, object]:
        return {"access_token": "tok" + self.digits(), "token_type": "Bearer",
                "expires_at": 1893456000}

    def shuffled(self, record: dict[str, object]) -> dict[str, object]:
        items = list(record.items())
        if self.rng.random() < 0.3:
            self.rng.shuffle(items)
        return dict(items)

    def glosa(self) -> str:
        return "|".join(self.rng.choice(WORDS[:4]) for _ in range(4))

    def generation_input(self, op: str) -> dict[str, object]:
        record: dict[str, object] = {"reference": self.digits(), "glosa": self.glosa(),
                                     "amount": self.amount(), "webhook": HOOK}
        if op == "pix":
            record.update(payer_cpf=self.digits(11, 11), payer_phone="+55" + self.digits(11, 11),
                          payer_email="ana@example.com", expires_in=self.rng.randint(60, 86399))
        elif op == "crypto":
            record.update(asset=self.rng.choice(["usdc", "usdt"]), channel="app",
                          expires_in=self.rng.randint(60, 900))
        else:
            record.update(expires_in=self.rng.randint(60, 900), extra=self.text())
        if self.rng.random() < 0.1:
            record["reference"] = "12/3"  # refused
        return self.shuffled(record)

    def generated_answer(self) -> tuple[int, str]:
        if self.rng.random() < 0.1:
            return self.rng.choice([(503, "Service Unavailable"),
                                    (200, self.dumps({"codigoRespuesta": "ERROR",
                                                      "detalleRespuesta": "Monto invalido"})),
                                    (200, self.dumps({"error": True, "message": "fallo"}))])
        # Images of a few kilobytes: a longer one only lengthens one copying loop,
        # which would then outweigh, in the counts, everything else a call does.
        image = "iVBORw0KGgo" + "A" * self.rng.choice([64, 900, 4000])
        return 200, self.dumps(self.shuffled({
            "codigoRespuesta": "SUCCESS", "detalleRespuesta": self.text(),
            "numeroReferencia": self.digits(), "monto": float(self.amount()), "moneda": "BOB",
            "montoConversion": self.amount(), "monedaConversion": "usd", "tipoCambio": "6.96",
            "qrExpiracion": "2026-12-06", "imagen": image}))

    def status_answer(self) -> tuple[int, str]:
        if self.rng.random() < 0.1:
            return self.rng.choice([(401, self.dumps({"error_description": "Expirado"})),
                                    (500, ""), (200, self.dumps({"success": False,
                                                                 "message": "no encontrado"}))])
        data = {"numeroReferencia": self.digits(), "monto": self.amount(), "moneda": "BOB",
                "montoConversion": self.amount(), "monedaConversion": "usd",
                "tipoCambio": "6.96", "reversa": False,
                "fechaSolicitud": "2026-12-06T10:%02d:00" % self.rng.randint(0, 59)}
        return 200, self.dumps(self.shuffled({
            "codigoRespuesta": self.rng.choice(["PAID", "PENDING", "EXPIRED", "CANCELLED"]),
            "detalleRespuesta": self.text(), "data": self.shuffled(data)}))

    def webhook(self, body: object) -> str:
        secret = "s3cret" if self.rng.random() < 0.9 else "wrong"
        headers = self.shuffled({"X-Hook": secret, "Content-Type": "application/json",
                                 "User-Agent": "gateway/1.0"})
        return self.dumps({"headers": headers, "key": "x-hook", "value": "s3cret",
                           "body": self.dumps(body)})

    def fx_notice(self) -> dict[str, object]:
        return self.shuffled({"estado": self.rng.choice(["PAGADO", "PENDIENTE", "00"]),
                              "numeroReferencia": int(self.digits(1, 9)),
                              "importe": self.amount(), "moneda": self.rng.choice(["BOB", "usd"])})

    def binance_notice(self) -> dict[str, object]:
        return {"numeroReferencia": self.digits(), "estado": "SUCCESS", "transacciones": {
            "monto": self.amount(), "moneda": "USD", "fechaHoraTransaccion": "2026-12-06T10:00:00",
            "cliente": {"nombreCliente": self.text(), "ciCliente": self.digits()}}}


def main() -> None:
    native = load(sys.argv[1])
    call: Callable[[str, str], str] = native.call
    traffic = Traffic(random.Random(20261207))
    call("describe", "")
    call("version", "")
    for _ in range(ROUNDS):
        for op in ("pix", "crypto", "binance"):
            generation = traffic.generation_input(op)
            call(op + ".generate.build", traffic.dumps(
                {"config": traffic.config(), "token": traffic.token(), "input": generation}))
            status, body = traffic.generated_answer()
            call(op + ".generate.parse", traffic.dumps(
                {"input": generation, "response": {"status": status, "body": body}}))
        for op in ("pix.verify", "pix.cancel", "crypto.verify", "binance.verify"):
            reference = {"reference": traffic.digits()}
            call(op + ".build", traffic.dumps(
                {"config": traffic.config(), "token": traffic.token(), "input": reference}))
            status, body = traffic.status_answer()
            call(op + ".parse", traffic.dumps(
                {"input": reference, "response": {"status": status, "body": body}}))
        call("fx.webhook.parse", traffic.webhook(traffic.fx_notice()))
        call("binance.webhook.parse", traffic.webhook(traffic.binance_notice()))


if __name__ == "__main__":
    main()
