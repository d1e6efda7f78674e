#pragma once
// The two webhook operations: FX notifications read leniently, Binance
// notifications read strictly and acknowledged.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "quorvex_bo/core/amount.hpp"
#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/core/status.hpp"
#include "quorvex_bo/core/webhook.hpp"
#include "quorvex_bo/fx/model.hpp"
#include "quorvex_bo/fx/wire.hpp"

namespace quorvex_bo::fx {

// The first of `names` in the top-level object that is a number (its literal
// text) or a string not blank once trimmed (trimmed).
std::optional<std::string> first_text(const json::Value& body,
                                      std::initializer_list<std::string_view> names);
// "monto", then "importe": plain, then scientific when the text holds e/E.
// Never an error.
std::optional<Amount> notification_amount(const json::Value& body);
// "00" (trimmed) is paid; otherwise English words, then Spanish ones.
PaymentStatus notification_status(std::optional<std::string_view> raw);

struct ParseFxWebhook {
  static constexpr std::string_view name = "fx.webhook.parse";
  using Output = FxNotification;
  static Result<FxNotification> handle(WebhookCall&& call);
};

struct BinanceClient {
  std::optional<std::string> nombre_cliente;
  std::optional<std::string> ci_cliente;
};
constexpr auto describe(std::type_identity<BinanceClient>) {
  return json::record<BinanceClient>(
      "BinanceClient", json::optional("nombreCliente", &BinanceClient::nombre_cliente),
      json::optional("ciCliente", &BinanceClient::ci_cliente));
}

struct BinanceTransaction {
  std::optional<Amount> monto;
  std::optional<std::string> moneda;
  std::optional<std::string> fecha_hora_transaccion;
  std::optional<BinanceClient> cliente;
};
constexpr auto describe(std::type_identity<BinanceTransaction>) {
  return json::record<BinanceTransaction>(
      "BinanceTransaction",
      json::optional("monto", &BinanceTransaction::monto, amount::optional_reader),
      json::optional("moneda", &BinanceTransaction::moneda),
      json::optional("fechaHoraTransaccion", &BinanceTransaction::fecha_hora_transaccion),
      json::optional("cliente", &BinanceTransaction::cliente));
}

struct BinanceWire {
  std::optional<std::string> numero_referencia;
  std::string estado;
  std::optional<BinanceTransaction> transacciones;
};
constexpr auto describe(std::type_identity<BinanceWire>) {
  return json::record<BinanceWire>(
      "BinanceWire",
      // must be present, but null or a non-text value is refused later, not here
      json::required("numeroReferencia", &BinanceWire::numero_referencia, wire::opt_text_reader),
      json::required("estado", &BinanceWire::estado),
      json::optional("transacciones", &BinanceWire::transacciones));
}

struct ParseBinanceWebhook {
  static constexpr std::string_view name = "binance.webhook.parse";
  using Output = BinanceNotification;
  static Result<BinanceNotification> handle(WebhookCall&& call);
};

}  // namespace quorvex_bo::fx
