// Gateway answers and webhook notifications behind valid payloads: the input
// chooses the operation, the HTTP status or header spelling, and the body, so
// the fuzzer works on the envelope, the answer decoders and the notification
// handlers rather than on payload decoding. Every answer is also opened by the
// general path alone (parse, markers, status, decode): the call, which takes the
// fast path where it can, must give the same text, error wording included; so
// must a flat notification read straight from its text and read parsed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/fx/ops.hpp"
#include "quorvex_bo/fx/registry.hpp"
#include "quorvex_bo/fx/webhook.hpp"

namespace {

namespace fx = quorvex_bo::fx;
using quorvex_bo::Error;

// The call result of the parse stage of Op with the general path only, written
// the way `call` writes it.
template <class Op>
std::string general(std::string_view payload) {
  std::string out;
  auto failed = [&out](const Error& error) {
    out.assign(R"({"error":)");
    quorvex_bo::write_json(out, error, /*in_call_result=*/true);
    out += R"(,"ok":false})";
    return out;
  };
  quorvex_bo::Parse<typename Op::Input> parsed{};
  if (std::optional<Error> error = quorvex_bo::ffi::parse(payload, parsed)) return failed(*error);
  typename Op::Payload opened{};
  if (std::optional<Error> error =
          Op::Envelope::open_parsed(std::move(parsed.response), opened))
    return failed(*error);
  typename Op::Output output{};
  if (std::optional<Error> error = Op::convert(std::move(opened), std::move(parsed.input), output))
    return failed(*error);
  out.assign(R"({"ok":true,"value":)");
  write_json(out, output);
  out += '}';
  return out;
}

// The parse stages, the input each was built from and its general path.
struct Parser {
  std::string_view op;
  std::string_view input;
  std::string (*general)(std::string_view payload);
};
constexpr std::string_view verify_input = R"({"reference":"100200"})";
constexpr std::array<Parser, 7> parsers = {{
    {"pix.generate.parse",
     R"({"reference":"100200","glosa":"Pedido 1","amount":"100.50","payer_cpf":"12345678909","payer_phone":"5511999999999"})",
     &general<fx::PixGenerate>},
    {"crypto.generate.parse",
     R"({"reference":"100201","glosa":"Pedido 2","amount":25,"asset":"usdt","expires_in":600})",
     &general<fx::CryptoGenerate>},
    {"binance.generate.parse", R"({"reference":"100202","glosa":"Pedido 3","amount":7})",
     &general<fx::BinanceGenerate>},
    {"pix.verify.parse", verify_input, &general<fx::PixVerify>},
    {"pix.cancel.parse", verify_input, &general<fx::PixCancel>},
    {"crypto.verify.parse", verify_input, &general<fx::CryptoVerify>},
    {"binance.verify.parse", verify_input, &general<fx::BinanceVerify>},
}};

constexpr std::array<std::uint16_t, 24> statuses = {200, 201, 204, 299, 100, 199, 300, 302,
                                                    400, 401, 403, 404, 408, 409, 422, 429,
                                                    500, 502, 503, 504, 599, 0,   999, 65535};

// The header map of a notification, its wanted name and its expected value.
constexpr std::array<std::array<std::string_view, 3>, 7> spellings = {{
    {R"({"X-Webhook-Token":"s3cr3t"})", "X-Webhook-Token", "s3cr3t"},
    {R"({"Content-Type":"application/json","x-webhook-token":"s3cr3t"})", "X-Webhook-Token",
     "s3cr3t"},
    {R"({"X-WEBHOOK-TOKEN":"s3cr3t"})", "x-webhook-token", "s3cr3t"},
    {R"({})", "X-Webhook-Token", "s3cr3t"},
    {R"({"X-Webhook-Token":"s3cr3t "})", "X-Webhook-Token", "s3cr3t"},
    {R"({"X-Webhook-Token":"other","x-webhook-token":"s3cr3t"})", "x-webhook-token", "s3cr3t"},
    {R"({"X-Webhook-Token":""})", "X-Webhook-Token", ""},
}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 2, size - 2);
  if (!qbo_check::is_utf8(body)) return -1;  // the host passes text
  const unsigned target = data[0] % (parsers.size() + 2);
  const bool webhook = target >= parsers.size();
  std::string_view op;
  std::string payload;
  if (!webhook) {
    op = parsers[target].op;
    payload = R"({"input":)" + std::string(parsers[target].input) + R"(,"response":{"status":)" +
              std::to_string(statuses[data[1] % statuses.size()]) + R"(,"body":)";
  } else {
    op = target == parsers.size() ? "fx.webhook.parse" : "binance.webhook.parse";
    const auto& [headers, key, value] = spellings[data[1] % spellings.size()];
    payload = R"({"headers":)" + std::string(headers) + R"(,"key":")" + std::string(key) +
              R"(","value":")" + std::string(value) + R"(","body":)";
  }
  quorvex_bo::json::write_string(payload, body);
  payload += webhook ? "}" : "}}";
  const std::string text = quorvex_bo::ffi::call(quorvex_bo::fx::FxOps{}, op, payload);
  const quorvex_bo::json::Value result = qbo_check::call_result(text);
  // The payload is valid whatever the body: the protocol itself never objects.
  const quorvex_bo::json::Value* error = result.find("error");
  qbo_check::require(!error || *error->find("kind")->as_string() != "ffi",
                     "a valid payload was refused", text);
  if (!webhook)
    qbo_check::require(parsers[target].general(payload) == text,
                       "the fast path and the general path disagree", text);
  if (const auto flat = fx::ParseFxWebhook::read_flat(body)) {
    const auto parsed = fx::ParseFxWebhook::read_parsed(body);
    qbo_check::require(parsed && quorvex_bo::json::to_text(*flat) == quorvex_bo::json::to_text(*parsed),
                       "a flat notification read straight differs from its parse", body);
  }
  return 0;
}
