// Request building of the seven gateway operations: the exact bodies, the URLs,
// and the order in which the rules are checked.

#include "quorvex_bo/fx/ops.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvex_bo/core/json.hpp"

namespace {

using namespace quorvex_bo;

const std::string hook = R"({"url":"https://merchant.test/hook","key":"X-Hook","value":"s3cret"})";
// The webhook member as sent; always the last member, so it closes the body.
const std::string hook_json =
    R"("webhook":{"key":"X-Hook","url":"https://merchant.test/hook","value":"s3cret"}})";
const Headers expected_headers{
    {"Accept", "application/json"}, {"Authorization", "Bearer tok"},
    {"Content-Type", "application/json"}, {"access_token", "tok"}, {"client_id", "cid"}};
const std::string no_token = "token: an access token is required for this operation";
const std::string bad_phone =
    "payer_phone: must be `+` followed by 13 digits, e.g. +5511999999999";
const std::string bad_glosa = "glosa: must be `branch_code|branch_name|category|description`";
const std::string no_hook = "webhook: is required by Quorvex";
const std::string crypto_expiry = "expires_in: must be between 180 and 600 seconds";
const std::string below_50 = "amount: minimum is Bs 50";

// An input object as member name → raw JSON; changes replace or (nullopt) remove members.
using Members = std::map<std::string, std::string>;
using Changes = std::vector<std::pair<std::string, std::optional<std::string>>>;

const Members pix_base{{"reference", R"("123")"}, {"glosa", R"("1|2|3|4")"},
                       {"amount", R"("10")"}, {"payer_cpf", R"("12345678901")"},
                       {"payer_phone", R"("+5511999999999")"}, {"webhook", hook}};
const Members binance_base{{"reference", R"("123")"}, {"glosa", R"("1|2|3|4")"},
                           {"amount", R"("10")"}, {"webhook", hook}};
const Members crypto_base{{"reference", R"("123")"}, {"glosa", R"("1|2|3|4")"},
                          {"amount", R"("100")"}, {"asset", R"("usdt")"},
                          {"expires_in", "300"}, {"webhook", hook}};

std::string q(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string input_text(Members members, const Changes& changes) {
  for (const auto& [name, raw] : changes) {
    if (raw) members[name] = *raw;
    else members.erase(name);
  }
  std::string out = "{";
  for (const auto& [name, raw] : members)
    out.append(out.size() > 1 ? "," : "").append(q(name)).append(":").append(raw);
  return out + "}";
}

Config config(std::string base_url = "https://gw.test/api") {
  Config out;
  out.client_id = "cid";
  out.base_url = std::move(base_url);
  return out;
}
const std::optional<AccessToken> token = AccessToken{"tok", "Bearer", 0, std::nullopt};
const std::optional<AccessToken> no_access = std::nullopt;

template <class Op>
Result<HttpRequest> build(const Members& base, const Changes& changes, bool with_token) {
  auto input = json::decode<typename Op::Input>(input_text(base, changes));
  if (!input) return std::unexpected(Error::ffi("input does not decode: " + input.error()));
  return Op::request(Ctx{config(), with_token ? token : no_access}, *input);
}

// "ok", or the validation error as "field: message".
std::string outcome(const Result<HttpRequest>& result) {
  if (result) return "ok";
  const Error& error = result.error();
  return (error.kind == ErrorKind::validation ? error.field + ": " : "not validation: ") +
         error.message;
}

// Upper case: with an access token; lower case: without.
Result<HttpRequest> run(char op, const Changes& changes) {
  const bool with_token = op < 'a';
  if (op == 'P' || op == 'p') return build<fx::PixGenerate>(pix_base, changes, with_token);
  if (op == 'B' || op == 'b')
    return build<fx::BinanceGenerate>(binance_base, changes, with_token);
  return build<fx::CryptoGenerate>(crypto_base, changes, with_token);
}

struct BodyCase {
  char op;
  Changes changes;
  std::string_view path;
  std::string body;  // up to the webhook member
};

TEST(FxRequestBody, generate_operations_send_the_exact_body) {
  const std::vector<BodyCase> cases{
      {'P', {{"amount", "100.50"}, {"expires_in", "900"}, {"glosa", q(" 001 | Centro | Ventas | Pago ")}},
       "qr/pix/v2/generar",
       R"({"canal":"WEB","cpf":"12345678901","glosa":"001|Centro|Ventas|Pago",)"
       R"("moneda":"BOB","monto":100.5,"numeroReferencia":"123",)"
       R"("telefono":"+5511999999999","tiempoQr":"00:15:00",)"},
      // every optional member: texts exactly as given, channel and amount normalized
      {'P', {{"reference", q("007")}, {"currency", q("USD")}, {"channel", q(" app_1 ")},
             {"payer_email", q(" a b@c ")}, {"extra", R"("nota \"uno\"\n\u0001 ñ")"},
             {"amount", q("1000.00")}, {"expires_in", "86399"}},
       "qr/pix/v2/generar",
       R"({"campoExtra":"nota \"uno\"\n\u0001 ñ","canal":"APP_1",)"
       R"("correoElectronico":" a b@c ","cpf":"12345678901","glosa":"1|2|3|4",)"
       R"("moneda":"USD","monto":1000,"numeroReferencia":"007",)"
       R"("telefono":"+5511999999999","tiempoQr":"23:59:59",)"},
      {'B', {{"reference", q("1234567890")}, {"amount", "100.50"}, {"expires_in", "300"}},
       "qr/binance/v2/generar",
       R"({"campoExtra":"","canal":"WEB","glosa":"1|2|3|4","moneda":"BOB","monto":100.5,)"
       R"("numeroReferencia":"1234567890","tiempoQr":"00:05:00",)"},
      {'C', {{"amount", q("50.00")}, {"asset", q("usdc")}}, "qr/koibanx/v2/generar",
       R"({"activoVirtual":"UP","campoExtra":"","canal":"WEB","glosa":"1|2|3|4",)"
       R"("moneda":"BOB","monto":50,"numeroReferencia":"123","tiempoVencimientoQR":300,)"},
  };
  for (const BodyCase& c : cases) {
    auto request = run(c.op, c.changes);
    ASSERT_TRUE(request) << outcome(request);
    EXPECT_EQ(request->method, Method::POST);
    EXPECT_EQ(request->url, "https://gw.test/api/" + std::string(c.path));
    EXPECT_EQ(request->headers, expected_headers);
    EXPECT_EQ(request->body, c.body + hook_json);
  }
  for (const auto& [asset, code] : {std::pair{"usdt", "UT"}, std::pair{"bk", "BK"}}) {
    auto request = run('C', {{"asset", q(asset)}});
    ASSERT_TRUE(request) << outcome(request);
    const std::string start = R"({"activoVirtual":")" + std::string(code) + "\"";
    EXPECT_TRUE(request->body.value_or("").starts_with(start)) << request->body.value_or("");
  }
}

