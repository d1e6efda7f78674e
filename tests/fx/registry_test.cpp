// The FX catalogue: the operation-name grammar of dispatch and the list that
// "describe" publishes.

#include "quorvex_bo/fx/registry.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/core/json.hpp"

namespace {

using quorvex_bo::Error;
using quorvex_bo::ErrorKind;
using quorvex_bo::OpInfo;
using quorvex_bo::Outcome;
using quorvex_bo::fx::FxOps;
namespace json = quorvex_bo::json;
namespace ffi = quorvex_bo::ffi;

std::optional<Outcome> dispatch(std::string_view op, std::string_view payload = "") {
  return FxOps{}.dispatch(op, payload);
}

// ---- names that select nothing ------------------------------------------------

class FxRegistryNoSuchOperation : public testing::TestWithParam<std::string_view> {};

TEST_P(FxRegistryNoSuchOperation, name_outside_the_grammar_selects_nothing) {
  EXPECT_FALSE(dispatch(GetParam(), "{").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    FxRegistry, FxRegistryNoSuchOperation,
    testing::Values("pix.generate",                 // no stage
                    "PIX.generate.build",           // letter case
                    "pix.GENERATE.build",
                    " pix.generate.build",          // surrounding blanks
                    "pix.generatebuild",            // no dot after the name
                    "pix.generate_build",
                    "pix.",
                    "pix",
                    "binance.webhook.parse.build",  // a handler takes no stage
                    "fx.webhook.parse.parse",
                    "fx.webhook.parse.",
                    "fx.webhook.parse ",
                    "fx.webhook",
                    "binance.webhook",
                    "crypto.cancel.build",          // no such operation
                    "describe",                     // answered by the protocol, not here
                    "version",
                    ""));

// ---- every gateway operation reaches its own stage runner ----------------------

class FxRegistryStage : public testing::TestWithParam<std::string_view> {};

TEST_P(FxRegistryStage, unknown_stage_names_the_operation_that_was_selected) {
  const std::string name(GetParam());
  for (const std::string_view stage : {"", "foo", "build.x", "BUILD", "parse.", ".build"}) {
    const auto outcome = dispatch(name + "." + std::string(stage), "not json");
    ASSERT_TRUE(outcome.has_value()) << name << "." << stage;
    ASSERT_FALSE(outcome->has_value());
    EXPECT_EQ(outcome->error(),
              Error::ffi("unknown stage `" + std::string(stage) + "` for `" + name + "`"));
  }
}

TEST_P(FxRegistryStage, build_and_parse_stages_decode_their_payload) {
  const std::string name(GetParam());
  for (const std::string_view stage : {"build", "parse"}) {
    const auto outcome = dispatch(name + "." + std::string(stage), "{");
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->has_value());
    EXPECT_EQ(outcome->error().kind, ErrorKind::ffi);
    EXPECT_TRUE(outcome->error().message.starts_with("invalid payload: ")) << outcome->error().message;
  }
}

INSTANTIATE_TEST_SUITE_P(FxRegistry, FxRegistryStage,
                         testing::Values("pix.generate", "pix.verify", "pix.cancel",
                                         "crypto.generate", "crypto.verify", "binance.generate",
                                         "binance.verify"));

TEST(FxRegistryDispatch, names_sharing_a_prefix_reach_different_operations) {
  // A verify input decodes for binance.verify; binance.generate wants more members.
  constexpr std::string_view payload =
      R"({"input":{"reference":"1"},"response":{"status":500,"body":""}})";
  const auto verify = dispatch("binance.verify.parse", payload);
  const auto generate = dispatch("binance.generate.parse", payload);
  ASSERT_TRUE(verify && generate);
  ASSERT_FALSE(verify->has_value());
  ASSERT_FALSE(generate->has_value());
  EXPECT_NE(verify->error().kind, ErrorKind::ffi) << verify->error().message;
  EXPECT_EQ(generate->error().kind, ErrorKind::ffi);
  EXPECT_TRUE(generate->error().message.starts_with("invalid payload: missing field `glosa`"))
      << generate->error().message;
}

TEST(FxRegistryDispatch, build_stage_returns_the_request_value) {
  const auto outcome = dispatch(
      "pix.cancel.build",
      R"({"config":{"client_id":"c","base_url":"https://gw.test"},)"
      R"("token":{"access_token":"t","token_type":"Bearer","expires_at":0},)"
      R"("input":{"reference":"0042"}})");
  ASSERT_TRUE(outcome && outcome->has_value()) << (outcome ? outcome->error().message : "none");
  EXPECT_EQ(json::write(**outcome),
            R"({"body":null,"headers":{"Accept":"application/json","Authorization":"Bearer t",)"
            R"("Content-Type":"application/json","access_token":"t","client_id":"c"},)"
            R"("method":"GET","url":"https://gw.test/qr/pix/v2/cancela/0042"})");
}

// ---- webhook handlers -----------------------------------------------------------

TEST(FxRegistryDispatch, handler_names_run_their_own_handler) {
  constexpr std::string_view payload =
      R"({"headers":{"x-hook":"v"},"body":"{}","key":"X-Hook","value":"v"})";
  // The FX notification is read leniently; the Binance one needs a reference.
  const auto fx = dispatch("fx.webhook.parse", payload);
  ASSERT_TRUE(fx.has_value());
  EXPECT_TRUE(fx->has_value()) << fx->error().message;
  const auto binance = dispatch("binance.webhook.parse", payload);
  ASSERT_TRUE(binance.has_value());
  ASSERT_FALSE(binance->has_value());
  EXPECT_EQ(binance->error().kind, ErrorKind::decode);
  EXPECT_TRUE(binance->error().message.starts_with("invalid Binance webhook payload: "))
      << binance->error().message;
}

TEST(FxRegistryDispatch, handlers_decode_a_webhook_call_payload) {
  for (const std::string_view name : {"fx.webhook.parse", "binance.webhook.parse"}) {
    const auto outcome = dispatch(name, R"({"headers":{},"body":"","key":"k"})");
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->has_value());
    EXPECT_TRUE(outcome->error().message.starts_with("invalid payload: missing field `value`"))
        << outcome->error().message;
  }
}

// ---- the catalogue ---------------------------------------------------------------

TEST(FxRegistryOperations, catalogue_lists_nine_entries_in_order_without_timeouts) {
  const std::vector<OpInfo> ops = FxOps{}.operations();
  ASSERT_EQ(ops.size(), 9u);
  const std::vector<std::pair<std::string_view, int>> expected{
      {"pix.generate", 0},     {"pix.verify", 1},       {"pix.cancel", 0},
      {"crypto.generate", 0},  {"crypto.verify", 1},    {"binance.generate", 0},
      {"binance.verify", 1},   {"binance.webhook.parse", -1}, {"fx.webhook.parse", -1}};
  for (std::size_t i = 0; i < ops.size(); ++i) {
    SCOPED_TRACE(expected[i].first);
    EXPECT_EQ(ops[i].name, expected[i].first);
    EXPECT_EQ(ops[i].timeout_secs, std::nullopt);
    if (expected[i].second < 0) {
      EXPECT_EQ(ops[i].form, OpInfo::Form::handler);
    } else {
      EXPECT_EQ(ops[i].form, OpInfo::Form::operation);
      EXPECT_EQ(ops[i].idempotent, expected[i].second == 1);
    }
  }
}

TEST(FxRegistryOperations, describe_returns_the_catalogue_whatever_the_payload) {
  EXPECT_EQ(
      ffi::call(FxOps{}, "describe", "not json"),
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

TEST(FxRegistryOperations, unknown_names_are_reported_by_the_protocol) {
  EXPECT_EQ(ffi::call(FxOps{}, "pix.generate", "{}"),
            R"({"error":{"kind":"ffi","message":"unknown operation `pix.generate`",)"
            R"("retryable":false},"ok":false})");
  EXPECT_EQ(ffi::call(FxOps{}, "binance.webhook.parse.build", "{}"),
            R"({"error":{"kind":"ffi","message":"unknown operation `binance.webhook.parse.build`",)"
            R"("retryable":false},"ok":false})");
  EXPECT_EQ(ffi::call(FxOps{}, "pix.generate.", "{"),
            R"({"error":{"kind":"ffi","message":"unknown stage `` for `pix.generate`",)"
            R"("retryable":false},"ok":false})");
}

}  // namespace
