#pragma once
// Both ends of the webhook arrangement: the target a generation request hands
// to the gateway, and the authentication of a notification the gateway posts.

#include <optional>
#include <string>
#include <string_view>

#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/json.hpp"

namespace quorvex_bo {

struct WebhookTarget {
  std::string url;
  std::string key;
  std::string value;

  // The first failing check on "webhook.url", "webhook.key", "webhook.value".
  Result<void> validate() const;
};

// {"key":…,"url":…,"value":…}, texts exactly as received.
void write_json(std::string& out, const WebhookTarget& target);

constexpr auto describe(std::type_identity<WebhookTarget>) {
  return json::record<WebhookTarget>("WebhookTarget", json::required("url", &WebhookTarget::url),
                                     json::required("key", &WebhookTarget::key),
                                     json::required("value", &WebhookTarget::value));
}

// Read from the payload, whose text its headers view.
struct WebhookCall {
  json::TextMembers headers;
  std::string body;
  std::string key;
  std::string value;

  Result<void> authenticate() const;
};

constexpr auto describe(std::type_identity<WebhookCall>) {
  return json::record<WebhookCall>("WebhookCall", json::required("headers", &WebhookCall::headers),
                                   json::required("body", &WebhookCall::body,
                                                  json::spare_text_reader),
                                   json::required("key", &WebhookCall::key),
                                   json::required("value", &WebhookCall::value));
}

namespace webhook {

// Finds `name` among `headers` (ASCII case-insensitive, first in byte order) and
// judges its value. Neither value ever appears in an error.
Result<void> authenticate(const json::TextMembers& headers, std::string_view name,
                          std::string_view expected);
// The verdict on the value received in the header `name` (nullopt: there was no
// such header) against `expected`, which it compares in constant time.
Result<void> judge(std::optional<std::string_view> received, std::string_view name,
                   std::string_view expected);

}  // namespace webhook
}  // namespace quorvex_bo
