#include "quorvex_bo/core/config.hpp"

#include <string>
#include <string_view>

#include "quorvex_bo/core/operation.hpp"

namespace quorvex_bo {

namespace {

constexpr std::string_view development_base = "https://test-api.quorvex.bo/desarrollo";
constexpr std::string_view sandbox_base = "https://test-api.quorvex.bo/sandbox";
constexpr std::string_view production_base = "https://api.quorvex.bo";

constexpr std::string_view missing_token_message = "an access token is required for this operation";

}  // namespace

std::string_view default_base_url(Environment environment) {
  switch (environment) {
    case Environment::development: return development_base;
    case Environment::sandbox: return sandbox_base;
    case Environment::production: return production_base;
  }
  return sandbox_base;  // unreachable for a decoded environment
}

std::string_view Config::base() const {
  // A configured base is taken verbatim, even when empty.
  return base_url ? std::string_view(*base_url) : default_base_url(environment);
}

Url Config::url(std::string_view path) const {
  std::string_view base_text = base();
  while (!base_text.empty() && base_text.back() == '/') base_text.remove_suffix(1);
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return Url{base_text, path, std::nullopt};
}

Url Config::url(std::string_view path, std::string_view tail) const {
  // The same as url(path + "/" + tail): leading slashes of the whole are dropped.
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (path.empty()) return url(tail);
  Url out = url(path);
  out.tail = tail;
  return out;
}

Result<Headers> Ctx::api_headers() const {
  if (!token) return std::unexpected(Error::validation("token", missing_token_message));
  const std::string_view secret = token->access_token;
  // In their byte order: capitalised names first.
  return Headers{{"Accept", "application/json"},
                 {"Authorization", secret, "Bearer "},
                 {"Content-Type", "application/json"},
                 {"access_token", secret},
                 {"client_id", config.client_id}};
}

}  // namespace quorvex_bo
