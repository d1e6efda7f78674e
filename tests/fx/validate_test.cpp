// The field rules of the FX inputs, each at its boundaries.

#include "quorvex_bo/fx/validate.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using quorvex_bo::Error;
namespace validate = quorvex_bo::fx::validate;

const Error email_error =
    Error::validation("payer_email", "must be an email of at most 80 characters");
const Error glosa_error =
    Error::validation("glosa", "must be `branch_code|branch_name|category|description`");
const Error channel_chars_error = Error::validation("channel", "letters, digits and `_` only");

// ---- e-mail: at most 80 bytes (not characters) and an "@" ---------------------

struct EmailCase {
  std::string text;
  bool passes;
};

class FxValidateEmail : public testing::TestWithParam<EmailCase> {};

TEST_P(FxValidateEmail, email_is_at_most_80_bytes_and_holds_an_at_sign) {
  const auto result = validate::email(GetParam().text);
  if (GetParam().passes) {
    EXPECT_TRUE(result.has_value());
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), email_error);
  }
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    FxValidate, FxValidateEmail,
    testing::Values(EmailCase{"a@b.co", true},
                    EmailCase{"@", true},                           // nothing else is tested
                    EmailCase{"john doe@mail", true},               // spaces are not refused
                    EmailCase{repeat("a", 79) + "@", true},         // 80 ASCII bytes
                    EmailCase{repeat("a", 80) + "@", false},        // 81 ASCII bytes
                    EmailCase{"@" + repeat("é", 39) + "a", true},   // 40 chars, 80 bytes
                    EmailCase{"@" + repeat("é", 40), false},        // 41 chars, 81 bytes
                    EmailCase{"a" + repeat("é", 39) + "@", true},   // 41 chars, 80 bytes
                    EmailCase{"plain.address", false},              // no "@"
                    EmailCase{"", false}));

// ---- glosa: four pieces, none blank, rebuilt from the trimmed pieces ----------

struct GlosaCase {
  std::string text;
  std::optional<std::string> normalized;  // nullopt: refused
};

class FxValidateGlosa : public testing::TestWithParam<GlosaCase> {};

