// The two webhook handlers: the lenient FX amount and status rules and the strict
// Binance body. Whole notifications are in the end-to-end stories.
#include "quorvex_bo/fx/webhook.hpp"

#include <gtest/gtest.h>

namespace {

using namespace quorvex_bo;
using namespace quorvex_bo::fx;
using std::optional;
using std::string;

TEST(FxWebhook, amount_is_monto_then_importe_and_never_an_error) {
  const std::pair<const char*, optional<string>> cases[] = {
      {R"({"monto":"10.50","importe":3})", "10.5"}, {R"({"monto":"abc","importe":5})", "5"},
      {R"({"monto":" 5 "})", std::nullopt},          {R"({"importe":"25E-1"})", "2.5"},
      {R"({"monto":"1e99999"})", std::nullopt},      {R"([{"monto":1}])", std::nullopt}};
  for (const auto& [body, expected] : cases) {
    Result<FxNotification> out = ParseFxWebhook::handle(WebhookCall{{R"({"k":"v"})"}, body, "k", "v"});
    ASSERT_TRUE(out) << body;
    EXPECT_EQ(out->amount ? optional<string>(out->amount->normalized().plain_text()) : std::nullopt,
              expected) << body;
  }
}

TEST(FxWebhook, status_is_double_zero_then_english_then_spanish_words) {
  using enum PaymentStatus;
  const std::pair<optional<string>, PaymentStatus> cases[] = {
      {std::nullopt, unknown}, {" 00\n", paid}, {"0", unknown}, {"SUCCESS", paid},
      {"CANCELADO", cancelled}};
  for (const auto& [raw, status] : cases) EXPECT_EQ(notification_status(raw), status);
}

TEST(FxWebhook, binance_body_is_decoded_strictly) {
  const std::pair<const char*, string> cases[] = {
      {R"({"estado":"A","numeroReferencia":" "})", "Binance webhook has no `numeroReferencia`"},
      {R"({"numeroReferencia":"1","estado":"A","estado":"B"})",
       "invalid Binance webhook payload: duplicate field `estado` at line 1 column 47"},
      {R"({"numeroReferencia":"1","estado":"A","transacciones":{"cliente":{"ciCliente":"1","ciCliente":"2"}}})",
       "invalid Binance webhook payload: duplicate field `ciCliente`"},
      {R"({"numeroReferencia":"1","estado":0})", "invalid Binance webhook payload: invalid type"}};
  for (const auto& [body, message] : cases) {
    Result<BinanceNotification> out =
        ParseBinanceWebhook::handle(WebhookCall{{R"({"k":"v"})"}, body, "k", "v"});
    ASSERT_FALSE(out) << body;
    EXPECT_TRUE(out.error().message.starts_with(message)) << out.error().message;
  }
}

}  // namespace
