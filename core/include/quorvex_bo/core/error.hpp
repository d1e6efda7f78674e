#pragma once
// The one failure record of the system, and the item of its error lists.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex_bo/core/json.hpp"

namespace quorvex_bo {

// One item of an error list reported by the gateway.
struct ApiFieldError {
  std::optional<std::string> field;
  std::string message;
  std::optional<std::string> code;

  bool operator==(const ApiFieldError&) const = default;
};

constexpr auto describe(std::type_identity<ApiFieldError>) {
  return json::record<ApiFieldError>("ApiFieldError",
                                     json::optional("field", &ApiFieldError::field),
                                     json::required("message", &ApiFieldError::message),
                                     json::optional("code", &ApiFieldError::code));
}

enum class ErrorKind : std::uint8_t {
  validation,
  authentication,
  api,
  ambiguous,
  decode,
  webhook_auth,
  ffi,
};

constexpr auto describe(std::type_identity<ErrorKind>) {
  return json::enumeration<ErrorKind>("ErrorKind", "validation", "authentication", "api",
                                      "ambiguous", "decode", "webhook_auth", "ffi");
}

// The JSON name of a kind ("validation", "webhook_auth", ...).
std::string_view kind_name(ErrorKind kind);

// A tagged record: `kind` says which of the other fields belong to it.
//   validation      field, message
//   authentication  status, message
//   api             status, message, errors, retryable
//   ambiguous       message, errors
//   decode, webhook_auth, ffi   message
struct Error {
  ErrorKind kind = ErrorKind::ffi;
  std::string field;
  std::string message;
  std::uint16_t status = 0;
  std::vector<ApiFieldError> errors;
  bool retryable = false;

  static Error validation(std::string_view field, std::string_view message);
  static Error authentication(std::uint16_t status, std::string message);
  static Error api(std::uint16_t status, std::string message, std::vector<ApiFieldError> errors,
                   bool retryable);
  static Error ambiguous(std::string message, std::vector<ApiFieldError> errors);
  static Error decode(std::string message);
  static Error webhook_auth(std::string message);
  static Error ffi(std::string message);

  // Only an "api" error flagged by its raiser may succeed when sent again.
  bool is_retryable() const { return kind == ErrorKind::api && retryable; }

  bool operator==(const Error&) const = default;
};

// Always the three members "code", "field", "message"; null for an absent one.
void write_json(std::string& out, const ApiFieldError& item);
// "kind" and the kind's own members, never null, never omitted; in a call
// result also "retryable", whatever the kind.
void write_json(std::string& out, const Error& error, bool in_call_result = false);

template <class T>
using Result = std::expected<T, Error>;

}  // namespace quorvex_bo
