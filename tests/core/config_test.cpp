#include "quorvex_bo/core/config.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/operation.hpp"
#include "quorvex_bo/core/token.hpp"

namespace quorvex_bo {
namespace {

// The library's message (without its position) for the document `text` decoded as T.
template <class T>
std::string refusal(std::string_view text) {
  json::Cursor cursor(text);
  json::Decoded<T> out = json::Reader<T>::read(cursor);
  return out ? std::string("<decoded>") : out.error().message;
}

TEST(Config, decode_failures_carry_the_library_message) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {R"({"environment":"sandbox"})", "missing field `client_id`"},
      {R"({"client_id":"c","client_secret":5})", "invalid type: integer `5`, expected a string"},
      {R"({"client_id":"c","base_url":"a","base_url":"b"})", "duplicate field `base_url`"},
      {R"({"client_id":"c","environment":null})", "invalid type: null, expected enum Environment"},
      {R"({"client_id":"c","environment":"Production"})",
       "unknown variant `Production`, expected one of `development`, `sandbox`, `production`"}};
  for (auto [text, message] : rows) EXPECT_EQ(refusal<Config>(text), message) << text;
  EXPECT_EQ(refusal<AccessToken>(R"({"access_token":"t","token_type":"Bearer"})"),
            "missing field `expires_at`");
  EXPECT_EQ(refusal<AccessToken>(R"({"access_token":"t","expires_at":1})"),
            "missing field `token_type`");
  EXPECT_NE(refusal<AccessToken>(R"({"access_token":"","token_type":"","expires_at":1.5})"),
            "<decoded>");
}

TEST(Config, url_joins_base_and_path_with_exactly_one_slash) {
  using enum Environment;
  const std::nullopt_t absent = std::nullopt;
  const std::tuple<Environment, std::optional<std::string>, std::string_view, std::string_view>
      rows[] = {
          {development, absent, "qr/pix", "https://test-api.quorvex.bo/desarrollo/qr/pix"},
          {sandbox, absent, "/qr", "https://test-api.quorvex.bo/sandbox/qr"},
          {production, absent, "", "https://api.quorvex.bo/"},
          {production, "https://gw.test/api", "qr", "https://gw.test/api/qr"},
          {sandbox, "https://gw.test///", "//qr/x", "https://gw.test/qr/x"},
          {production, "", "//qr", "/qr"},
          {production, "https://gw.test/", "///", "https://gw.test/"},
          {sandbox, " http://gw/./b", "c d/../e?y=%20 ", " http://gw/./b/c d/../e?y=%20 "}};
  for (const auto& [environment, base_url, path, url] : rows)
    EXPECT_EQ((Config{"id", {}, {}, environment, base_url}.url(path)), url);
  EXPECT_EQ(json::decode<Config>(R"({"client_id":"c"})").value().environment, sandbox);
}

TEST(Config, api_headers_are_the_five_headers_or_a_missing_token_error) {
  Config config{" id ", std::nullopt, std::nullopt, Environment::sandbox, std::nullopt};
  std::optional<AccessToken> token = AccessToken{"s3cr3t", "MAC", -1, std::nullopt};
  const Headers expected = {{"Accept", "application/json"},
                                  {"Authorization", "Bearer s3cr3t"},
                                  {"Content-Type", "application/json"},
                                  {"access_token", "s3cr3t"},
                                  {"client_id", " id "}};
  EXPECT_EQ((Ctx{config, token}.api_headers().value()), expected);
  token->access_token = "";
  EXPECT_EQ((Ctx{config, token}.api_headers().value()[1]),
            (std::pair<std::string, std::string>{"Authorization", "Bearer "}));
  token.reset();
  EXPECT_EQ((Ctx{config, token}.api_headers().error()),
            Error::validation("token", "an access token is required for this operation"));
}

}  // namespace
}  // namespace quorvex_bo
