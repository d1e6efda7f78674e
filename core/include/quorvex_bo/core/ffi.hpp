#pragma once
// The single entry into the core, and the stage runners a registry calls.
//
// `call` answers "describe" and "version" itself, asks the registry for every
// other name, contains every fault and writes the call result:
// {"ok":true,"value":V} or {"ok":false,"error":{…,"retryable":…}}.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/http.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/core/operation.hpp"
#include "quorvex_bo/core/spare.hpp"
#include "quorvex_bo/core/webhook.hpp"

namespace quorvex_bo {

// From pyproject.toml, through the build (QBO_VERSION).
extern const std::string_view core_version;
inline constexpr int protocol_version = 2;

// The payload of a build stage.
template <class T>
struct Build {
  Config config;
  std::optional<AccessToken> token;
  T input;
};
template <class T>
constexpr auto describe(std::type_identity<Build<T>>) {
  return json::record<Build<T>>("Build", json::required("config", &Build<T>::config),
                                json::optional("token", &Build<T>::token),
                                json::required("input", &Build<T>::input));
}

// The payload of a parse stage.
template <class T>
struct Parse {
  T input;
  HttpResponse response;
};
template <class T>
constexpr auto describe(std::type_identity<Parse<T>>) {
  return json::record<Parse<T>>("Parse", json::required("input", &Parse<T>::input),
                                json::required("response", &Parse<T>::response));
}

namespace ffi {

// The call result as compact JSON text, written into `out` (whose capacity a
// caller may keep from call to call). Faults of the registry become the "ffi"
// error "core panicked while handling `<op>`"; only a fault while writing the
// result itself (memory exhaustion) can escape.
void call(const Registry& registry, std::string_view op, std::string_view payload,
          std::string& out);
std::string call(const Registry& registry, std::string_view op, std::string_view payload);

// Decodes the payload (a record) into `out`, a value-initialised T, or yields
// the "ffi" error "invalid payload: <decoder message>".
template <class T>
std::optional<Error> parse(std::string_view payload, T& out) {
  json::Cursor cursor(payload, json::Repeats::rejected);
  std::optional<json::DecodeError> error = json::Reader<T>::read_to(cursor, out);
  if (!cursor.at_end())
    return Error::ffi("invalid payload: " + json::syntax_error(payload, cursor.failed_at()));
  if (error)
    return Error::ffi("invalid payload: " + error->message +
                      json::position_suffix(payload, error->mark));
  return std::nullopt;
}

// "unknown stage `<stage>` for `<operation>`"
Error unknown_stage(std::string_view stage, std::string_view operation);

// Runs the stage "build" or "parse" of the gateway operation Op; the value (the
// HTTP request or the result record) is written to `out`.
template <Operation Op>
Outcome run(std::string_view stage, std::string_view payload, std::string& out) {
  using Input = typename Op::Input;
  if (stage == "build") {
    Build<Input> build{};
    if (std::optional<Error> error = parse(payload, build)) return std::unexpected(std::move(*error));
    const Ctx ctx{build.config, build.token};
    Result<HttpRequest> request = Op::request(ctx, build.input);
    if (!request) return std::unexpected(std::move(request.error()));
    write_json(out, *request);
    if (request->body) spare::keep(std::move(*request->body));
    return {};
  }
  if (stage == "parse") {
    Parse<Input> parsed{};
    if (std::optional<Error> error = parse(payload, parsed)) return std::unexpected(std::move(*error));
    typename Op::Payload opened{};
    if (std::optional<Error> error = Op::Envelope::open(std::move(parsed.response), opened))
      return std::unexpected(std::move(*error));
    typename Op::Output output{};
    if (std::optional<Error> error = Op::convert(std::move(opened), std::move(parsed.input), output))
      return std::unexpected(std::move(*error));
    write_json(out, output);
    spare::keep(std::move(parsed.response.body));
    return {};
  }
  return std::unexpected(unknown_stage(stage, Op::name));
}

// Runs the webhook handler H on a WebhookCall payload; the notification record
// is written to `out`.
template <Handler H>
Outcome run_handler(std::string_view payload, std::string& out) {
  WebhookCall webhook_call{};
  if (std::optional<Error> error = parse(payload, webhook_call))
    return std::unexpected(std::move(*error));
  Result<typename H::Output> output = H::handle(std::move(webhook_call));
  if (!output) return std::unexpected(std::move(output.error()));
  write_json(out, *output);
  spare::keep(std::move(webhook_call.body));
  return {};
}

}  // namespace ffi
}  // namespace quorvex_bo
