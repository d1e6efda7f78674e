// Request building of the seven gateway operations: the exact bodies, the URLs,
// and the order in which the rules are checked.

#include "quorvex_bo/fx/ops.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvex_bo/core/json.hpp"

namespace {

using quorvex_bo::AccessToken;
using quorvex_bo::Config;
using quorvex_bo::Ctx;
using quorvex_bo::Error;
using quorvex_bo::HttpRequest;
using quorvex_bo::Method;
using quorvex_bo::Result;
namespace fx = quorvex_bo::fx;
namespace json = quorvex_bo::json;

constexpr std::string_view base = "https://gw.test/api";
const std::string hook = R"({"url":"https://merchant.test/hook","key":"X-Hook","value":"s3cret"})";
const std::string hook_json =
    R"({"key":"X-Hook","url":"https://merchant.test/hook","value":"s3cret"})";

const json::TextMap expected_headers{{"Accept", "application/json"},
                                     {"Authorization", "Bearer tok"},
                                     {"Content-Type", "application/json"},
                                     {"access_token", "tok"},
                                     {"client_id", "cid"}};

const Error missing_token =
    Error::validation("token", "an access token is required for this operation");

constexpr std::string_view phone_message = "must be `+` followed by 13 digits, e.g. +5511999999999";
constexpr std::string_view glosa_message = "must be `branch_code|branch_name|category|description`";
constexpr std::string_view crypto_expiry_message = "must be between 180 and 600 seconds";

// An input object as member name → raw JSON text; changes replace or remove members.
using Members = std::map<std::string, std::string>;
using Change = std::pair<std::string, std::optional<std::string>>;  // nullopt: remove

std::string input_text(Members members, const std::vector<Change>& changes = {}) {
  for (const auto& [name, raw] : changes) {
    if (raw)
      members[name] = *raw;
    else
      members.erase(name);
  }
  std::string out = "{";
  for (const auto& [name, raw] : members) {
    if (out.size() > 1) out.push_back(',');
    out.append("\"").append(name).append("\":").append(raw);
  }
  return out + "}";
}

const Members pix_base{{"reference", R"("123")"},
                       {"glosa", R"("1|2|3|4")"},
                       {"amount", R"("10")"},
                       {"payer_cpf", R"("12345678901")"},
                       {"payer_phone", R"("+5511999999999")"},
                       {"webhook", hook}};
const Members binance_base{{"reference", R"("123")"},
                           {"glosa", R"("1|2|3|4")"},
                           {"amount", R"("10")"},
                           {"webhook", hook}};
const Members crypto_base{{"reference", R"("123")"}, {"glosa", R"("1|2|3|4")"},
                          {"amount", R"("100")"},    {"asset", R"("usdt")"},
                          {"expires_in", "300"},     {"webhook", hook}};

std::optional<AccessToken> some_token() { return AccessToken{"tok", "Bearer", 0, std::nullopt}; }

Config config_with_base(std::string base_url) {
  Config config;
  config.client_id = "cid";
  config.base_url = std::move(base_url);
  return config;
}

// Decodes the input record from its JSON text and runs the operation's builder.
template <class Op>
Result<HttpRequest> build(std::string_view input, bool with_token = true) {
  auto decoded = json::decode<typename Op::Input>(input);
  if (!decoded) {
    ADD_FAILURE() << "input does not decode: " << decoded.error() << "\n" << input;
    return std::unexpected(Error::ffi(decoded.error()));
  }
  const Config config = config_with_base(std::string(base));
  const std::optional<AccessToken> token = with_token ? some_token() : std::nullopt;
  return Op::request(Ctx{config, token}, *decoded);
}

void expect_error(const Result<HttpRequest>& result, std::string_view field,
                  std::string_view message) {
  ASSERT_FALSE(result.has_value()) << "built: " << result->body.value_or("<no body>");
  EXPECT_EQ(result.error(), Error::validation(field, message));
}

// One rule: the changes made to a valid input, and the error (none: passes).
struct RuleCase {
  std::vector<Change> changes;
  std::string field;
  std::string message;
};

std::ostream& operator<<(std::ostream& os, const RuleCase& c) {
  for (const auto& [name, raw] : c.changes) os << name << "=" << raw.value_or("<absent>") << " ";
  return os << "-> " << (c.message.empty() ? "ok" : c.field + ": " + c.message);
}

void check_rule(const Result<HttpRequest>& result, const RuleCase& c) {
  if (c.message.empty()) {
    EXPECT_TRUE(result.has_value()) << c << " failed with " << result.error().field << ": "
                                    << result.error().message;
  } else {
    expect_error(result, c.field, c.message);
  }
}

// ---- exact requests ---------------------------------------------------------

TEST(FxRequestPixGenerate, minimal_input_gives_the_exact_body_without_optional_members) {
  // Input members out of order on purpose: the body comes out sorted all the same.
  auto request = build<fx::PixGenerate>(
      R"({"webhook":)" + hook +
      R"(,"expires_in":900,"payer_phone":"+5511999999999","payer_cpf":"12345678901",)"
      R"("amount":100.50,"glosa":" 001 | Centro | Ventas | Pago ","reference":"123"})");
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(request->method, Method::POST);
  EXPECT_EQ(request->url, "https://gw.test/api/qr/pix/v2/generar");
  EXPECT_EQ(request->headers, expected_headers);
  EXPECT_EQ(request->body, R"({"canal":"WEB","cpf":"12345678901","glosa":"001|Centro|Ventas|Pago",)"
                           R"("moneda":"BOB","monto":100.5,"numeroReferencia":"123",)"
                           R"("telefono":"+5511999999999","tiempoQr":"00:15:00","webhook":)" +
                               hook_json + "}");
}

TEST(FxRequestPixGenerate, every_optional_member_is_sent_when_given) {
  auto request = build<fx::PixGenerate>(input_text(
      pix_base, {{"currency", R"("USD")"},
                 {"channel", R"(" app_1 ")"},
                 {"payer_email", R"("ana@example.com")"},
                 {"extra", R"("nota \"uno\"\n\u0001 ñ")"},
                 {"amount", R"("1000.00")"},
                 {"expires_in", "86399"}}));
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(request->body, R"({"campoExtra":"nota \"uno\"\n\u0001 ñ","canal":"APP_1",)"
                           R"("correoElectronico":"ana@example.com","cpf":"12345678901",)"
                           R"("glosa":"1|2|3|4","moneda":"USD","monto":1000,)"
                           R"("numeroReferencia":"123","telefono":"+5511999999999",)"
                           R"("tiempoQr":"23:59:59","webhook":)" +
                               hook_json + "}");
}

