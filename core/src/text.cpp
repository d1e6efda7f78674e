#include "quorvex_bo/core/text.hpp"

#include <cstdint>

namespace quorvex_bo::text {
namespace {

bool is_ascii_space(unsigned char c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the White_Space character encoded at the start of `s`, or 0. Only
// complete, well-formed sequences are recognised.
std::size_t space_prefix(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return is_ascii_space(b0) ? 1 : 0;
  if (s.size() >= 2 && b0 == 0xC2) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  }
  if (s.size() < 3) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  const auto b2 = static_cast<unsigned char>(s[2]);
  switch (b0) {
    case 0xE1:
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
    case 0xE2:
      if (b1 == 0x80)  // U+2000–U+200A, U+2028, U+2029, U+202F
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
    case 0xE3:
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
    default:
      return 0;
  }
}

// Length of the White_Space character encoded at the end of `s`, or 0. A lead
// byte never doubles as a continuation byte, so a matching suffix is always a
// whole character.
std::size_t space_suffix(std::string_view s) {
  const std::size_t n = s.size();
  if (n == 0) return 0;
  // Every sequence beyond ASCII ends in a byte from 0x80 up.
  const auto last = static_cast<unsigned char>(s[n - 1]);
  if (last < 0x80) return is_ascii_space(last) ? 1 : 0;
  if (n >= 2 && space_prefix(s.substr(n - 2)) == 2) return 2;
  if (n >= 3 && space_prefix(s.substr(n - 3)) == 3) return 3;
  return 0;
}

}  // namespace

std::string_view trim_spaces(std::string_view s) {
  while (std::size_t k = space_prefix(s)) s.remove_prefix(k);
  while (std::size_t k = space_suffix(s)) s.remove_suffix(k);
  return s;
}

void ascii_upper_in_place(std::string& s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  ascii_upper_in_place(out);
  return out;
}

std::string_view first_chars(std::string_view s, std::size_t n) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (is_continuation(static_cast<unsigned char>(s[i]))) continue;
    if (seen == n) return s.substr(0, i);
    ++seen;
  }
  return s;
}

}  // namespace quorvex_bo::text
