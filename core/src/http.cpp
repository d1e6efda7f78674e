#include "quorvex_bo/core/http.hpp"

#include <utility>

namespace quorvex_bo {

json::Value HttpRequest::to_json() && {
  json::Object header_object;
  for (auto& [name, value] : headers)
    header_object.insert_or_assign(name, json::Value(std::move(value)));

  // Members inserted in key order: "body", "headers", "method", "url".
  json::Object out;
  out.insert_or_assign("body", body ? json::Value(std::move(*body)) : json::Value(nullptr));
  out.insert_or_assign("headers", json::Value(std::move(header_object)));
  out.insert_or_assign("method", json::Value(json::enum_text(method)));
  out.insert_or_assign("url", json::Value(std::move(url)));
  return json::Value(std::move(out));
}

}  // namespace quorvex_bo