TEST_P(FxValidateGlosa, glosa_has_four_non_blank_pieces) {
  const auto result = validate::glosa(GetParam().text);
  if (GetParam().normalized) {
    ASSERT_TRUE(result.has_value()) << GetParam().text;
    EXPECT_EQ(*result, *GetParam().normalized);
  } else {
    ASSERT_FALSE(result.has_value()) << GetParam().text;
    EXPECT_EQ(result.error(), glosa_error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    FxValidate, FxValidateGlosa,
    testing::Values(
        GlosaCase{"a|b|c|d", "a|b|c|d"},
        GlosaCase{" 001 | Centro | Ventas | Pago de servicio ", "001|Centro|Ventas|Pago de servicio"},
        GlosaCase{"\t1\u00a0|\u3000b|c\n|\u2003d", "1|b|c|d"},  // Unicode white space
        GlosaCase{"ñ|ü|€|日本", "ñ|ü|€|日本"},
        GlosaCase{"a|b|c", std::nullopt},
        GlosaCase{"a|b|c|d|e", std::nullopt},
        GlosaCase{"a|b|c|d|", std::nullopt},   // empty fifth piece still counts
        GlosaCase{"|a|b|c|d", std::nullopt},
        GlosaCase{"a||b|c", std::nullopt},     // empty pieces are kept
        GlosaCase{"a| |c|d", std::nullopt},
        GlosaCase{"a|b|c|\u00a0", std::nullopt},
        GlosaCase{"|||", std::nullopt},
        GlosaCase{"", std::nullopt},
        GlosaCase{"abcd", std::nullopt}));

// ---- channel: not blank; trimmed, ASCII upper-cased, [A-Z0-9_] only ----------

struct ChannelCase {
  std::string text;
  std::optional<std::string> normalized;
  std::string message;  // when refused
};

class FxValidateChannel : public testing::TestWithParam<ChannelCase> {};

TEST_P(FxValidateChannel, channel_is_letters_digits_and_underscore) {
  const auto result = validate::channel(GetParam().text);
  if (GetParam().normalized) {
    ASSERT_TRUE(result.has_value()) << GetParam().text;
    EXPECT_EQ(*result, *GetParam().normalized);
  } else {
    ASSERT_FALSE(result.has_value()) << GetParam().text;
    EXPECT_EQ(result.error(), Error::validation("channel", GetParam().message));
  }
}

INSTANTIATE_TEST_SUITE_P(
    FxValidate, FxValidateChannel,
    testing::Values(ChannelCase{"WEB", "WEB", ""},
                    ChannelCase{"web", "WEB", ""},
                    ChannelCase{" app_1 ", "APP_1", ""},
                    ChannelCase{"\u3000pos\u2028", "POS", ""},
                    ChannelCase{"_9", "_9", ""},
                    ChannelCase{"", std::nullopt, "must not be empty"},
                    ChannelCase{" \t\u00a0", std::nullopt, "must not be empty"},
                    ChannelCase{"mobile app", std::nullopt, "letters, digits and `_` only"},
                    ChannelCase{"café", std::nullopt, "letters, digits and `_` only"},
                    ChannelCase{"é", std::nullopt, "letters, digits and `_` only"},
                    ChannelCase{"web-1", std::nullopt, "letters, digits and `_` only"},
                    ChannelCase{"web\u200b", std::nullopt,  // zero-width space is no white space
                                "letters, digits and `_` only"}));

// ---- hhmmss: 1 ≤ seconds ≤ largest, hours not reduced modulo 24 ---------------

struct HhmmssCase {
  std::uint64_t seconds;
  std::uint64_t largest;
  std::optional<std::string> text;
};

class FxValidateHhmmss : public testing::TestWithParam<HhmmssCase> {};

TEST_P(FxValidateHhmmss, expiry_is_within_range_and_written_as_hours_minutes_seconds) {
  const auto& c = GetParam();
  const auto result = validate::hhmmss("expires_in", c.seconds, c.largest);
  if (c.text) {
    ASSERT_TRUE(result.has_value()) << c.seconds;
    EXPECT_EQ(*result, *c.text);
  } else {
    ASSERT_FALSE(result.has_value()) << c.seconds;
    EXPECT_EQ(result.error(),
              Error::validation("expires_in", "must be between 1 and " +
                                                  std::to_string(c.largest) + " seconds"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    FxValidate, FxValidateHhmmss,
    testing::Values(HhmmssCase{1, 86399, "00:00:01"}, HhmmssCase{90, 86399, "00:01:30"},
                    HhmmssCase{900, 86399, "00:15:00"}, HhmmssCase{3600, 86399, "01:00:00"},
                    HhmmssCase{86399, 86399, "23:59:59"}, HhmmssCase{300, 300, "00:05:00"},
                    HhmmssCase{360000, 400000, "100:00:00"},  // three-digit hours
                    HhmmssCase{0, 86399, std::nullopt}, HhmmssCase{86400, 86399, std::nullopt},
                    HhmmssCase{301, 300, std::nullopt},
                    HhmmssCase{UINT64_MAX, 86399, std::nullopt}));

TEST(FxValidateHhmmssField, error_names_the_field_it_was_given) {
  EXPECT_EQ(validate::hhmmss("ttl", 0, 5).error(),
            Error::validation("ttl", "must be between 1 and 5 seconds"));
}

// ---- reference: not blank, digits only (untrimmed), optional byte limit -------

struct ReferenceCase {
  std::string text;
  std::optional<std::size_t> largest;
  std::optional<std::string> message;  // nullopt: passes
};

class FxValidateReference : public testing::TestWithParam<ReferenceCase> {};

TEST_P(FxValidateReference, reference_is_digits_only_within_the_limit) {
  const auto& c = GetParam();
  const auto result = validate::reference(c.text, c.largest);
  if (!c.message) {
    EXPECT_TRUE(result.has_value()) << c.text;
  } else {
    ASSERT_FALSE(result.has_value()) << c.text;
    EXPECT_EQ(result.error(), Error::validation("reference", *c.message));
  }
}

INSTANTIATE_TEST_SUITE_P(
    FxValidate, FxValidateReference,
    testing::Values(ReferenceCase{"123", std::nullopt, std::nullopt},
                    ReferenceCase{"00123", std::nullopt, std::nullopt},
                    ReferenceCase{"123456789012345678901234567890", std::nullopt, std::nullopt},
                    ReferenceCase{"1234567890", 10, std::nullopt},
                    ReferenceCase{"12345678901", 10, "at most 10 digits"},
                    ReferenceCase{"", std::nullopt, "must not be empty"},
                    ReferenceCase{"   ", std::nullopt, "must not be empty"},
                    ReferenceCase{"   ", 2, "must not be empty"},  // emptiness comes first
                    ReferenceCase{" 123", std::nullopt, "must contain only digits"},
                    ReferenceCase{"123 ", std::nullopt, "must contain only digits"},
                    ReferenceCase{"12a", std::nullopt, "must contain only digits"},
                    ReferenceCase{"１２３", std::nullopt, "must contain only digits"},  // full-width
                    ReferenceCase{"-12", std::nullopt, "must contain only digits"},
                    // the digit check comes before the length check
                    ReferenceCase{"12345678901x", 10, "must contain only digits"}));

}  // namespace
