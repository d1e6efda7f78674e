#pragma once
// Connection settings of one build call and the choice of gateway environment.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quorvex_bo/core/http.hpp"
#include "quorvex_bo/core/json.hpp"

namespace quorvex_bo {

enum class Environment : std::uint8_t { development, sandbox, production };
constexpr auto describe(std::type_identity<Environment>) {
  return json::enumeration<Environment>("Environment", "development", "sandbox", "production");
}

// The gateway's base URL for an environment: HTTPS, no trailing "/".
std::string_view default_base_url(Environment environment);

struct Config {
  std::string client_id;
  std::optional<std::string> client_secret;  // decoded only
  std::optional<std::string> basic_token;    // decoded only
  Environment environment = Environment::sandbox;
  std::optional<std::string> base_url;  // replaces the environment's base URL

  // The base (configured or default) without trailing "/", one "/", and `path`
  // without leading "/". Never fails.
  Url url(std::string_view path) const;
  // The same as url(path + "/" + tail).
  Url url(std::string_view path, std::string_view tail) const;
  // The configured base, or the environment's default one.
  std::string_view base() const;
};

inline Environment default_environment() { return Environment::sandbox; }

constexpr auto describe(std::type_identity<Config>) {
  return json::record<Config>(
      "Config", json::required("client_id", &Config::client_id),
      json::optional("client_secret", &Config::client_secret),
      json::optional("basic_token", &Config::basic_token),
      // null is not a way to ask for the default environment
      json::defaulted("environment", &Config::environment, &default_environment, false),
      json::optional("base_url", &Config::base_url));
}

}  // namespace quorvex_bo
