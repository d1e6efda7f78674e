#include "quorvex_bo/core/amount.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quorvex_bo {
namespace {

// The value of a JSON document, for feeding the readers as the decoder would.
json::Value doc(std::string_view text) {
  std::expected<json::Value, std::string> value = json::parse(text);
  EXPECT_TRUE(value.has_value()) << text;
  return value ? std::move(*value) : json::Value();
}

Amount number(std::string_view literal) {
  std::expected<Amount, std::string> out =
      amount::from_value(json::Value(json::Number{std::string(literal)}));
  EXPECT_TRUE(out.has_value()) << literal << ": " << (out ? "" : out.error());
  return out ? *out : Amount{};
}

// ---- Reading --------------------------------------------------------------

struct ReadCase {
  std::string_view json;
  std::string_view plain;  // the amount's plain text, which shows its scale
};

class ReadsAmount : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadsAmount, keeps_value_and_written_scale) {
  std::expected<Amount, std::string> out = amount::from_value(doc(GetParam().json));
  ASSERT_TRUE(out.has_value()) << out.error();
  EXPECT_EQ(out->plain_text(), GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(
    Plain, ReadsAmount,
    testing::Values(ReadCase{"100.50", "100.50"}, ReadCase{"7", "7"}, ReadCase{"0.01", "0.01"},
                    ReadCase{"-3", "-3"}, ReadCase{R"("  42 ")", "42"}, ReadCase{R"("+42")", "42"},
                    ReadCase{R"("-3.10")", "-3.10"}, ReadCase{R"("0012.5")", "12.5"},
                    ReadCase{R"("\u00a042\u3000\t")", "42"},
                    ReadCase{R"("\u2028 7.5\u205f")", "7.5"},
                    ReadCase{"79228162514264337593543950335", "79228162514264337593543950335"},
                    ReadCase{"0.1234567890123456789012345678", "0.1234567890123456789012345678"},
                    ReadCase{"7922816251426433759354395033.5", "7922816251426433759354395033.5"}));

INSTANTIATE_TEST_SUITE_P(
    Scientific, ReadsAmount,
    testing::Values(ReadCase{"1E2", "100"}, ReadCase{R"("1e2")", "100"},
                    ReadCase{R"("1.5e2")", "150"}, ReadCase{"25E-1", "2.5"},
                    ReadCase{"1.50e1", "15.0"}, ReadCase{"1e+2", "100"},
                    ReadCase{"-2.5E-3", "-0.0025"}, ReadCase{R"(" 1E0 ")", "1"},
                    ReadCase{R"("0e999999999999999999999")", "0"},
                    ReadCase{"7.9228162514264337593543950335e28", "79228162514264337593543950335"},
                    ReadCase{"1e-28", "0.0000000000000000000000000001"}));

// Digits beyond scale 28, or beyond what the mantissa holds, are rounded half
// to even.
INSTANTIATE_TEST_SUITE_P(
    RoundsHalfToEven, ReadsAmount,
    testing::Values(
        // Beyond 28 places: below half, above half, exactly half to even.
        ReadCase{"0.12345678901234567890123456784", "0.1234567890123456789012345678"},
        ReadCase{"0.12345678901234567890123456786", "0.1234567890123456789012345679"},
        ReadCase{"0.12345678901234567890123456785", "0.1234567890123456789012345678"},
        ReadCase{"0.12345678901234567890123456775", "0.1234567890123456789012345678"},
        ReadCase{"0.123456789012345678901234567850001", "0.1234567890123456789012345679"},
        ReadCase{"1.000000000000000000000000000000000", "1.0000000000000000000000000000"},
        ReadCase{"0.99999999999999999999999999999", "1.0000000000000000000000000000"},
        // Scientific notation rounds the same way.
        ReadCase{"5e-29", "0.0000000000000000000000000000"},
        ReadCase{"15e-29", "0.0000000000000000000000000002"},
        ReadCase{"1e-4000", "0.0000000000000000000000000000"},
        // The mantissa is full: fraction digits give way one at a time.
        ReadCase{"79228162514264337593543950335.4", "79228162514264337593543950335"},
        ReadCase{"7922816251426433759354395033.54", "7922816251426433759354395033.5"},
        ReadCase{"7922816251426433759354395033.56", "7922816251426433759354395034"}));

TEST(Amount, reads_very_long_digit_runs) {
  const std::string zeros(100000, '0');
  std::expected<Amount, std::string> leading =
      amount::from_value(json::Value("00" + zeros + "12.5"));
  ASSERT_TRUE(leading.has_value());
  EXPECT_EQ(leading->plain_text(), "12.5");
  std::expected<Amount, std::string> trailing = amount::from_value(json::Value("3." + zeros + "1"));
  ASSERT_TRUE(trailing.has_value());
  EXPECT_EQ(trailing->plain_text(), "3.0000000000000000000000000000");
}

TEST(Amount, negative_zero_reads_as_negative_zero) {
  Amount zero = number("-0");
  EXPECT_TRUE(zero.is_zero());
  EXPECT_TRUE(zero.negative);
  EXPECT_FALSE(zero.normalized().negative);
}

struct FailCase {
  std::string_view json;
  std::string_view message;
};

class RefusesAmount : public testing::TestWithParam<FailCase> {};

TEST_P(RefusesAmount, with_exact_error_text) {
  std::expected<Amount, std::string> out = amount::from_value(doc(GetParam().json));
  ASSERT_FALSE(out.has_value()) << out->plain_text();
  EXPECT_EQ(out.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(NotANumber, RefusesAmount,
                         testing::Values(FailCase{"null", "expected a number, got null"},
                                         FailCase{"true", "expected a number, got true"},
                                         FailCase{"false", "expected a number, got false"},
                                         FailCase{"[1,2]", "expected a number, got [1,2]"},
                                         FailCase{R"({ "v" : 1, "a": "x" })",
                                                  R"(expected a number, got {"a":"x","v":1})"}));

INSTANTIATE_TEST_SUITE_P(
    BadText, RefusesAmount,
    testing::Values(FailCase{R"("abc")", "invalid amount `abc`: Failed to parse"},
                    FailCase{R"("")", "invalid amount ``: Failed to parse"},
                    FailCase{R"("   ")", "invalid amount ``: Failed to parse"},
                    FailCase{R"("1 000")", "invalid amount `1 000`: Failed to parse"},
                    FailCase{R"("1,5")", "invalid amount `1,5`: Failed to parse"},
                    FailCase{R"(".5")", "invalid amount `.5`: Failed to parse"},
                    FailCase{R"("5.")", "invalid amount `5.`: Failed to parse"},
                    FailCase{R"("1_000")", "invalid amount `1_000`: Failed to parse"},
                    FailCase{R"("--1")", "invalid amount `--1`: Failed to parse"},
                    FailCase{R"("+")", "invalid amount `+`: Failed to parse"},
                    FailCase{R"("1.2.3")", "invalid amount `1.2.3`: Failed to parse"},
                    FailCase{R"("\u200b5")", "invalid amount `\u200b5`: Failed to parse"},
                    FailCase{R"("\ufeff5")", "invalid amount `\ufeff5`: Failed to parse"}));

INSTANTIATE_TEST_SUITE_P(
    TooLarge, RefusesAmount,
    testing::Values(
        FailCase{"79228162514264337593543950336",
                 "invalid amount `79228162514264337593543950336`: Failed to parse"},
        FailCase{"100000000000000000000000000000.5",
                 "invalid amount `100000000000000000000000000000.5`: Failed to parse"},
        // Rounding the last fraction digit up would pass the largest mantissa.
        FailCase{"79228162514264337593543950335.5",
                 "invalid amount `79228162514264337593543950335.5`: Failed to parse"},
        FailCase{"1e29", "invalid amount `1e29`: the value is too large for an amount"},
        FailCase{"8e28", "invalid amount `8e28`: the value is too large for an amount"},
        FailCase{
            R"("1E99999999999999999999999")",
            "invalid amount `1E99999999999999999999999`: the value is too large for an amount"}));

INSTANTIATE_TEST_SUITE_P(
    BadScientific, RefusesAmount,
    testing::Values(FailCase{R"("1e")", "invalid amount `1e`: invalid exponent"},
                    FailCase{R"("1e+")", "invalid amount `1e+`: invalid exponent"},
                    FailCase{R"("1.5e2.5")", "invalid amount `1.5e2.5`: invalid exponent"},
                    FailCase{R"("1e2e3")", "invalid amount `1e2e3`: invalid exponent"},
                    FailCase{R"("e5")", "invalid amount `e5`: invalid number before the exponent"},
                    FailCase{R"(".5e1")",
                             "invalid amount `.5e1`: invalid number before the exponent"}));

TEST(Amount, strict_scientific_refuses_to_round) {
  EXPECT_EQ(amount::parse_scientific("15e-29", false).error(),
            "the value has more digits than an amount can hold");
  // Dropping zeros loses nothing, so it is still exact.
  std::expected<Amount, std::string> zeros = amount::parse_scientific("100e-30", false);
  ASSERT_TRUE(zeros.has_value());
  EXPECT_EQ(zeros->plain_text(), "0.0000000000000000000000000001");
  EXPECT_EQ(amount::parse_scientific("12", false).error(), "Failed to parse");
}

// ---- Reading inside a document ---------------------------------------------

struct Priced {
  Amount amount;
  std::optional<Amount> fee;
};

constexpr auto describe(std::type_identity<Priced>) {
  return json::record<Priced>("Priced",
                              json::required("amount", &Priced::amount, &amount::deserialize),
                              json::optional("fee", &Priced::fee, &amount::deserialize_opt));
}

TEST(Amount, deserialize_reads_required_and_optional_members) {
  std::expected<Priced, std::string> out =
      json::decode<Priced>(R"({"amount":100.50,"fee":"12.3"})");
  ASSERT_TRUE(out.has_value()) << out.error();
  EXPECT_EQ(out->amount.plain_text(), "100.50");
  ASSERT_TRUE(out->fee.has_value());
  EXPECT_EQ(out->fee->plain_text(), "12.3");
}

TEST(Amount, deserialize_opt_gives_none_for_null_or_absent) {
  std::expected<Priced, std::string> null_fee = json::decode<Priced>(R"({"amount":1,"fee": null})");
  ASSERT_TRUE(null_fee.has_value()) << null_fee.error();
  EXPECT_FALSE(null_fee->fee.has_value());
  std::expected<Priced, std::string> absent = json::decode<Priced>(R"({"amount":1})");
  ASSERT_TRUE(absent.has_value()) << absent.error();
  EXPECT_FALSE(absent->fee.has_value());
}

TEST(Amount, deserialize_failure_fails_the_document_at_the_value) {
  std::expected<Priced, std::string> bad = json::decode<Priced>(R"({"amount":"abc"})");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error(), "invalid amount `abc`: Failed to parse at line 1 column 11");
  std::expected<Priced, std::string> null_amount = json::decode<Priced>(R"({"amount":null})");
  ASSERT_FALSE(null_amount.has_value());
  EXPECT_TRUE(null_amount.error().starts_with("expected a number, got null at line 1"))
      << null_amount.error();
  std::expected<Priced, std::string> bad_fee = json::decode<Priced>(R"({"amount":1,"fee":[1]})");
  ASSERT_FALSE(bad_fee.has_value());
  EXPECT_TRUE(bad_fee.error().starts_with("expected a number, got [1] at line 1"))
      << bad_fee.error();
}

TEST(Amount, deserialize_opt_reads_a_decoded_value) {
  json::Decoded<std::optional<Amount>> none = amount::deserialize_opt(json::Value());
  ASSERT_TRUE(none.has_value());
  EXPECT_FALSE(none->has_value());
  json::Decoded<std::optional<Amount>> some = amount::deserialize_opt(json::Value("12.3"));
  ASSERT_TRUE(some.has_value() && some->has_value());
  EXPECT_EQ((*some)->plain_text(), "12.3");
}

// ---- Validation --------------------------------------------------------------

struct ValidateCase {
  std::string_view literal;
  std::string_view outcome;  // the normalized plain text, or the error message
};

class ValidatesAmount : public testing::TestWithParam<ValidateCase> {};

TEST_P(ValidatesAmount, sign_first_then_decimal_places_after_normalizing) {
  Result<Amount> out = amount::validate("amount", number(GetParam().literal));
  if (out) {
    EXPECT_EQ(out->plain_text(), GetParam().outcome);
  } else {
    EXPECT_EQ(out.error(), Error::validation("amount", GetParam().outcome));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ValidatesAmount,
    testing::Values(ValidateCase{"100.50", "100.5"}, ValidateCase{"10.500", "10.5"},
                    ValidateCase{"10.010", "10.01"}, ValidateCase{"0.01", "0.01"},
                    ValidateCase{"1000.00", "1000"}, ValidateCase{"7", "7"},
                    ValidateCase{"1E2", "100"},
                    ValidateCase{"2.50000000000000000000000000000", "2.5"},
                    ValidateCase{"0", "must be greater than zero"},
                    ValidateCase{"0.00", "must be greater than zero"},
                    ValidateCase{"-0", "must be greater than zero"},
                    ValidateCase{"-3", "must be greater than zero"},
                    ValidateCase{"-1.234", "must be greater than zero"},
                    ValidateCase{"1e-40", "must be greater than zero"},
                    ValidateCase{"10.001", "at most 2 decimal places are allowed"},
                    ValidateCase{"0.001", "at most 2 decimal places are allowed"},
                    ValidateCase{"1.0000000000000000000000000001",
                                 "at most 2 decimal places are allowed"}));

TEST(Amount, validate_names_the_given_field) {
  Result<Amount> out = amount::validate("price", number("0"));
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().kind, ErrorKind::validation);
  EXPECT_EQ(out.error().field, "price");
}

// ---- Writing -----------------------------------------------------------------

struct WriteCase {
  std::string_view literal;
  std::string_view written;
};

class WritesAmount : public testing::TestWithParam<WriteCase> {};

TEST_P(WritesAmount, as_normalized_json_number_and_string) {
  Amount value = number(GetParam().literal);
  Result<json::Value> as_number = amount::to_json_number(value);
  ASSERT_TRUE(as_number.has_value());
  ASSERT_NE(as_number->as_number(), nullptr);
  EXPECT_EQ(json::write(*as_number), GetParam().written);
  EXPECT_EQ(json::write(amount::serialize(value)), "\"" + std::string(GetParam().written) + "\"");
  EXPECT_EQ(json::write(amount::serialize(std::optional<Amount>(value))),
            "\"" + std::string(GetParam().written) + "\"");
}

INSTANTIATE_TEST_SUITE_P(Normalized, WritesAmount,
                         testing::Values(WriteCase{"100.50", "100.5"}, WriteCase{"100.00", "100"},
                                         WriteCase{"0.01", "0.01"}, WriteCase{"7", "7"},
                                         WriteCase{"1E2", "100"}, WriteCase{"25E-1", "2.5"},
                                         WriteCase{"-0.00", "0"}, WriteCase{"-12.50", "-12.5"},
                                         WriteCase{"1e-28", "0.0000000000000000000000000001"},
                                         WriteCase{"79228162514264337593543950335",
                                                   "79228162514264337593543950335"}));

TEST(Amount, serialize_writes_null_when_absent) {
  EXPECT_EQ(json::write(amount::serialize(std::optional<Amount>())), "null");
}

// ---- Arithmetic helpers ------------------------------------------------------

TEST(Amount, from_integer_covers_the_whole_range) {
  EXPECT_EQ(Amount::from_integer(INT64_MIN)->plain_text(), "-9223372036854775808");
  EXPECT_EQ(Amount::from_integer(INT64_MAX)->plain_text(), "9223372036854775807");
  EXPECT_EQ(Amount::from_integer(50)->plain_text(), "50");
}

TEST(Amount, normalized_drops_trailing_fraction_zeros_only) {
  EXPECT_EQ(number("100.00").normalized().plain_text(), "100");
  EXPECT_EQ(number("100").normalized().plain_text(), "100");
  EXPECT_EQ(number("10.50").normalized().plain_text(), "10.5");
  EXPECT_EQ(number("0.000").normalized().plain_text(), "0");
  EXPECT_EQ(number("0.0500").normalized().plain_text(), "0.05");
}

struct OrderCase {
  std::string_view a;
  std::string_view b;
  std::strong_ordering expected;
};

class ComparesAmounts : public testing::TestWithParam<OrderCase> {};

TEST_P(ComparesAmounts, numerically_whatever_the_scales) {
  const auto& [a, b, expected] = GetParam();
  EXPECT_EQ(number(a) <=> number(b), expected) << a << " vs " << b;
  EXPECT_EQ(number(b) <=> number(a), 0 <=> expected) << b << " vs " << a;
  EXPECT_EQ(number(a) == number(b), expected == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComparesAmounts,
    testing::Values(OrderCase{"10.5", "10.50", std::strong_ordering::equal},
                    OrderCase{"50", "50.0000000000000000000000000000", std::strong_ordering::equal},
                    OrderCase{"49.99", "50", std::strong_ordering::less},
                    OrderCase{"0", "-0", std::strong_ordering::equal},
                    OrderCase{"-0.00", "0", std::strong_ordering::equal},
                    OrderCase{"-1", "0", std::strong_ordering::less},
                    OrderCase{"-2", "-1.5", std::strong_ordering::less},
                    OrderCase{"-1.50", "-1.5", std::strong_ordering::equal},
                    OrderCase{"0.0000000000000000000000000001", "0", std::strong_ordering::greater},
                    OrderCase{"79228162514264337593543950335", "7.9228162514264337593543950335",
                              std::strong_ordering::greater},
                    OrderCase{"7922816251426433759354395033.5", "7922816251426433759354395033",
                              std::strong_ordering::greater},
                    OrderCase{"7922816251426433759354395033.5", "7922816251426433759354395034",
                              std::strong_ordering::less},
                    OrderCase{"7", "7.9228162514264337593543950335", std::strong_ordering::less}));

TEST(Amount, comparison_survives_scales_beyond_the_limit) {
  // Not produced by the readers, but comparing must still be sound.
  Amount tiny{1, 200, false};
  Amount zero{0, 0, false};
  Amount big{std::numeric_limits<Mantissa>::max(), 0, false};
  EXPECT_EQ(tiny <=> zero, std::strong_ordering::greater);
  EXPECT_EQ(tiny <=> big, std::strong_ordering::less);
  EXPECT_EQ((Amount{0, 250, true} <=> zero), std::strong_ordering::equal);
}

}  // namespace
}  // namespace quorvex_bo
