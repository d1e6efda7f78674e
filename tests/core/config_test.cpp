#include "quorvex_bo/core/config.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/operation.hpp"
#include "quorvex_bo/core/token.hpp"

namespace quorvex_bo {
namespace {

// Decodes `text` as T; the library's message (without its position) on failure.
template <class T>
std::expected<T, std::string> decode_plain(std::string_view text) {
  std::expected<json::Value, std::string> value = json::parse(text);
  if (!value) return std::unexpected("syntax: " + value.error());
  json::Decoded<T> out = json::read<T>(std::move(*value));
  if (!out) return std::unexpected(out.error().message);
  return std::move(*out);
}

Config config_from(std::string_view text) {
  std::expected<Config, std::string> config = decode_plain<Config>(text);
  EXPECT_TRUE(config.has_value()) << config.error();
  return config.value_or(Config{});
}

// ---- Environments and base URLs --------------------------------------------

TEST(ConfigEnvironment, default_base_urls_are_https_without_trailing_slash) {
  EXPECT_EQ(default_base_url(Environment::development), "https://test-api.quorvex.bo/desarrollo");
  EXPECT_EQ(default_base_url(Environment::sandbox), "https://test-api.quorvex.bo/sandbox");
  EXPECT_EQ(default_base_url(Environment::production), "https://api.quorvex.bo");
}

TEST(ConfigEnvironment, environment_defaults_to_sandbox_when_absent) {
  Config config = config_from(R"({"client_id":"c"})");
  EXPECT_EQ(config.environment, Environment::sandbox);
  EXPECT_EQ(config.url("qr"), "https://test-api.quorvex.bo/sandbox/qr");
}

TEST(ConfigEnvironment, environment_texts_are_exact_and_case_sensitive) {
  EXPECT_EQ(config_from(R"({"client_id":"c","environment":"development"})").environment,
            Environment::development);
  EXPECT_EQ(config_from(R"({"client_id":"c","environment":"production"})").environment,
            Environment::production);

  constexpr std::string_view expected_list =
      ", expected one of `development`, `sandbox`, `production`";
  for (std::string_view bad : {"Production", "PRODUCTION", "prod", "", " sandbox"}) {
    std::string text = R"({"client_id":"c","environment":")" + std::string(bad) + R"("})";
    std::expected<Config, std::string> config = decode_plain<Config>(text);
    ASSERT_FALSE(config.has_value()) << bad;
    EXPECT_EQ(config.error(),
              "unknown variant `" + std::string(bad) + "`" + std::string(expected_list));
  }
}

TEST(ConfigEnvironment, environment_null_does_not_select_the_default) {
  std::expected<Config, std::string> config =
      decode_plain<Config>(R"({"client_id":"c","environment":null})");
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(config.error(), "invalid type: null, expected enum Environment");
}

// ---- Decoding -----------------------------------------------------------------

TEST(ConfigDecode, every_member_is_read_and_null_optionals_are_absent) {
  Config full = config_from(
      R"({"client_id":"id","client_secret":"s","basic_token":"b","environment":"production",)"
      R"("base_url":"https://x.test","other":[1,2]})");
  EXPECT_EQ(full.client_id, "id");
  EXPECT_EQ(full.client_secret, "s");
  EXPECT_EQ(full.basic_token, "b");
  EXPECT_EQ(full.environment, Environment::production);
  EXPECT_EQ(full.base_url, "https://x.test");

  Config nulls =
      config_from(R"({"client_id":"","client_secret":null,"basic_token":null,"base_url":null})");
  EXPECT_EQ(nulls.client_id, "");
  EXPECT_EQ(nulls.client_secret, std::nullopt);
  EXPECT_EQ(nulls.basic_token, std::nullopt);
  EXPECT_EQ(nulls.base_url, std::nullopt);
}

struct DecodeFailure {
  const char* name;
  const char* text;
  const char* message;
};

class ConfigDecodeFailure : public testing::TestWithParam<DecodeFailure> {};

TEST_P(ConfigDecodeFailure, fails_with_the_library_message) {
  std::expected<Config, std::string> config = decode_plain<Config>(GetParam().text);
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(config.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigDecodeFailure,
    testing::Values(DecodeFailure{"client_id_missing", R"({"environment":"sandbox"})",
                                  "missing field `client_id`"},
                    DecodeFailure{"client_id_null", R"({"client_id":null})",
                                  "invalid type: null, expected a string"},
                    DecodeFailure{"client_secret_number", R"({"client_id":"c","client_secret":5})",
                                  "invalid type: integer `5`, expected a string"},
                    DecodeFailure{"basic_token_bool", R"({"client_id":"c","basic_token":true})",
                                  "invalid type: boolean `true`, expected a string"},
                    DecodeFailure{"environment_number", R"({"client_id":"c","environment":1})",
                                  "invalid type: integer `1`, expected enum Environment"},
                    DecodeFailure{"duplicate_member",
                                  R"({"client_id":"c","base_url":"a","base_url":"b"})",
                                  "duplicate field `base_url`"}),
    [](const testing::TestParamInfo<DecodeFailure>& info) { return info.param.name; });

TEST(ConfigDecode, access_token_requires_type_and_integer_expiry) {
  std::expected<AccessToken, std::string> ok = decode_plain<AccessToken>(
      R"({"access_token":"t","token_type":"MAC","expires_at":-5,"scope":null})");
  ASSERT_TRUE(ok.has_value()) << ok.error();
  EXPECT_EQ(ok->access_token, "t");
  EXPECT_EQ(ok->expires_at, -5);
  EXPECT_EQ(ok->scope, std::nullopt);

  EXPECT_EQ(decode_plain<AccessToken>(R"({"access_token":"t","token_type":"Bearer"})").error(),
            "missing field `expires_at`");
  EXPECT_EQ(decode_plain<AccessToken>(R"({"access_token":"t","expires_at":1})").error(),
            "missing field `token_type`");
  EXPECT_FALSE(
      decode_plain<AccessToken>(R"({"access_token":"t","token_type":"B","expires_at":1.5})"));
  EXPECT_FALSE(
      decode_plain<AccessToken>(R"({"access_token":"t","token_type":"B","expires_at":"1"})"));
}

// ---- URL join -----------------------------------------------------------------

struct JoinCase {
  const char* name;
  Environment environment;
  std::optional<std::string> base_url;
  const char* path;
  const char* url;
};

class ConfigUrl : public testing::TestWithParam<JoinCase> {};

TEST_P(ConfigUrl, joins_base_and_path_with_exactly_one_slash) {
  const JoinCase& c = GetParam();
  Config config{"id", std::nullopt, std::nullopt, c.environment, c.base_url};
  EXPECT_EQ(config.url(c.path), c.url);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigUrl,
    testing::Values(JoinCase{"development", Environment::development, std::nullopt, "qr/pix/v2/x",
                             "https://test-api.quorvex.bo/desarrollo/qr/pix/v2/x"},
                    JoinCase{"sandbox_leading_slash", Environment::sandbox, std::nullopt, "/qr",
                             "https://test-api.quorvex.bo/sandbox/qr"},
                    JoinCase{"production", Environment::production, std::nullopt, "qr",
                             "https://api.quorvex.bo/qr"},
                    JoinCase{"base_url_wins_over_production", Environment::production,
                             "https://gw.test/api", "qr", "https://gw.test/api/qr"},
                    JoinCase{"many_slashes_at_the_seam", Environment::sandbox, "https://gw.test///",
                             "//qr/x", "https://gw.test/qr/x"},
                    JoinCase{"empty_base_url_is_used", Environment::production, "", "//qr", "/qr"},
                    JoinCase{"empty_path", Environment::production, std::nullopt, "",
                             "https://api.quorvex.bo/"},
                    JoinCase{"path_of_slashes_only", Environment::production, "https://gw.test/",
                             "///", "https://gw.test/"},
                    JoinCase{"nothing_else_is_normalised", Environment::sandbox,
                             " http://gw.test/a/./b", "c d/../e?x=1&y=%20 ",
                             " http://gw.test/a/./b/c d/../e?x=1&y=%20 "},
                    JoinCase{"inner_and_trailing_slashes_of_path_stay", Environment::sandbox,
                             "https://gw.test", "a//b/", "https://gw.test/a//b/"}),
    [](const testing::TestParamInfo<JoinCase>& info) { return info.param.name; });

// ---- Headers -----------------------------------------------------------------

TEST(ConfigApiHeaders, five_headers_in_byte_order) {
  Config config{"client-42", std::nullopt, std::nullopt, Environment::sandbox, std::nullopt};
  std::optional<AccessToken> token = AccessToken{"s3cr3t", "MAC", -1, std::nullopt};
  Result<json::TextMap> headers = Ctx{config, token}.api_headers();
  ASSERT_TRUE(headers.has_value());
  json::TextMap expected = {{"Accept", "application/json"},
                            {"Authorization", "Bearer s3cr3t"},
                            {"Content-Type", "application/json"},
                            {"access_token", "s3cr3t"},
                            {"client_id", "client-42"}};
  EXPECT_EQ(*headers, expected);
}

TEST(ConfigApiHeaders, token_and_client_id_are_copied_unchanged) {
  Config config{" id ", std::nullopt, std::nullopt, Environment::sandbox, std::nullopt};
  std::optional<AccessToken> token = AccessToken{"", "Bearer", 0, std::nullopt};
  Result<json::TextMap> headers = Ctx{config, token}.api_headers();
  ASSERT_TRUE(headers.has_value());
  EXPECT_EQ(headers->at("Authorization"), "Bearer ");
  EXPECT_EQ(headers->at("access_token"), "");
  EXPECT_EQ(headers->at("client_id"), " id ");
}

TEST(ConfigApiHeaders, missing_token_is_a_validation_error_on_token) {
  Config config{"id", std::nullopt, std::nullopt, Environment::sandbox, std::nullopt};
  std::optional<AccessToken> none;
  Result<json::TextMap> headers = Ctx{config, none}.api_headers();
  ASSERT_FALSE(headers.has_value());
  EXPECT_EQ(headers.error(),
            Error::validation("token", "an access token is required for this operation"));
}

}  // namespace
}  // namespace quorvex_bo
