#pragma once
// Text helpers shared by every module: Unicode trimming and ASCII case folding.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvex_bo::text {

// Removes the Unicode White_Space characters at both ends (U+0009–U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000–U+200A, U+2028, U+2029, U+202F, U+205F, U+3000;
// not U+200B, not U+FEFF). Invalid UTF-8 is never trimmed.
std::string_view trim_spaces(std::string_view s);
inline std::string_view trim(std::string_view s) {
  // Most texts start and end with a printable ASCII byte: nothing to trim.
  auto printable = [](char c) { return c > 0x20 && c < 0x7F; };
  if (!s.empty() && printable(s.front()) && printable(s.back())) return s;
  return trim_spaces(s);
}

// 0–9 only: never a digit of another script.
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Upper-cases the ASCII letters a–z; every other byte stays.
std::string ascii_upper(std::string_view s);
// Equal when ASCII letters are compared without regard to case.
bool ascii_iequals(std::string_view a, std::string_view b);

// The longest prefix holding at most `n` Unicode scalar values.
std::string_view first_chars(std::string_view s, std::size_t n);

}  // namespace quorvex_bo::text
