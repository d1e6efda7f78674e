#pragma once
// Field checks any product can use.

#include <string_view>

#include "quorvex_bo/core/error.hpp"

namespace quorvex_bo::validate {

// (field, "must not be empty") when the trimmed text is empty.
Result<void> require_text(std::string_view field, std::string_view text);
// require_text, then (field, "must contain only digits") at the first byte of
// the untrimmed text that is not 0–9.
Result<void> numeric_reference(std::string_view field, std::string_view text);

}  // namespace quorvex_bo::validate
