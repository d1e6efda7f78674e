#include "quorvex_bo/fx/webhook.hpp"

#include <array>
#include <initializer_list>
#include <utility>

#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo::fx {

namespace {

// The text trimmed, or nullopt when it is blank.
std::optional<std::string_view> non_blank(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  const std::string_view trimmed = text::trim(*text);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

std::optional<std::string> owned(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  return text::owned(*text);
}

std::optional<std::string_view> view(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

}  // namespace

std::optional<Amount> notification_amount(const FxNoticeTexts& notice) {
  for (const std::optional<std::string_view>* text : {&notice.monto, &notice.importe}) {
    if (!*text) continue;
    if (std::expected<Amount, std::string> read = amount::parse_text(**text)) return *read;
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

namespace {

FxNotification notification(const FxNoticeTexts& notice, json::CompactText&& payload) {
  FxNotification out;
  out.amount = notification_amount(notice);
  // The first of the two that is not blank, trimmed.
  std::optional<std::string_view> raw_status = non_blank(notice.codigo_respuesta);
  if (!raw_status) raw_status = non_blank(notice.estado);
  out.raw_status = owned(raw_status);
  out.reference = owned(non_blank(notice.numero_referencia));
  out.status = notification_status(raw_status);
  out.currency = owned(non_blank(notice.moneda));
  out.payload = std::move(payload);
  return out;
}

}  // namespace

std::optional<FxNotification> ParseFxWebhook::read_flat(std::string_view body) {
  json::FlatObject object;
  if (!object.read(body)) return std::nullopt;
  // Only a string with escapes needs its own storage for what it stands for.
  std::array<std::string, 6> unescaped;
  const FxNoticeTexts notice{object.text_of("codigoRespuesta", unescaped[0]),
                             object.text_of("estado", unescaped[1]),
                             object.text_of("monto", unescaped[2]),
                             object.text_of("importe", unescaped[3]),
                             object.text_of("numeroReferencia", unescaped[4]),
                             object.text_of("moneda", unescaped[5])};
  return notification(notice, json::CompactText{object.write()});
}

Result<FxNotification> ParseFxWebhook::read_parsed(std::string_view body) {
  std::expected<json::Value, std::string> value = json::parse(body);
  if (!value) return std::unexpected(Error::decode("invalid webhook payload: " + value.error()));
  json::CompactText payload{json::write(*value)};
  FxNoticeWire notice;
  // Only an object has members (an array would be read by position).
  if (value->as_object())
    if (auto read = json::decode_value<FxNoticeWire>(std::move(*value), body))
      notice = std::move(*read);
  const FxNoticeTexts texts{view(notice.codigo_respuesta), view(notice.estado),
                            view(notice.monto),            view(notice.importe),
                            view(notice.numero_referencia), view(notice.moneda)};
  return notification(texts, std::move(payload));
}

Result<FxNotification> ParseFxWebhook::handle(WebhookCall&& call) {
  if (Result<void> authenticated = call.authenticate(); !authenticated)
    return std::unexpected(std::move(authenticated.error()));
  // The usual notification, one flat object, is read from its text.
  if (std::optional<FxNotification> flat = read_flat(call.body)) return std::move(*flat);
  return read_parsed(call.body);
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
