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

inline void require(bool holds, std::string_view what, std::string_view text) {
  if (holds) return;
  std::fprintf(stderr, "broken answer: %.*s\n%.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(std::min<std::size_t>(text.size(), 4096)), text.data());
  std::abort();
}

// Well-formed UTF-8: what the reader accepts inside a string (it refuses
// overlong forms, surrogates and anything above U+10FFFF).
inline bool is_utf8(std::string_view text) {
  std::string literal;
  json::write_string(literal, text);
  return json::parse(literal).has_value();
}

// Compact text with members in key order: the writer's own form of the value.
inline json::Value canonical(std::string_view text) {
  auto value = json::parse(text);
  require(value.has_value(), "not UTF-8 JSON", text);
  require(json::write(*value) == text, "not compact, sorted JSON", text);
  return std::move(*value);
}

// {"ok":true,"value":V} or {"error":{"kind":K,"message":M,"retryable":R,…},"ok":false}
// with a known kind, and retryable only for "api". A contained fault is a finding.
// Gives the parsed result.
inline json::Value call_result(std::string_view text) {
  const json::Value result = canonical(text);
  const bool* ok = result.find("ok") ? result.find("ok")->as_bool() : nullptr;
  require(ok && result.as_object()->size() == 2, "no boolean \"ok\" beside one member", text);
  require(result.find(*ok ? "value" : "error"), "no \"value\" or \"error\"", text);
  if (*ok) return result;
  const json::Value* error = result.find("error");
  require(error->as_object(), "\"error\" is not an object", text);
  const json::Value* kind = error->find("kind");
  const json::Value* message = error->find("message");
  const json::Value* retryable = error->find("retryable");
  static constexpr std::array<std::string_view, 7> kinds = {
      "validation", "authentication", "api", "ambiguous", "decode", "webhook_auth", "ffi"};
  require(kind && kind->as_string() && std::ranges::find(kinds, *kind->as_string()) != kinds.end(),
          "unknown error kind", text);
  require(message && message->as_string(), "error without a string \"message\"", text);
  require(retryable && retryable->as_bool(), "error without a boolean \"retryable\"", text);
  require(!*retryable->as_bool() || *kind->as_string() == "api", "retryable but not api", text);
  require(!(*kind->as_string() == "ffi" && message->as_string()->starts_with("core panicked")),
          "the core panicked", text);
  return result;
}

}  // namespace qbo_check
