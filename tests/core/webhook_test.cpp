#include "quorvex_bo/core/webhook.hpp"

#include <gtest/gtest.h>

namespace quorvex_bo {
namespace {

std::string show(const Result<void>& result) {
  return result ? "ok" : result.error().field + ": " + result.error().message;
}

TEST(WebhookTarget, validate_reports_the_first_failing_check) {
  const std::string bad_url = "webhook.url: must be an http(s) URL";
  const std::string bad_key = "webhook.key: must be a valid HTTP header name";
  const std::pair<WebhookTarget, std::string> rows[] = {
      {{" \u00a0https://shop.test\t", "X-Hook_1", " a b "}, "ok"}, {{"http://", "k", "v"}, "ok"},
      {{"HTTPS://shop.test", "k", "v"}, bad_url}, {{"shop.test", "", ""}, bad_url},
      {{"https://x", " \u3000 ", "v"}, "webhook.key: must not be empty"},
      {{"https://x", "AZaz09-_", "v"}, "ok"}, {{"https://x", "X-\u00d1", ""}, bad_key},
      {{"https://x", "X:Hook", ""}, bad_key},
      {{"https://x", "k", " \t\u2028"}, "webhook.value: must not be empty"}};
  for (const auto& [target, expected] : rows) EXPECT_EQ(show(target.validate()), expected);
  EXPECT_EQ(json::to_text(WebhookTarget{" https://s/h ", "X-Hook", " v "}),
            R"({"key":"X-Hook","url":" https://s/h ","value":" v "})");
}

TEST(WebhookAuthenticate, finds_the_header_then_compares_every_byte) {
  const std::string mismatch = ": `X-Hook` header does not match";
  const std::tuple<std::string_view, std::string_view, std::string_view> rows[] = {
      {R"({"x-hook":"s3cr3t"})", "s3cr3t", "ok"},
      {R"({"X-Hook":"s"})", "", "value: expected webhook header value must not be empty"},
      {R"({"X-Hooks":"s","X_Hook":"s","X-Hoo":"s"})", "s", ": missing `X-Hook` header"},
      // two case variants: the first in byte order is compared, wherever it stands
      {R"({"X-HOOK":"right","x-hook":"wrong"})", "right", "ok"},
      {R"({"x-hook":"wrong","X-HOOK":"right","x-Hook":"wrong"})", "right", "ok"},
      {R"({"X-HOOK":"wrong","x-hook":"right"})", "right", mismatch},
      // of a name given twice the later value counts
      {R"({"X-Hook":"wrong","X-Hook":"right"})", "right", "ok"},
      {R"({"X-Hook":"right","X-Hook":"wrong"})", "right", mismatch},
      // escapes in names and values are read as what they stand for
      {R"({"X-Ho\u006fk":"s\u0033cr\"t"})", "s3cr\"t", "ok"},
      {R"({"X-Hook":"SECRET"})", "secret", mismatch}, {R"({"X-Hook":"secret "})", "secret", mismatch},
      {R"({"X-Hook":"secre"})", "secret", mismatch}};
  for (const auto& [headers, value, expected] : rows)
    EXPECT_EQ(show(WebhookCall{{headers}, "{}", "X-Hook", std::string(value)}.authenticate()),
              expected) << headers;
}

}  // namespace
}  // namespace quorvex_bo
