// The FX catalogue: which name runs which operation, and the list "describe"
// publishes.

#include "quorvex_bo/fx/registry.hpp"

#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/fx/ops.hpp"
#include "quorvex_bo/fx/webhook.hpp"

namespace quorvex_bo::fx {

namespace {

// A gateway operation matches "NAME." followed by any stage (even empty); the
// stage runner judges the stage.
template <Operation Op>
bool run_if_named(std::string_view op, std::string_view payload, std::string& text,
                  std::optional<Outcome>& out) {
  constexpr std::string_view name = Op::name;
  if (op.size() <= name.size() || !op.starts_with(name) || op[name.size()] != '.') return false;
  out = ffi::run<Op>(op.substr(name.size() + 1), payload, text);
  return true;
}

template <Operation... Ops>
std::optional<Outcome> run_gateway_operation(std::string_view op, std::string_view payload,
                                             std::string& text) {
  std::optional<Outcome> out;
  (run_if_named<Ops>(op, payload, text, out) || ...);
  return out;
}

}  // namespace

std::optional<Outcome> FxOps::dispatch(std::string_view op, std::string_view payload,
                                       std::string& out) const {
  if (std::optional<Outcome> outcome =
          run_gateway_operation<PixGenerate, PixVerify, PixCancel, CryptoGenerate, CryptoVerify,
                                BinanceGenerate, BinanceVerify>(op, payload, out))
    return outcome;
  if (op == ParseFxWebhook::name) return ffi::run_handler<ParseFxWebhook>(payload, out);
  if (op == ParseBinanceWebhook::name) return ffi::run_handler<ParseBinanceWebhook>(payload, out);
  return std::nullopt;
}

namespace {

constexpr std::array fx_catalogue{
    OpInfo::operation(PixGenerate::name, false),
    OpInfo::operation(PixVerify::name, true),
    OpInfo::operation(PixCancel::name, false),
    OpInfo::operation(CryptoGenerate::name, false),
    OpInfo::operation(CryptoVerify::name, true),
    OpInfo::operation(BinanceGenerate::name, false),
    OpInfo::operation(BinanceVerify::name, true),
    OpInfo::handler(ParseBinanceWebhook::name),
    OpInfo::handler(ParseFxWebhook::name),
};

}  // namespace

Catalogue FxOps::operations() const { return catalogue<fx_catalogue>(); }

}  // namespace quorvex_bo::fx
