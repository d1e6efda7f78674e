#pragma once
// The field rules of the FX inputs; each gives its result or one validation error.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quorvex_bo/core/error.hpp"

namespace quorvex_bo::fx::validate {

// At most 80 bytes and an "@" somewhere ("payer_email").
Result<void> email(std::string_view text);
// Four "|"-separated pieces, none blank once trimmed; the trimmed pieces joined.
Result<std::string> glosa(std::string_view text);
// 1 ≤ seconds ≤ largest; the expiry as hh:mm:ss (hours not reduced modulo 24).
Result<std::string> hhmmss(std::string_view field, std::uint64_t seconds, std::uint64_t largest);
// Not blank; trimmed and ASCII upper-cased, then letters, digits and "_" only.
Result<std::string> channel(std::string_view text);
// The numeric reference rule on "reference", then at most `largest` bytes.
Result<void> reference(std::string_view text, std::optional<std::size_t> largest = std::nullopt);

}  // namespace quorvex_bo::fx::validate
