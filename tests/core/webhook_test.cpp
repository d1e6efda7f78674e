#include "quorvex_bo/core/webhook.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace quorvex_bo {
namespace {

std::string show(const Result<void>& result) {
  return result ? std::string("ok") : json::write(result.error().to_json());
}

// ---- WebhookTarget::validate -----------------------------------------------------

struct TargetCase {
  const char* name;
  WebhookTarget target;
  Result<void> expected;
};

Result<void> invalid(std::string_view field, std::string_view message) {
  return std::unexpected(Error::validation(field, message));
}

constexpr std::string_view bad_url = "must be an http(s) URL";
constexpr std::string_view empty = "must not be empty";
constexpr std::string_view bad_name = "must be a valid HTTP header name";

class WebhookTargetValidate : public testing::TestWithParam<TargetCase> {};

TEST_P(WebhookTargetValidate, reports_the_first_failing_check) {
  const TargetCase& c = GetParam();
  EXPECT_EQ(show(c.target.validate()), show(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebhookTargetValidate,
    testing::Values(
        TargetCase{"valid", {"https://shop.test/hook", "X-Hook_1", "s3cr3t"}, {}},
        TargetCase{"http_passes", {"http://shop.test", "k", "v"}, {}},
        TargetCase{"white_space_around_url_passes", {" \u00a0https://shop.test\t", "k", "v"}, {}},
        TargetCase{"bare_scheme_passes", {"https://", "k", "v"}, {}},
        TargetCase{"value_with_inner_spaces_passes", {"https://x", "k", " a b "}, {}},
        TargetCase{
            "upper_case_scheme", {"HTTPS://shop.test", "k", "v"}, invalid("webhook.url", bad_url)},
        TargetCase{"other_scheme", {"ftp://shop.test", "k", "v"}, invalid("webhook.url", bad_url)},
        TargetCase{"no_scheme", {"shop.test/hook", "k", "v"}, invalid("webhook.url", bad_url)},
        TargetCase{"half_scheme", {"https:/shop.test", "k", "v"}, invalid("webhook.url", bad_url)},
        TargetCase{"empty_url", {"", "k", "v"}, invalid("webhook.url", bad_url)},
        TargetCase{"url_before_value", {"x", "k", " "}, invalid("webhook.url", bad_url)},
        TargetCase{"empty_key", {"https://x", "", "v"}, invalid("webhook.key", empty)},
        TargetCase{"blank_key", {"https://x", " \u3000 ", "v"}, invalid("webhook.key", empty)},
        TargetCase{
            "key_with_inner_space", {"https://x", "X Hook", "v"}, invalid("webhook.key", bad_name)},
        TargetCase{"key_with_trailing_space",
                   {"https://x", "X-Hook ", "v"},
                   invalid("webhook.key", bad_name)},
        TargetCase{"key_with_non_ascii_letter",
                   {"https://x", "X-\u00d1", "v"},
                   invalid("webhook.key", bad_name)},
        TargetCase{
            "key_with_colon", {"https://x", "X:Hook", "v"}, invalid("webhook.key", bad_name)},
        TargetCase{"key_before_value", {"https://x", "a.b", ""}, invalid("webhook.key", bad_name)},
        TargetCase{"empty_value", {"https://x", "k", ""}, invalid("webhook.value", empty)},
        TargetCase{
            "blank_value", {"https://x", "k", " \t\u2028"}, invalid("webhook.value", empty)}),
    [](const testing::TestParamInfo<TargetCase>& info) { return info.param.name; });

TEST(WebhookTargetJson, writes_the_three_texts_unchanged) {
  WebhookTarget target{" https://shop.test/h ", "X-Hook", " v\"1 "};
  EXPECT_EQ(json::write(target.to_json()),
            R"({"key":"X-Hook","url":" https://shop.test/h ","value":" v\"1 "})");
}

// ---- webhook::authenticate --------------------------------------------------------

struct AuthCase {
  const char* name;
  json::TextMap headers;
  const char* key;
  const char* value;
  Result<void> expected;
};

Result<void> refused(std::string message) {
  return std::unexpected(Error::webhook_auth(std::move(message)));
}

class WebhookAuthenticate : public testing::TestWithParam<AuthCase> {};

TEST_P(WebhookAuthenticate, checks_the_header_in_constant_time) {
  const AuthCase& c = GetParam();
  EXPECT_EQ(show(webhook::authenticate(c.headers, c.key, c.value)), show(c.expected));
  // The record form applies the same rule.
  EXPECT_EQ(show(WebhookCall{c.headers, "{}", c.key, c.value}.authenticate()), show(c.expected));
}

const Result<void> mismatch = refused("`X-Hook` header does not match");

INSTANTIATE_TEST_SUITE_P(
    Cases, WebhookAuthenticate,
    testing::Values(
        AuthCase{"exact_match", {{"X-Hook", "s3cr3t"}}, "X-Hook", "s3cr3t", {}},
        AuthCase{
            "name_found_without_regard_to_case", {{"x-hook", "s3cr3t"}}, "X-HOOK", "s3cr3t", {}},
        AuthCase{"empty_expected_value_first",
                 {},
                 "X-Hook",
                 "",
                 invalid("value", "expected webhook header value must not be empty")},
        AuthCase{"empty_expected_value_with_empty_header",
                 {{"X-Hook", ""}},
                 "X-Hook",
                 "",
                 invalid("value", "expected webhook header value must not be empty")},
        AuthCase{"no_headers", {}, "X-Hook", "s", refused("missing `X-Hook` header")},
        AuthCase{"missing_names_the_wanted_key_verbatim",
                 {{"X-Hooks", "s"}, {"X-Hoo", "s"}},
                 "x-HOOK",
                 "s",
                 refused("missing `x-HOOK` header")},
        AuthCase{"non_letters_must_match_exactly",
                 {{"X_Hook", "s"}},
                 "X-Hook",
                 "s",
                 refused("missing `X-Hook` header")},
        AuthCase{"first_in_byte_order_is_compared",
                 {{"X-HOOK", "right"}, {"x-hook", "wrong"}},
                 "X-Hook",
                 "right",
                 {}},
        AuthCase{"later_case_variant_is_ignored",
                 {{"X-HOOK", "wrong"}, {"x-hook", "right"}},
                 "X-Hook",
                 "right",
                 mismatch},
        AuthCase{"one_byte_differs", {{"X-Hook", "s3cr3t"}}, "X-Hook", "s3cr3T", mismatch},
        AuthCase{"first_byte_differs", {{"X-Hook", "s3cr3t"}}, "X-Hook", "t3cr3t", mismatch},
        AuthCase{"letter_case_differs", {{"X-Hook", "SECRET"}}, "X-Hook", "secret", mismatch},
        AuthCase{"trailing_space", {{"X-Hook", "secret "}}, "X-Hook", "secret", mismatch},
        AuthCase{"shorter_received", {{"X-Hook", "secre"}}, "X-Hook", "secret", mismatch},
        AuthCase{"empty_received", {{"X-Hook", ""}}, "X-Hook", "secret", mismatch},
        AuthCase{
            "expected_value_not_trimmed", {{"X-Hook", "secret"}}, "X-Hook", " secret", mismatch},
        AuthCase{"high_bytes_compared_exactly",
                 {{"X-Hook", "\xc3\xa9\xff"}},
                 "X-Hook",
                 "\xc3\xa9\xfe",
                 mismatch}),
    [](const testing::TestParamInfo<AuthCase>& info) { return info.param.name; });

TEST(WebhookAuthenticateSecrecy, neither_value_appears_in_any_error) {
  json::TextMap headers = {{"X-Hook", "received-secret"}};
  Result<void> result = webhook::authenticate(headers, "X-Hook", "expected-secret");
  ASSERT_FALSE(result.has_value());
  std::string written = json::write(result.error().to_json());
  EXPECT_EQ(written.find("secret"), std::string::npos) << written;
}

TEST(WebhookCallDecode, decoded_call_authenticates) {
  std::expected<WebhookCall, std::string> call = json::decode<WebhookCall>(
      R"({"headers":{"content-type":"application/json","x-hook":"v"},"body":"{}",)"
      R"("key":"X-Hook","value":"v","extra":1})");
  ASSERT_TRUE(call.has_value()) << call.error();
  EXPECT_EQ(show(call->authenticate()), "ok");
  EXPECT_FALSE(json::decode<WebhookCall>(R"({"headers":{"x":1},"body":"","key":"k","value":"v"})"));
}

}  // namespace
}  // namespace quorvex_bo