struct StatusCase {
  std::string_view name;
  Result<HttpRequest> (*request)(const Ctx&, const fx::VerifyFx&);
  std::string_view path;
};

TEST(FxRequestStatus, verify_and_cancel_are_gets_with_the_reference_in_the_path) {
  const Config base = config("https://gw.test/api//");  // no doubled slash at the seam
  for (const StatusCase& c : {
           StatusCase{"pix.verify", &fx::PixVerify::request, "qr/pix/v2/verifica"},
           StatusCase{"pix.cancel", &fx::PixCancel::request, "qr/pix/v2/cancela"},
           StatusCase{"crypto.verify", &fx::CryptoVerify::request, "qr/koibanx/v2/estado"},
           StatusCase{"binance.verify", &fx::BinanceVerify::request, "qr/binance/v2/verificar"}}) {
    SCOPED_TRACE(c.name);
    auto request = c.request(Ctx{base, token}, {"00123"});
    ASSERT_TRUE(request) << outcome(request);
    EXPECT_EQ(request->method, Method::GET);
    EXPECT_EQ(request->url, "https://gw.test/api/" + std::string(c.path) + "/00123");
    EXPECT_EQ(request->headers, expected_headers);
    EXPECT_EQ(request->body, std::nullopt);
    // no length limit, not even for binance.verify; the rule comes before the token
    EXPECT_EQ(outcome(c.request(Ctx{base, token}, {std::string(30, '9')})), "ok");
    EXPECT_EQ(outcome(c.request(Ctx{base, no_access}, {"12/../34"})),
              "reference: must contain only digits");
    EXPECT_EQ(outcome(c.request(Ctx{base, no_access}, {" "})), "reference: must not be empty");
    EXPECT_EQ(outcome(c.request(Ctx{base, no_access}, {"1"})), no_token);
  }
}

// One row: the operations it applies to (P pix, B binance, C crypto; lower case:
// without an access token), the changes made to each one's valid input, the outcome.
struct Rule {
  std::string_view ops;
  Changes changes;
  std::string expected;
};

