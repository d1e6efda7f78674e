#pragma once
// What a build stage asks the host to send and what a parse stage receives.

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
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

// One header to send: its value is `prefix` followed by `value`. All three are
// views of texts that outlive the request being written: constants, and the
// configuration and token of the stage's payload.
struct Header {
  std::string_view name;
  std::string_view value;
  std::string_view prefix = {};
  bool operator==(const Header&) const = default;
};

// The headers of a request, in ascending byte order of the names: the few a
// request has, held in place.
class Headers {
 public:
  static constexpr std::size_t capacity = 5;

  Headers() = default;
  Headers(std::initializer_list<Header> headers) {
    for (const Header& header : headers) push_back(header);
  }
  // Ignored beyond `capacity` (no request has more).
  void push_back(const Header& header) {
    if (size_ < capacity) items_[size_++] = header;
  }
  const Header* begin() const { return items_.data(); }
  const Header* end() const { return items_.data() + size_; }
  Header* begin() { return items_.data(); }
  Header* end() { return items_.data() + size_; }
  std::size_t size() const { return size_; }
  bool operator==(const Headers& other) const {
    return std::equal(begin(), end(), other.begin(), other.end());
  }

 private:
  std::array<Header, capacity> items_{};
  std::size_t size_ = 0;
};

// The address of a request: `base`, "/", `path`, and "/" and `tail` when there is
// one. Views of the configuration, constants and the input: it lives no longer
// than they do.
struct Url {
  std::string_view base;
  std::string_view path;
  std::optional<std::string_view> tail;
};
void write_json(std::string& out, const Url& url);

struct HttpRequest {
  Method method = Method::GET;
  Url url;
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
