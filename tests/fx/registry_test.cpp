// The FX catalogue: the operation-name grammar of dispatch and the list that
// "describe" publishes.

#include "quorvex_bo/fx/registry.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>

#include "quorvex_bo/core/ffi.hpp"

namespace {

using namespace quorvex_bo;

std::string call(std::string_view op, std::string_view payload) {
  return ffi::call(fx::FxOps{}, op, payload);
}

TEST(FxRegistry, name_outside_the_grammar_selects_nothing) {
  for (const std::string_view op :
       {"pix.generate", "PIX.generate.build", " pix.generate.build", "pix.generatebuild", "pix.",
        "binance.webhook.parse.build", "fx.webhook.parse.", "fx.webhook", "crypto.cancel.build",
        "describe", ""}) {
    std::string out;
    EXPECT_FALSE(fx::FxOps{}.dispatch(op, "{", out)) << op;
  }
  EXPECT_EQ(call("binance.webhook.parse.build", "{}"),
            R"({"error":{"kind":"ffi","message":"unknown operation `binance.webhook.parse.build`",)"
            R"("retryable":false},"ok":false})");
  // a gateway operation's name and a dot select it, whatever the stage
  for (const std::string stage : {"", "BUILD", "build.x"}) {
    EXPECT_EQ(call("binance.verify." + stage, "not json"),
              R"({"error":{"kind":"ffi","message":"unknown stage `)" + stage +
                  R"(` for `binance.verify`","retryable":false},"ok":false})");
  }
}

TEST(FxRegistry, each_name_reaches_its_own_operation) {
  const std::string build = R"({"config":{"client_id":"c","base_url":"https://gw.test"},)"
                            R"("token":{"access_token":"t","token_type":"Bearer","expires_at":0},)"
                            R"("input":{"reference":"1","glosa":"a|b|c|d","amount":"1"}})";
  const std::string parse = R"({"input":{"reference":"1"},"response":{"status":500,"body":""}})";
  const std::string hook = R"({"headers":{"x-hook":"v"},"body":"{}","key":"X-Hook","value":"v"})";
  const std::string payload_error = R"("kind":"ffi","message":"invalid payload: missing field `)";
  const std::tuple<std::string_view, std::string, std::string> cases[] = {
      {"pix.generate.build", build, payload_error + "payer_cpf`"},
      {"crypto.generate.build", build, payload_error + "asset`"},
      {"binance.generate.build", build, R"("field":"webhook","kind":"validation")"},
      {"pix.verify.build", build, R"("url":"https://gw.test/qr/pix/v2/verifica/1")"},
      {"pix.cancel.build", build, R"("url":"https://gw.test/qr/pix/v2/cancela/1")"},
      {"crypto.verify.build", build, R"("url":"https://gw.test/qr/koibanx/v2/estado/1")"},
      {"binance.verify.build", build, R"("url":"https://gw.test/qr/binance/v2/verificar/1")"},
      {"binance.verify.parse", parse, R"("kind":"api","message":)"},
      {"binance.generate.parse", parse, payload_error + "glosa`"},
      {"fx.webhook.parse", hook, R"("ok":true,"value":{"amount":null,)"},
      {"binance.webhook.parse", hook, R"("message":"invalid Binance webhook payload: )"},
      {"fx.webhook.parse", R"({"headers":{},"body":"","key":"k"})", payload_error + "value`"}};
  for (const auto& [op, payload, expected] : cases) {
    const std::string out = call(op, payload);
    EXPECT_NE(out.find(expected), std::string::npos) << op << " -> " << out;
  }
}

TEST(FxRegistry, describe_lists_the_catalogue_in_order_without_timeouts) {
  EXPECT_EQ(call("describe", "not json"),
            R"({"ok":true,"value":[{"idempotent":false,"kind":"operation","name":"pix.generate"},)"
            R"({"idempotent":true,"kind":"operation","name":"pix.verify"},)"
            R"({"idempotent":false,"kind":"operation","name":"pix.cancel"},)"
            R"({"idempotent":false,"kind":"operation","name":"crypto.generate"},)"
            R"({"idempotent":true,"kind":"operation","name":"crypto.verify"},)"
            R"({"idempotent":false,"kind":"operation","name":"binance.generate"},)"
            R"({"idempotent":true,"kind":"operation","name":"binance.verify"},)"
            R"({"kind":"handler","name":"binance.webhook.parse"},)"
            R"({"kind":"handler","name":"fx.webhook.parse"}]})");
}

}  // namespace
