#include "quorvex_bo/core/envelope.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo {

namespace envelope {

namespace {

constexpr std::string_view code_separator = " - ";
constexpr std::string_view gateway_code_prefix = "GQ-";
constexpr std::string_view default_gateway_code = "ERROR";

// Markers count only with their JSON type: "error": "true" or "success": 0 mean nothing.
bool member_is(const json::Value& body, std::string_view key, bool expected) {
  const json::Value* member = body.find(key);
  if (!member) return false;
  const bool* flag = member->as_bool();
  return flag && *flag == expected;
}

// The text found, or "request failed with HTTP <status>" made only when needed.
std::string or_failed(std::optional<std::string>&& found, const HttpResponse& response) {
  return found ? std::move(*found) : failed(response);
}

// "codigoRespuesta" holding exactly the five bytes of "error" in any letter case.
bool has_error_code(const json::Value& body) {
  const json::Value* member = body.find("codigoRespuesta");
  if (!member) return false;
  const std::string* code = member->as_string();
  return code && code->size() == 5 && text::ascii_iequals(*code, "error");
}

// The "GQ-…" code after the last " - " of a detail, or "ERROR".
std::string gateway_code(std::string_view detail) {
  std::size_t at = detail.rfind(code_separator);
  if (at != std::string_view::npos) {
    std::string_view tail = text::trim(detail.substr(at + code_separator.size()));
    if (tail.starts_with(gateway_code_prefix)) return std::string(tail);
  }
  return std::string(default_gateway_code);
}

// The error of a body whose "codigoRespuesta" is "error".
Error codigo_error(const HttpResponse& response, const json::Value& body) {
  std::string detail = or_failed(text_field(body, {"detalleRespuesta", "message"}), response);
  std::string code = gateway_code(detail);
  std::vector<ApiFieldError> errors;
  errors.push_back(ApiFieldError{std::nullopt, detail, std::move(code)});
  return Error::api(response.status, std::move(detail), std::move(errors), false);
}

}  // namespace

bool retryable_status(std::uint16_t status) {
  return status == 408 || status == 429 || status >= 500;
}

std::optional<std::string> text_field(const json::Value& value,
                                      std::initializer_list<std::string_view> keys) {
  for (std::string_view key : keys) {
    const json::Value* member = value.find(key);
    if (!member) continue;
    const std::string* text = member->as_string();
    if (!text) continue;
    std::string_view trimmed = text::trim(*text);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return std::nullopt;
}

std::string preview(std::string_view body) {
  std::string_view trimmed = text::trim(body);
  if (trimmed.empty()) return std::string(empty_body_message);
  return std::string(text::first_chars(trimmed, preview_chars));
}

std::string failed(const HttpResponse& response) {
  return "request failed with HTTP " + std::to_string(response.status);
}

std::string message_from_body(std::string_view body) {
  if (std::expected<json::Value, std::string> parsed = json::parse(body)) {
    if (std::optional<std::string> message =
            text_field(*parsed, {"error_description", "message", "error"}))
      return std::move(*message);
  }
  return preview(body);
}

Result<json::Value> json_body(const HttpResponse& response) {
  // Authentication failures are decided by status alone; the body only lends its text.
  if (response.status == 401 || response.status == 403)
    return std::unexpected(
        Error::authentication(response.status, message_from_body(response.body)));

  std::expected<json::Value, std::string> parsed = json::parse(response.body);
  if (parsed) return std::move(*parsed);
  if (response.is_success())
    return std::unexpected(Error::decode("invalid JSON body: " + parsed.error()));
  return std::unexpected(
      Error::api(response.status, preview(response.body), {}, retryable_status(response.status)));
}

Error gateway_error(const HttpResponse& response, const json::Value& body) {
  std::optional<std::string> code = text_field(body, {"code"});
  std::string message = or_failed(text_field(body, {"message"}), response);

  std::vector<ApiFieldError> errors;
  if (const json::Value* data = body.find("data")) {
    if (const json::Array* items = data->as_array()) {
      for (const json::Value& item : *items)
        if (const std::string* text = item.as_string())
          errors.push_back(ApiFieldError{std::nullopt, *text, code});
    }
  }
  if (errors.empty()) errors.push_back(ApiFieldError{std::nullopt, message, std::move(code)});
  return Error::api(response.status, std::move(message), std::move(errors), false);
}

std::optional<Error> marker_error(const HttpResponse& response, json::Value& body) {
  if (member_is(body, "error", true)) return gateway_error(response, body);
  if (member_is(body, "success", false)) {
    Result<SuccessWire> wire = decode_payload<SuccessWire>(std::move(body), response.body);
    if (!wire) return std::move(wire.error());
    return std::move(*wire).into_error(response);
  }
  if (has_error_code(body)) return codigo_error(response, body);
  return std::nullopt;
}

Error status_error(const HttpResponse& response, const json::Value& body) {
  return Error::api(response.status,
                    or_failed(text_field(body, {"detalleRespuesta", "message"}), response), {},
                    retryable_status(response.status));
}

}  // namespace envelope

Error SuccessWire::into_error(const HttpResponse& response) && {
  std::string text = message ? std::move(*message) : envelope::failed(response);
  return Error::api(response.status, std::move(text), std::move(errors), false);
}

}  // namespace quorvex_bo