TEST(FxRequestPixGenerate, whole_request_record_is_written_with_sorted_members) {
  auto request = build<fx::PixGenerate>(input_text(pix_base));
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(json::write(std::move(*request).to_json()),
            R"({"body":"{\"canal\":\"WEB\",\"cpf\":\"12345678901\",\"glosa\":\"1|2|3|4\",)"
            R"(\"moneda\":\"BOB\",\"monto\":10,\"numeroReferencia\":\"123\",)"
            R"(\"telefono\":\"+5511999999999\",\"webhook\":{\"key\":\"X-Hook\",)"
            R"(\"url\":\"https://merchant.test/hook\",\"value\":\"s3cret\"}}",)"
            R"("headers":{"Accept":"application/json","Authorization":"Bearer tok",)"
            R"("Content-Type":"application/json","access_token":"tok","client_id":"cid"},)"
            R"("method":"POST","url":"https://gw.test/api/qr/pix/v2/generar"})");
}

TEST(FxRequestPixGenerate, texts_are_sent_exactly_as_given) {
  auto request = build<fx::PixGenerate>(input_text(
      pix_base, {{"reference", R"("007")"},
                 {"payer_email", R"(" a b@c ")"},
                 {"webhook", R"({"url":"  https://m.test/h ","key":"k","value":" v  v "})"}}));
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(request->body, R"({"canal":"WEB","correoElectronico":" a b@c ","cpf":"12345678901",)"
                           R"("glosa":"1|2|3|4","moneda":"BOB","monto":10,)"
                           R"("numeroReferencia":"007","telefono":"+5511999999999","webhook":)"
                           R"({"key":"k","url":"  https://m.test/h ","value":" v  v "}})");
}

TEST(FxRequestBinanceGenerate, body_always_carries_campo_extra) {
  auto request = build<fx::BinanceGenerate>(input_text(
      binance_base, {{"reference", R"("1234567890")"},
                     {"glosa", R"(" a | b | c | d ")"},
                     {"amount", "100.50"},
                     {"expires_in", "300"}}));
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(request->method, Method::POST);
  EXPECT_EQ(request->url, "https://gw.test/api/qr/binance/v2/generar");
  EXPECT_EQ(request->headers, expected_headers);
  EXPECT_EQ(request->body, R"({"campoExtra":"","canal":"WEB","glosa":"a|b|c|d","moneda":"BOB",)"
                           R"("monto":100.5,"numeroReferencia":"1234567890","tiempoQr":"00:05:00",)"
                           R"("webhook":)" +
                               hook_json + "}");
}

TEST(FxRequestBinanceGenerate, extra_and_currency_are_sent_and_no_expiry_leaves_tiempo_out) {
  auto request = build<fx::BinanceGenerate>(input_text(
      binance_base, {{"extra", R"("x")"}, {"currency", R"("USD")"}, {"channel", R"("pos")"}}));
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(request->body, R"({"campoExtra":"x","canal":"POS","glosa":"1|2|3|4","moneda":"USD",)"
                           R"("monto":10,"numeroReferencia":"123","webhook":)" +
                               hook_json + "}");
}

TEST(FxRequestCryptoGenerate, body_has_asset_code_integer_expiry_and_empty_extra) {
  auto request = build<fx::CryptoGenerate>(input_text(
      crypto_base,
      {{"reference", R"("77")"}, {"amount", R"("50.00")"}, {"asset", R"("usdc")"}}));
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(request->method, Method::POST);
  EXPECT_EQ(request->url, "https://gw.test/api/qr/koibanx/v2/generar");
  EXPECT_EQ(request->headers, expected_headers);
  EXPECT_EQ(request->body,
            R"({"activoVirtual":"UP","campoExtra":"","canal":"WEB","glosa":"1|2|3|4",)"
            R"("moneda":"BOB","monto":50,"numeroReferencia":"77","tiempoVencimientoQR":300,)"
            R"("webhook":)" +
                hook_json + "}");
}

struct AssetCase {
  std::string_view asset;
  std::string_view code;
};

class FxRequestCryptoAsset : public testing::TestWithParam<AssetCase> {};

TEST_P(FxRequestCryptoAsset, asset_is_sent_as_its_gateway_code) {
  auto request = build<fx::CryptoGenerate>(input_text(
      crypto_base, {{"asset", "\"" + std::string(GetParam().asset) + "\""},
                    {"amount", "7"},
                    {"currency", R"("USD")"},
                    {"expires_in", "600"},
                    {"extra", R"("e")"}}));
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(request->body, R"({"activoVirtual":")" + std::string(GetParam().code) +
                               R"(","campoExtra":"e","canal":"WEB","glosa":"1|2|3|4",)"
                               R"("moneda":"USD","monto":7,"numeroReferencia":"123",)"
                               R"("tiempoVencimientoQR":600,"webhook":)" +
                               hook_json + "}");
}

INSTANTIATE_TEST_SUITE_P(FxRequest, FxRequestCryptoAsset,
                         testing::Values(AssetCase{"usdt", "UT"}, AssetCase{"usdc", "UP"},
                                         AssetCase{"bk", "BK"}));

// ---- the access token is demanded last -----------------------------------------

TEST(FxRequestToken, valid_input_without_token_reports_the_token) {
  auto pix = build<fx::PixGenerate>(input_text(pix_base), false);
  ASSERT_FALSE(pix.has_value());
  EXPECT_EQ(pix.error(), missing_token);
  auto binance = build<fx::BinanceGenerate>(input_text(binance_base), false);
  ASSERT_FALSE(binance.has_value());
  EXPECT_EQ(binance.error(), missing_token);
  auto crypto = build<fx::CryptoGenerate>(input_text(crypto_base), false);
  ASSERT_FALSE(crypto.has_value());
  EXPECT_EQ(crypto.error(), missing_token);
}

TEST(FxRequestToken, invalid_input_without_token_reports_the_input) {
  // the last rule of each operation fails
  expect_error(build<fx::PixGenerate>(
                   input_text(pix_base, {{"payer_email", R"("none")"}}), false),
               "payer_email", "must be an email of at most 80 characters");
  expect_error(build<fx::BinanceGenerate>(input_text(binance_base, {{"expires_in", "301"}}),
                                          false),
               "expires_in", "must be between 1 and 300 seconds");
  expect_error(build<fx::CryptoGenerate>(input_text(crypto_base, {{"channel", R"("a b")"}}),
                                         false),
               "channel", "letters, digits and `_` only");
}

// ---- verify and cancel --------------------------------------------------------

struct StatusCase {
  std::string_view name;
  Result<HttpRequest> (*request)(const Ctx&, const fx::VerifyFx&);
  std::string_view path;
};

class FxRequestStatus : public testing::TestWithParam<StatusCase> {
 protected:
  Result<HttpRequest> run(std::string reference, bool with_token = true) const {
    // a trailing slash on the base and none doubled at the seam
    const Config config = config_with_base(std::string(base) + "//");
    const std::optional<AccessToken> token = with_token ? some_token() : std::nullopt;
    return GetParam().request(Ctx{config, token}, fx::VerifyFx{std::move(reference)});
  }
};

TEST_P(FxRequestStatus, get_request_keeps_leading_zeros_and_has_no_body) {
  auto request = run("00123");
  ASSERT_TRUE(request.has_value()) << request.error().message;
  EXPECT_EQ(request->method, Method::GET);
  EXPECT_EQ(request->url, "https://gw.test/api/" + std::string(GetParam().path) + "/00123");
  EXPECT_EQ(request->headers, expected_headers);
  EXPECT_EQ(request->body, std::nullopt);
}

TEST_P(FxRequestStatus, reference_has_no_length_limit) {
  auto request = run("123456789012345678901234567890");
  ASSERT_TRUE(request.has_value()) << request.error().message;
}

TEST_P(FxRequestStatus, reference_must_be_digits_only_before_the_token_is_demanded) {
  expect_error(run("12/../34", false), "reference", "must contain only digits");
  expect_error(run("1?x=2"), "reference", "must contain only digits");
  expect_error(run(" 1"), "reference", "must contain only digits");
  expect_error(run(" "), "reference", "must not be empty");
  expect_error(run("", false), "reference", "must not be empty");
}

TEST_P(FxRequestStatus, valid_reference_without_token_reports_the_token) {
  auto request = run("1", false);
  ASSERT_FALSE(request.has_value());
  EXPECT_EQ(request.error(), missing_token);
}

INSTANTIATE_TEST_SUITE_P(
    FxRequest, FxRequestStatus,
    testing::Values(StatusCase{"pix_verify", &fx::PixVerify::request, "qr/pix/v2/verifica"},
                    StatusCase{"pix_cancel", &fx::PixCancel::request, "qr/pix/v2/cancela"},
                    StatusCase{"crypto_verify", &fx::CryptoVerify::request,
                               "qr/koibanx/v2/estado"},
                    StatusCase{"binance_verify", &fx::BinanceVerify::request,
                               "qr/binance/v2/verificar"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- pix.generate rules --------------------------------------------------------

class FxRequestPixRule : public testing::TestWithParam<RuleCase> {};

TEST_P(FxRequestPixRule, pix_input_rule) {
  check_rule(build<fx::PixGenerate>(input_text(pix_base, GetParam().changes)), GetParam());
}

RuleCase phone(std::string raw) {
  return {{{"payer_phone", "\"" + raw + "\""}}, "payer_phone", std::string(phone_message)};
}
RuleCase cpf(std::string raw) {
  return {{{"payer_cpf", "\"" + raw + "\""}}, "payer_cpf", "must be 11 digits"};
}

INSTANTIATE_TEST_SUITE_P(
    FxRequest, FxRequestPixRule,
    testing::Values(
        RuleCase{{{"reference", R"("00000")"}, {"payer_cpf", R"("00000000000")"},
                  {"payer_phone", R"("+0000000000000")"}}, "", ""},
        RuleCase{{{"reference", R"("12a")"}}, "reference", "must contain only digits"},
        RuleCase{{{"reference", R"(" 123")"}}, "reference", "must contain only digits"},
        RuleCase{{{"reference", R"("   ")"}}, "reference", "must not be empty"},
        cpf("123.456.789-01"), cpf("1234567890"), cpf("123456789012"), cpf(" 2345678901"),
        cpf("1234567890١"), cpf(""),
        phone("5511999999999"), phone("+55 11 99999999"), phone("+551199999999"),
        phone("+55119999999999"), phone("055119999999999"), phone("+5511999999+99"),
        phone("+551199999999 "), phone(""),
        RuleCase{{{"expires_in", "1"}}, "", ""},
        RuleCase{{{"expires_in", "86399"}}, "", ""},
        RuleCase{{{"expires_in", "null"}}, "", ""},
        RuleCase{{{"expires_in", "0"}}, "expires_in", "must be between 1 and 86399 seconds"},
        RuleCase{{{"expires_in", "86400"}}, "expires_in", "must be between 1 and 86399 seconds"},
        RuleCase{{{"payer_email", R"("@")"}}, "", ""},
        RuleCase{{{"payer_email", "null"}}, "", ""},
        RuleCase{{{"payer_email", R"("no-at-sign")"}}, "payer_email",
                 "must be an email of at most 80 characters"},
        RuleCase{{{"payer_email", R"("")"}}, "payer_email",
                 "must be an email of at most 80 characters"},
        RuleCase{{{"payer_email", "\"@" + std::string(79, 'a') + "\""}}, "", ""},
        RuleCase{{{"payer_email", "\"@" + std::string(80, 'a') + "\""}}, "payer_email",
                 "must be an email of at most 80 characters"},
        RuleCase{{{"channel", R"("")"}}, "channel", "must not be empty"},
        RuleCase{{{"channel", R"("mobile app")"}}, "channel", "letters, digits and `_` only"},
        RuleCase{{{"channel", R"("é")"}}, "channel", "letters, digits and `_` only"},
        RuleCase{{{"channel", "null"}}, "", ""},  // null takes the default "WEB"
        // the expiry is tested before the e-mail
        RuleCase{{{"expires_in", "0"}, {"payer_email", R"("x")"}}, "expires_in",
                 "must be between 1 and 86399 seconds"},
        // the channel (common body) is tested before the expiry
        RuleCase{{{"expires_in", "0"}, {"channel", R"("a-b")"}}, "channel",
                 "letters, digits and `_` only"},
        // bad reference and bad CPF: the reference
        RuleCase{{{"reference", R"("x")"}, {"payer_cpf", R"("1")"}}, "reference",
                 "must contain only digits"},
        // bad CPF and bad phone: the CPF
        RuleCase{{{"payer_cpf", R"("1")"}, {"payer_phone", R"("1")"}}, "payer_cpf",
                 "must be 11 digits"},
        // bad phone and amount 0: the phone
        RuleCase{{{"payer_phone", R"("1")"}, {"amount", "0"}}, "payer_phone",
                 std::string(phone_message)},
        // good identity, bad glosa, no webhook: the webhook
        RuleCase{{{"glosa", R"("x")"}, {"webhook", std::nullopt}}, "webhook",
                 "is required by Quorvex"},
        // amount 0 and no webhook: the amount
        RuleCase{{{"amount", "0"}, {"webhook", std::nullopt}}, "amount",
                 "must be greater than zero"}));

// ---- rules of the common body, alike for the three generate operations -----------

class FxRequestCommon : public testing::TestWithParam<RuleCase> {};

TEST_P(FxRequestCommon, common_rules_apply_alike_to_every_generate_operation) {
  // USD, so that the crypto minimum stays out of the way
  std::vector<Change> changes = GetParam().changes;
  changes.insert(changes.begin(), {"currency", R"("USD")"});
  check_rule(build<fx::PixGenerate>(input_text(pix_base, changes)), GetParam());
  check_rule(build<fx::BinanceGenerate>(input_text(binance_base, changes)), GetParam());
  check_rule(build<fx::CryptoGenerate>(input_text(crypto_base, changes)), GetParam());
}

RuleCase glosa(std::string raw) {
  return {{{"glosa", "\"" + raw + "\""}}, "glosa", std::string(glosa_message)};
}
RuleCase hook_case(std::optional<std::string> raw, std::string field = "",
                   std::string message = "") {
  return {{{"webhook", std::move(raw)}}, std::move(field), std::move(message)};
}

INSTANTIATE_TEST_SUITE_P(
    FxRequest, FxRequestCommon,
    testing::Values(
        RuleCase{{{"amount", "0.01"}}, "", ""},
        RuleCase{{{"amount", "10.010"}}, "", ""},
        RuleCase{{{"amount", R"(" 1e2 ")"}}, "", ""},
        RuleCase{{{"amount", "0"}}, "amount", "must be greater than zero"},
        RuleCase{{{"amount", R"("-0")"}}, "amount", "must be greater than zero"},
        RuleCase{{{"amount", "-1.234"}}, "amount", "must be greater than zero"},
        RuleCase{{{"amount", "10.001"}}, "amount", "at most 2 decimal places are allowed"},
        glosa("a|b|c"), glosa("a|b|c|d|e"), glosa("a| |c|d"), glosa("a||b|c"), glosa(""),
        RuleCase{{{"glosa", R"(" a | b | c | d ")"}}, "", ""},
        RuleCase{{{"channel", R"("")"}}, "channel", "must not be empty"},
        RuleCase{{{"channel", R"("café")"}}, "channel", "letters, digits and `_` only"},
        hook_case(std::nullopt, "webhook", "is required by Quorvex"),
        hook_case("null", "webhook", "is required by Quorvex"),
        hook_case(R"({"url":"http://m","key":"X_a-1","value":"v v"})"),
        hook_case(R"({"url":"https://","key":"k","value":"v"})"),
        hook_case(R"({"url":"HTTPS://m","key":"k","value":"v"})", "webhook.url",
                  "must be an http(s) URL"),
        hook_case(R"({"url":"ftp://m","key":"k","value":"v"})", "webhook.url",
                  "must be an http(s) URL"),
        hook_case(R"({"url":"https://m","key":" ","value":"v"})", "webhook.key",
                  "must not be empty"),
        hook_case(R"({"url":"https://m","key":"X Hook","value":"v"})", "webhook.key",
                  "must be a valid HTTP header name"),
        hook_case(R"({"url":"https://m","key":"k","value":"  "})", "webhook.value",
                  "must not be empty"),
        // the amount, then the webhook, then the glosa, then the channel
        RuleCase{{{"amount", "0"}, {"webhook", std::nullopt}}, "amount",
                 "must be greater than zero"},
        RuleCase{{{"glosa", R"("bad")"}, {"webhook", std::nullopt}}, "webhook",
                 "is required by Quorvex"},
        RuleCase{{{"glosa", R"("bad")"}, {"webhook", R"({"url":"x","key":"k","value":"v"})"}},
                 "webhook.url", "must be an http(s) URL"},
        RuleCase{{{"glosa", R"("bad")"}, {"channel", R"("")"}}, "glosa",
                 std::string(glosa_message)}));

// ---- crypto.generate: the minimum in bolivianos and the expiry --------------------

class FxRequestCryptoRule : public testing::TestWithParam<RuleCase> {};

TEST_P(FxRequestCryptoRule, crypto_minimum_and_expiry) {
  check_rule(build<fx::CryptoGenerate>(input_text(crypto_base, GetParam().changes)), GetParam());
}

RuleCase bob(std::string amount, std::string message = "") {
  return {{{"amount", std::move(amount)}}, message.empty() ? "" : "amount", std::move(message)};
}
RuleCase expiry(std::string seconds, bool passes) {
  return {{{"expires_in", std::move(seconds)}},
          passes ? "" : "expires_in",
          passes ? "" : std::string(crypto_expiry_message)};
}

INSTANTIATE_TEST_SUITE_P(
    FxRequest, FxRequestCryptoRule,
    testing::Values(
        bob("50"), bob("50.00"), bob(R"("5E1")"), bob("50.01"),
        bob("49.99", "minimum is Bs 50"), bob("49.999", "minimum is Bs 50"),
        bob("-100", "minimum is Bs 50"), bob("0", "minimum is Bs 50"),
        RuleCase{{{"amount", "10"}, {"currency", R"("USD")"}}, "", ""},
        RuleCase{{{"amount", "0"}, {"currency", R"("USD")"}}, "amount",
                 "must be greater than zero"},
        expiry("179", false), expiry("180", true), expiry("600", true), expiry("601", false),
        expiry("0", false), expiry("18446744073709551615", false),
        // the minimum is tested before the expiry, the expiry before the webhook
        RuleCase{{{"amount", "20"}, {"expires_in", "100"}}, "amount", "minimum is Bs 50"},
        RuleCase{{{"amount", "20"}, {"currency", R"("USD")"}, {"expires_in", "100"}},
                 "expires_in", std::string(crypto_expiry_message)},
        RuleCase{{{"amount", "20"}, {"currency", R"("USD")"}, {"webhook", std::nullopt}},
                 "webhook", "is required by Quorvex"},
        // the reference comes first of all
        RuleCase{{{"reference", R"("x")"}, {"amount", "1"}, {"expires_in", "1"}}, "reference",
                 "must contain only digits"}));

// ---- binance.generate: the reference limit and the expiry -------------------------

class FxRequestBinanceRule : public testing::TestWithParam<RuleCase> {};

TEST_P(FxRequestBinanceRule, binance_reference_and_expiry) {
  check_rule(build<fx::BinanceGenerate>(input_text(binance_base, GetParam().changes)),
             GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    FxRequest, FxRequestBinanceRule,
    testing::Values(
        RuleCase{{{"reference", R"("1234567890")"}}, "", ""},
        RuleCase{{{"reference", R"("0000000000")"}}, "", ""},
        RuleCase{{{"reference", R"("12345678901")"}}, "reference", "at most 10 digits"},
        RuleCase{{{"reference", R"("123456789 ")"}}, "reference", "must contain only digits"},
        RuleCase{{{"reference", R"("")"}}, "reference", "must not be empty"},
        RuleCase{{{"expires_in", "1"}}, "", ""},
        RuleCase{{{"expires_in", "300"}}, "", ""},
        RuleCase{{{"expires_in", "301"}}, "expires_in", "must be between 1 and 300 seconds"},
        RuleCase{{{"expires_in", "0"}}, "expires_in", "must be between 1 and 300 seconds"},
        // the reference limit comes before the common body
        RuleCase{{{"reference", R"("12345678901")"}, {"amount", "0"}}, "reference",
                 "at most 10 digits"},
        // the common body comes before the expiry
        RuleCase{{{"expires_in", "0"}, {"webhook", std::nullopt}}, "webhook",
                 "is required by Quorvex"}));

}  // namespace
