#include "quorvex_bo/core/amount.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "quorvex_bo/core/text.hpp"

namespace quorvex_bo {
namespace {

namespace mp = boost::multiprecision;

// Room for any mantissa times 10^40 and for 29-digit intermediates: never
// overflows, so it needs no checks (and throws nothing).
using Wide = mp::number<mp::cpp_int_backend<256, 256, mp::unsigned_magnitude, mp::unchecked, void>>;

Mantissa max_mantissa() { return std::numeric_limits<Mantissa>::max(); }

// 2^96 − 1 has 29 digits: no mantissa has more.
constexpr std::int64_t max_digits = 29;

Wide pow10(unsigned n) {
  Wide out = 1;
  while (n--) out *= 10u;
  return out;
}

// The checked type refuses a value above 2^96 − 1 by throwing; callers compare
// first, but the refusal stays inside this module whatever happens.
std::optional<Mantissa> to_mantissa(const Wide& value) {
  if (value > Wide(max_mantissa())) return std::nullopt;
  try {
    return Mantissa(value);
  } catch (const std::overflow_error&) {
    return std::nullopt;
  } catch (const std::range_error&) {
    return std::nullopt;
  }
}

// A decimal as written: sign, integer digits and fraction digits (either may
// hold leading or trailing zeros).
struct Written {
  bool negative = false;
  std::string_view integer;
  std::string_view fraction;
};

// [+-]? digits ( "." digits )?
std::optional<Written> split_plain(std::string_view text) {
  Written out;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    out.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const std::size_t point = text.find('.');
  out.integer = text.substr(0, point);
  if (point != std::string_view::npos) {
    out.fraction = text.substr(point + 1);
    if (out.fraction.empty()) return std::nullopt;
  }
  if (out.integer.empty()) return std::nullopt;
  if (!std::ranges::all_of(out.integer, quorvex_bo::text::is_ascii_digit) ||
      !std::ranges::all_of(out.fraction, quorvex_bo::text::is_ascii_digit))
    return std::nullopt;
  return out;
}

// [+-]? digits, saturated far beyond any exponent that could still give an
// amount (the saturated value fails just as the real one would).
std::optional<std::int64_t> parse_exponent(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::ranges::all_of(text, quorvex_bo::text::is_ascii_digit)) return std::nullopt;
  constexpr std::int64_t cap = 1'000'000'000'000'000;
  std::int64_t value = 0;
  for (char c : text) value = std::min(cap, value * 10 + (c - '0'));
  return negative ? -value : value;
}

enum class Misfit : std::uint8_t { too_large, inexact };

// The significant digits of integer·fraction, leading zeros skipped.
class Digits {
 public:
  explicit Digits(const Written& w) : integer_(w.integer), fraction_(w.fraction) {
    const std::size_t total = integer_.size() + fraction_.size();
    while (skip_ < total && raw(skip_) == '0') ++skip_;
    size_ = static_cast<std::int64_t>(total - skip_);
    for (std::int64_t i = size_ - 1; i >= 0; --i)
      if (at(i) != 0) {
        last_nonzero_ = i;
        break;
      }
  }

  std::int64_t size() const { return size_; }
  std::int64_t last_nonzero() const { return last_nonzero_; }
  unsigned at(std::int64_t i) const {
    return static_cast<unsigned>(raw(skip_ + static_cast<std::size_t>(i)) - '0');
  }
  // The value of the first `n` digits (n ≤ 29).
  Wide prefix(std::int64_t n) const {
    Wide out = 0;
    for (std::int64_t i = 0; i < n; ++i) out = out * 10u + at(i);
    return out;
  }

 private:
  char raw(std::size_t i) const {
    return i < integer_.size() ? integer_[i] : fraction_[i - integer_.size()];
  }

