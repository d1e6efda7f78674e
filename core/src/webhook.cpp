#include "quorvex_bo/core/webhook.hpp"

#include <string>
#include <string_view>

#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo {

namespace {

bool is_header_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || text::is_ascii_digit(c) || c == '-' ||
         c == '_';
}

// Hides a value from the optimiser: after this it may be anything, so the loop
// below cannot be turned into a comparison that stops at the first difference.
inline void opaque(unsigned int& value) { __asm__ volatile("" : "+r"(value)); }

// Equal only when both have the same length and every byte matches. With equal
// lengths every byte pair is examined; the time taken depends on the length only.
bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned int difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned int>(static_cast<unsigned char>(a[i]) ^
                                            static_cast<unsigned char>(b[i]));
    opaque(difference);
  }
  opaque(difference);
  return difference == 0;
}

}  // namespace

Result<void> WebhookTarget::validate() const {
  std::string_view trimmed_url = text::trim(url);
  if (!trimmed_url.starts_with("https://") && !trimmed_url.starts_with("http://"))
    return std::unexpected(Error::validation("webhook.url", "must be an http(s) URL"));
  if (text::trim(key).empty())
    return std::unexpected(Error::validation("webhook.key", "must not be empty"));
  for (char c : key)
    if (!is_header_name_char(c))
      return std::unexpected(Error::validation("webhook.key", "must be a valid HTTP header name"));
  if (text::trim(value).empty())
    return std::unexpected(Error::validation("webhook.value", "must not be empty"));
  return {};
}

void write_json(std::string& out, const WebhookTarget& target) {
  json::write_object(out, json::put<"key">(target.key), json::put<"url">(target.url),
                     json::put<"value">(target.value));
}

Result<void> WebhookCall::authenticate() const {
  return webhook::authenticate(headers, key, value);
}

namespace webhook {

Result<void> authenticate(const json::TextMembers& headers, std::string_view name,
                          std::string_view expected) {
  if (expected.empty()) return judge(std::nullopt, name, expected);
  // Names that differ only in letter case may both be present: the first in byte
  // order is the one compared.
  const std::optional<std::string> received = headers.find_folded(name);
  return judge(received, name, expected);
}

Result<void> judge(std::optional<std::string_view> received, std::string_view name,
                   std::string_view expected) {
  if (expected.empty())
    return std::unexpected(
        Error::validation("value", "expected webhook header value must not be empty"));
  if (!received)
    return std::unexpected(Error::webhook_auth("missing `" + std::string(name) + "` header"));
  if (!constant_time_equal(*received, expected))
    return std::unexpected(
        Error::webhook_auth("`" + std::string(name) + "` header does not match"));
  return {};
}

}  // namespace webhook
}  // namespace quorvex_bo
