// The rules of request building and the order in which they are checked. The
// exact requests are in the end-to-end stories (tests/python/test_stories.py).

#include "quorvex_bo/fx/ops.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace quorvex_bo;

const std::string no_token = "token: an access token is required for this operation";
const std::string bad_phone =
    "payer_phone: must be `+` followed by 13 digits, e.g. +5511999999999";
const std::string no_hook = "webhook: is required by Quorvex";
const std::string crypto_expiry = "expires_in: must be between 180 and 600 seconds";
const std::string below_50 = "amount: minimum is Bs 50";

// Members as name → raw JSON: a value replaces one, nullopt removes it.
using Changes = std::vector<std::pair<std::string, std::optional<std::string>>>;

std::string q(std::string_view text) { return "\"" + std::string(text) + "\""; }

// The valid input of each operation (p pix, b binance, c crypto), then the changes.
std::string input_text(char op, const Changes& changes) {
  std::map<std::string, std::string> members{
      {"reference", q("123")}, {"glosa", q("1|2|3|4")}, {"amount", q("10")},
      {"webhook", R"({"url":"https://merchant.test/hook","key":"X-Hook","value":"s3cret"})"}};
  const Changes base =
      op == 'p'   ? Changes{{"payer_cpf", q("12345678901")}, {"payer_phone", q("+5511999999999")}}
      : op == 'c' ? Changes{{"amount", q("100")}, {"asset", q("usdt")}, {"expires_in", "300"}}
                  : Changes{};
  for (const Changes* list : {&base, &changes})
    for (const auto& [name, raw] : *list) {
      if (raw) members[name] = *raw;
      else members.erase(name);
    }
  std::string out = "{";
  for (const auto& [name, raw] : members)
    out.append(out.size() > 1 ? "," : "").append(q(name)).append(":").append(raw);
  return out + "}";
}

const Config config{"cid", {}, {}, Environment::sandbox, {}};
const std::optional<AccessToken> token = AccessToken{"tok", "Bearer", 0, std::nullopt};
const std::optional<AccessToken> no_access = std::nullopt;

// "ok", or the error as "field: message".
std::string outcome(const Result<HttpRequest>& result) {
  return result ? "ok" : result.error().field + ": " + result.error().message;
}

// Upper case: with an access token; lower case: without.
std::string run(char op, const Changes& changes) {
  const char lower = static_cast<char>(op | 0x20);
  const Ctx ctx{config, op == lower ? no_access : token};
  const auto build = [&]<class Op>(Op) -> Result<HttpRequest> {
    auto input = json::decode<typename Op::Input>(input_text(lower, changes));
    if (!input) return std::unexpected(Error::ffi("input does not decode: " + input.error()));
    return Op::request(ctx, *input);
  };
  return outcome(lower == 'p'   ? build(fx::PixGenerate{})
                 : lower == 'b' ? build(fx::BinanceGenerate{})
                                : build(fx::CryptoGenerate{}));
}

TEST(FxRequestRules, first_failing_rule_is_reported) {
  const std::string pix_expiry = "expires_in: must be between 1 and 86399 seconds";
  const std::string bad_cpf = "payer_cpf: must be 11 digits";
  const std::string not_digits = "reference: must contain only digits";
  const std::string bad_channel = "channel: letters, digits and `_` only";
  // The operations a row applies to (P pix, B binance, C crypto; lower case: without
  // an access token), the changes made to each one's valid input, the outcome.
  const std::tuple<std::string_view, Changes, std::string> rules[]{
      // the access token is demanded only once every input rule has passed
      {"pbc", {}, no_token},
      {"p", {{"payer_email", q("x")}}, "payer_email: must be an email of at most 80 characters"},
      {"b", {{"expires_in", "301"}}, "expires_in: must be between 1 and 300 seconds"},
      {"c", {{"channel", q("a b")}}, bad_channel},
      // pix.generate: reference, CPF, phone, common body, expiry, e-mail
      {"P", {{"reference", q("0")}, {"payer_cpf", q("00000000000")},
             {"payer_phone", q("+0000000000000")}}, "ok"},
      {"P", {{"payer_cpf", q("123456789012")}}, bad_cpf},
      {"P", {{"payer_phone", q("05511999999999")}}, bad_phone},
      {"P", {{"payer_phone", q("+55119999999999")}}, bad_phone},
      {"P", {{"payer_email", q(std::string(78, 'a') + "@b")}, {"expires_in", "86399"}}, "ok"},
      {"P", {{"expires_in", "86400"}}, pix_expiry},
      {"P", {{"expires_in", "0"}, {"channel", q("a-b")}}, bad_channel},
      {"P", {{"reference", q("x")}, {"payer_cpf", q("1")}}, not_digits},
      {"P", {{"payer_cpf", q("1")}, {"payer_phone", q("1")}}, bad_cpf},
      {"P", {{"payer_phone", q("1")}, {"amount", "0"}}, bad_phone},
      {"P", {{"amount", "0"}, {"webhook", std::nullopt}}, "amount: must be greater than zero"},
      // the common body of all three: amount, webhook, glosa, channel
      {"PBC", {{"amount", "50.001"}}, "amount: at most 2 decimal places are allowed"},
      {"PBC", {{"webhook", std::nullopt}}, no_hook},
      {"PBC", {{"channel", q("mobile app")}}, bad_channel},
      {"PBC", {{"glosa", q("bad")}, {"webhook", R"({"url":"x","key":"k","value":"v"})"}},
       "webhook.url: must be an http(s) URL"},
      {"PBC", {{"glosa", q("a|b|c")}, {"channel", q("")}},
       "glosa: must be `branch_code|branch_name|category|description`"},
      // crypto.generate: reference, minimum in bolivianos, expiry, common body
      {"C", {{"asset", q("eth")}}, ": input does not decode: unknown variant `eth`, expected one "
                                   "of `usdt`, `usdc`, `bk` at line 1 column 25"},
      {"C", {{"amount", "49.99"}}, below_50},
      {"C", {{"amount", "10"}, {"currency", q("USD")}}, "ok"},
      {"C", {{"expires_in", "179"}}, crypto_expiry}, {"C", {{"expires_in", "180"}}, "ok"},
      {"C", {{"expires_in", "601"}}, crypto_expiry},
      {"C", {{"amount", "20"}, {"expires_in", "100"}}, below_50},
      {"C", {{"amount", "20"}, {"currency", q("USD")}, {"expires_in", "100"}}, crypto_expiry},
      {"C", {{"reference", q("x")}, {"amount", "1"}, {"expires_in", "1"}}, not_digits},
      // binance.generate: reference of at most 10 digits, common body, expiry
      {"B", {{"reference", q("12345678901")}}, "reference: at most 10 digits"},
      {"B", {{"reference", q("1234567890")}, {"expires_in", "300"}}, "ok"},
      {"B", {{"expires_in", "0"}, {"webhook", std::nullopt}}, no_hook}};
  for (const auto& [ops, changes, expected] : rules)
    for (const char op : ops)
      EXPECT_EQ(run(op, changes), expected) << op << " with " << input_text(' ', changes);
  // A status request checks its reference, then demands the token.
  EXPECT_EQ(outcome(fx::PixVerify::request(Ctx{config, no_access}, fx::VerifyFx{"123"})), no_token);
  EXPECT_EQ(outcome(fx::PixVerify::request(Ctx{config, no_access}, fx::VerifyFx{"1a"})), not_digits);
}

}  // namespace