  std::string_view integer_;
  std::string_view fraction_;
  std::size_t skip_ = 0;
  std::int64_t size_ = 0;
  std::int64_t last_nonzero_ = -1;
};

// The amount of `w` × 10^exponent, keeping the scale it was written with.
//
// When the written scale exceeds 28, or the digits exceed the mantissa, the
// lowest digits are dropped (scale 28 first, then one digit less at a time
// until the mantissa fits). Dropped digits are rounded half to even: below
// half rounds down, above half rounds up, exactly half rounds to the even last
// digit (…0.5 → …0, …1.5 → …2), as decimal arithmetic does by default.
// Without `rounding`, dropping any non-zero digit fails instead.
std::expected<Amount, Misfit> fit(const Written& w, std::int64_t exponent, bool rounding) {
  const Digits digits(w);
  const std::int64_t n = digits.size();
  const std::int64_t scale = static_cast<std::int64_t>(w.fraction.size()) - exponent;

  // The common amount: plain, at most 19 significant digits, a scale that fits.
  if (exponent == 0 && scale <= max_scale && n <= 19) {
    std::uint64_t value = 0;
    for (std::int64_t i = 0; i < n; ++i) value = value * 10 + digits.at(i);
    return Amount{Mantissa(value), static_cast<std::uint8_t>(scale), w.negative};
  }

  if (n == 0)  // zero, at whatever scale it fits
    return Amount{0, static_cast<std::uint8_t>(std::clamp<std::int64_t>(scale, 0, max_scale)),
                  w.negative};

  if (scale <= 0) {  // a whole number, shifted left
    if (n - scale > max_digits) return std::unexpected(Misfit::too_large);
    std::optional<Mantissa> m =
        to_mantissa(digits.prefix(n) * pow10(static_cast<unsigned>(-scale)));
    if (!m) return std::unexpected(Misfit::too_large);
    return Amount{std::move(*m), 0, w.negative};
  }

  if (n - scale > max_digits) return std::unexpected(Misfit::too_large);  // even at scale 0
  for (std::int64_t target = std::min<std::int64_t>(scale, max_scale); target >= 0; --target) {
    const std::int64_t keep = n - (scale - target);  // may be negative: all digits dropped
    if (keep > max_digits) continue;
    Wide kept = keep > 0 ? digits.prefix(keep) : Wide(0);
    if (keep < n) {
      const unsigned first = keep >= 0 ? digits.at(keep) : 0;
      // Below the kept digits: the first dropped digit (an implied leading zero
      // when every digit goes) and whether anything non-zero follows it.
      const bool sticky = keep >= 0 ? digits.last_nonzero() > keep : true;
      if (!rounding && (first != 0 || sticky)) return std::unexpected(Misfit::inexact);
      if (first > 5 || (first == 5 && (sticky || (kept & 1u) != 0))) kept += 1u;
    }
    if (std::optional<Mantissa> m = to_mantissa(kept))
      return Amount{std::move(*m), static_cast<std::uint8_t>(target), w.negative};
  }
  return std::unexpected(Misfit::too_large);
}

std::string_view misfit_reason(Misfit misfit) {
  switch (misfit) {
    case Misfit::too_large:
      return "the value is too large for an amount";
    case Misfit::inexact:
      return "the value has more digits than an amount can hold";
  }
  return "the value does not fit an amount";
}

bool has_exponent_marker(std::string_view text) {
  return text.find_first_of("eE") != std::string_view::npos;
}

}  // namespace

// ---- Amount -------------------------------------------------------------------

Amount Amount::normalized() const {
  Amount out = *this;
  if (out.mantissa <= std::numeric_limits<std::uint64_t>::max()) {
    auto value = static_cast<std::uint64_t>(out.mantissa);
    const std::uint8_t scale = out.scale;
    while (out.scale > 0 && value != 0 && value % 10 == 0) {
      value /= 10;
      --out.scale;
    }
    if (out.scale != scale) out.mantissa = value;
    if (value == 0) {
      out.scale = 0;
      out.negative = false;
    }
    return out;
  }
  Mantissa quotient, remainder;
  while (out.scale > 0 && out.mantissa != 0) {
    mp::divide_qr(out.mantissa, Mantissa(10), quotient, remainder);
    if (remainder != 0) break;
    out.mantissa = quotient;
    --out.scale;
  }
  if (out.mantissa == 0) {
    out.scale = 0;
    out.negative = false;
  }
  return out;
}

