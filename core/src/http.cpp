#include "quorvex_bo/core/http.hpp"

#include <algorithm>

namespace quorvex_bo {

namespace {

struct HeaderObject {
  const Headers& headers;
};

// The headers as one object, members in byte order of the names.
void write_json(std::string& out, HeaderObject object) {
  const Headers& headers = object.headers;
  auto by_name = [](const Header& a, const Header& b) { return a.name < b.name; };
  if (!std::is_sorted(headers.begin(), headers.end(), by_name)) {
    Headers sorted = headers;
    std::stable_sort(sorted.begin(), sorted.end(), by_name);
    return write_json(out, HeaderObject{sorted});
  }
  out += '{';
  for (const Header& header : headers) {
    if (out.back() != '{') out += ',';
    json::write_string(out, header.name);
    out += ':';
    json::write_string(out, {header.prefix, header.value});
  }
  out += '}';
}

}  // namespace

void write_json(std::string& out, const HttpRequest& request) {
  json::write_object(out, json::put<"body">(request.body),
                     json::put<"headers">(HeaderObject{request.headers}),
                     json::put<"method">(json::enum_text(request.method)),
                     json::put<"url">(request.url));
}

void write_json(std::string& out, const Url& url) {
  if (url.tail)
    json::write_string(out, {url.base, "/", url.path, "/", *url.tail});
  else
    json::write_string(out, {url.base, "/", url.path});
}

}  // namespace quorvex_bo
