#include "quorvex_bo/core/error.hpp"

namespace quorvex_bo {

void write_json(std::string& out, const ApiFieldError& item) {
  json::write_object(out, json::put<"code">(item.code), json::put<"field">(item.field),
                     json::put<"message">(item.message));
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

void write_json(std::string& out, const Error& error, bool in_call_result) {
  using json::put, json::put_if;
  const std::string_view kind = kind_name(error.kind);
  const bool retryable = error.is_retryable();
  switch (error.kind) {
    case ErrorKind::validation:
      return json::write_object(out, put<"field">(error.field), put<"kind">(kind),
                                put<"message">(error.message),
                                put_if<"retryable">(in_call_result, retryable));
    case ErrorKind::authentication:
      return json::write_object(out, put<"kind">(kind), put<"message">(error.message),
                                put_if<"retryable">(in_call_result, retryable),
                                put<"status">(error.status));
    case ErrorKind::api:
      return json::write_object(out, put<"errors">(error.errors), put<"kind">(kind),
                                put<"message">(error.message), put<"retryable">(error.retryable),
                                put<"status">(error.status));
    case ErrorKind::ambiguous:
      return json::write_object(out, put<"errors">(error.errors), put<"kind">(kind),
                                put<"message">(error.message),
                                put_if<"retryable">(in_call_result, retryable));
    case ErrorKind::decode:
    case ErrorKind::webhook_auth:
    case ErrorKind::ffi:
      return json::write_object(out, put<"kind">(kind), put<"message">(error.message),
                                put_if<"retryable">(in_call_result, retryable));
  }
}

}  // namespace quorvex_bo