namespace {

// The longest plain text: a sign, "0." and 28 places, or 29 digits and a point.
constexpr std::size_t max_plain_text = 64;

// Writes the plain text of `digits` (no leading zero) ÷ 10^scale at `out`; returns the end.
char* put_digits(char* out, std::string_view digits, std::size_t scale, bool negative) {
  if (negative) *out++ = '-';
  if (digits.size() > scale) {
    const std::size_t whole = digits.size() - scale;
    out = std::copy_n(digits.data(), whole, out);
    if (scale > 0) {
      *out++ = '.';
      out = std::copy_n(digits.data() + whole, scale, out);
    }
  } else {
    *out++ = '0';
    *out++ = '.';
    out = std::fill_n(out, scale - digits.size(), '0');
    out = std::copy_n(digits.data(), digits.size(), out);
  }
  return out;
}

// The mantissa when it fits 64 bits, as the usual one does.
std::optional<std::uint64_t> small_mantissa(const Mantissa& mantissa) {
  if (mantissa > std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
  return static_cast<std::uint64_t>(mantissa);
}

// Writes the plain text of `value` at `out` (room for max_plain_text bytes);
// returns the end.
char* put_plain_text(char* out, const Amount& value) {
  if (value.mantissa == 0) return put_digits(out, "0", value.scale, false);
  // 29 digits at most; a mantissa of 64 bits skips the big-number printer.
  if (const std::optional<std::uint64_t> small = small_mantissa(value.mantissa)) {
    char buffer[20];
    const char* const end = std::to_chars(buffer, buffer + sizeof buffer, *small).ptr;
    return put_digits(out, std::string_view(buffer, static_cast<std::size_t>(end - buffer)),
                      value.scale, value.negative);
  }
  const std::string wide = value.mantissa.str();
  return put_digits(out, wide, value.scale, value.negative);
}

// The normalized plain text of a mantissa of 64 bits: its trailing fractional
// zeros dropped from the digits, without dividing. Digits and zeros are copied
// as blocks of fixed size (past the text, within `out`'s room of max_plain_text).
char* put_normalized_text(char* out, std::uint64_t mantissa, std::size_t scale, bool negative) {
  if (mantissa == 0) {
    *out++ = '0';
    return out;
  }
  constexpr std::size_t max_digits = 20;
  char digits[2 * max_digits]{};
  std::size_t n = static_cast<std::size_t>(std::to_chars(digits, digits + max_digits, mantissa).ptr - digits);
  for (; scale > 0 && digits[n - 1] == '0'; --n) --scale;
  *out = '-';
  out += negative;
  if (n > scale) {
    const std::size_t whole = n - scale;
    std::memcpy(out, digits, max_digits);
    out += whole;
    if (scale == 0) return out;
    *out++ = '.';
    std::memcpy(out, digits + whole, max_digits);
    return out + scale;
  }
  static_assert(1 + 2 + max_scale + max_digits <= max_plain_text);
  *out++ = '0';
  *out++ = '.';
  std::memset(out, '0', max_scale);
  out += scale - n;
  std::memcpy(out, digits, max_digits);
  return out + n;
}

}  // namespace

std::string Amount::plain_text() const {
  char buffer[max_plain_text];
  return std::string(buffer, put_plain_text(buffer, *this));
}

std::strong_ordering operator<=>(const Amount& a, const Amount& b) {
  const bool a_negative = a.negative && !a.is_zero();
  const bool b_negative = b.negative && !b.is_zero();
  if (a_negative != b_negative)
    return a_negative ? std::strong_ordering::less : std::strong_ordering::greater;

  Wide x(a.mantissa), y(b.mantissa);
  // Bring both to the larger scale. A shift beyond 40 digits outgrows every
  // mantissa, so only whether the shifted side is zero matters then.
  const auto shift = [](Wide& value, unsigned digits) {
    if (digits <= 40)
      value *= pow10(digits);
    else if (value != 0)
      value = pow10(40) * Wide(max_mantissa());
  };
  if (a.scale < b.scale)
    shift(x, static_cast<unsigned>(b.scale - a.scale));
  else
    shift(y, static_cast<unsigned>(a.scale - b.scale));

  std::strong_ordering magnitude = x < y    ? std::strong_ordering::less
                                   : x == y ? std::strong_ordering::equal
                                            : std::strong_ordering::greater;
  if (!a_negative) return magnitude;
  return 0 <=> magnitude;  // both negative: the larger magnitude is the smaller value
}

// ---- amount -------------------------------------------------------------------

namespace amount {

namespace {

// The common amount in one pass into `out`: plain notation with at most 19
// digits; anything else (false, `out` untouched) is left to the general
// reading, which gives the same amount for these.
bool parse_common(std::string_view text, Amount& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  if (p != end && (*p == '-' || *p == '+')) ++p;
  // Digits, then optionally a point and digits; 19 digits in all never
  // overflow 64 bits (longer texts, leading zeros included, go the general way).
  std::uint64_t value = 0;
  auto digits = [&] {
    const char* const first = p;
    for (; p != end && *p >= '0' && *p <= '9'; ++p)
      value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    return static_cast<std::size_t>(p - first);
  };
  const std::size_t integer_digits = digits();
  std::size_t places = 0;
  if (p != end && *p == '.') {
    ++p;
    places = digits();
    if (places == 0) return false;
  }
  if (p != end || integer_digits == 0 || integer_digits + places > 19) return false;
  out.mantissa = value;
  out.scale = static_cast<std::uint8_t>(places);
  out.negative = negative;
  return true;
}

std::optional<Amount> parse_plain(std::string_view text) {
  std::optional<Written> written = split_plain(text);
  if (!written) return std::nullopt;
  std::expected<Amount, Misfit> out = fit(*written, 0, true);
  if (!out) return std::nullopt;
  return std::move(*out);
}

std::expected<Amount, std::string> parse_scientific(std::string_view text, bool rounding) {
  const std::size_t marker = text.find_first_of("eE");
  if (marker == std::string_view::npos) return std::unexpected(std::string("Failed to parse"));
  std::optional<Written> written = split_plain(text.substr(0, marker));
  if (!written) return std::unexpected(std::string("invalid number before the exponent"));
  std::optional<std::int64_t> exponent = parse_exponent(text.substr(marker + 1));
  if (!exponent) return std::unexpected(std::string("invalid exponent"));
  std::expected<Amount, Misfit> out = fit(*written, *exponent, rounding);
  if (!out) return std::unexpected(std::string(misfit_reason(out.error())));
  return std::move(*out);
}

}  // namespace

std::expected<Amount, std::string> parse_text(std::string_view text) {
  if (Amount common; parse_common(text, common)) return common;
  if (std::optional<Amount> plain = parse_plain(text)) return std::move(*plain);
  if (has_exponent_marker(text))
    if (std::expected<Amount, std::string> rounded = parse_scientific(text, true)) return rounded;
  std::expected<Amount, std::string> strict = parse_scientific(text, false);
  if (strict) return strict;
  std::string message = "invalid amount `";
  message.append(text).append("`: ").append(strict.error());
  return std::unexpected(std::move(message));
}

std::expected<Amount, std::string> from_value(const json::Value& value) {
  if (const json::Number* number = value.as_number()) return parse_text(number->text);
  if (const std::string* string = value.as_string()) return parse_text(text::trim(*string));
  return std::unexpected("expected a number, got " + json::write(value));
}

json::Decoded<Amount> deserialize(json::Value&& value) {
  std::expected<Amount, std::string> out = from_value(value);
  if (!out) return json::fail(value, std::move(out.error()));
  return std::move(*out);
}

json::Decoded<std::optional<Amount>> deserialize_opt(json::Value&& value) {
  if (value.is_null()) return std::optional<Amount>{};
  json::Decoded<Amount> out = deserialize(std::move(value));
  if (!out) return std::unexpected(std::move(out.error()));
  return std::optional<Amount>(std::move(*out));
}

std::optional<json::DecodeError> read(json::Cursor& cursor, Amount& out) {
  const json::Cursor::Next next = cursor.peek();
  const std::size_t at = cursor.at();
  std::string_view text;
  if (next == json::Cursor::Next::number)
    text = cursor.number();
  else if (next == json::Cursor::Next::string)
    text = text::trim(cursor.string_view());
  else
    return deserialize(cursor.value()).error();
  if (parse_common(text, out)) return std::nullopt;  // what parse_text would give
  std::expected<Amount, std::string> read = parse_text(text);
  if (!read) return json::DecodeError{std::move(read.error()), at};
  out = std::move(*read);
  return std::nullopt;
}

std::optional<json::DecodeError> read_opt(json::Cursor& cursor, std::optional<Amount>& out) {
  if (cursor.peek() == json::Cursor::Next::null) {
    cursor.null();
    out.reset();
    return std::nullopt;
  }
  if (!out) out.emplace();
  return read(cursor, *out);
}

Result<Amount> validate(std::string_view field, const Amount& value) {
  if (value.is_zero() || value.negative)
    return std::unexpected(Error::validation(field, "must be greater than zero"));
  constexpr unsigned max_places = 2;
  Amount normalized = value.normalized();
  if (normalized.scale > max_places)
    return std::unexpected(Error::validation(
        field, "at most " + std::to_string(max_places) + " decimal places are allowed"));
  return normalized;
}

Result<json::Value> to_json_number(const Amount& value) {
  std::string text = value.normalized().plain_text();
  if (!json::is_number_literal(text))
    return std::unexpected(Error::validation(
        "amount", "not representable as JSON: `" + text + "` is not a valid JSON number"));
  return json::Value(json::Number{std::move(text)});
}

}  // namespace amount

std::size_t json_room(const Amount&) { return max_plain_text + 2; }

char* write_json(char* at, const Amount& value) {
  // Digits, sign and point: nothing to escape.
  *at++ = '"';
  if (const std::optional<std::uint64_t> small = small_mantissa(value.mantissa))
    at = put_normalized_text(at, *small, value.scale, value.negative);
  else
    at = put_plain_text(at, value.normalized());
  *at++ = '"';
  return at;
}

void write_json(std::string& out, const Amount& value) { json::append_bounded(out, value); }

}  // namespace quorvex_bo
