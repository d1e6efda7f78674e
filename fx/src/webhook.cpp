#include "quorvex_bo/fx/webhook.hpp"

#include <utility>

#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo::fx {

namespace {

// The text of a string member, or the literal of a number member, as a view.
std::optional<std::string_view> text_of(const json::Value* member) {
  if (!member) return std::nullopt;
  if (const std::string* text = member->as_string()) return std::string_view(*text);
  if (const json::Number* number = member->as_number()) return std::string_view(number->text);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> first_text(const json::Value& body,
                                      std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    // A number's literal text has no white space to trim and is never blank.
    const std::optional<std::string_view> text = text_of(body.find(name));
    if (!text) continue;
    if (const std::string_view trimmed = text::trim(*text); !trimmed.empty())
      return std::string(trimmed);
  }
  return std::nullopt;
}

std::optional<Amount> notification_amount(const json::Value& body) {
  for (std::string_view name : {"monto", "importe"}) {
    // The text as received (a string is not trimmed here); unreadable is skipped.
    const std::optional<std::string_view> text = text_of(body.find(name));
    if (!text) continue;
    if (std::expected<Amount, std::string> read = amount::parse_text(*text)) return *read;
  }
  return std::nullopt;
}

PaymentStatus notification_status(std::optional<std::string_view> raw) {
  if (!raw) return PaymentStatus::unknown;
  if (text::trim(*raw) == "00") return PaymentStatus::paid;
  PaymentStatus english = EnglishCodes::map(*raw);
  if (english != PaymentStatus::unknown) return english;
  return SpanishQr::map(*raw);
}

Result<FxNotification> ParseFxWebhook::handle(WebhookCall&& call) {
  if (Result<void> authenticated = call.authenticate(); !authenticated)
    return std::unexpected(std::move(authenticated.error()));
  std::expected<json::Value, std::string> body = json::parse(call.body);
  if (!body) return std::unexpected(Error::decode("invalid webhook payload: " + body.error()));

  FxNotification out;
  out.raw_status = first_text(*body, {"codigoRespuesta", "estado"});
  out.amount = notification_amount(*body);
  out.reference = first_text(*body, {"numeroReferencia"});
  out.status = notification_status(out.raw_status);
  out.currency = first_text(*body, {"moneda"});
  out.payload = std::move(*body);
  return out;
}

Result<BinanceNotification> ParseBinanceWebhook::handle(WebhookCall&& call) {
  if (Result<void> authenticated = call.authenticate(); !authenticated)
    return std::unexpected(std::move(authenticated.error()));
  std::expected<BinanceWire, std::string> notice = json::decode<BinanceWire>(call.body);
  if (!notice)
    return std::unexpected(Error::decode("invalid Binance webhook payload: " + notice.error()));

  std::optional<std::string> reference = wire::non_empty(notice->numero_referencia);
  if (!reference)
    return std::unexpected(Error::decode("Binance webhook has no `numeroReferencia`"));

  BinanceNotification out;
  out.status = notification_status(notice->estado);
  out.raw_status = std::move(notice->estado);
  if (std::optional<BinanceTransaction>& transaction = notice->transacciones) {
    out.amount = std::move(transaction->monto);
    out.currency = wire::non_empty(transaction->moneda);
    out.transaction_at = wire::non_empty(transaction->fecha_hora_transaccion);
    if (std::optional<BinanceClient>& client = transaction->cliente) {
      out.payer_name = wire::non_empty(client->nombre_cliente);
      out.payer_document_id = wire::non_empty(client->ci_cliente);
    }
  }
  out.reference = std::move(*reference);
  return out;
}

}  // namespace quorvex_bo::fx
