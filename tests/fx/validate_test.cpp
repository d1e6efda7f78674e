// The field rules of the FX inputs, each at its boundaries.

#include "quorvex_bo/fx/validate.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace {

using quorvex_bo::ErrorKind;
using quorvex_bo::Result;
namespace validate = quorvex_bo::fx::validate;

// "ok" or "ok <value>", or the validation error as "field: message".
template <class T>
std::string outcome(const Result<T>& result) {
  if (!result)
    return (result.error().kind == ErrorKind::validation ? "" : "not validation: ") +
           result.error().field + ": " + result.error().message;
  if constexpr (std::is_void_v<T>) return "ok";
  else return "ok " + *result;
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

TEST(FxValidate, email_is_at_most_80_bytes_and_holds_an_at_sign) {
  const std::string bad = "payer_email: must be an email of at most 80 characters";
  const std::pair<std::string, std::string> cases[] = {
      {"@", "ok"}, {"john doe@mail", "ok"},  // nothing else is tested
      {repeat("a", 79) + "@", "ok"},         {repeat("a", 80) + "@", bad},
      {"@" + repeat("é", 39) + "a", "ok"},   {"@" + repeat("é", 40), bad},  // 80 / 81 bytes
      {"plain.address", bad},                {"", bad}};
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(outcome(validate::email(text)), expected) << text;
}

TEST(FxValidate, glosa_is_four_non_blank_pieces_rebuilt_trimmed) {
  const std::string bad = "glosa: must be `branch_code|branch_name|category|description`";
  const std::pair<std::string, std::string> cases[] = {
      {" 001 | Centro | Ventas | Pago de servicio ", "ok 001|Centro|Ventas|Pago de servicio"},
      {"\t1\u00a0|\u3000b|c\n|\u2003d", "ok 1|b|c|d"},
      {"a|b|c", bad}, {"a|b|c|d|e", bad}, {"a|b|c|d|", bad}, {"a||b|c", bad},
      {"a| |c|d", bad}, {"a|b|c|\u00a0", bad}, {"", bad}};
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(outcome(validate::glosa(text)), expected) << text;
}

TEST(FxValidate, channel_is_trimmed_upper_cased_letters_digits_and_underscore) {
  const std::string bad = "channel: letters, digits and `_` only";
  const std::pair<std::string, std::string> cases[] = {
      {" app_1 ", "ok APP_1"}, {"\u3000pos\u2028", "ok POS"},
      {" \t\u00a0", "channel: must not be empty"}, {"mobile app", bad}, {"café", bad},
      {"web-1", bad}, {"web\u200b", bad}};  // a zero-width space is no white space
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(outcome(validate::channel(text)), expected) << text;
}

TEST(FxValidate, hhmmss_is_within_one_and_largest_and_hours_are_not_reduced) {
  const std::tuple<std::uint64_t, std::uint64_t, std::string> cases[] = {
      {1, 86399, "ok 00:00:01"}, {90, 86399, "ok 00:01:30"}, {86399, 86399, "ok 23:59:59"},
      {360000, 400000, "ok 100:00:00"}, {0, 86399, "ttl: must be between 1 and 86399 seconds"},
      {86400, 86399, "ttl: must be between 1 and 86399 seconds"},
      {301, 300, "ttl: must be between 1 and 300 seconds"},
      {UINT64_MAX, 300, "ttl: must be between 1 and 300 seconds"}};
  for (const auto& [seconds, largest, expected] : cases)
    EXPECT_EQ(outcome(validate::hhmmss("ttl", seconds, largest)), expected) << seconds;
}

TEST(FxValidate, reference_is_digits_only_as_given_then_within_the_limit) {
  const std::string digits = "reference: must contain only digits";
  const std::tuple<std::string, std::optional<std::size_t>, std::string> cases[] = {
      {"00123", std::nullopt, "ok"}, {std::string(30, '1'), std::nullopt, "ok"},
      {"1234567890", 10, "ok"}, {"12345678901", 10, "reference: at most 10 digits"},
      {"   ", 2, "reference: must not be empty"},  // emptiness comes first
      {" 123", std::nullopt, digits}, {"12a", std::nullopt, digits},
      {"１２３", std::nullopt, digits},  // full-width digits
      {"12345678901x", 10, digits}};    // the digits come before the length
  for (const auto& [text, largest, expected] : cases)
    EXPECT_EQ(outcome(validate::reference(text, largest)), expected) << text;
}

}  // namespace
