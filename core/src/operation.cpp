#include "quorvex_bo/core/operation.hpp"

namespace quorvex_bo {

void write_json(std::string& out, const OpInfo& info) {
  using json::put, json::put_if;
  if (info.form == OpInfo::Form::handler)
    return json::write_object(out, put<"kind">("handler"), put<"name">(info.name));
  // An absent timeout leaves the member out; it is never null.
  json::write_object(out, put<"idempotent">(info.idempotent), put<"kind">("operation"),
                     put<"name">(info.name),
                     put_if<"timeout_secs">(info.timeout_secs.has_value(), info.timeout_secs));
}

}  // namespace quorvex_bo
