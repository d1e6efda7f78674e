#include "quorvex_bo/core/amount.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvex_bo {
namespace {

using Row = std::pair<std::string_view, std::string_view>;

std::expected<Amount, std::string> read(std::string_view json_text) {
  std::expected<json::Value, std::string> value = json::parse(json_text);
  EXPECT_TRUE(value.has_value()) << json_text;
  return amount::from_value(value ? *value : json::Value());
}

Amount number(std::string_view literal) { return read(literal).value(); }

// JSON input → plain text of the amount read, which shows the scale it kept.
TEST(Amount, reads_plain_scientific_and_rounds_half_to_even) {
  const std::vector<Row> rows = {
      {"100.50", "100.50"}, {R"("  42 ")", "42"}, {R"("+42")", "42"}, {R"("-3.10")", "-3.10"},
      {R"("\u00a042\u3000\t")", "42"},
      {"79228162514264337593543950335", "79228162514264337593543950335"},  // 2^96 - 1
      {"1E2", "100"}, {R"("1e2")", "100"}, {R"("1.5e2")", "150"}, {"-2.5E-3", "-0.0025"},
      {"7.9228162514264337593543950335e28", "79228162514264337593543950335"},
      // Beyond 28 places: below half, above half, half to even (down and up), carry.
      {"0.12345678901234567890123456784", "0.1234567890123456789012345678"},
      {"0.12345678901234567890123456786", "0.1234567890123456789012345679"},
      {"0.12345678901234567890123456785", "0.1234567890123456789012345678"},
      {"0.12345678901234567890123456775", "0.1234567890123456789012345678"},
      {"0.99999999999999999999999999999", "1.0000000000000000000000000000"},
      {"15e-29", "0.0000000000000000000000000002"}, {"1e-4000", "0.0000000000000000000000000000"},
      // A full mantissa: fraction digits give way.
      {"79228162514264337593543950335.4", "79228162514264337593543950335"},
      {"7922816251426433759354395033.56", "7922816251426433759354395034"}};
  for (const auto& [json_text, plain] : rows) {
    std::expected<Amount, std::string> out = read(json_text);
    ASSERT_TRUE(out.has_value()) << json_text << ": " << out.error();
    EXPECT_EQ(out->plain_text(), plain) << json_text;
  }
  const std::string zeros(100000, '0');
  EXPECT_EQ(amount::from_value(json::Value("00" + zeros + "12.5")).value().plain_text(), "12.5");
  EXPECT_EQ(amount::from_value(json::Value("3." + zeros + "1")).value().plain_text(),
            "3.0000000000000000000000000000");
}

TEST(Amount, refuses_with_exact_error_text) {
  const std::vector<Row> rows = {
      {"null", "expected a number, got null"}, {"true", "expected a number, got true"},
      {"[1,2]", "expected a number, got [1,2]"},
      {R"({ "v" : 1, "a": "x" })", R"(expected a number, got {"a":"x","v":1})"},
      {R"("abc")", "invalid amount `abc`: Failed to parse"},
      {R"("")", "invalid amount ``: Failed to parse"},
      {R"("   ")", "invalid amount ``: Failed to parse"},
      {R"("1 000")", "invalid amount `1 000`: Failed to parse"},
      {R"(".5")", "invalid amount `.5`: Failed to parse"},
      {R"("5.")", "invalid amount `5.`: Failed to parse"},
      {R"("\u200b5")", "invalid amount `\u200b5`: Failed to parse"},  // U+200B is not trimmed
      {"79228162514264337593543950336",
       "invalid amount `79228162514264337593543950336`: Failed to parse"},
      // Rounding the last fraction digit up would pass 2^96 - 1.
      {"79228162514264337593543950335.5",
       "invalid amount `79228162514264337593543950335.5`: Failed to parse"},
      {"8e28", "invalid amount `8e28`: the value is too large for an amount"},
      {R"("1e+")", "invalid amount `1e+`: invalid exponent"},
      {R"("1.5e2.5")", "invalid amount `1.5e2.5`: invalid exponent"},
      {R"("e5")", "invalid amount `e5`: invalid number before the exponent"}};
  for (const auto& [json_text, message] : rows) {
    std::expected<Amount, std::string> out = read(json_text);
    ASSERT_FALSE(out.has_value()) << json_text << " read as " << out->plain_text();
    EXPECT_EQ(out.error(), message);
  }
  EXPECT_EQ(amount::parse_scientific("15e-29", false).error(),
            "the value has more digits than an amount can hold");
  EXPECT_EQ(amount::parse_scientific("100e-30", false).value().plain_text(),
            "0.0000000000000000000000000001");  // dropping zeros is still exact
}

struct Priced {
  Amount amount;
  std::optional<Amount> fee;
};
constexpr auto describe(std::type_identity<Priced>) {
  return json::record<Priced>("Priced",
                              json::required("amount", &Priced::amount, &amount::deserialize),
                              json::optional("fee", &Priced::fee, &amount::deserialize_opt));
}

TEST(Amount, document_readers_for_required_and_optional_members) {
  std::expected<Priced, std::string> out = json::decode<Priced>(R"({"amount":100.5,"fee":"1.30"})");
  ASSERT_TRUE(out.has_value()) << out.error();
  EXPECT_EQ(out->amount.plain_text(), "100.5");
  EXPECT_EQ(out->fee.value().plain_text(), "1.30");
  EXPECT_FALSE(json::decode<Priced>(R"({"amount":1,"fee": null})").value().fee.has_value());
  EXPECT_FALSE(json::decode<Priced>(R"({"amount":1})").value().fee.has_value());
  EXPECT_FALSE(amount::deserialize_opt(json::Value()).value().has_value());
  EXPECT_EQ(json::decode<Priced>(R"({"amount":"abc"})").error(),
            "invalid amount `abc`: Failed to parse at line 1 column 11");
  EXPECT_TRUE(json::decode<Priced>(R"({"amount":1,"fee":[1]})")
                  .error().starts_with("expected a number, got [1] at line 1"));
}

TEST(Amount, validate_checks_sign_first_then_places_after_normalizing) {
  const std::vector<Row> rows = {
      {"100.50", "100.5"}, {"10.500", "10.5"}, {"10.010", "10.01"}, {"0.01", "0.01"},
      {"1000.00", "1000"}, {"0", "must be greater than zero"}, {"-0", "must be greater than zero"},
      {"0.00", "must be greater than zero"}, {"1e-40", "must be greater than zero"},
      {"-1.234", "must be greater than zero"}, {"10.001", "at most 2 decimal places are allowed"}};
  for (const auto& [literal, outcome] : rows) {
    Result<Amount> out = amount::validate("price", number(literal));
    if (out) EXPECT_EQ(out->plain_text(), outcome) << literal;
    else EXPECT_EQ(out.error(), Error::validation("price", outcome)) << literal;
  }
}

TEST(Amount, writes_normalized_json_number_and_string) {
  const std::vector<Row> rows = {{"100.50", "100.5"}, {"100.00", "100"}, {"0.01", "0.01"},
                                 {"25E-1", "2.5"}, {"-0.00", "0"}, {"-12.50", "-12.5"}};
  for (const auto& [literal, written] : rows) {
    Amount value = number(literal);
    Result<json::Value> as_number = amount::to_json_number(value);
    ASSERT_TRUE(as_number.has_value() && as_number->as_number() != nullptr) << literal;
    EXPECT_EQ(json::write(*as_number), written);
    EXPECT_EQ(json::to_text(value), "\"" + std::string(written) + "\"");
  }
  EXPECT_EQ(json::to_text(std::optional<Amount>()), "null");
}

TEST(Amount, compares_numerically_whatever_the_scales) {
  using O = std::strong_ordering;
  const std::tuple<std::string_view, std::string_view, O> rows[] = {
      {"10.5", "10.50", O::equal}, {"-0.00", "0", O::equal}, {"-2", "-1.5", O::less},
      {"7922816251426433759354395033.5", "7922816251426433759354395034", O::less},
      {"79228162514264337593543950335", "7.9228162514264337593543950335", O::greater}};
  for (const auto& [a, b, expected] : rows) {
    EXPECT_EQ(number(a) <=> number(b), expected) << a << " vs " << b;
    EXPECT_EQ(number(b) <=> number(a), 0 <=> expected) << b << " vs " << a;
  }
  // Scales beyond the limit are not produced by the readers, but must compare soundly.
  EXPECT_EQ((Amount{1, 200, false} <=> Amount{std::numeric_limits<Mantissa>::max(), 0, false}),
            O::less);
  EXPECT_EQ((Amount{0, 250, true} <=> Amount{}), O::equal);
}

}  // namespace
}  // namespace quorvex_bo
