// The field rules of the FX inputs.

#include "quorvex_bo/fx/validate.hpp"

#include <array>
#include <charconv>

#include "quorvex_bo/core/text.hpp"
#include "quorvex_bo/core/validate.hpp"

namespace quorvex_bo::fx::validate {

namespace {

constexpr std::size_t email_max_bytes = 80;
constexpr std::size_t glosa_pieces = 4;
constexpr std::string_view glosa_message =
    "must be `branch_code|branch_name|category|description`";

constexpr bool is_ascii_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// At least two digits, zero-padded.
void append_two_digits(std::string& out, std::uint64_t n) {
  if (n < 10) out.push_back('0');
  std::array<char, 24> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), n);
  (void)ec;  // 24 bytes hold any 64-bit number
  out.append(buf.data(), end);
}

}  // namespace

Result<void> email(std::string_view text) {
  if (text.size() > email_max_bytes || text.find('@') == std::string_view::npos)
    return std::unexpected(
        Error::validation("payer_email", "must be an email of at most 80 characters"));
  return {};
}

Result<std::string> glosa(std::string_view text) {
  std::array<std::string_view, glosa_pieces> pieces;
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t bar = text.find('|', start);
    const std::string_view piece =
        text::trim(text.substr(start, bar == std::string_view::npos ? text.npos : bar - start));
    if (count == glosa_pieces || piece.empty())
      return std::unexpected(Error::validation("glosa", glosa_message));
    pieces[count++] = piece;
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  if (count != glosa_pieces) return std::unexpected(Error::validation("glosa", glosa_message));

  std::string out;
  out.reserve(pieces[0].size() + pieces[1].size() + pieces[2].size() + pieces[3].size() + 3);
  for (std::size_t i = 0; i < glosa_pieces; ++i) {
    if (i != 0) out.push_back('|');
    out.append(pieces[i]);
  }
  return out;
}

Result<std::string> hhmmss(std::string_view field, std::uint64_t seconds, std::uint64_t largest) {
  if (seconds == 0 || seconds > largest)
    return std::unexpected(Error::validation(
        field, "must be between 1 and " + std::to_string(largest) + " seconds"));
  std::string out;
  out.reserve(8);
  append_two_digits(out, seconds / 3600);
  out.push_back(':');
  append_two_digits(out, (seconds / 60) % 60);
  out.push_back(':');
  append_two_digits(out, seconds % 60);
  return out;
}

Result<std::string> channel(std::string_view text) {
  if (Result<void> present = quorvex_bo::validate::require_text("channel", text); !present)
    return std::unexpected(std::move(present.error()));
  std::string out = text::ascii_upper(text::trim(text));
  for (const char c : out)
    if (!is_ascii_alpha(c) && !text::is_ascii_digit(c) && c != '_')
      return std::unexpected(Error::validation("channel", "letters, digits and `_` only"));
  return out;
}

Result<void> reference(std::string_view text, std::optional<std::size_t> largest) {
  if (Result<void> digits = quorvex_bo::validate::numeric_reference("reference", text); !digits)
    return digits;
  if (largest && text.size() > *largest)
    return std::unexpected(
        Error::validation("reference", "at most " + std::to_string(*largest) + " digits"));
  return {};
}

}  // namespace quorvex_bo::fx::validate
