#pragma once
// The gateway's answers as decoded from their JSON bodies, and their conversion
// into the result records.

#include <optional>
#include <string>
#include <string_view>

#include "quorvex_bo/core/amount.hpp"
#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/fx/model.hpp"

namespace quorvex_bo::fx {

namespace wire {

// A string as is, a number's literal text; null, booleans, lists and objects
// give none. Never fails. The one reading of "text" in gateway answers and
// notifications; `opt_text_reader` is its record reader.
std::optional<std::string> opt_text(const json::Value& value);
json::Decoded<std::optional<std::string>> read_opt_text(json::Value&& value);
std::optional<json::DecodeError> read_opt_text(json::Cursor& cursor,
                                               std::optional<std::string>& out);
inline constexpr json::CustomReader<std::optional<std::string>> opt_text_reader{&read_opt_text,
                                                                                &read_opt_text};
// Trimmed in place; blank becomes none. Returns `text`, to be moved from.
std::optional<std::string>&& non_empty(std::optional<std::string>& text);
// "image/png", "image/jpeg" or "application/octet-stream" from the Base64 start.
std::string_view image_mime(std::string_view image_base64);

}  // namespace wire

// The answer to the generate operations.
struct Generated {
  std::string codigo_respuesta;
  std::optional<std::string> detalle_respuesta;
  std::optional<std::string> numero_referencia;
  std::optional<std::string> origen_numero_referencia;
  std::optional<Amount> monto;
  std::optional<std::string> moneda;
  std::optional<std::string> imagen;
  std::optional<Amount> monto_conversion;
  std::optional<std::string> moneda_conversion;
  std::optional<Amount> tipo_cambio;
  std::optional<std::string> qr_expiracion;

  // Fills `out` (a value-initialised record), or fails with "generation response
  // has no `…`" for a missing reference, image or amount, in that order.
  std::optional<Error> into_qr(FxQr& out) &&;
};
constexpr auto describe(std::type_identity<Generated>) {
  return json::record<Generated>(
      "Generated", json::required("codigoRespuesta", &Generated::codigo_respuesta),
      json::optional("detalleRespuesta", &Generated::detalle_respuesta),
      json::optional("numeroReferencia", &Generated::numero_referencia, wire::opt_text_reader),
      json::optional("origenNumeroReferencia", &Generated::origen_numero_referencia,
                     wire::opt_text_reader),
      json::optional("monto", &Generated::monto, amount::optional_reader),
      json::optional("moneda", &Generated::moneda),
      json::optional("imagen", &Generated::imagen),
      json::optional("montoConversion", &Generated::monto_conversion, amount::optional_reader),
      json::optional("monedaConversion", &Generated::moneda_conversion),
      json::optional("tipoCambio", &Generated::tipo_cambio, amount::optional_reader),
      json::optional("qrExpiracion", &Generated::qr_expiracion));
}

struct StatusData {
  std::optional<std::string> numero_referencia;
  std::optional<Amount> monto;
  std::optional<std::string> moneda;
  std::optional<Amount> monto_conversion;
  std::optional<std::string> moneda_conversion;
  std::optional<Amount> tipo_cambio;
  std::optional<json::Value> reversa;
  std::optional<std::string> fecha_solicitud;
};
constexpr auto describe(std::type_identity<StatusData>) {
  return json::record<StatusData>(
      "StatusData",
      json::optional("numeroReferencia", &StatusData::numero_referencia, wire::opt_text_reader),
      json::optional("monto", &StatusData::monto, amount::optional_reader),
      json::optional("moneda", &StatusData::moneda),
      json::optional("montoConversion", &StatusData::monto_conversion, amount::optional_reader),
      json::optional("monedaConversion", &StatusData::moneda_conversion),
      json::optional("tipoCambio", &StatusData::tipo_cambio, amount::optional_reader),
      json::optional("reversa", &StatusData::reversa),
      json::optional("fechaSolicitud", &StatusData::fecha_solicitud));
}

// The answer to the verify and cancel operations.
struct Status {
  std::string codigo_respuesta;
  std::optional<std::string> detalle_respuesta;
  std::optional<StatusData> data;

  // Fills `out` (a value-initialised record); never fails. `reference` is the
  // request's, used when the answer has none.
  void into_info(std::string&& reference, FxStatusInfo& out) &&;
};
constexpr auto describe(std::type_identity<Status>) {
  return json::record<Status>("Status", json::required("codigoRespuesta", &Status::codigo_respuesta),
                              json::optional("detalleRespuesta", &Status::detalle_respuesta),
                              json::optional("data", &Status::data));
}

}  // namespace quorvex_bo::fx
