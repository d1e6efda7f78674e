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

namespace {

// base + "/" + path + "/" + tail, or base + "/" + tail when `path` is null.
std::string joined_url(std::string_view base, std::string_view path, const std::string_view* tail) {
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  std::string out;
  out.reserve(base.size() + 2 + path.size() + (tail ? tail->size() : 0));
  out.append(base);
  out.push_back('/');
  out.append(path);
  if (tail) {
    out.push_back('/');
    out.append(*tail);
  }
  return out;
}

}  // namespace

std::string_view Config::base() const {
  // A configured base is taken verbatim, even when empty.
  return base_url ? std::string_view(*base_url) : default_base_url(environment);
}

std::string Config::url(std::string_view path) const {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return joined_url(base(), path, nullptr);
}

std::string Config::url(std::string_view path, std::string_view tail) const {
  // The same as url(path + "/" + tail): leading slashes of the whole are dropped.
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (path.empty()) return url(tail);
  return joined_url(base(), path, &tail);
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
