#include "quorvex_bo/fx/wire.hpp"

#include <utility>

#include "quorvex_bo/core/status.hpp"
#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo::fx {

namespace wire {

std::optional<std::string> opt_text(const json::Value& value) {
  if (const std::string* text = value.as_string()) return *text;
  if (const json::Number* number = value.as_number()) return number->text;
  return std::nullopt;
}

json::Decoded<std::optional<std::string>> read_opt_text(json::Value&& value) {
  return opt_text(value);
}

std::optional<json::DecodeError> read_opt_text(json::Cursor& cursor,
                                               std::optional<std::string>& out) {
  switch (cursor.peek()) {
    case json::Cursor::Next::string:
      if (!out) out.emplace();
      cursor.string_to(*out);
      break;
    case json::Cursor::Next::number: out = cursor.number(); break;
    default: cursor.skip(); out.reset(); break;
  }
  return std::nullopt;
}

std::optional<std::string>&& non_empty(std::optional<std::string>& text) {
  if (!text) return std::move(text);
  const std::string_view trimmed = text::trim(*text);
  if (trimmed.empty()) {
    text.reset();
  } else if (trimmed.size() != text->size()) {
    // Trim in place: an image can be megabytes long and is never copied here.
    const std::size_t start = static_cast<std::size_t>(trimmed.data() - text->data());
    const std::size_t length = trimmed.size();
    text->erase(start + length);
    text->erase(0, start);
  }
  return std::move(text);
}

std::string_view image_mime(std::string_view image_base64) {
  // The Base64 forms of the PNG signature and of the JPEG start-of-image marker.
  if (image_base64.starts_with("iVBOR")) return "image/png";
  if (image_base64.starts_with("/9j/")) return "image/jpeg";
  return "application/octet-stream";
}

}  // namespace wire

namespace {

// Trimmed and ASCII upper-cased in place; blank becomes none.
std::optional<std::string>&& currency_code(std::optional<std::string>& text) {
  if (wire::non_empty(text)) text::ascii_upper_in_place(*text);
  return std::move(text);
}

}  // namespace

std::optional<Error> Generated::into_qr(FxQr& out) && {
  if (!wire::non_empty(numero_referencia))
    return Error::decode("generation response has no `numeroReferencia`");
  if (!wire::non_empty(imagen)) return Error::decode("generation response has no `imagen`");
  if (!monto) return Error::decode("generation response has no `monto`");

  out.reference = std::move(*numero_referencia);
  out.merchant_reference = wire::non_empty(origen_numero_referencia);
  out.status = EnglishCodes::map(codigo_respuesta);
  out.raw_status = std::move(codigo_respuesta);
  out.detail = wire::non_empty(detalle_respuesta);
  out.amount = std::move(*monto);
  out.currency = wire::non_empty(moneda).value_or(std::string());
  out.converted_currency = currency_code(moneda_conversion);
  out.expires_at = wire::non_empty(qr_expiracion);
  out.converted_amount = std::move(monto_conversion);
  out.exchange_rate = std::move(tipo_cambio);
  out.image_mime = std::string(wire::image_mime(*imagen));
  out.image_base64 = std::move(*imagen);
  return std::nullopt;
}

void Status::into_info(std::string&& reference, FxStatusInfo& out) && {
  out.status = EnglishCodes::map(codigo_respuesta);
  out.raw_status = std::move(codigo_respuesta);
  out.detail = wire::non_empty(detalle_respuesta);
  if (data) {
    StatusData& d = *data;
    out.reference = wire::non_empty(d.numero_referencia).value_or(std::move(reference));
    out.currency = wire::non_empty(d.moneda);
    out.converted_currency = currency_code(d.moneda_conversion);
    out.requested_at = wire::non_empty(d.fecha_solicitud);
    out.amount = std::move(d.monto);
    out.converted_amount = std::move(d.monto_conversion);
    out.exchange_rate = std::move(d.tipo_cambio);
    out.reversal = std::move(d.reversa);  // null was already read as none
  } else {
    out.reference = std::move(reference);
  }
}

}  // namespace quorvex_bo::fx
