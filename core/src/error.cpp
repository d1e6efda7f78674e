#include "quorvex_bo/core/error.hpp"

namespace quorvex_bo {

namespace {

json::Value optional_text(const std::optional<std::string>& text) {
  return text ? json::Value(*text) : json::Value(nullptr);
}

json::Value integer(std::uint16_t n) { return json::Number{std::to_string(n)}; }

}  // namespace

json::Value ApiFieldError::to_json() const {
  json::Object out;
  out.insert_or_assign("code", optional_text(code));
  out.insert_or_assign("field", optional_text(field));
  out.insert_or_assign("message", message);
  return out;
}

std::string_view kind_name(ErrorKind kind) { return json::enum_text(kind); }

Error Error::validation(std::string_view field, std::string_view message) {
  Error e;
  e.kind = ErrorKind::validation;
  e.field = field;
  e.message = message;
  return e;
}

Error Error::authentication(std::uint16_t status, std::string message) {
  Error e;
  e.kind = ErrorKind::authentication;
  e.status = status;
  e.message = std::move(message);
  return e;
}

Error Error::api(std::uint16_t status, std::string message, std::vector<ApiFieldError> errors,
                 bool retryable) {
  Error e;
  e.kind = ErrorKind::api;
  e.status = status;
  e.message = std::move(message);
  e.errors = std::move(errors);
  e.retryable = retryable;
  return e;
}

Error Error::ambiguous(std::string message, std::vector<ApiFieldError> errors) {
  Error e;
  e.kind = ErrorKind::ambiguous;
  e.message = std::move(message);
  e.errors = std::move(errors);
  return e;
}

Error Error::decode(std::string message) {
  Error e;
  e.kind = ErrorKind::decode;
  e.message = std::move(message);
  return e;
}

Error Error::webhook_auth(std::string message) {
  Error e;
  e.kind = ErrorKind::webhook_auth;
  e.message = std::move(message);
  return e;
}

Error Error::ffi(std::string message) {
  Error e;
  e.kind = ErrorKind::ffi;
  e.message = std::move(message);
  return e;
}

json::Value Error::to_json() const {
  json::Object out;
  out.insert_or_assign("kind", kind_name(kind));
  out.insert_or_assign("message", message);
  auto error_list = [this] {
    json::Array items;
    items.reserve(errors.size());
    for (const ApiFieldError& item : errors) items.push_back(item.to_json());
    return json::Value(std::move(items));
  };
  switch (kind) {
    case ErrorKind::validation: out.insert_or_assign("field", field); break;
    case ErrorKind::authentication: out.insert_or_assign("status", integer(status)); break;
    case ErrorKind::api:
      out.insert_or_assign("status", integer(status));
      out.insert_or_assign("errors", error_list());
      out.insert_or_assign("retryable", retryable);
      break;
    case ErrorKind::ambiguous: out.insert_or_assign("errors", error_list()); break;
    case ErrorKind::decode:
    case ErrorKind::webhook_auth:
    case ErrorKind::ffi: break;
  }
  return out;
}

}  // namespace quorvex_bo