TEST(FxRequestRules, first_failing_rule_is_reported) {
  const std::string pix_expiry = "expires_in: must be between 1 and 86399 seconds";
  const std::string bad_cpf = "payer_cpf: must be 11 digits";
  const std::string not_digits = "reference: must contain only digits";
  const std::string bad_channel = "channel: letters, digits and `_` only";
  const std::vector<Rule> rules{
      // the access token is demanded only once every input rule has passed
      {"pbc", {}, no_token},
      {"p", {{"payer_email", q("x")}}, "payer_email: must be an email of at most 80 characters"},
      {"b", {{"expires_in", "301"}}, "expires_in: must be between 1 and 300 seconds"},
      {"c", {{"channel", q("a b")}}, bad_channel},
      // pix.generate: reference, CPF, phone, common body, expiry, e-mail
      {"P", {{"reference", q("0")}, {"payer_cpf", q("00000000000")},
             {"payer_phone", q("+0000000000000")}}, "ok"},
      {"P", {{"payer_cpf", q("1234567890")}}, bad_cpf},
      {"P", {{"payer_cpf", q("123456789012")}}, bad_cpf},
      {"P", {{"payer_cpf", q(" 2345678901")}}, bad_cpf},
      {"P", {{"payer_phone", q("5511999999999")}}, bad_phone},
      {"P", {{"payer_phone", q("05511999999999")}}, bad_phone},
      {"P", {{"payer_phone", q("+55119999999999")}}, bad_phone},
      {"P", {{"payer_phone", q("+5511999999+99")}}, bad_phone},
      {"P", {{"expires_in", "86400"}}, pix_expiry},
      {"P", {{"expires_in", "0"}, {"payer_email", q("x")}}, pix_expiry},
      {"P", {{"expires_in", "0"}, {"channel", q("a-b")}}, bad_channel},
      {"P", {{"reference", q("x")}, {"payer_cpf", q("1")}}, not_digits},
      {"P", {{"payer_cpf", q("1")}, {"payer_phone", q("1")}}, bad_cpf},
      {"P", {{"payer_phone", q("1")}, {"amount", "0"}}, bad_phone},
      {"P", {{"glosa", q("x")}, {"webhook", std::nullopt}}, no_hook},
      {"P", {{"amount", "0"}, {"webhook", std::nullopt}}, "amount: must be greater than zero"},
      // the common body of all three: amount, webhook, glosa, channel
      {"PBC", {{"amount", "50.001"}}, "amount: at most 2 decimal places are allowed"},
      {"PBC", {{"webhook", std::nullopt}}, no_hook},
      {"PBC", {{"webhook", "null"}}, no_hook},
      {"PBC", {{"channel", q("mobile app")}}, bad_channel},
      {"PBC", {{"glosa", q("bad")}, {"webhook", R"({"url":"x","key":"k","value":"v"})"}},
       "webhook.url: must be an http(s) URL"},
      {"PBC", {{"glosa", q("bad")}, {"channel", q("")}}, bad_glosa},
      // crypto.generate: reference, minimum in bolivianos, expiry, common body
      {"C", {{"amount", "49.99"}}, below_50},
      {"C", {{"amount", "49.999"}}, below_50},
      {"C", {{"amount", "10"}, {"currency", q("USD")}}, "ok"},
      {"C", {{"amount", "0"}, {"currency", q("USD")}}, "amount: must be greater than zero"},
      {"C", {{"expires_in", "179"}}, crypto_expiry},
      {"C", {{"expires_in", "180"}}, "ok"},
      {"C", {{"expires_in", "600"}}, "ok"},
      {"C", {{"expires_in", "601"}}, crypto_expiry},
      {"C", {{"amount", "20"}, {"expires_in", "100"}}, below_50},
      {"C", {{"amount", "20"}, {"currency", q("USD")}, {"expires_in", "100"}}, crypto_expiry},
      {"C", {{"amount", "20"}, {"currency", q("USD")}, {"webhook", std::nullopt}}, no_hook},
      {"C", {{"reference", q("x")}, {"amount", "1"}, {"expires_in", "1"}}, not_digits},
      // binance.generate: reference of at most 10 digits, common body, expiry
      {"B", {{"reference", q("12345678901")}}, "reference: at most 10 digits"},
      {"B", {{"reference", q("12345678901")}, {"amount", "0"}}, "reference: at most 10 digits"},
      {"B", {{"expires_in", "0"}, {"webhook", std::nullopt}}, no_hook},
  };
  for (const Rule& rule : rules) {
    for (const char op : rule.ops) {
      EXPECT_EQ(outcome(run(op, rule.changes)), rule.expected)
          << op << " with " << input_text({}, rule.changes);
    }
  }
}

}  // namespace
