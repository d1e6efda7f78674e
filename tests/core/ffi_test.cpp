#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/core/envelope.hpp"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace qb = quorvex_bo;
namespace json = quorvex_bo::json;

namespace {

struct Echo {
  std::string text;
};
constexpr auto describe(std::type_identity<Echo>) {
  return json::record<Echo>("Echo", json::required("text", &Echo::text));
}

// An operation whose build stage echoes its input, whose parse stage returns
// the gateway's payload, and that throws when asked to.
struct EchoOp {
  static constexpr std::string_view name = "echo";
  using Input = Echo;
  using Payload = Echo;
  using Output = Echo;
  using Envelope = qb::CodigoRespuesta;
  static qb::Result<qb::HttpRequest> request(const qb::Ctx& ctx, const Echo& input) {
    if (input.text == "throw") throw std::runtime_error("secret detail");
    if (input.text == "oom") throw std::bad_alloc();
    if (input.text == "int") throw 42;
    qb::HttpRequest out;
    out.url = ctx.config.url("path/" + input.text);
    return out;
  }
  static qb::Result<Echo> convert(Echo&& payload, Echo&&) { return std::move(payload); }
};

void write_json(std::string& out, const Echo& e) { json::write_object(out, json::put<"text">(e.text)); }

constexpr std::array test_catalogue{qb::OpInfo::operation("echo", true),
                                    qb::OpInfo::operation("slow", false, 30),
                                    qb::OpInfo::handler("hook")};

class TestRegistry final : public qb::Registry {
 public:
  std::optional<qb::Outcome> dispatch(std::string_view op, std::string_view payload,
                                      std::string& out) const override {
    if (op.starts_with("echo.")) return qb::ffi::run<EchoOp>(op.substr(5), payload, out);
    if (op == "fail") return std::unexpected(qb::Error::api(503, "busy", {}, true));
    if (op == "explode") throw std::logic_error("registry fault");
    return std::nullopt;
  }
  qb::Catalogue operations() const override { return qb::catalogue<test_catalogue>(); }
};

std::string call(std::string_view op, std::string_view payload = "") {
  return qb::ffi::call(TestRegistry{}, op, payload);
}

const std::string build_payload = R"({"config":{"client_id":"c","base_url":"https://h/"},"input":{"text":"%"}})";

std::string build(std::string_view text) {
  std::string p = build_payload;
  p.replace(p.find('%'), 1, text);
  return call("echo.build", p);
}

}  // namespace

TEST(Call, version_ignores_the_payload) {
  EXPECT_EQ(call("version", "{not json"), R"({"ok":true,"value":{"core":"0.1.0","protocol":2}})");
}

TEST(Call, describe_lists_the_registry_in_its_order) {
  EXPECT_EQ(call("describe", "]"),
            R"({"ok":true,"value":[{"idempotent":true,"kind":"operation","name":"echo"},)"
            R"({"idempotent":false,"kind":"operation","name":"slow","timeout_secs":30},)"
            R"({"kind":"handler","name":"hook"}]})");
}

class UnknownOperation : public testing::TestWithParam<const char*> {};

TEST_P(UnknownOperation, is_an_ffi_error_naming_the_whole_op) {
  EXPECT_EQ(call(GetParam()), std::string(R"({"error":{"kind":"ffi","message":"unknown operation `)") +
                                  GetParam() + R"(`","retryable":false},"ok":false})");
}

INSTANTIATE_TEST_SUITE_P(Call, UnknownOperation,
                         testing::Values("foo.build", "echo", " version", "Version", "describe ", ""));

TEST(Call, faults_are_contained_without_leaking_their_text) {
  for (const char* text : {"throw", "oom", "int"})
    EXPECT_EQ(build(text),
              R"({"error":{"kind":"ffi","message":"core panicked while handling `echo.build`","retryable":false},"ok":false})");
  EXPECT_EQ(call("explode"),
            R"({"error":{"kind":"ffi","message":"core panicked while handling `explode`","retryable":false},"ok":false})");
}

TEST(Call, retryable_is_true_only_for_a_flagged_api_error) {
  EXPECT_EQ(call("fail"),
            R"({"error":{"errors":[],"kind":"api","message":"busy","retryable":true,"status":503},"ok":false})");
}

TEST(Run, build_stage_decodes_the_payload_and_returns_the_request) {
  EXPECT_EQ(build("x"),
            R"({"ok":true,"value":{"body":null,"headers":{},"method":"GET","url":"https://h/path/x"}})");
}

TEST(Run, unknown_stage_is_reported_before_the_payload_is_read) {
  for (const char* stage : {"", "BUILD", "build.x", "foo"})
    EXPECT_EQ(call(std::string("echo.") + stage, "{"),
              std::string(R"({"error":{"kind":"ffi","message":"unknown stage `)") + stage +
                  R"(` for `echo`","retryable":false},"ok":false})");
}

struct BadPayload {
  const char* payload;
  const char* message;
};

class RunBadPayload : public testing::TestWithParam<BadPayload> {};

TEST_P(RunBadPayload, is_invalid_payload_with_the_decoder_message) {
  EXPECT_EQ(call("echo.build", GetParam().payload),
            std::string(R"({"error":{"kind":"ffi","message":"invalid payload: )") + GetParam().message +
                R"(","retryable":false},"ok":false})");
}

INSTANTIATE_TEST_SUITE_P(
    Run, RunBadPayload,
    testing::Values(
        BadPayload{"{", "EOF while parsing a value at line 1 column 2"},
        BadPayload{R"({"config":{"client_id":"c"}})", "missing field `input` at line 1 column 28"},
        BadPayload{R"({"config":{"client_id":"c"},"input":{"text":"a"},"token":null,"token":null})",
                   "duplicate field `token` at line 1 column 71"},
        BadPayload{R"([{"client_id":"c"},null])", "invalid length 2, expected struct Build with 3 elements at line 1 column 1"},
        BadPayload{"{\"config\":{\"client_id\":\"c\"},\"input\":{\"text\":\"a\"}} {}",
                   "trailing characters at line 1 column 51"}));

TEST(Run, wrapper_accepts_array_form_extra_members_and_a_final_newline) {
  EXPECT_EQ(call("echo.build", R"([{"client_id":"c","base_url":"https://h"},null,["y"]])"),
            R"({"ok":true,"value":{"body":null,"headers":{},"method":"GET","url":"https://h/path/y"}})");
  EXPECT_EQ(call("echo.build", "{\"debug\":true,\"config\":{\"client_id\":\"c\",\"base_url\":\"https://h\"},\"input\":{\"text\":\"z\"}}\n"),
            R"({"ok":true,"value":{"body":null,"headers":{},"method":"GET","url":"https://h/path/z"}})");
}

TEST(Run, parse_stage_opens_the_envelope_and_converts) {
  EXPECT_EQ(call("echo.parse", R"({"input":{"text":"a"},"response":{"status":200,"body":"{\"text\":\"ok\"}"}})"),
            R"({"ok":true,"value":{"text":"ok"}})");
}
