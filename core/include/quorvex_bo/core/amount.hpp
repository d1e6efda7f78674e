#pragma once
// Money amounts: exact decimals, never binary floating point. A 96-bit mantissa
// (Boost.Multiprecision's checked integer, so 2^96 − 1 is the library's own
// overflow check), a sign and a scale of 0–28 digits after the point.

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include <boost/multiprecision/cpp_int.hpp>

#include "quorvex_bo/core/error.hpp"
#include "quorvex_bo/core/json.hpp"

namespace quorvex_bo {

using Mantissa = boost::multiprecision::number<boost::multiprecision::cpp_int_backend<
    96, 96, boost::multiprecision::unsigned_magnitude, boost::multiprecision::checked, void>>;

inline constexpr unsigned max_scale = 28;

// mantissa ÷ 10^scale, negated when `negative`. Keeps the scale it was read with
// until normalized (10.50 has scale 2).
struct Amount {
  Mantissa mantissa = 0;
  std::uint8_t scale = 0;
  bool negative = false;

  bool is_zero() const { return mantissa == 0; }
  // The same value with every trailing fractional zero removed; -0 becomes 0.
  Amount normalized() const;
  // Optional "-", the integer digits, and "." with exactly `scale` digits when
  // the scale is above zero. Never an exponent.
  std::string plain_text() const;
};

// Numeric comparison, whatever the scales (10.5 == 10.50).
std::strong_ordering operator<=>(const Amount& a, const Amount& b);

namespace amount {

// The amount written in `text` as it stands (nothing trimmed): plain notation
// (optional sign, digits, optionally "." and digits), else scientific notation
// (a plain mantissa, "e" or "E", a signed integer exponent). Digits beyond scale
// 28, or beyond what the mantissa holds, are rounded away half to even; a value
// above 2^96 − 1 fails. The error is "invalid amount `<text>`: <reason>".
std::expected<Amount, std::string> parse_text(std::string_view text);
// The amount of a JSON number (its literal text) or string (trimmed), or the
// error text ("expected a number, got …", "invalid amount `…`: …").
std::expected<Amount, std::string> from_value(const json::Value& value);
// Record readers: the required amount of an input record, and the optional
// amounts of gateway records (null gives none).
json::Decoded<Amount> deserialize(json::Value&& value);
json::Decoded<std::optional<Amount>> deserialize_opt(json::Value&& value);
// The same, from the next value of a document: numbers and strings read in
// place, anything else read whole for its message.
std::optional<json::DecodeError> read(json::Cursor& cursor, Amount& out);
std::optional<json::DecodeError> read_opt(json::Cursor& cursor, std::optional<Amount>& out);
// The field readers of records.
inline constexpr json::CustomReader<Amount> reader{&deserialize, &read};
inline constexpr json::CustomReader<std::optional<Amount>> optional_reader{&deserialize_opt,
                                                                           &read_opt};

// Greater than zero, then at most 2 decimal places once normalized; the
// normalized amount.
Result<Amount> validate(std::string_view field, const Amount& value);
// The normalized plain text as a JSON number, for request bodies.
Result<json::Value> to_json_number(const Amount& value);
}  // namespace amount

// The normalized plain text as a JSON string: how result records carry amounts.
void write_json(std::string& out, const Amount& value);
// The same at a raw pointer (see json.hpp), within json_room bytes.
std::size_t json_room(const Amount& value);
char* write_json(char* at, const Amount& value);
}  // namespace quorvex_bo
