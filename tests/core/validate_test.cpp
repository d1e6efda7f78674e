#include "quorvex_bo/core/validate.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quorvex_bo {
namespace {

struct CheckCase {
  std::string_view text;
  std::optional<std::string_view> message;  // none: passes
};

class RequiresText : public testing::TestWithParam<CheckCase> {};

TEST_P(RequiresText, trimmed_text_must_not_be_empty) {
  Result<void> out = validate::require_text("channel", GetParam().text);
  if (GetParam().message)
    EXPECT_EQ(out, std::unexpected(Error::validation("channel", *GetParam().message)));
  else
    EXPECT_TRUE(out.has_value()) << out.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RequiresText,
    testing::Values(CheckCase{"WEB", std::nullopt}, CheckCase{" x ", std::nullopt},
                    CheckCase{"\u200b", std::nullopt},  // zero-width space is not white space
                    CheckCase{"", "must not be empty"}, CheckCase{"   ", "must not be empty"},
                    CheckCase{"\t\r\n", "must not be empty"},
                    CheckCase{"\u00a0\u3000", "must not be empty"}));

class NumericReference : public testing::TestWithParam<CheckCase> {};

TEST_P(NumericReference, not_empty_then_only_ascii_digits_untrimmed) {
  Result<void> out = validate::numeric_reference("reference", GetParam().text);
  if (GetParam().message)
    EXPECT_EQ(out, std::unexpected(Error::validation("reference", *GetParam().message)));
  else
    EXPECT_TRUE(out.has_value()) << out.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NumericReference,
    testing::Values(
        CheckCase{"123", std::nullopt}, CheckCase{"0", std::nullopt},
        CheckCase{"12345678901234567890", std::nullopt}, CheckCase{"", "must not be empty"},
        CheckCase{"   ", "must not be empty"}, CheckCase{" 123", "must contain only digits"},
        CheckCase{"123 ", "must contain only digits"}, CheckCase{"12a", "must contain only digits"},
        CheckCase{"-12", "must contain only digits"}, CheckCase{"1.5", "must contain only digits"},
        CheckCase{"١٢٣", "must contain only digits"},     // Arabic-Indic digits
        CheckCase{"１２", "must contain only digits"}));  // full-width digits

TEST(Validate, errors_name_the_given_field) {
  EXPECT_EQ(validate::numeric_reference("order.id", "x").error().field, "order.id");
  EXPECT_EQ(validate::require_text("webhook.key", "").error().field, "webhook.key");
}

}  // namespace
}  // namespace quorvex_bo
