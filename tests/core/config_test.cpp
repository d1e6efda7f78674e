// Configuration, the request context, HTTP records and the common validators.
#include "quorvex_bo/core/config.hpp"

#include <gtest/gtest.h>

#include "quorvex_bo/core/operation.hpp"
#include "quorvex_bo/core/validate.hpp"

namespace quorvex_bo {
namespace {

TEST(Config, url_joins_base_and_path_with_exactly_one_slash) {
  using enum Environment;
  const std::tuple<Environment, std::optional<std::string>, std::string_view, std::string_view>
      rows[] = {{development, {}, "qr/pix", "https://test-api.quorvex.bo/desarrollo/qr/pix"},
                {sandbox, {}, "/qr", "https://test-api.quorvex.bo/sandbox/qr"},
                {production, {}, "", "https://api.quorvex.bo/"},
                {sandbox, "https://gw.test///", "//qr/x", "https://gw.test/qr/x"},
                {production, "", "//qr", "/qr"}};
  for (const auto& [environment, base_url, path, url] : rows)
    EXPECT_EQ(json::to_text(Config{"id", {}, {}, environment, base_url}.url(path)),
              json::to_text(url));
  // A tail joins as one more segment: url(path, tail) is url(path + "/" + tail).
  const Config config{"id", {}, {}, sandbox, {}};
  for (const std::string_view path : {"", "/", "//qr/", "qr"})
    EXPECT_EQ(json::to_text(config.url(path, "t")),
              json::to_text(config.url(std::string(path) + "/t"))) << path;
  EXPECT_EQ(json::decode<Config>(R"({"client_id":"c"})").value().environment, sandbox);
  EXPECT_EQ(json::decode<Config>(R"({"client_id":"c","environment":null})").error(),
            "invalid type: null, expected enum Environment at line 1 column 32");
}

TEST(Config, api_headers_are_the_five_headers_or_a_missing_token_error) {
  const Config config{" id ", {}, {}, Environment::sandbox, {}};
  std::optional<AccessToken> token = AccessToken{"s3", "MAC", -1, {}};
  EXPECT_EQ((Ctx{config, token}.api_headers().value()),
            (Headers{{"Accept", "application/json"}, {"Authorization", "s3", "Bearer "},
                     {"Content-Type", "application/json"}, {"access_token", "s3"},
                     {"client_id", " id "}}));
  token.reset();
  EXPECT_EQ((Ctx{config, token}.api_headers().error()),
            Error::validation("token", "an access token is required for this operation"));
}

TEST(Validate, numeric_reference_checks_blank_first_then_untrimmed_ascii_digits) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"0123456789", ""}, {"\u00a0\u3000", "must not be empty"}, {" 123", "must contain only digits"},
      {"\uff11\uff12", "must contain only digits"}, {"\u200b", "must contain only digits"}};
  for (auto [text, message] : rows) {
    Result<void> out = validate::numeric_reference("id", text);
    EXPECT_EQ(out ? "" : out.error().message, message) << text;
  }
}

}  // namespace
}  // namespace quorvex_bo
