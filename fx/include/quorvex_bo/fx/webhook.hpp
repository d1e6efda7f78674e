#pragma once
// The two webhook operations: FX notifications read leniently, Binance
// notifications read strictly and acknowledged.

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

// The members of an FX notification its result takes, each a string as it
// stands or a number's literal text; a member of any other kind, or absent, is
// none. Only an object has members: any other body has none.
struct FxNoticeWire {
  std::optional<std::string> codigo_respuesta;
  std::optional<std::string> estado;
  std::optional<std::string> monto;
  std::optional<std::string> importe;
  std::optional<std::string> numero_referencia;
  std::optional<std::string> moneda;
};
constexpr auto describe(std::type_identity<FxNoticeWire>) {
  return json::record<FxNoticeWire>(
      "FxNoticeWire",
      json::optional("codigoRespuesta", &FxNoticeWire::codigo_respuesta, wire::opt_text_reader),
      json::optional("estado", &FxNoticeWire::estado, wire::opt_text_reader),
      json::optional("monto", &FxNoticeWire::monto, wire::opt_text_reader),
      json::optional("importe", &FxNoticeWire::importe, wire::opt_text_reader),
      json::optional("numeroReferencia", &FxNoticeWire::numero_referencia, wire::opt_text_reader),
      json::optional("moneda", &FxNoticeWire::moneda, wire::opt_text_reader));
}
// The same members as views, into the wire record or into the notification's
// text, for the result to take what it keeps from.
struct FxNoticeTexts {
  std::optional<std::string_view> codigo_respuesta;
  std::optional<std::string_view> estado;
  std::optional<std::string_view> monto;
  std::optional<std::string_view> importe;
  std::optional<std::string_view> numero_referencia;
  std::optional<std::string_view> moneda;
};
// "monto", then "importe", each as it stands: plain, then scientific when the
// text holds e/E; one that is not an amount is passed over. Never an error.
std::optional<Amount> notification_amount(const FxNoticeTexts& notice);
// "00" (trimmed) is paid; otherwise English words, then Spanish ones.
PaymentStatus notification_status(std::optional<std::string_view> raw);

struct ParseFxWebhook {
  static constexpr std::string_view name = "fx.webhook.parse";
  using Output = FxNotification;
  static Result<FxNotification> handle(WebhookCall&& call);

  // The two readings of an authenticated body, which agree on every body the
  // first takes: straight from the text of a flat object (nullopt for any other
  // body), and through the parsed value (the error of an invalid one).
  static std::optional<FxNotification> read_flat(std::string_view body);
  static Result<FxNotification> read_parsed(std::string_view body);
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
