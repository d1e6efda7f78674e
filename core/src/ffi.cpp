#include "quorvex_bo/core/ffi.hpp"

namespace quorvex_bo {
const std::string_view core_version = QBO_VERSION;
}  // namespace quorvex_bo

namespace quorvex_bo::ffi {

namespace {

std::string quoted(std::string_view text) { return "`" + std::string(text) + "`"; }

Outcome describe(const Registry& registry) {
  json::Array list;
  for (const OpInfo& info : registry.operations()) list.push_back(info.to_json());
  return json::Value(std::move(list));
}

Outcome version() {
  json::Object out;
  out.insert_or_assign("core", core_version);
  out.insert_or_assign("protocol", json::Number{std::to_string(protocol_version)});
  return json::Value(std::move(out));
}

// Everything an operation, a handler or the registry throws stops here; nothing
// of the fault's own text reaches the result.
Outcome contained(const Registry& registry, std::string_view op, std::string_view payload) {
  try {
    if (op == "describe") return describe(registry);
    if (op == "version") return version();
    std::optional<Outcome> dispatched = registry.dispatch(op, payload);
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

std::string call(const Registry& registry, std::string_view op, std::string_view payload) {
  Outcome outcome = contained(registry, op, payload);
  // The wrapper's keys are written by hand, already in byte order:
  // "error" < "ok" < "value".
  std::string out;
  if (outcome) {
    out += R"({"ok":true,"value":)";
    json::write_to(out, *outcome);
    out += '}';
    return out;
  }
  json::Value error = outcome.error().to_json();
  if (json::Object* object = error.as_object())
    object->insert_or_assign("retryable", outcome.error().is_retryable());
  out += R"({"error":)";
  json::write_to(out, error);
  out += R"(,"ok":false})";
  return out;
}

}  // namespace quorvex_bo::ffi
