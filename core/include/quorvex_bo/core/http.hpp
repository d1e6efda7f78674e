#pragma once
// What a build stage asks the host to send and what a parse stage receives.

#include <cstdint>
#include <optional>
#include <string>

#include "quorvex_bo/core/json.hpp"

namespace quorvex_bo {

enum class Method : std::uint8_t { GET, POST, PATCH };
constexpr auto describe(std::type_identity<Method>) {
  return json::enumeration<Method>("Method", "GET", "POST", "PATCH");
}

struct HttpRequest {
  Method method = Method::GET;
  std::string url;
  json::TextMap headers;
  std::optional<std::string> body;  // the exact text to send; none for GET
};

// {"body":…|null,"headers":{…},"method":"GET","url":"…"}
void write_json(std::string& out, const HttpRequest& request);

struct HttpResponse {
  std::uint16_t status = 0;
  std::string body;

  bool is_success() const { return status >= 200 && status <= 299; }
};

constexpr auto describe(std::type_identity<HttpResponse>) {
  return json::record<HttpResponse>("HttpResponse", json::required("status", &HttpResponse::status),
                                    json::required("body", &HttpResponse::body));
}

}  // namespace quorvex_bo
