#pragma once
// The gateway reports failure in several overlapping ways: by HTTP status, by
// "error": true, by "success": false, or by a "codigoRespuesta" of "error" in any
// letter case, and it puts the useful text in different members. The envelope is
// the one place that reads a response and yields either the payload record an
// operation expects or exactly one error.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/http.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo {

namespace envelope {

inline constexpr std::size_t preview_chars = 200;
inline constexpr std::string_view empty_body_message = "empty response body";

// 408, 429 and every status from 500 up may succeed when sent again.
bool retryable_status(std::uint16_t status);

// The first member among `keys` that is a string not blank once trimmed, trimmed.
std::optional<std::string> text_field(const json::Value& value,
                                      std::initializer_list<std::string_view> keys);
// The trimmed body cut to its first 200 characters, or "empty response body".
std::string preview(std::string_view body);
// "request failed with HTTP <status>"
std::string failed(const HttpResponse& response);
// The message of an authentication failure: a text member of the JSON body, else
// the preview.
std::string message_from_body(std::string_view body);
// The status gate and the JSON parse of the body.
Result<json::Value> json_body(const HttpResponse& response);
// The error of a body whose "error" is true.
Error gateway_error(const HttpResponse& response, const json::Value& body);
// Every failure marker of a parsed body, in order: "error" true, "success" false,
// "codigoRespuesta" "error"; the error it means, or nullopt when there is none.
std::optional<Error> marker_error(const HttpResponse& response, json::Value& body);
// The error of a body without marker whose status is not 2xx.
Error status_error(const HttpResponse& response, const json::Value& body);

// The members that may mark a failure.
inline constexpr std::string_view marker_names[] = {"error", "success", "codigoRespuesta"};

// Reads the common answer straight from its text into `out` (a value-initialised
// record), without parsing it first: valid JSON, without an "error" or "success"
// member, that has the shape of P and whose "codigoRespuesta", if any, is a text
// P holds (the last given) other than "error". Anything else is false, `out`
// unspecified, and takes the general path, which words it.
template <class P>
bool decode_plain(std::string_view body, P& out) {
  json::Cursor cursor(body, json::Repeats::last_counts);
  cursor.watch(marker_names);
  const bool read = !json::Reader<P>::read_to(cursor, out);
  if (!cursor.at_end() || !read || (cursor.watched() & 0b011) != 0) return false;
  if (cursor.watched() & 0b100) {
    if constexpr (requires { { out.codigo_respuesta } -> std::convertible_to<std::string_view>; }) {
      const std::string_view code = out.codigo_respuesta;
      return !(code.size() == 5 && text::ascii_iequals(code, "error"));
    } else {
      return false;
    }
  }
  return true;
}

// The whole body as the record P, or "unexpected payload shape: …". The body is
// one JSON value, which holds one member per name: of a repeated member the
// last one counts (`decode_plain` reads it the same way from the text).
template <class P>
Result<P> decode_payload(json::Value&& body, std::string_view source) {
  std::expected<P, std::string> out = json::decode_value<P>(std::move(body), source);
  if (!out) return std::unexpected(Error::decode("unexpected payload shape: " + out.error()));
  return std::move(*out);
}

}  // namespace envelope

// The body of a "success": false answer.
struct SuccessWire {
  std::optional<bool> success;
  std::optional<std::string> message;
  std::optional<json::Value> data;
  std::vector<ApiFieldError> errors;

  Error into_error(const HttpResponse& response) &&;
};

constexpr auto describe(std::type_identity<SuccessWire>) {
  return json::record<SuccessWire>(
      "SuccessWire", json::optional("success", &SuccessWire::success),
      json::optional("message", &SuccessWire::message),
      json::optional("data", &SuccessWire::data),
      json::optional("errors", &SuccessWire::errors));
}

// The envelope of every FX gateway operation.
struct CodigoRespuesta {
  // Reads `response` into `out`, a value-initialised record, or yields the one
  // error it means (`out` is then unspecified).
  template <class P>
  static std::optional<Error> open(HttpResponse&& response, P& out) {
    if (response.is_success() && envelope::decode_plain(response.body, out)) return std::nullopt;
    return open_parsed(std::move(response), out);
  }

  // The general path, which the fast one must agree with on every answer it
  // takes: the body parsed, then the markers, the status and the payload shape.
  template <class P>
  static std::optional<Error> open_parsed(HttpResponse&& response, P& out) {
    Result<json::Value> body = envelope::json_body(response);
    if (!body) return std::move(body.error());
    if (std::optional<Error> marked = envelope::marker_error(response, *body)) return marked;
    if (!response.is_success()) return envelope::status_error(response, *body);
    Result<P> decoded = envelope::decode_payload<P>(std::move(*body), response.body);
    if (!decoded) return std::move(decoded.error());
    out = std::move(*decoded);
    return std::nullopt;
  }
};

}  // namespace quorvex_bo
