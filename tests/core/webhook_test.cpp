#include "quorvex_bo/core/webhook.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace quorvex_bo {
namespace {

std::string show(const Result<void>& result) {
  return result ? std::string("ok") : json::to_text(result.error());
}

Result<void> invalid(std::string_view field, std::string_view message) {
  return std::unexpected(Error::validation(field, message));
}

TEST(WebhookTarget, validate_reports_the_first_failing_check) {
  const Result<void> url = invalid("webhook.url", "must be an http(s) URL");
  const Result<void> name = invalid("webhook.key", "must be a valid HTTP header name");
  const std::vector<std::pair<WebhookTarget, Result<void>>> rows = {
      {{" \u00a0https://shop.test\t", "X-Hook_1", " a b "}, {}},
      {{"http://", "k", "v"}, {}},
      {{"HTTPS://shop.test", "k", "v"}, url},
      {{"ftp://shop.test", "k", "v"}, url},
      {{"shop.test", "k", " "}, url},  // url before value
      {{"https://x", " \u3000 ", "v"}, invalid("webhook.key", "must not be empty")},
      {{"https://x", "X Hook", "v"}, name},
      {{"https://x", "X-Hook ", "v"}, name},
      {{"https://x", "X-\u00d1", "v"}, name},
      {{"https://x", "a.b", ""}, name},  // key before value
      {{"https://x", "k", " \t\u2028"}, invalid("webhook.value", "must not be empty")}};
  for (const auto& [target, expected] : rows)
    EXPECT_EQ(show(target.validate()), show(expected)) << target.url << "|" << target.key;
  // Validation trims only for its own tests: the record is written unchanged.
  EXPECT_EQ(json::to_text(WebhookTarget{" https://s/h ", "X-Hook", " v\"1 "}),
            R"({"key":"X-Hook","url":" https://s/h ","value":" v\"1 "})");
}

struct AuthCase {
  json::TextMap headers;
  const char* key;
  const char* value;
  Result<void> expected;
};

TEST(WebhookAuthenticate, finds_the_header_then_compares_every_byte) {
  const Result<void> empty = invalid("value", "expected webhook header value must not be empty");
  const Result<void> mismatch =
      std::unexpected(Error::webhook_auth("`X-Hook` header does not match"));
  const std::vector<AuthCase> rows = {
      {{{"X-Hook", "s3cr3t"}}, "X-Hook", "s3cr3t", {}},
      {{}, "X-Hook", "", empty},  // before the headers are looked at
      {{}, "x-HOOK", "s", std::unexpected(Error::webhook_auth("missing `x-HOOK` header"))},
      {{{"X-Hooks", "s"}, {"X_Hook", "s"}, {"x-hoo", "s"}}, "X-Hook", "s",
       std::unexpected(Error::webhook_auth("missing `X-Hook` header"))},
      {{{"x-hook", "s3cr3t"}}, "X-HOOK", "s3cr3t", {}},
      // Two case variants: the first in byte order is compared, the other ignored.
      {{{"X-HOOK", "right"}, {"x-hook", "wrong"}}, "X-Hook", "right", {}},
      {{{"X-HOOK", "wrong"}, {"x-hook", "right"}}, "X-Hook", "right", mismatch},
      {{{"X-Hook", "s3cr3t"}}, "X-Hook", "s3cr3T", mismatch},
      {{{"X-Hook", "SECRET"}}, "X-Hook", "secret", mismatch},
      {{{"X-Hook", "secret "}}, "X-Hook", "secret", mismatch},
      {{{"X-Hook", "secre"}}, "X-Hook", "secret", mismatch},
      {{{"X-Hook", "\xc3\xa9\xff"}}, "X-Hook", "\xc3\xa9\xfe", mismatch}};
  for (const AuthCase& c : rows) {
    EXPECT_EQ(show(webhook::authenticate(c.headers, c.key, c.value)), show(c.expected)) << c.value;
    EXPECT_EQ(show(WebhookCall{c.headers, "{}", c.key, c.value}.authenticate()), show(c.expected));
  }
}

TEST(WebhookAuthenticate, neither_value_appears_in_the_error) {
  json::TextMap headers = {{"X-Hook", "received-secret"}};
  Result<void> result = webhook::authenticate(headers, "X-Hook", "expected-secret");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(show(result).find("secret"), std::string::npos) << show(result);
}

}  // namespace
}  // namespace quorvex_bo
