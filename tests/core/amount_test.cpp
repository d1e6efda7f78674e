// Amounts: error texts, readers, validation, comparison. Reading, rounding and the
// 96-bit limit are checked against Python's decimal (tests/python/test_properties.py).
#include "quorvex_bo/core/amount.hpp"

#include <gtest/gtest.h>

namespace quorvex_bo {
namespace {

std::expected<Amount, std::string> read(std::string_view json_text) {
  return amount::from_value(json::parse(json_text).value());
}

// The scale as written, not normalized (a 20-digit mantissa outgrows 64 bits), or the error.
TEST(Amount, reads_keep_the_written_scale_or_refuse_with_exact_error_text) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {R"("+0.50")", "0.50"}, {R"("+1.5e1")", "15"}, {"0e5", "0"}, {"-0.00", "0.00"},
      {"18446744073709551616", "18446744073709551616"},
      {"1844674407370955161.6", "1844674407370955161.6"},
      {"null", "expected a number, got null"},
      {R"({ "v" : 1, "a": [true] })", R"(expected a number, got {"a":[true],"v":1})"},
      {R"("   ")", "invalid amount ``: Failed to parse"},
      {"79228162514264337593543950336",
       "invalid amount `79228162514264337593543950336`: Failed to parse"},
      {"8e28", "invalid amount `8e28`: the value is too large for an amount"},
      {R"("1e+")", "invalid amount `1e+`: invalid exponent"},
      {R"("1e*5")", "invalid amount `1e*5`: invalid exponent"},
      {R"("1.")", "invalid amount `1.`: Failed to parse"},
      {R"("*5")", "invalid amount `*5`: Failed to parse"},  // a sign is only + or -
      {"79228162514264337593543950335.5e0",
       "invalid amount `79228162514264337593543950335.5e0`: the value has more digits than an "
       "amount can hold"},
      {R"("e5")", "invalid amount `e5`: invalid number before the exponent"}};
  for (const auto& [json_text, expected] : rows) {
    const auto out = read(json_text);
    EXPECT_EQ(out ? out->plain_text() : out.error(), expected) << json_text;
  }
}

struct Priced {
  Amount amount;
  std::optional<Amount> fee;
};
constexpr auto describe(std::type_identity<Priced>) {
  return json::record<Priced>("Priced",
                              json::required("amount", &Priced::amount, amount::reader),
                              json::optional("fee", &Priced::fee, amount::optional_reader));
}

TEST(Amount, document_readers_for_required_and_optional_members) {
  auto out = json::decode<Priced>(R"({"amount":100.50,"fee":" 1.30"})");
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(out->amount.plain_text(), "100.50");
  EXPECT_EQ(out->fee->plain_text(), "1.30");
  EXPECT_FALSE(json::decode<Priced>(R"({"amount":1,"fee":null})").value().fee);
  EXPECT_EQ(json::decode<Priced>(R"({"amount":"abc"})").error(),
            "invalid amount `abc`: Failed to parse at line 1 column 11");
}

TEST(Amount, validate_checks_sign_first_then_places_after_normalizing) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"10.010", "10.01"}, {"1000.00", "1000"},
      {"-0", "must be greater than zero"}, {"-1.234", "must be greater than zero"},
      {"10.001", "at most 2 decimal places are allowed"}};
  for (const auto& [literal, outcome] : rows) {
    Result<Amount> out = amount::validate("price", read(literal).value());
    EXPECT_EQ(out ? out->plain_text() : out.error().field + ": " + out.error().message,
              out ? outcome : "price: " + std::string(outcome)) << literal;
  }
  EXPECT_EQ(json::write(amount::to_json_number(read("100.50").value()).value()), "100.5");
}

// A 64-bit mantissa is written without normalizing, as the general path writes it.
TEST(Amount, written_as_its_normalized_plain_text) {
  const Mantissa max64 = std::numeric_limits<std::uint64_t>::max();
  for (const Mantissa& mantissa : {Mantissa(0), Mantissa(1), Mantissa(7), Mantissa(10), Mantissa(1005),
                                   Mantissa(12340000), Mantissa(10'000'000'000'000'000'000u), max64,
                                   max64 + 1, Mantissa(max64) * 1000})
    for (const std::uint8_t scale : {0, 1, 2, 3, 8, 19, 20, 21, 28})
      for (const bool negative : {false, true}) {
        const Amount value{mantissa, scale, negative};
        const std::string text = json::to_text(value);
        EXPECT_EQ(text, '"' + value.normalized().plain_text() + '"')
            << mantissa.str() << " " << int(scale) << " " << negative;
        EXPECT_LE(text.size(), json_room(value));
      }
}

TEST(Amount, compares_numerically_whatever_the_scales) {
  using O = std::strong_ordering;
  const std::tuple<std::string_view, std::string_view, O> rows[] = {
      {"10.5", "10.50", O::equal}, {"-0.00", "0", O::equal}, {"-2", "-1.5", O::less}};
  for (const auto& [a, b, expected] : rows) {
    EXPECT_EQ(read(a).value() <=> read(b).value(), expected) << a << " vs " << b;
    EXPECT_EQ(read(b).value() <=> read(a).value(), 0 <=> expected) << b << " vs " << a;
  }
}

}  // namespace
}  // namespace quorvex_bo
