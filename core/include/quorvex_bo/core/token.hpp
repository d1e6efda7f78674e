#pragma once
// The bearer token the host obtained elsewhere; only copied into headers.

#include <cstdint>
#include <optional>
#include <string>

#include "quorvex_bo/core/json.hpp"

namespace quorvex_bo {

struct AccessToken {
  std::string access_token;
  std::string token_type;  // decoded only: the scheme word sent is always "Bearer"
  std::int64_t expires_at = 0;  // decoded only: no expiry check is made
  std::optional<std::string> scope;
};

constexpr auto describe(std::type_identity<AccessToken>) {
  return json::record<AccessToken>("AccessToken",
                                   json::required("access_token", &AccessToken::access_token),
                                   json::required("token_type", &AccessToken::token_type),
                                   json::required("expires_at", &AccessToken::expires_at),
                                   json::optional("scope", &AccessToken::scope));
}

}  // namespace quorvex_bo
