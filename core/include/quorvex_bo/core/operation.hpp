#pragma once
// The interfaces a product implements to plug into the call protocol: its
// registry of operations, its gateway operations and its webhook handlers.

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex_bo/core/config.hpp"
#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/http.hpp"
#include "quorvex_bo/core/json.hpp"
#include "quorvex_bo/core/token.hpp"

namespace quorvex_bo {

// What a stage, a handler or the protocol itself produces: its value, already
// written as JSON text into the caller's buffer, or one error.
using Outcome = Result<void>;

// The context a request builder sees: lent for one build call only.
struct Ctx {
  const Config& config;
  const std::optional<AccessToken>& token;

  // The five gateway headers, or the validation error of a missing token; they
  // view the configuration and the token.
  Result<Headers> api_headers() const;
};

// One entry of a registry's operation list; catalogues are constants.
struct OpInfo {
  enum class Form : std::uint8_t { operation, handler };
  Form form = Form::operation;
  std::string_view name;
  bool idempotent = false;
  std::optional<std::uint32_t> timeout_secs;

  static constexpr OpInfo operation(std::string_view name, bool idempotent,
                                    std::optional<std::uint32_t> timeout_secs = std::nullopt) {
    return {Form::operation, name, idempotent, timeout_secs};
  }
  static constexpr OpInfo handler(std::string_view name) { return {Form::handler, name, false, {}}; }
};

// A registry's operation list and the JSON text "describe" answers with, which
// `catalogue<list>()` writes from the list at compile time: an array of
// {"idempotent":…,"kind":"operation","name":…[,"timeout_secs":N]} and
// {"kind":"handler","name":…} (an absent timeout leaves its member out).
struct Catalogue {
  std::span<const OpInfo> list;
  std::string_view json;
};

namespace detail {

constexpr std::string catalogue_json(std::span<const OpInfo> list) {
  auto quoted = [](std::string_view name) {
    for (char c : name)  // written without escaping
      if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
        throw "an operation name that would need escaping";
    return "\"" + std::string(name) + "\"";
  };
  auto digits = [](std::uint32_t n) {
    std::string out;
    do out.insert(out.begin(), static_cast<char>('0' + n % 10));
    while (n /= 10);
    return out;
  };
  std::string out = "[";
  for (const OpInfo& info : list) {
    if (out.size() > 1) out += ',';
    if (info.form == OpInfo::Form::handler) {
      out += R"({"kind":"handler","name":)" + quoted(info.name) + "}";
      continue;
    }
    out += R"({"idempotent":)" + std::string(info.idempotent ? "true" : "false") +
           R"(,"kind":"operation","name":)" + quoted(info.name);
    if (info.timeout_secs) out += R"(,"timeout_secs":)" + digits(*info.timeout_secs);
    out += "}";
  }
  return out + "]";
}

// Apart, so that the text made to measure is released within the constant
// evaluation.
constexpr std::size_t catalogue_size(std::span<const OpInfo> list) {
  return catalogue_json(list).size();
}

template <const auto& list>
inline constexpr auto catalogue_text = [] {
  std::array<char, catalogue_size(list)> out{};
  const std::string text = catalogue_json(list);
  std::copy(text.begin(), text.end(), out.begin());
  return out;
}();

}  // namespace detail

template <const auto& list>
constexpr Catalogue catalogue() {
  return {list, std::string_view(detail::catalogue_text<list>.data(),
                                 detail::catalogue_text<list>.size())};
}

// A product's table of operations. Stateless; one value serves every call.
class Registry {
 public:
  virtual ~Registry() = default;
  // The outcome of the stage or handler `op` names (its value appended to `out`),
  // or nullopt when it names none.
  virtual std::optional<Outcome> dispatch(std::string_view op, std::string_view payload,
                                          std::string& out) const = 0;
  // The catalogue, in the registry's own order.
  virtual Catalogue operations() const = 0;
};

// A gateway operation: a type without fields.
//   name                       the catalogue name
//   Input                      the caller's input record
//   Payload                    what the envelope yields for a successful answer
//   Envelope                   opens responses: `Envelope::open(response, payload)`
//   Output                     the result record (`write_json(out, const Output&)` found by lookup)
//   request(ctx, input)        the HTTP request, or the first failing rule
//   convert(payload, input, output)  fills the result record from the opened payload
template <class Op>
concept Operation = requires(const Ctx& ctx, const typename Op::Input& input,
                             typename Op::Input&& owned, typename Op::Payload& payload,
                             HttpResponse&& response, typename Op::Output& output) {
  { Op::name } -> std::convertible_to<std::string_view>;
  { Op::request(ctx, input) } -> std::same_as<Result<HttpRequest>>;
  { Op::Envelope::open(std::move(response), payload) } -> std::same_as<std::optional<Error>>;
  { Op::convert(std::move(payload), std::move(owned), output) } -> std::same_as<std::optional<Error>>;
};

struct WebhookCall;

// A webhook operation: a type without fields.
//   name                       the catalogue name
//   Output                     the notification record
//   handle(call)               the record, or the first error (authentication first)
template <class H>
concept Handler = requires(WebhookCall&& call) {
  { H::name } -> std::convertible_to<std::string_view>;
  { H::handle(std::move(call)) } -> std::same_as<Result<typename H::Output>>;
};

}  // namespace quorvex_bo
