// The call protocol and the stage runners, driven by a registry of test operations.
#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/core/envelope.hpp"

#include <gtest/gtest.h>

namespace qb = quorvex_bo;
namespace json = quorvex_bo::json;

namespace {

struct Echo {
  std::string text;
};
constexpr auto describe(std::type_identity<Echo>) {
  return json::record<Echo>("Echo", json::required("text", &Echo::text));
}

// Build echoes its input (or throws when asked to); parse returns the payload.
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
    out.url = ctx.config.url("path", input.text);
    return out;
  }
  static std::optional<qb::Error> convert(Echo&& payload, Echo&&, Echo& out) {
    out = std::move(payload);
    return std::nullopt;
  }
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

std::string build(std::string_view text) {
  return call("echo.build", R"({"config":{"client_id":"c","base_url":"https://h/"},"input":{"text":")" +
                                std::string(text) + R"("}})");
}

std::string failure(std::string_view message) {
  return R"({"error":{"kind":"ffi","message":")" + std::string(message) +
         R"(","retryable":false},"ok":false})";
}

}  // namespace

TEST(Call, version_and_describe_ignore_the_payload) {
  EXPECT_EQ(call("version", "{not json"), R"({"ok":true,"value":{"core":")" +
                                              std::string(qb::core_version) + R"(","protocol":2}})");
  EXPECT_EQ(call("describe", "]"),
            R"({"ok":true,"value":[{"idempotent":true,"kind":"operation","name":"echo"},)"
            R"({"idempotent":false,"kind":"operation","name":"slow","timeout_secs":30},)"
            R"({"kind":"handler","name":"hook"}]})");
}

TEST(Call, unknown_operation_or_stage_is_named_before_the_payload_is_read) {
  for (const char* op : {"foo.build", "echo", " version", "version.x", "Version", "describe ", ""})
    EXPECT_EQ(call(op), failure("unknown operation `" + std::string(op) + "`"));
  for (const char* stage : {"", "BUILD", "build.x"})
    EXPECT_EQ(call(std::string("echo.") + stage, "{"),
              failure("unknown stage `" + std::string(stage) + "` for `echo`"));
}

TEST(Call, faults_are_contained_without_leaking_their_text) {
  for (const char* text : {"throw", "oom", "int"})
    EXPECT_EQ(build(text), failure("core panicked while handling `echo.build`"));
  EXPECT_EQ(call("explode"), failure("core panicked while handling `explode`"));
  EXPECT_EQ(call("fail"),
            R"({"error":{"errors":[],"kind":"api","message":"busy","retryable":true,"status":503},"ok":false})");
}

TEST(Run, stages_decode_the_payload_and_return_the_value) {
  const std::string request =
      R"({"ok":true,"value":{"body":null,"headers":{},"method":"GET","url":"https://h/path/x"}})";
  EXPECT_EQ(build("x"), request);
  EXPECT_EQ(call("echo.build", R"([{"client_id":"c","base_url":"https://h"},null,["x"]])"), request);
  EXPECT_EQ(call("echo.parse",
                 R"({"input":{"text":"a"},"response":{"status":200,"body":"{\"text\":\"ok\"}"}})"),
            R"({"ok":true,"value":{"text":"ok"}})");
}

TEST(Run, bad_payload_is_invalid_payload_with_the_decoder_message) {
  const std::pair<const char*, const char*> rows[] = {
      {R"({"config":{"client_id":"c"}})", "missing field `input` at line 1 column 28"},
      {R"({"config":{"client_id":"c"},"input":{"text":"a"},"token":null,"token":null})",
       "duplicate field `token` at line 1 column 71"},
      {R"([{"client_id":"c"},null])", "invalid length 2, expected struct Build with 3 elements at line 1 column 1"},
      {"{\"config\":{\"client_id\":\"c\"},\"input\":{\"text\":\"a\"}} {}",
       "trailing characters at line 1 column 51"}};
  for (const auto& [payload, message] : rows)
    EXPECT_EQ(call("echo.build", payload), failure("invalid payload: " + std::string(message)));
}
