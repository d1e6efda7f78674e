#pragma once
// What every answer of the core must look like, whatever the input: checked by
// the fuzz harnesses and the thread driver. A violation aborts, so the fuzzer
// keeps the input that caused it.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quorvex_bo/core/json.hpp"

namespace qbo_check {

namespace json = quorvex_bo::json;

[[noreturn]] inline void violated(std::string_view what, std::string_view text) {
  std::fprintf(stderr, "broken answer: %.*s\n%.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(std::min<std::size_t>(text.size(), 4096)), text.data());
  std::abort();
}

inline void require(bool holds, std::string_view what, std::string_view text) {
  if (!holds) violated(what, text);
}

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
inline bool is_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned c = s[i];
    std::size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                    : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return false;
    if (len == 3 && ((c == 0xE0 && s[i + 1] < 0xA0) || (c == 0xED && s[i + 1] > 0x9F)))
      return false;
    if (len == 4 && ((c == 0xF0 && s[i + 1] < 0x90) || (c == 0xF4 && s[i + 1] > 0x8F)))
      return false;
    i += len;
  }
  return true;
}

// Compact text with members in key order: the writer's own form of the value.
inline json::Value canonical(std::string_view text) {
  require(is_utf8(text), "not UTF-8", text);
  auto value = json::parse(text);
  require(value.has_value(), "not JSON", text);
  require(json::write(*value) == text, "not compact, sorted JSON", text);
  return std::move(*value);
}

// {"ok":true,"value":V} or {"error":{"kind":K,"message":M,"retryable":R,…},"ok":false}
// with a known kind, and retryable only for "api". A contained fault is a finding.
// Gives the parsed result.
inline json::Value call_result(std::string_view text) {
  const json::Value result = canonical(text);
  const json::Object* object = result.as_object();
  require(object != nullptr, "result is not an object", text);
  const bool* ok = result.find("ok") ? result.find("ok")->as_bool() : nullptr;
  require(ok != nullptr && object->size() == 2, "no boolean \"ok\" beside one member", text);
  if (*ok) {
    require(result.find("value") != nullptr, "success without \"value\"", text);
    return result;
  }
  const json::Value* error = result.find("error");
  require(error && error->as_object(), "failure without an \"error\" object", text);
  const json::Value* kind = error->find("kind");
  const json::Value* message = error->find("message");
  const json::Value* retryable = error->find("retryable");
  static constexpr std::array<std::string_view, 7> kinds = {
      "validation", "authentication", "api", "ambiguous", "decode", "webhook_auth", "ffi"};
  require(kind && kind->as_string() &&
              std::ranges::find(kinds, *kind->as_string()) != kinds.end(),
          "unknown error kind", text);
  require(message && message->as_string(), "error without a string \"message\"", text);
  require(retryable && retryable->as_bool(), "error without a boolean \"retryable\"", text);
  require(!*retryable->as_bool() || *kind->as_string() == "api", "retryable but not api", text);
  require(!(*kind->as_string() == "ffi" && message->as_string()->starts_with("core panicked")),
          "the core panicked", text);
  return result;
}

}  // namespace qbo_check
