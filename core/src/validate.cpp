#include "quorvex_bo/core/validate.hpp"

#include <algorithm>

#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo::validate {

Result<void> require_text(std::string_view field, std::string_view text) {
  if (text::trim(text).empty())
    return std::unexpected(Error::validation(field, "must not be empty"));
  return {};
}

Result<void> numeric_reference(std::string_view field, std::string_view text) {
  if (Result<void> present = require_text(field, text); !present) return present;
  if (!std::ranges::all_of(text, quorvex_bo::text::is_ascii_digit))
    return std::unexpected(Error::validation(field, "must contain only digits"));
  return {};
}

}  // namespace quorvex_bo::validate
