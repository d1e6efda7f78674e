#include "quorvex_bo/core/operation.hpp"

namespace quorvex_bo {

json::Value OpInfo::to_json() const {
  json::Object out;
  out.insert_or_assign("name", name);
  if (form == Form::handler) {
    out.insert_or_assign("kind", "handler");
    return out;
  }
  out.insert_or_assign("kind", "operation");
  out.insert_or_assign("idempotent", idempotent);
  // An absent timeout leaves the member out; it is never null.
  if (timeout_secs) out.insert_or_assign("timeout_secs", json::Number{std::to_string(*timeout_secs)});
  return out;
}

}  // namespace quorvex_bo
