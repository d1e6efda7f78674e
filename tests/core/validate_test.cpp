#include "quorvex_bo/core/validate.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvex_bo {
namespace {

// "ok", or the error of the given field with `message`.
Result<void> outcome(std::string_view field, std::string_view message) {
  if (message == "ok") return {};
  return std::unexpected(Error::validation(field, message));
}

TEST(Validate, require_text_refuses_text_that_is_blank_once_trimmed) {
  for (std::string_view text : {"", "\t\r\n", "\u00a0\u3000"})
    EXPECT_EQ(validate::require_text("key", text), outcome("key", "must not be empty"));
  EXPECT_TRUE(validate::require_text("f", "\u200b"));  // zero-width space is not white space
}

TEST(Validate, numeric_reference_checks_empty_first_then_untrimmed_ascii_digits) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"0123456789", "ok"}, {"   ", "must not be empty"}, {" 123", "must contain only digits"},
      {"-12", "must contain only digits"}, {"1.5", "must contain only digits"},
      {"\u0661\u0662", "must contain only digits"},   // Arabic-Indic digits
      {"\uff11\uff12", "must contain only digits"}};  // full-width digits
  for (auto [text, message] : rows)
    EXPECT_EQ(validate::numeric_reference("order.id", text), outcome("order.id", message)) << text;
}

}  // namespace
}  // namespace quorvex_bo
