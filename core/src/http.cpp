#include "quorvex_bo/core/http.hpp"

namespace quorvex_bo {

void write_json(std::string& out, const HttpRequest& request) {
  json::write_object(out, json::put<"body">(request.body), json::put<"headers">(request.headers),
                     json::put<"method">(json::enum_text(request.method)),
                     json::put<"url">(request.url));
}

}  // namespace quorvex_bo
