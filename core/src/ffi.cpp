#include "quorvex_bo/core/ffi.hpp"

namespace quorvex_bo {
const std::string_view core_version = QBO_VERSION;
}  // namespace quorvex_bo

namespace quorvex_bo::ffi {

namespace {

std::string quoted(std::string_view text) { return "`" + std::string(text) + "`"; }

Outcome describe(const Registry& registry, std::string& out) {
  out += registry.operations().json;
  return {};
}

// The version record is a constant text: {"core":"<version>","protocol":2}.
static_assert(protocol_version == 2, "the version text states the protocol number");
constexpr std::string_view version_text = R"({"core":")" QBO_VERSION R"(","protocol":2})";

// Everything an operation, a handler or the registry throws stops here; nothing
// of the fault's own text reaches the result.
Outcome contained(const Registry& registry, std::string_view op, std::string_view payload,
                  std::string& out) {
  try {
    if (op == "describe") return describe(registry, out);
    if (op == "version") {
      out += version_text;
      return {};
    }
    std::optional<Outcome> dispatched = registry.dispatch(op, payload, out);
    if (!dispatched) return std::unexpected(Error::ffi("unknown operation " + quoted(op)));
    return std::move(*dispatched);
  } catch (...) {
    return std::unexpected(Error::ffi("core panicked while handling " + quoted(op)));
  }
}

}  // namespace

Error unknown_stage(std::string_view stage, std::string_view operation) {
  return Error::ffi("unknown stage " + quoted(stage) + " for " + quoted(operation));
}

void call(const Registry& registry, std::string_view op, std::string_view payload,
          std::string& out) {
  // The wrapper's keys are written by hand, already in byte order:
  // "error" < "ok" < "value".
  out.assign(R"({"ok":true,"value":)");
  Outcome outcome = contained(registry, op, payload, out);
  if (outcome) {
    out += '}';
    return;
  }
  out.assign(R"({"error":)");
  write_json(out, outcome.error(), /*in_call_result=*/true);
  out += R"(,"ok":false})";
}

std::string call(const Registry& registry, std::string_view op, std::string_view payload) {
  std::string out;
  call(registry, op, payload, out);
  return out;
}

}  // namespace quorvex_bo::ffi
