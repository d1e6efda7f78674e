#pragma once
// What a build stage asks the host to send and what a parse stage receives.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorvex_bo/core/json.hpp"

namespace quorvex_bo {

enum class Method : std::uint8_t { GET, POST, PATCH };
constexpr auto describe(std::type_identity<Method>) {
  return json::enumeration<Method>("Method", "GET", "POST", "PATCH");
}

// Name and value of each header to send, kept in ascending byte order of the
// names (a few entries: a sorted list rather than a tree).
using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  Method method = Method::GET;
  std::string url;
  Headers headers;
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
                                    json::required("body", &HttpResponse::body,
                                                   json::spare_text_reader));
}

}  // namespace quorvex_bo
